#include "host/raster/Rasterise.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cmath>
#include <mutex>

namespace Raster {

namespace {

// One library for the process: the outline rasteriser needs one, and it holds no fonts here.
FT_Library Library() {
    static FT_Library library = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        if (FT_Init_FreeType(&library) != 0) library = nullptr;
    });
    return library;
}

struct SpanTarget {
    DynamicBitmap* bitmap;
};

void WriteSpans(int y, int count, FT_Span const* spans, void* user) {
    auto* t = static_cast<SpanTarget*>(user);
    uint32_t h = t->bitmap->GetHeight();
    if (y < 0 || uint32_t(y) >= h) return;
    // FreeType counts rows from the bottom.
    uint8_t* row = t->bitmap->GetRow(h - 1 - uint32_t(y));
    uint32_t w = t->bitmap->GetWidth();
    for (int i = 0; i < count; ++i) {
        uint32_t x0 = uint32_t(std::max(0, int(spans[i].x)));
        uint32_t x1 = std::min<uint32_t>(w, uint32_t(spans[i].x) + spans[i].len);
        for (uint32_t x = x0; x < x1; ++x) row[x] = spans[i].coverage;
    }
}

}  // namespace

Kernel::Counted<DynamicBitmap> RasteriseContours(
    std::vector<std::vector<CubicSegment>> const& contours, bool evenOdd,
    Kernel::RectT<int32_t> const& box) {
    if (box.IsEmpty()) return nullptr;
    auto out = DynamicBitmap::Create(uint32_t(box.Width()), uint32_t(box.Height()), Format::A8);
    FT_Library library = Library();
    if (!library) return out;

    // Curves are flattened here, finer than the rasteriser would (a twentieth of a pixel), and
    // each contour is clipped to the box with a margin: FreeType's cells overflow far outside it.
    using P = Kernel::PointT<double>;
    double margin = 4;
    double left = box.left - margin, top = box.top - margin;
    double right = box.right + margin, bottom = box.bottom + margin;
    std::vector<FT_Vector> points;
    std::vector<char> tags;
    std::vector<short> ends;
    double height = box.Height();
    std::vector<P> poly, clipped;
    for (auto const& contour : contours) {
        poly.clear();
        for (auto const& s : contour) {
            double len = std::hypot(s[1].x - s[0].x, s[1].y - s[0].y) +
                         std::hypot(s[2].x - s[1].x, s[2].y - s[1].y) +
                         std::hypot(s[3].x - s[2].x, s[3].y - s[2].y);
            bool straight = s[1] == s[0] && s[2] == s[3];
            // Clamped as a double: far-off points must not overflow the count.
            int steps = straight ? 1 : int(std::clamp(std::sqrt(len * 10.0) + 1, 1.0, 4096.0));
            if (poly.empty()) poly.push_back(s[0]);
            for (int i = 1; i <= steps; ++i) {
                double t = double(i) / steps, u = 1 - t;
                double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
                poly.push_back({a * s[0].x + b * s[1].x + c * s[2].x + d * s[3].x,
                                a * s[0].y + b * s[1].y + c * s[2].y + d * s[3].y});
            }
        }
        // Sutherland-Hodgman against each side keeps the winding of every point inside.
        auto clip = [&](auto inside, auto cross) {
            clipped.clear();
            for (size_t i = 0; i < poly.size(); ++i) {
                P a = poly[i], b = poly[(i + 1) % poly.size()];
                bool ia = inside(a), ib = inside(b);
                if (ia) clipped.push_back(a);
                if (ia != ib) clipped.push_back(cross(a, b));
            }
            poly.swap(clipped);
        };
        auto atX = [](P a, P b, double x) { return P{x, a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x)}; };
        auto atY = [](P a, P b, double y) { return P{a.x + (b.x - a.x) * (y - a.y) / (b.y - a.y), y}; };
        clip([&](P p) { return p.x >= left; }, [&](P a, P b) { return atX(a, b, left); });
        clip([&](P p) { return p.x <= right; }, [&](P a, P b) { return atX(a, b, right); });
        clip([&](P p) { return p.y >= top; }, [&](P a, P b) { return atY(a, b, top); });
        clip([&](P p) { return p.y <= bottom; }, [&](P a, P b) { return atY(a, b, bottom); });
        if (poly.size() < 3 || points.size() + poly.size() > 32000) continue;
        // 26.6 fixed point relative to the box; FreeType's rows grow upwards, so y is mirrored.
        for (P const& p : poly) {
            points.push_back({FT_Pos(std::lround((p.x - box.left) * 64)),
                              FT_Pos(std::lround((height - (p.y - box.top)) * 64))});
            tags.push_back(FT_CURVE_TAG_ON);
        }
        ends.push_back(short(points.size() - 1));
    }
    if (points.empty()) return out;
    FT_Outline outline{};
    outline.n_points = short(points.size());
    outline.n_contours = short(ends.size());
    outline.points = points.data();
    outline.tags = tags.data();
    outline.contours = ends.data();
    outline.flags = evenOdd ? FT_OUTLINE_EVEN_ODD_FILL : FT_OUTLINE_NONE;

    SpanTarget target{out.Get()};
    FT_Raster_Params params{};
    params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
    params.gray_spans = WriteSpans;
    params.user = &target;
    params.clip_box = {0, 0, FT_Pos(box.Width()), FT_Pos(box.Height())};
    FT_Outline_Render(library, &outline, &params);
    return out;
}

}  // namespace Raster

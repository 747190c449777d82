#include "psd/render/PSDRender.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZUZODORIV_AVX2_ROWS 1
#endif

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"
#include "host/raster/Rasterise.h"
#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/descriptor/DescriptorBlocks.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffect.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayerRows.h"
#include "psd/render/PSDRenderAdjustment.h"
#include "psd/render/PSDRenderDashes.h"
#include "psd/render/PSDRenderEffects.h"
#include "psd/render/PSDRenderSupport.h"
#include "psd/vector/PSDPath.h"
#include "psd/vector/PSDVectorStroke.h"

namespace PSD {

namespace {

// A shape's box in whole pixels, as the editor lays gradients over it: outlines stored a hair
// inside their pixel edges (31.999998) must not move a snapped end point by a pixel.
Kernel::RectT<double> PixelBox(Kernel::RectT<double> const& b) {
    return {std::round(b.left), std::round(b.top), std::round(b.right), std::round(b.bottom)};
}

using Bitmap = Kernel::Counted<Raster::DynamicBitmap>;
constexpr uint32_t kBandRows = 32;
constexpr uint32_t kMaxScaledSide = 300000;  // the largest side a document may have

// Output rows a band of a scaled render makes: about a band's worth of source rows, at least one.
uint32_t OutputBandRows(double scale) {
    return scale < 1 ? std::max<uint32_t>(1, uint32_t(kBandRows * scale)) : kBandRows;
}

float Clamp01(float v) { return std::isnan(v) ? 0.0f : v < 0 ? 0.0f : v > 1 ? 1.0f : v; }

// One sample of a bitmap as 0..1 (float as stored).
inline float Sample(uint8_t const* row, Raster::FormatInfo const& info, size_t index) {
    switch (info.bytesPerSample) {
        case 1: return row[index] / 255.0f;
        case 2: {
            uint16_t v;
            std::memcpy(&v, row + 2 * index, 2);
            return v / 65535.0f;
        }
        default: {
            float v;
            std::memcpy(&v, row + 4 * index, 4);
            return std::isnan(v) ? 0.0f : v;
        }
    }
}

// A mask's samples decoded a band of rows at a time as the render asks for them. The last few
// bands are kept (a worker's rows of every masked layer fall in one or two), so that masks do not
// hold memory by the number of masked layers.
class MaskBands {
public:
    static constexpr uint32_t kRows = 32;
    bool Init(PSDLayer const& l, bool real, uint32_t width, uint32_t height, uint32_t zipWindow) {
        m_width = width, m_height = height;
        m_keep = 2 * std::max<size_t>(1, Kernel::Dispatch::GetConcurrency()) + 2;
        return m_rows.InitMask(l, real, zipWindow);
    }
    // The band holding the mask's row, and the band's first row; null when it does not decode
    // (Error() then says why).
    Bitmap Band(uint32_t row, uint32_t& first) const {
        first = row / kRows * kRows;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (auto& h : m_held)
                if (h.first == first) {
                    h.used = ++m_clock;
                    return h.rows;
                }
        }
        Bitmap rows;
        PSDReport report;
        try {
            rows = Raster::DynamicBitmap::Create(m_width, std::min(kRows, m_height - first),
                                                 m_rows.GetFormat(), Raster::Contents::Unspecified);
            if (!m_rows.Decode(first, *rows, report)) rows = nullptr;
        } catch (std::bad_alloc const&) {
            report.ErrorAlloc();
            rows = nullptr;
        }
        std::lock_guard<std::mutex> hold(m_lock);
        if (!rows) {
            if (m_error.empty())
                m_error = report.m_error ? std::string(report.m_error->Report()) : "damaged";
            return nullptr;
        }
        for (auto& h : m_held)  // another worker decoded it meanwhile
            if (h.first == first) return h.rows;
        if (m_held.size() >= m_keep)
            m_held.erase(
                std::min_element(m_held.begin(), m_held.end(),
                                 [](Held const& a, Held const& b) { return a.used < b.used; }));
        m_held.push_back({first, rows, ++m_clock});
        return rows;
    }
    // Empty, or why the mask's rows did not decode (a ZIP stream that ends early included).
    std::string Error() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_error.empty() ? m_rows.Damage() : m_error;
    }

private:
    struct Held {
        uint32_t first;
        Bitmap rows;
        uint64_t used;
    };
    PSDLayerRows m_rows;
    uint32_t m_width = 0, m_height = 0;
    size_t m_keep = 4;
    mutable std::mutex m_lock;
    mutable std::vector<Held> m_held;
    mutable uint64_t m_clock = 0;
    mutable std::string m_error;
};

// A mask of the layer as it applies, or none: its bitmap in document coordinates and the value
// outside it.
struct Mask {
    std::shared_ptr<MaskBands> bands;  // its samples decoded by bands, or
    Bitmap bitmap;                     // its samples, until packed
    PackedPlane packed;       // or those samples as tiles
    Raster::FormatInfo info;  // the samples' format, once packed
    RenderMap feathered;      // the bitmap blurred, when the mask has a feather
    int32_t left = 0, top = 0;
    uint32_t width = 0, height = 0;
    float outside = 0;
    float density = 1;
    bool invert = false;

    // Masks are held for the whole render: once made, their samples are packed where that saves
    // memory, and the bitmap let go.
    void Pack() {
        if (!feathered.Empty()) {
            feathered.Pack();
            bitmap = nullptr;
            return;
        }
        if (!bitmap || width == 0 || height == 0) return;
        Raster::DynamicBitmap const& bm = *bitmap;
        auto const& format = bm.GetFormatInfo();
        if (packed.Pack(width, height, format.bytesPerSample * format.channels,
                        [&](size_t r) { return bm.GetRow(uint32_t(r)); })) {
            info = format;
            bitmap = nullptr;
        }
    }

    // A stored value as it applies: inverted when the mask is, then at the mask's density.
    float Applied(float v) const { return 1 - density * (1 - Clamp01(invert ? 1 - v : v)); }

    // At(x, y) for x in [x0, x1), multiplied into out[x - x0].
    void MultiplyRow(int64_t y, int64_t x0, int64_t x1, float* out) const {
        int64_t my = y - top;
        bool rowIn = my >= 0 && my < int64_t(height);
        int64_t a = rowIn ? std::clamp<int64_t>(left, x0, x1) : x1;
        int64_t b = rowIn ? std::clamp<int64_t>(int64_t(left) + width, x0, x1) : x1;
        float away = Applied(outside);
        for (int64_t x = x0; x < a; ++x) out[x - x0] *= away;
        for (int64_t x = b; x < x1; ++x) out[x - x0] *= away;
        if (a >= b) return;
        if (!feathered.Empty()) {
            for (int64_t x = a; x < b; ++x) out[x - x0] *= Applied(feathered.At(x, y));
            return;
        }
        if (!packed.Empty()) {
            // A tile's row at a time.
            for (int64_t x = a; x < b;) {
                size_t mx = size_t(x - left);
                int64_t n = std::min<int64_t>(
                    b - x, int64_t(PackedPlane::kSide - (mx & PackedPlane::kMask)));
                uint8_t const* samples = packed.At(mx, size_t(my));
                if (info.bytesPerSample == 1)
                    for (int64_t k = 0; k < n; ++k) out[x + k - x0] *= Applied(samples[k] / 255.0f);
                else
                    for (int64_t k = 0; k < n; ++k)
                        out[x + k - x0] *= Applied(Sample(samples, info, size_t(k)));
                x += n;
            }
            return;
        }
        Bitmap band;
        uint8_t const* row;
        if (bands) {
            uint32_t first;
            band = bands->Band(uint32_t(my), first);
            if (!band) return;  // the render fails: see MaskBands::Error
            row = band->GetRow(uint32_t(my) - first);
        } else {
            row = bitmap->GetRow(uint32_t(my));
        }
        auto const& info = (band ? band : bitmap)->GetFormatInfo();
        if (info.bytesPerSample == 1 && info.channels == 1) {
            for (int64_t x = a; x < b; ++x) out[x - x0] *= Applied(row[x - left] / 255.0f);
            return;
        }
        for (int64_t x = a; x < b; ++x) out[x - x0] *= Applied(Sample(row, info, size_t(x - left)));
    }
};

// The editor's feather: a Gaussian blur whose deviation is the feather's radius, reaching past
// the mask's rectangle over the value outside it.
void Feather(Mask& m, double radius) {
    if (radius <= 0 || m.width == 0 || m.height == 0) return;
    double sigma = radius;  // the feather is the Gaussian's deviation
    int32_t grow = int32_t(std::ceil(kGaussianReach * sigma)) + 2;
    RenderMap map;
    map.box = {m.left - grow, m.top - grow, m.left + int32_t(m.width) + grow,
               m.top + int32_t(m.height) + grow};
    map.outside = m.outside;
    size_t w = size_t(map.box.Width());
    map.v.clear();
    Kernel::ResizeOrThrow(map.v, w * size_t(map.box.Height()));
    std::fill(map.v.begin(), map.v.end(), m.outside);
    auto const& info = m.bitmap->GetFormatInfo();
    for (uint32_t y = 0; y < m.height; ++y) {
        float* row = map.v.data() + (size_t(y) + size_t(grow)) * w + size_t(grow);
        for (uint32_t x = 0; x < m.width; ++x) row[x] = Sample(m.bitmap->GetRow(y), info, x);
    }
    GaussianBlur(map, sigma);
    m.left = map.box.left, m.top = map.box.top;
    m.width = uint32_t(map.box.Width()), m.height = uint32_t(map.box.Height());
    m.feathered = std::move(map);
}

// The closed contours of an outline as cubic segments; an open subpath fills as if closed by a
// straight line.
std::vector<std::vector<Raster::CubicSegment>> OutlineContours(Geometry::PolyCurveDbl const* outline) {
    std::vector<std::vector<Raster::CubicSegment>> contours;
    if (!outline) return contours;
    for (auto const& curve : outline->GetCurves()) {
        if (!curve) continue;
        auto segments = curve->GetSegments();
        if (segments.empty()) continue;
        std::vector<Raster::CubicSegment> c(segments.begin(), segments.end());
        if (!(c.back()[3] == c.front()[0]))
            c.push_back({c.back()[3], c.back()[3], c.front()[0], c.front()[0]});
        contours.push_back(std::move(c));
    }
    return contours;
}

// The top-left corner of the layer's vector outline, where patterns linked with it start; none
// for a layer without an outline.
std::optional<Kernel::PointT<double>> OutlineCorner(PSDLayer const& l) {
    auto outline = l.m_vectorMask ? l.m_vectorMask->m_outline : nullptr;
    if (!outline || outline->IsEmpty()) return std::nullopt;
    auto b = outline->GetBoundingRect();
    return Kernel::PointT<double>{b.left, b.top};
}

// The layer's outline rasterised with anti-aliasing over box, as coverage 0..1.
RenderMap OutlineCoverage(PSDLayer const& l, Geometry::PolyCurveDbl const& outline,
                          Kernel::RectT<int32_t> const& box) {
    auto coverage = Raster::RasteriseContours(OutlineContours(&outline),
                                              l.m_vectorMask->m_fillRule == 0, box);
    RenderMap map;
    map.box = box;
    map.v.resize(size_t(box.Width()) * size_t(box.Height()));
    for (int32_t y = 0; y < box.Height(); ++y)
        for (int32_t x = 0; x < box.Width(); ++x)
            map.v[size_t(y) * size_t(box.Width()) + size_t(x)] =
                coverage->GetRow(uint32_t(y))[x] / 255.0f;
    return map;
}

// From one pixel toward another by t, as their premultiplied colours mix.
RenderPixel Mixed(RenderPixel const& from, RenderPixel const& to, float t, unsigned channels) {
    RenderPixel o;
    o.a = from.a + (to.a - from.a) * t;
    for (unsigned c = 0; c < channels; ++c) {
        float pre = from.c[c] * from.a + (to.c[c] * to.a - from.c[c] * from.a) * t;
        o.c[c] = o.a > 0 ? pre / o.a : 0;
    }
    return o;
}

// How one node draws, prepared before the bands start.
struct Prepared {
    Bitmap pixels;
    std::vector<Mask> masks;
    std::unique_ptr<PSDPixelAdjustment> adjust;
    bool solid = false;
    RenderPixel solidColour;
    PSDGradientDesc const* gradient = nullptr;
    PSDGradientRamp ramp;
    GradientPlacement placement;
    PatternPaint pattern;  // a pattern fill, when it names a pattern
    bool blendIf = false;
    std::unique_ptr<EffectsPlan> effects;
    std::unique_ptr<PSDLayerRows> rows;  // pixels decoded per band instead of whole
    bool vectorDrawn = false;            // the vector mask is among the masks (or disabled)
    bool storedShape = false;            // a fill drawn from the editor's stored drawing of it
    // An artboard: its content is seen only inside its rectangle, over its background.
    bool artboard = false;
    Kernel::RectT<int32_t> artboardRect;
    RenderPixel artboardBackground;  // transparent for a transparent background
    bool groupEffects = false;  // a group whose effects are to be planned from its drawing
    // A pass-through group below full fill over layers in modes other than normal: part of its
    // isolated drawing shows where those modes keep the backdrop.
    bool passFillIsolated = false;
    bool textGamma = false;  // type, whose pixels the editor blends in a gamma of their own
    // Solid, gradient or pattern: content made here, covering the canvas.
    bool Generated() const { return solid || gradient || pattern.pattern; }
};

struct Band {
    uint32_t y0 = 0, rows = 0, width = 0;
    std::vector<RenderPixel> px;
    RenderPixel& At(uint32_t x, uint32_t row) { return px[size_t(row) * width + x]; }
};

// Whether an adjustment leaves every colour of a coarse grid as it is: such settings are drawn
// exactly, however near the formulas for others come.
bool ChangesNothing(PSDPixelAdjustment const& adjust, unsigned channels) {
    constexpr int kSteps = 6;
    int points = 1;
    for (unsigned c = 0; c < channels; ++c) points *= kSteps;
    for (int i = 0; i < points; ++i) {
        float px[4], in[4];
        for (unsigned c = 0, code = unsigned(i); c < 4; ++c, code /= kSteps)
            in[c] = px[c] = c < channels ? float(code % kSteps) / (kSteps - 1) : 0.0f;
        adjust.Apply(px);
        for (unsigned c = 0; c < channels; ++c)
            if (std::abs(px[c] - in[c]) > 1e-4f) return false;
    }
    return true;
}

class Renderer {
public:
    Renderer(PSDFile const& doc, PSDRenderOptions const& options)
        : m_doc(doc), m_options(options), m_mode(doc.m_colourMode) {
        m_cmyk = m_mode == 4;
        m_ctx.channels = m_cmyk ? 4 : (m_mode == 3 || m_mode == 9) ? 3 : 1;
        m_ctx.rgb = m_mode == 3;
        m_ctx.linear = doc.m_depth == 32;
        m_ctx.depth = doc.m_depth;
        m_ctx.profile = doc.m_iccProfile.Get();
        if (m_mode == 1 && doc.m_iccProfile && doc.m_iccProfile->SampleGrayToneCurve(4096, m_greyCurve))
            m_ctx.greyCurve = &m_greyCurve;
    }

    bool Run(PSDRenderResult& result, std::string& error);

private:
    bool Prepare(std::vector<PSDLayerNode> const& nodes, std::string& error);
    bool PrepareLayer(PSDLayer const& l, size_t index, bool group, std::string& error);
    // Adds the layer's vector mask, rasterised with anti-aliasing from its combined outline, to
    // its masks; true when the mask is drawn that way or is disabled.
    bool AddVectorMask(PSDLayer const& l, Prepared& p);
    bool PrepareContent(PSDLayer const& l, Prepared& p, size_t index, bool byRows,
                        std::string& error);
    // Whether the editor blends a type layer's pixels in its text gamma (by its anti-aliasing).
    bool TextBlendsWithGamma(PSDLayer const& l) const;
    // Reads an artboard's rectangle and background into p; false when its data does not read.
    bool PrepareArtboard(PSDLayer const& l, Prepared& p) const;
    void Undrawn(std::string what) {
        if (m_seen.insert(what).second) m_undrawn.push_back(std::move(what));
    }
    void RenderList(std::vector<PSDLayerNode> const& nodes, Band& dst) const;
    // Whether the group draws the same apart from its backdrop as over it: every visible layer in
    // it is a plain one in normal mode (or a group of such), so pass-through changes nothing.
    bool DrawsAlike(PSDLayerNode const& group) const;
    // Draws one node onto dst: clipped to clip, its shape (alpha with masks) stored in shape, or
    // with atop set composited inside dst's own shape, as a layer clipped to an isolated base.
    // With deferInterior the effects within the layer's shape are left for DrawInterior.
    void DrawNode(PSDLayerNode const& node, Band& dst, std::vector<float> const* clip,
                  std::vector<float>* shape, bool atop = false, bool deferInterior = false) const;
    // A clipping base's effects within its shape, over the layers clipped to it: the editor's
    // order unless the base blends those effects as a group with its content.
    void DrawInterior(PSDLayerNode const& base, Band& iso) const;
    // The product of the node's masks over columns [x0, x1) of row y, into out.
    static void MaskRow(Prepared const& p, int64_t y, int64_t x0, int64_t x1,
                        std::vector<float>& out) {
        out.assign(size_t(std::max<int64_t>(0, x1 - x0)), 1.0f);
        for (auto const& mask : p.masks) mask.MultiplyRow(y, x0, x1, out.data());
    }
    float BlendIf(PSDLayer const& l, RenderPixel const& s, RenderPixel const& b) const;
    // The layer's own pixel at (x, y), before masks and opacity; transparent outside it.
    RenderPixel ContentAt(PSDLayer const& l, Prepared const& p, int64_t x, int64_t y) const;
    // Decodes the layer's rows [top, bottom) into band, made anew unless it already has their
    // size and format; false, the render failed, when they do not decode.
    bool DecodeRows(PSDLayer const& l, PSDLayerRows const& rows, int64_t top, int64_t bottom,
                    Bitmap& band) const;
    // Whether the node is a layer that DrawPlainRun can draw: 8-bit pixels, or 16-bit ones in the
    // document's colours and alpha, in normal mode, shaped by nothing but masks (on layers of that
    // form only).
    bool IsPlain(PSDLayerNode const& n) const;
    // Draws a run of plain layers (bottom first) onto the band a row at a time, every layer of
    // the run over each row while it is in cache.
    void DrawPlainRun(std::vector<PSDLayerNode const*> const& run, Band& dst) const;
    // Composites 8-bit rows of src (row 0 at document row srcTop) at the given opacity over
    // columns [left, right) and rows [top, bottom) of the band: in normal mode, or RGBA rows of
    // 8 or 16 bits in any mode, or atop the band's pixels.
    void DrawPlainRows(PSDLayer const& l, Raster::DynamicBitmap const& src, int64_t srcTop,
                       int64_t left, int64_t right, int64_t top, int64_t bottom, float opacity,
                       Band& dst, BlendMode mode = BlendMode::Normal, bool atop = false) const;
    // ContentAt for out.size() pixels from (left, y), a row at a time.
    void ContentRow(PSDLayer const& l, Prepared const& p, Raster::DynamicBitmap const* src,
                    int64_t srcTop, int64_t left, int64_t y, std::vector<RenderPixel>& out) const;
    // A failure inside a band: the first one is the render's error.
    void Fail(std::string why) const {
        std::lock_guard<std::mutex> lock(m_failLock);
        if (m_failure.empty()) m_failure = std::move(why);
    }
    void PlanLayerEffects(PSDLayer const& l, Prepared& p, PSDLayerEffects const& fx);
    // A group's effects, from the shape its layers draw alone (with its masks).
    void PlanGroupEffects(PSDLayerNode const& group);
    // A shape's stroke (and no fill when its fill is off), drawn on the layer after its effects.
    void PlanVectorStroke(PSDLayer const& l, Prepared& p);
    static bool Visible(PSDLayer const& l) { return l.m_visible; }
    // Whether a fill or shape layer's stored pixels are the editor's drawing of what the model
    // holds now (fill, outline and stroke, anti-aliased as the editor does): the layer was read
    // with its pixels and is unchanged since.
    bool StoredDrawingCurrent(PSDLayer const& l);
    // Where the layer stores the editor's drawing of its vector mask (its user mask made from
    // other data, multiplied by the pixel mask beside it) and is unchanged since, that drawing
    // replaces ours over the drawn box, wherever the pixel mask leaves it readable.
    void TakeStoredVectorDrawing(PSDLayer const& l, Raster::DynamicBitmap& drawn,
                                 Kernel::RectT<int32_t> const& box);
    bool Unedited(PSDLayer const& l);
    // The editor names a layer it made as an adjustment or a fill after its contents ("cont"):
    // without those settings such a layer would be silently left out.
    bool MadeAsContent(PSDLayer const& l) const {
        PSDTaggedBlockInfo const* b = l.FindBlock(Key("lnsr"));
        auto const& source = l.m_stream ? l.m_stream : m_doc.GetSourceStream();
        uint8_t k[4];
        if (!b || b->length != 4 || !source || source->ReadAt(b->position, k, 4) != 4) return false;
        // Little-endian files hold it reversed, as the editor writes them, or not, as others do.
        return std::memcmp(k, "cont", 4) == 0 || std::memcmp(k, "tnoc", 4) == 0;
    }
    // The canvas, where gradients not aligned with their layer lie.
    Kernel::RectT<double> DocumentBox() const {
        return {0, 0, double(m_doc.m_width), double(m_doc.m_height)};
    }

    PSDFile const& m_doc;
    PSDRenderOptions const& m_options;
    uint32_t m_mode;
    PatternSource m_patterns{m_doc};
    bool m_cmyk = false;
    BlendContext m_ctx;
    std::vector<float> m_greyCurve;
    std::vector<Prepared> m_prepared;  // by layer index
    uint64_t m_wholeZipBytes = 0;      // decoded size of the layers decoded whole so far
    std::vector<std::string> m_undrawn;
    std::set<std::string> m_seen;
    std::unique_ptr<SaveData> m_saveData;  // what an edit is judged against, made when needed
    mutable std::mutex m_failLock;
    double m_scale = 1.0;  // output size as a fraction of the document's
    // The source rows a band of the output covers: ZIP layers keep enough for every worker's.
    // The rows a ZIP stream read by bands keeps: enough for every worker's band and the next ones.
    uint32_t ZipWindow() const {
        return SourceBandRows() * 2 * uint32_t(Kernel::Dispatch::GetConcurrency() + 1);
    }
    uint32_t SourceBandRows() const {
        if (m_scale >= 1) return kBandRows;
        double rows =
            std::min(std::ceil(OutputBandRows(m_scale) / m_scale), double(m_doc.m_height));
        return std::max(kBandRows, uint32_t(rows) + 1);
    }
    mutable std::string m_failure;
};

bool Renderer::PrepareLayer(PSDLayer const& l, size_t index, bool group, std::string& error) {
    Prepared& p = m_prepared[index];
    // 32-bit documents blend in linear light, type included.
    p.textGamma = m_ctx.rgb && !m_ctx.linear && TextBlendsWithGamma(l);
    PSDReport report;
    auto fail = [&](char const* what) {
        error = "layer " + std::to_string(index) + " (" + std::string(l.m_name) + "): " + what +
                (report.m_error ? std::string(": ") + std::string(report.m_error->Report()) : "");
        return false;
    };
    // Masks: a disabled one does not apply.
    auto addMask = [&](PSDLayerMask const& m, bool real) {
        if (!m.m_present || m.m_disabled) return true;
        // A mask decoded here is not kept in the layer after the render: it is decoded by bands
        // as the render reaches them, or else whole and packed here.
        bool cached = l.HasCachedMask(real);
        Mask mask;
        mask.left = m.m_left, mask.top = m.m_top;
        // With a vector mask drawn by the editor, the record's first mask is that drawing and
        // its "real" mask the pixel mask; each takes its own density and feather.
        bool pixelMask = real == l.m_userMask.m_fromRendering;
        uint8_t densityBit = pixelMask ? 0x01 : 0x04, featherBit = pixelMask ? 0x02 : 0x08;
        double feather = pixelMask ? l.m_pixelMaskFeather : l.m_maskFeather;
        bool feathered = (l.m_maskParameters & featherBit) && feather > 0;
        // ZIP masks inflate whole within the budget the layers share, as ZIP layers do.
        uint64_t bytes = uint64_t(std::max<int64_t>(0, m.GetWidth())) *
                         uint64_t(std::max<int64_t>(0, m.GetHeight())) *
                         std::max<uint64_t>(1, l.m_bitDepth / 8);
        bool whole = m_wholeZipBytes + bytes <= m_options.wholeZipBytes;
        if (!cached && !feathered && m.GetWidth() > 0 && m.GetHeight() > 0) {
            mask.bands = std::make_shared<MaskBands>();
            mask.width = uint32_t(m.GetWidth()), mask.height = uint32_t(m.GetHeight());
            uint32_t window = whole ? 0 : ZipWindow();
            if (!mask.bands->Init(l, real, mask.width, mask.height, window)) mask.bands = nullptr;
        }
        if (!mask.bands) {
            m_wholeZipBytes += bytes;
            Bitmap bm;
            if (!(real ? l.GetBitmapRealMask(bm, report) : l.GetBitmapUserMask(bm, report)))
                return false;
            mask.bitmap = bm;
            mask.width = bm ? bm->GetWidth() : 0, mask.height = bm ? bm->GetHeight() : 0;
            if (!bm || bm->IsEmpty()) mask.width = mask.height = 0;
        }
        // The decoded samples are the mask as it applies, inverted already when the record says
        // so; the value outside them is not.
        mask.outside = (m.m_invert ? 255 - m.m_defaultColour : m.m_defaultColour) / 255.0f;
        uint8_t density = pixelMask ? l.m_pixelMaskDensity : l.m_maskDensity;
        if (l.m_maskParameters & densityBit) mask.density = density / 255.0f;
        if (feathered) Feather(mask, feather);
        mask.Pack();
        p.masks.push_back(std::move(mask));
        if (!cached) l.ReleaseDecodedMask(real);
        return true;
    };
    // A user mask made from other data is the vector mask drawn by the editor: it stands in for
    // the outline only when that cannot be drawn here (and refines its drawing when current).
    p.storedShape = !group && StoredDrawingCurrent(l);
    p.vectorDrawn = p.storedShape || AddVectorMask(l, p);
    if (!(p.vectorDrawn && l.m_userMask.m_fromRendering) && !addMask(l.m_userMask, false))
        return fail("mask does not decode");
    if (!addMask(l.m_realMask, true)) return fail("mask does not decode");
    if (!p.vectorDrawn && l.m_userMask.m_present && l.m_userMask.m_fromRendering)
        p.vectorDrawn = true;

    for (size_t i = 0; i < l.m_blendRanges.size(); ++i)
        if (std::memcmp(l.m_blendRanges[i].m_bytes, PSDBlendRangeSet::kDefault, 8) != 0)
            p.blendIf = true;
    // Both knock out to the bottom of their group; deep ones would reach the background.
    if (l.m_knockout == 2) Undrawn("deep knockout (drawn as shallow)");
    if (l.m_blendMode == BlendMode::Dissolve) Undrawn("dissolve (a noise pattern of its own)");
    if (l.m_blendMode == BlendMode::HardMix && l.m_fillOpacity < 255)
        Undrawn("hard mix with fill opacity (approximated)");
    auto fx = m_options.effects ? l.GetEffects() : Kernel::Counted<PSDLayerEffects>();
    bool effects = fx && fx->m_masterSwitch && fx->HasEnabledEffects();
    if (group) {
        // Planned once the group's layers are ready: they draw its shape.
        p.groupEffects = effects;
        if ((l.FindBlock(Key("vmsk")) || l.FindBlock(Key("vsms"))) && !p.vectorDrawn)
            Undrawn("vector mask");
        if ((l.FindBlock(Key("artb")) || l.FindBlock(Key("abdd"))) && !PrepareArtboard(l, p))
            Undrawn("artboard backgrounds and clipping");
        return true;
    }
    // Layers decode a band of rows at a time, those with effects twice: once for the shape
    // their effects are planned from, once as they are drawn.
    if (!PrepareContent(l, p, index, true, error)) return false;
    // Effects follow the shape of the prepared content.
    if (effects) PlanLayerEffects(l, p, *fx);
    PlanVectorStroke(l, p);
    return true;
}

bool Renderer::TextBlendsWithGamma(PSDLayer const& l) const {
    // Type layers keep their text settings in this block; groups never draw through the gamma.
    PSDTaggedBlockInfo const* block = l.FindBlock(Key("TySh"));
    if (!block) block = l.FindBlock(Key("tySh"));
    if (!block) return false;
    auto source = l.m_stream ? l.m_stream : m_doc.GetSourceStream();
    ParseData pd;
    pd.m_swap = l.GetSourceSwap();
    std::vector<BlockDescriptor> found;
    (void)ReadStoredBlockDescriptors(source, *block, pd, found);
    for (auto const& d : found) {
        if (d.label != "text") continue;
        auto aa = d.descriptor.Get<DescriptorItemEnum>(Key("AntA"));
        if (!aa) return false;
        // Sharp, strong and smooth text blends in the gamma; the composites hold crisp text
        // and the system's grey anti-aliasing blended plainly, and the system's LCD one either
        // way (by platform, which the file does not say), so plainly.
        std::string v = aa->m_value.m_value.ToString();
        return v == "antiAliasSharp" || v == "antiAliasStrong" || v == "antiAliasSmooth" ||
               v == "AnSh" || v == "AnSt" || v == "AnSm";
    }
    return false;
}

bool Renderer::PrepareArtboard(PSDLayer const& l, Prepared& p) const {
    PSDTaggedBlockInfo const* block = l.FindBlock(Key("artb"));
    if (!block) block = l.FindBlock(Key("abdd"));
    auto source = l.m_stream ? l.m_stream : m_doc.GetSourceStream();
    ParseData pd;
    pd.m_swap = l.GetSourceSwap();
    std::vector<BlockDescriptor> found;
    if (ReadStoredBlockDescriptors(source, *block, pd, found) != BlockDescriptorResult::Parsed ||
        found.empty())
        return false;
    Descriptor const& d = found.front().descriptor;
    auto rect = d.Get<DescriptorItemDescriptor>("artboardRect");
    if (!rect) return false;
    double edges[4];
    uint32_t const keys[4] = {Key("Left"), Key("Top "), Key("Rght"), Key("Btom")};
    for (int i = 0; i < 4; ++i) {
        auto item = rect->m_descriptor.GetItem(keys[i]);
        if (!item || !DecodeDouble(*item, edges[i], pd.m_report) || !std::isfinite(edges[i]))
            return false;
    }
    auto edge = [](double v) { return int32_t(std::clamp(std::round(v), -1e9, 1e9)); };
    p.artboardRect = {edge(edges[0]), edge(edges[1]), edge(edges[2]), edge(edges[3])};
    // Background: 1 white (also when not stated), 2 black, 3 transparent, 4 its colour.
    int type = 1;
    if (auto t = d.GetItem("artboardBackgroundType")) (void)DecodeInteger(*t, type, pd.m_report);
    RenderPixel& bg = p.artboardBackground;
    Kernel::Consolidated<::Renderer::Colour> colour;
    auto clr = d.GetItem(Key("Clr "));
    if (type == 3) {
        bg = RenderPixel{};
    } else {
        if (type != 4 || !clr || !DecodeColor(*clr, colour, pd.m_report) || !colour)
            colour = ::Renderer::ColourGrayscale::Create(type == 2 ? 0.0f : 1.0f, 1, 1, "");
        ColourSamples(*colour, m_mode, bg.c);  // in the document's own samples
        bg.a = 1;
    }
    p.artboard = true;
    return true;
}

bool Renderer::PrepareContent(PSDLayer const& l, Prepared& p, size_t index, bool byRows,
                              std::string& error) {
    PSDReport report;
    auto fail = [&](char const* what) {
        error = "layer " + std::to_string(index) + " (" + std::string(l.m_name) + "): " + what +
                (report.m_error ? std::string(": ") + std::string(report.m_error->Report()) : "");
        return false;
    };
    bool vectorMask = l.FindBlock(Key("vmsk")) || l.FindBlock(Key("vsms"));
    bool vectorDrawn = p.vectorDrawn;

    auto adj = l.GetAdjustment();
    // A shape whose fill its stroke's block holds: once edited, drawn from that fill, not from
    // pixels that hold the old drawing, stroke and all.
    if (!adj && l.m_vectorStroke && l.m_vectorStroke->m_fill) adj = l.m_vectorStroke->m_fill;
    // Type layers are drawn from the pixels the editor rendered for them: once their text is
    // replaced, those show the old text until the host sets new pixels.
    if (adj && adj->GetType() == PSDAdjustment::kTypeTool &&
        static_cast<PSDAdjustmentTypeTool const&>(*adj).ContentReplaced() &&
        (!l.m_bitmap || l.IsDecodedBitmap(l.m_bitmap.Get())))
        Undrawn("type layer whose text was replaced (drawn from its pixels as read)");
    if (adj && (adj->GetType() == PSDAdjustment::kTypeTool || p.storedShape)) adj = nullptr;
    bool hasPixels = l.GetWidth() > 0 && l.GetHeight() > 0;
    if (adj && adj->GetType() != PSDAdjustment::kSolidColor &&
        adj->GetType() != PSDAdjustment::kGradientFill &&
        adj->GetType() != PSDAdjustment::kPatternFill) {
        std::string why;
        p.adjust = PSDPixelAdjustment::Create(*adj, m_ctx, m_cmyk, why);
        if (!p.adjust) Undrawn(why);
        // Drawn by formulas near the editor's, not the same.
        bool modernBrightness =
            adj->GetType() == PSDAdjustment::kBrightnessContrast &&
            !static_cast<PSDAdjustmentBrightnessContrast const&>(*adj).m_useLegacy;
        auto kind = adj->GetType();
        // Hue and lightness match the editor's, and so do the ranges' saturations under a
        // lowered master; a raised one, and ranges that change saturation and lightness
        // together, only come near (a near grey's hue, the fourth column of huesaturation_rgb).
        bool nearSaturation = false;
        if (kind == PSDAdjustment::kHSLShift) {
            auto const& hs = static_cast<PSDAdjustmentHSLShift const&>(*adj);
            nearSaturation = hs.m_colourise || hs.m_master[1] > 0 ||
                             std::any_of(hs.m_ranges.begin(), hs.m_ranges.end(),
                                         [](auto const& r) { return r[5] != 0; });
        }
        bool nearOnly = modernBrightness || nearSaturation ||
                        kind == PSDAdjustment::kColourBalance ||
                        kind == PSDAdjustment::kSelectiveColour ||
                        kind == PSDAdjustment::kPhotoFilter || kind == PSDAdjustment::kVibrance;
        if (p.adjust && nearOnly && !ChangesNothing(*p.adjust, m_ctx.channels))
            Undrawn(std::string("adjustment ") + AdjustmentKindName(adj->GetType()) +
                    " (approximated)");
        if (kind == PSDAdjustment::kGradientMap) {
            // Perceptual mixing is drawn for RGB only; the others mix the classic way.
            uint32_t method = static_cast<PSDAdjustmentGradientMap const&>(*adj).m_interpolation;
            if (method && method != Key("Gcls") && !(method == Key("Perc") && m_ctx.rgb && !m_cmyk))
                Undrawn("gradient map interpolation " + std::string(KeyToString(method)) +
                        " (drawn as classic)");
            // Mapped by lightness from Lab stops: no document of the editor's shows it yet.
            if (p.adjust && m_mode == 9)
                Undrawn("adjustment gradientmap of a Lab document (approximated)");
        }
        if (vectorMask && !vectorDrawn) Undrawn("vector mask");
        return true;
    }
    // Once edited, a fill covers the canvas and its masks shape it; the pixels stored beside it
    // are then a stale copy, used only when the outline cannot be drawn.
    if (adj && (!vectorMask || vectorDrawn || !hasPixels)) {
        if (vectorMask && !vectorDrawn) {
            // Without its outline a shape would cover the canvas: better not drawn at all.
            Undrawn("vector mask");
            return true;
        }
        if (adj->GetType() == PSDAdjustment::kSolidColor) {
            auto const& s = static_cast<PSDAdjustmentSolidColor const&>(*adj);
            if (s.m_colour) {
                ColourSamples(*s.m_colour, m_mode, p.solidColour.c);
                p.solidColour.a = 1;
                p.solid = true;
                return true;
            }
        } else if (adj->GetType() == PSDAdjustment::kGradientFill) {
            auto const& g = static_cast<PSDAdjustmentGradientFill const&>(*adj);
            std::vector<std::string> named;
            bool perceptual = PerceptualGradient(g.m_gradient, m_mode, named);
            for (auto& n : named) Undrawn(std::move(n));
            if (p.ramp.Build(g.m_gradient.m_gradient, m_mode, g.m_gradient.m_reverse, perceptual)) {
                p.gradient = &g.m_gradient;
                Kernel::RectT<double> box = DocumentBox();
                // Aligned with the layer: over the shape's box.
                auto outline = l.m_vectorMask ? l.m_vectorMask->m_outline : nullptr;
                auto const& mask = l.m_userMask;
                if (g.m_gradient.m_alignWithLayer && outline && !outline->IsEmpty())
                    box = PixelBox(outline->GetBoundingRect());
                // Without a shape, a mask that hides all around it bounds the layer.
                else if (g.m_gradient.m_alignWithLayer && mask.m_present && !mask.m_disabled &&
                         !mask.m_invert && mask.m_defaultColour == 0 && mask.GetWidth() > 0 &&
                         mask.GetHeight() > 0)
                    box = {double(mask.m_left), double(mask.m_top), double(mask.m_right),
                           double(mask.m_bottom)};
                p.placement = GradientPlacement(g.m_gradient, box);
                // The editor's drawings of every style match but for these two, a pixel apart.
                auto const& d = g.m_gradient;
                if ((d.m_kind == PSDGradientDesc::kLinear && d.m_scale != 1) ||
                    (d.m_kind == PSDGradientDesc::kDiamond && d.m_reverse))
                    Undrawn("gradient fill (approximated)");
                return true;
            }
        } else if (adj->GetType() == PSDAdjustment::kPatternFill) {
            auto const& f = static_cast<PSDAdjustmentPatternFill const&>(*adj);
            std::string why;
            if (m_patterns.Paint(f.m_patternId, f.m_patternName, m_mode, p.pattern, why)) {
                PSDEffectPhase phase;
                phase.m_point = f.m_hasPhase ? f.m_phase : Kernel::PointT<double>{0, 0};
                double angle = 0;
                PSDReport r;
                if (auto a = f.m_descriptor.GetItem(Key("Angl")))
                    (void)DecodeUnit(*a, DescriptorItemUnitFloat::Angle, angle, r);
                // Linked with the layer, the tiles start at its outline's corner.
                Kernel::PointT<double> origin{0, 0};
                if (f.m_linked) origin = OutlineCorner(l).value_or(origin);
                PlacePattern(p.pattern, phase, f.m_scale / 100, angle, origin);
                m_patterns.SoftenReduced(p.pattern);
                if (p.pattern.scale < 1 || p.pattern.angle != 0)
                    Undrawn("pattern fill reduced or turned (approximated)");
                return true;
            }
            Undrawn("pattern fill (" + why + ")");
            if (!hasPixels) return true;
        }
        if (!hasPixels) {
            Undrawn(std::string("fill ") + AdjustmentKindName(adj->GetType()));
            return true;
        }
        // A fill that cannot be drawn here draws its stored copy, clipped by the outline.
    }
    if (vectorMask && !vectorDrawn) Undrawn("vector mask");
    if (!adj && !hasPixels && MadeAsContent(l))
        Undrawn("an adjustment or fill layer without settings drawn here (left out)");
    if (!hasPixels) return true;
    // A colour channel the file does not hold decodes as zero: not what the editor drew.
    auto missing = [&] {
        for (int16_t c = 0; c < int16_t(m_ctx.channels); ++c)
            if (std::none_of(l.m_channels.begin(), l.m_channels.end(),
                             [&](PSDChannelInfo const& ch) { return ch.m_id == c; }))
                Undrawn("a layer without all its colour channels (drawn as zero)");
    };
    if (byRows) {
        auto rows = std::make_unique<PSDLayerRows>();
        uint64_t bytes = uint64_t(l.GetWidth()) * uint64_t(l.GetHeight()) * (m_ctx.channels + 1) *
                         std::max<uint64_t>(1, l.m_bitDepth / 8);
        bool whole = m_wholeZipBytes + bytes <= m_options.wholeZipBytes;
        if (rows->Init(l, whole ? 0 : ZipWindow())) {
            p.rows = std::move(rows);
            missing();
            return true;
        }
        m_wholeZipBytes += bytes;
    }
    if (!l.GetBitmap(p.pixels, report) || !p.pixels) {
        if (!report.m_error || report.m_error->GetCode() == PSDError::kOutOfMemory)
            return fail("pixels do not decode");
        // A damaged layer is left out, and named; the rest of the document is still drawn.
        Undrawn("layer " + std::to_string(index) + " (" + std::string(l.m_name) +
                "): pixels do not decode: " + std::string(report.m_error->Report()));
        p.pixels = nullptr;
        return true;
    }
    if (l.m_stream && l.IsDecodedBitmap(p.pixels.Get())) missing();
    return true;
}

bool Renderer::AddVectorMask(PSDLayer const& l, Prepared& p) {
    if (!l.m_vectorMask) return false;
    if (l.m_vectorMaskFlagsStored & 4) return true;  // disabled
    PSDPath const& path = *l.m_vectorMask;
    auto const& outline = path.m_replacementOutline ? path.m_replacementOutline : path.m_outline;
    Mask mask;
    mask.invert = l.m_vectorMaskFlag0;
    auto contours = OutlineContours(outline.Get());
    if (contours.empty()) {
        // No shape: the whole canvas is in or out by the initial fill.
        mask.outside = path.m_initialFill ? 1.0f : 0.0f;
        p.masks.push_back(std::move(mask));
        return true;
    }
    auto bounds = outline->GetBoundingRect();
    double grow = 1 + ((l.m_maskParameters & 0x08) ? std::ceil(2 * l.m_maskFeather) : 0);
    auto edge = [](double v) { return int32_t(std::clamp(v, -1e9, 1e9)); };
    Kernel::RectT<int32_t> box{
        std::max(0, edge(std::floor(bounds.left - grow))),
        std::max(0, edge(std::floor(bounds.top - grow))),
        std::min(int32_t(m_doc.m_width), edge(std::ceil(bounds.right + grow))),
        std::min(int32_t(m_doc.m_height), edge(std::ceil(bounds.bottom + grow)))};
    if (!box.IsEmpty()) {
        mask.bitmap = Raster::RasteriseContours(contours, path.m_fillRule == 0, box);
        if (!mask.invert && !path.m_replacementOutline)
            TakeStoredVectorDrawing(l, *mask.bitmap, box);
        mask.left = box.left, mask.top = box.top;
        mask.width = uint32_t(box.Width()), mask.height = uint32_t(box.Height());
    }
    if (l.m_maskParameters & 0x04) mask.density = l.m_maskDensity / 255.0f;
    if ((l.m_maskParameters & 0x08) && l.m_maskFeather > 0 && mask.bitmap) {
        // Feathered past the outline: rasterised over a box grown by the radius first.
        mask.outside = 0;
        Feather(mask, l.m_maskFeather);
    }
    mask.Pack();
    p.masks.push_back(std::move(mask));
    return true;
}

bool Renderer::Prepare(std::vector<PSDLayerNode> const& nodes, std::string& error) {
    for (auto const& n : nodes) {
        if (m_options.abort && *m_options.abort) {
            error = "cancelled";
            return false;
        }
        if (!n.layer || !Visible(*n.layer)) continue;
        if (!PrepareLayer(*n.layer, n.index, n.isGroup, error)) return false;
        if (n.isGroup && !Prepare(n.children, error)) return false;
        if (n.isGroup && m_prepared[n.index].groupEffects) PlanGroupEffects(n);
        // Below full fill, such a group mixes in part of its layers as if it were isolated
        // where their mode keeps the backdrop (drawn in DrawNode, from one document's rule).
        if (n.isGroup && n.layer->m_blendMode == BlendMode::PassThrough &&
            n.layer->m_fillOpacity < 255) {
            bool other = false;
            WalkLayerTree(n.children, [&](PSDLayerNode const& c, unsigned) {
                other |= c.layer && Visible(*c.layer) &&
                         c.layer->m_blendMode != BlendMode::Normal &&
                         c.layer->m_blendMode != BlendMode::PassThrough;
                return !other;
            });
            m_prepared[n.index].passFillIsolated = other;
            if (other)
                Undrawn(
                    "fill opacity of a pass-through group over layers in other modes "
                    "(approximated)");
        }
    }
    return true;
}

float Renderer::BlendIf(PSDLayer const& l, RenderPixel const& s, RenderPixel const& b) const {
    auto weight = [](uint8_t const* r, float v) {
        float x = v * 255, bl = r[0], bh = r[1], wl = r[2], wh = r[3];
        if (x < bl) return 0.0f;
        if (x < bh) return (x - bl) / (bh - bl);
        if (x <= wl) return 1.0f;
        if (x < wh) return (wh - x) / (wh - wl);
        return x <= wh ? 1.0f : 0.0f;
    };
    float w = 1;
    for (size_t i = 0; i < l.m_blendRanges.size() && i <= m_ctx.channels; ++i) {
        uint8_t const* r = l.m_blendRanges[i].m_bytes;
        float sv = i == 0 ? Luminosity(s.c, m_ctx.channels) : s.c[i - 1];
        float bv = i == 0 ? Luminosity(b.c, m_ctx.channels) : b.c[i - 1];
        w *= weight(r, sv) * weight(r + 4, bv);
    }
    return w;
}

bool Renderer::DrawsAlike(PSDLayerNode const& group) const {
    for (auto const& c : group.children) {
        if (!c.layer || !Visible(*c.layer)) continue;
        BlendMode m = c.layer->m_blendMode;
        if (m != BlendMode::Normal && m != BlendMode::PassThrough) return false;
        if (m_prepared[c.index].adjust || (c.isGroup && !DrawsAlike(c))) return false;
    }
    return true;
}

void Renderer::RenderList(std::vector<PSDLayerNode> const& nodes, Band& dst) const {
    // The tree lists the top first; draw from the bottom.
    std::vector<float> baseShape;
    bool haveBase = false, baseVisible = false;
    // A pixel layer with layers clipped to it (blended as a group) is drawn apart with them, they
    // inside its shape, and the whole then meets the backdrop in the base's mode.
    Band iso;
    BlendMode isoMode = BlendMode::Normal;
    bool isolated = false;
    // A base whose effects within its shape wait for the layers clipped to it.
    PSDLayerNode const* deferred = nullptr;
    auto flush = [&] {
        if (!isolated) return;
        isolated = false;
        if (deferred) DrawInterior(*deferred, iso);
        deferred = nullptr;
        for (size_t i = 0; i < dst.px.size(); ++i)
            CompositePixel(isoMode, m_ctx, dst.px[i], iso.px[i]);
    };
    // Layers that knock out see the list's backdrop, not the layers below them: where such a
    // layer lies, what those drew is taken back to the backdrop before it is drawn.
    std::vector<RenderPixel> backdrop;
    if (std::any_of(nodes.begin(), nodes.end(), [](PSDLayerNode const& n) {
            return n.layer && n.layer->m_knockout && Visible(*n.layer) && !n.isGroup;
        }))
        backdrop = dst.px;
    auto knockOut = [&](PSDLayerNode const& n) {
        Band alone = dst;
        std::vector<float> covered;
        DrawNode(n, alone, nullptr, &covered);
        for (size_t i = 0; i < dst.px.size(); ++i) {
            if (covered[i] > 0)
                dst.px[i] = Mixed(dst.px[i], backdrop[i], covered[i], m_ctx.channels);
        }
    };
    for (size_t k = nodes.size(); k-- > 0;) {
        if (m_options.abort && *m_options.abort) return;
        auto const& n = nodes[k];
        if (!n.layer) continue;
        PSDLayer const& l = *n.layer;
        if (l.m_clipping && haveBase) {
            if (baseVisible && Visible(l)) {
                if (isolated)
                    DrawNode(n, iso, nullptr, nullptr, true);
                else
                    DrawNode(n, dst, &baseShape, nullptr);
            }
            continue;
        }
        flush();
        haveBase = true;
        baseVisible = Visible(l);
        bool clippedAbove = k > 0 && nodes[k - 1].layer && nodes[k - 1].layer->m_clipping;
        if (!baseVisible) continue;
        Prepared const& p = m_prepared[n.index];
        if (clippedAbove && !p.adjust && l.m_blendClipped &&
            l.m_blendMode != BlendMode::Dissolve && (!n.isGroup || DrawsAlike(n))) {
            iso.y0 = dst.y0, iso.rows = dst.rows, iso.width = dst.width;
            iso.px.assign(dst.px.size(), RenderPixel{});
            isoMode = l.m_blendMode == BlendMode::PassThrough ? BlendMode::Normal : l.m_blendMode;
            isolated = true;
            bool defer = !n.isGroup && p.effects && !l.m_blendInterior &&
                         std::any_of(p.effects->above.begin(), p.effects->above.end(),
                                     [](EffectPart const& e) { return e.within && !e.joins; });
            deferred = defer ? &n : nullptr;
            DrawNode(n, iso, nullptr, nullptr, false, defer);
            continue;
        }
        if (l.m_knockout && !n.isGroup && !backdrop.empty()) knockOut(n);
        if (!clippedAbove && IsPlain(n)) {
            // This layer and the plain ones right above it, none with layers clipped to it.
            std::vector<PSDLayerNode const*> run{&n};
            auto clipping = [&](size_t i) { return nodes[i].layer && nodes[i].layer->m_clipping; };
            while (k > 0 && nodes[k - 1].layer && !clipping(k - 1) && IsPlain(nodes[k - 1]) &&
                   !(k > 1 && clipping(k - 2)))
                run.push_back(&nodes[--k]);
            if (run.size() > 1) {
                DrawPlainRun(run, dst);
                continue;
            }
        }
        DrawNode(n, dst, nullptr, clippedAbove ? &baseShape : nullptr);
    }
    flush();
}

bool Renderer::DecodeRows(PSDLayer const& l, PSDLayerRows const& rows, int64_t top,
                          int64_t bottom, Bitmap& band) const {
    uint32_t width = uint32_t(l.GetWidth()), height = uint32_t(bottom - top);
    if (!band || band->GetWidth() != width || band->GetHeight() != height ||
        band->GetFormat() != rows.GetFormat()) {
        try {
            band = Raster::DynamicBitmap::Create(width, height, rows.GetFormat(),
                                                 Raster::Contents::Unspecified);
        } catch (std::bad_alloc const&) {
            Fail("out of memory");
            return false;
        }
    }
    PSDReport report;
    if (!rows.Decode(uint32_t(top - l.m_top), *band, report)) {
        Fail("layer \"" + std::string(l.m_name) + "\": pixels do not decode" +
             (report.m_error ? ": " + std::string(report.m_error->Report()) : ""));
        return false;
    }
    return true;
}

bool Renderer::IsPlain(PSDLayerNode const& n) const {
    if (n.isGroup || !n.layer || !Visible(*n.layer)) return false;
    PSDLayer const& l = *n.layer;
    Prepared const& p = m_prepared[n.index];
    // Decoded by rows or whole, a layer is drawn the same way: the sums do not depend on which.
    Raster::FormatInfo info;
    if ((!p.rows && !p.pixels) || p.effects || p.blendIf || p.Generated() || p.adjust ||
        l.m_knockout || p.textGamma || l.m_blendMode != BlendMode::Normal ||
        !Raster::GetFormatInfo(p.rows ? p.rows->GetFormat() : p.pixels->GetFormat(), info))
        return false;
    // Masked and 16-bit layers only in the run's own form (the document's colours, then alpha):
    // the run sums those itself, where the rows drawn one layer at a time take 8-bit samples.
    bool runForm = info.channels == m_ctx.channels + 1 && info.alphaChannel == int(m_ctx.channels);
    if (!p.masks.empty() && !runForm) return false;
    if (info.bytesPerSample == 2) return runForm;
    return info.bytesPerSample == 1;
}

// The planes a run of plain layers sums into: premultiplied colour, and what still shows through.
struct RunPlanes {
    float* c[4];  // one per colour channel the document has
    float* seen;
};

// Adds one layer's pixels [x, x1) (N colour samples, then alpha) under what the planes hold, its
// alpha times mask[x] when there is one.
template <unsigned N, typename T>
void AddRow(T const* q, int64_t x, int64_t x1, float alphaScale, RunPlanes const& p,
            float const* mask) {
    constexpr float unit = 1.0f / std::numeric_limits<T>::max();
    float* planes[N];
    std::copy(p.c, p.c + N, planes);
    for (; x < x1; ++x, q += N + 1) {
        float sa = std::min(q[N] * alphaScale, 1.0f), t = p.seen[x];
        if (mask) sa *= mask[x];
        float wt = sa * t, w = wt * unit;
        for (unsigned c = 0; c < N; ++c) planes[c][x] += q[c] * w;
        p.seen[x] = t - wt;
    }
}

#if defined(__SSE2__)
// Adds one layer's 8-bit pixels [x, x1) (N colour samples, then alpha) under what the planes
// hold, four a step, their alpha times mask[x] when there is one; returns where it stopped (fewer
// than four left). Each lane holds a pixel's colour samples in its bytes, from the bottom.
template <unsigned N>
int64_t AddRowSSE2(uint8_t const* q, int64_t x, int64_t x1, float alphaScale, RunPlanes const& p,
                   float const* mask) {
    static_assert(N == 1 || N == 3 || N == 4);
    __m128i const low = _mm_set1_epi32(0xFF);
    __m128 const one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(alphaScale);
    __m128 const toUnit = _mm_set1_ps(1.0f / 255);
    auto word = [](uint8_t const* at) {
        int32_t w;
        std::memcpy(&w, at, 4);
        return w;
    };
    for (; x + 4 <= x1; x += 4, q += 4 * (N + 1)) {
        __m128i colour, alpha;
        if constexpr (N == 3) {
            colour = _mm_loadu_si128(reinterpret_cast<__m128i const*>(q));
            alpha = _mm_srli_epi32(colour, 24);
        } else if constexpr (N == 1) {
            // Intensity and alpha as the low and high halves of each lane.
            __m128i pairs = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<__m128i const*>(q)),
                                              _mm_setzero_si128());
            colour = _mm_and_si128(pairs, _mm_set1_epi32(0xFFFF));
            alpha = _mm_srli_epi32(pairs, 16);
        } else {
            colour = _mm_set_epi32(word(q + 15), word(q + 10), word(q + 5), word(q));
            alpha = _mm_set_epi32(q[19], q[14], q[9], q[4]);
        }
        __m128 sa = _mm_min_ps(_mm_mul_ps(_mm_cvtepi32_ps(alpha), scale), one);
        if (mask) sa = _mm_mul_ps(sa, _mm_loadu_ps(mask + x));
        __m128 t = _mm_loadu_ps(p.seen + x);
        __m128 wt = _mm_mul_ps(sa, t), w = _mm_mul_ps(wt, toUnit);
        for (unsigned c = 0; c < N; ++c) {
            __m128 v = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(colour, int(8 * c)), low));
            _mm_storeu_ps(p.c[c] + x, _mm_add_ps(_mm_loadu_ps(p.c[c] + x), _mm_mul_ps(v, w)));
        }
        _mm_storeu_ps(p.seen + x, _mm_sub_ps(t, wt));
    }
    return x;
}
#endif

// AddRowSSE2 for 8-bit samples where there is SSE2, then AddRow for the pixels it left, for the
// document's count of colours; q is pixel x's.
template <unsigned N, typename T>
void AddRowFrom(T const* q, int64_t x, int64_t x1, float alphaScale, RunPlanes const& p,
                float const* mask) {
#if defined(__SSE2__)
    if constexpr (sizeof(T) == 1) {
        int64_t done = AddRowSSE2<N>(q, x, x1, alphaScale, p, mask);
        q += (done - x) * (N + 1);
        x = done;
    }
#endif
    AddRow<N>(q, x, x1, alphaScale, p, mask);
}

template <typename T>
void AddRowFrom(unsigned colours, T const* q, int64_t x, int64_t x1, float alphaScale,
                RunPlanes const& p, float const* mask) {
    switch (colours) {
        case 1: return AddRowFrom<1>(q, x, x1, alphaScale, p, mask);
        case 4: return AddRowFrom<4>(q, x, x1, alphaScale, p, mask);
        default: return AddRowFrom<3>(q, x, x1, alphaScale, p, mask);
    }
}

#if ZUZODORIV_AVX2_ROWS
// The same eight pixels a step, on processors that have AVX2 (asked at run time). The same
// operations in the same order, without fused multiply-adds: the sums are the SSE2 ones exactly.
__attribute__((target("avx2"))) int64_t AddRowAVX2(uint8_t const* q, int64_t x, int64_t x1,
                                                   float alphaScale, RunPlanes const& p,
                                                   float const* mask) {
    __m256i const low = _mm256_set1_epi32(0xFF);
    __m256 const one = _mm256_set1_ps(1.0f), scale = _mm256_set1_ps(alphaScale);
    __m256 const toUnit = _mm256_set1_ps(1.0f / 255);
    for (; x + 8 <= x1; x += 8, q += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(q));
        __m256 cr = _mm256_cvtepi32_ps(_mm256_and_si256(v, low));
        __m256 cg = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 8), low));
        __m256 cb = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 16), low));
        __m256 sa =
            _mm256_min_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(v, 24)), scale), one);
        if (mask) sa = _mm256_mul_ps(sa, _mm256_loadu_ps(mask + x));
        __m256 t = _mm256_loadu_ps(p.seen + x);
        __m256 wt = _mm256_mul_ps(sa, t), w = _mm256_mul_ps(wt, toUnit);
        _mm256_storeu_ps(p.c[0] + x,
                         _mm256_add_ps(_mm256_loadu_ps(p.c[0] + x), _mm256_mul_ps(cr, w)));
        _mm256_storeu_ps(p.c[1] + x,
                         _mm256_add_ps(_mm256_loadu_ps(p.c[1] + x), _mm256_mul_ps(cg, w)));
        _mm256_storeu_ps(p.c[2] + x,
                         _mm256_add_ps(_mm256_loadu_ps(p.c[2] + x), _mm256_mul_ps(cb, w)));
        _mm256_storeu_ps(p.seen + x, _mm256_sub_ps(t, wt));
    }
    return x;
}
#endif

void Renderer::DrawPlainRun(std::vector<PSDLayerNode const*> const& run, Band& dst) const {
    struct Rows {
        PSDLayerNode const* node;
        PSDLayer const* layer;
        Bitmap pixels;
        int64_t origin;       // the document row of the bitmap's first
        int64_t top, bottom;  // the band's rows the layer has
        float opacity;
    };
    std::vector<Rows> rows;
    // Each worker keeps the bitmaps of its last run: fresh pages for every band cost more than
    // the decoding into them.
    thread_local std::vector<Bitmap> kept;
    size_t used = 0;
    for (auto const* n : run) {
        PSDLayer const& l = *n->layer;
        Prepared const& p = m_prepared[n->index];
        int64_t top = std::max<int64_t>(dst.y0, l.m_top);
        int64_t bottom = std::min<int64_t>(int64_t(dst.y0) + dst.rows, l.m_top + l.GetHeight());
        float opacity = l.m_opacity / 255.0f * (l.m_fillOpacity / 255.0f);
        if (top >= bottom || opacity <= 0 || l.GetWidth() == 0) continue;
        if (!p.rows) {
            bottom = std::min<int64_t>(bottom, l.m_top + int64_t(p.pixels->GetHeight()));
            if (top < bottom) rows.push_back({n, &l, p.pixels, l.m_top, top, bottom, opacity});
            continue;
        }
        if (used == kept.size()) kept.emplace_back();
        Bitmap& band = kept[used++];
        if (!DecodeRows(l, *p.rows, top, bottom, band)) return;
        rows.push_back({n, &l, band, top, top, bottom, opacity});
    }
    // The layers from the lowest up to the last one not in the run's form (a background without
    // transparency, most often) are drawn one by one; those above it are summed together.
    unsigned const colours = m_ctx.channels;
    unsigned bytes = rows.empty() ? 1 : rows.back().pixels->GetBytesPerSample();
    size_t split = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
        auto const& info = rows[k].pixels->GetFormatInfo();
        if (info.channels != colours + 1 || info.alphaChannel != int(colours) ||
            info.bytesPerSample != bytes)
            split = k + 1;
    }
    // One by one: the rows take 8-bit samples without masks; the general path takes the others
    // (masked ones, or deep ones below a layer of another depth).
    auto drawAlone = [&](Rows const& r) {
        if (!m_prepared[r.node->index].masks.empty() || r.pixels->GetBytesPerSample() != 1)
            DrawNode(*r.node, dst, nullptr, nullptr);
        else
            DrawPlainRows(*r.layer, *r.pixels, r.origin, 0, dst.width, r.top, r.bottom, r.opacity,
                          dst);
    };
    if (split < rows.size()) {
        for (size_t k = 0; k < split; ++k) drawAlone(rows[k]);
#if ZUZODORIV_AVX2_ROWS
        static bool const avx2 = __builtin_cpu_supports("avx2");
#endif
        // From the top down: the run's premultiplied colour and how much of what lies below
        // still shows through, so that a pixel divides once for the whole run, not per layer.
        // Kept a plane per channel, so that four or eight pixels of a layer's row go through at
        // once.
        thread_local std::vector<float> planeStore, maskRow;
        size_t width = dst.width;
        planeStore.resize(width * (colours + 1));
        maskRow.resize(width);
        RunPlanes planes{};
        for (unsigned c = 0; c < colours; ++c) planes.c[c] = planeStore.data() + c * width;
        float* seen = planes.seen = planeStore.data() + colours * width;
        for (int64_t y = dst.y0; y < int64_t(dst.y0) + dst.rows; ++y) {
            std::fill(planeStore.begin(), planeStore.begin() + ptrdiff_t(width * colours), 0.0f);
            std::fill(seen, seen + width, 1.0f);
            for (size_t k = rows.size(); k-- > split;) {
                Rows const& r = rows[k];
                if (y < r.top || y >= r.bottom) continue;
                PSDLayer const& l = *r.layer;
                int64_t x0 = std::max<int64_t>(0, l.m_left);
                int64_t x1 = std::min<int64_t>(dst.width, l.m_left + int64_t(r.pixels->GetWidth()));
                uint8_t const* row = r.pixels->GetRow(uint32_t(y - r.origin));
                // The masks' product over the layer's columns, indexed by document column.
                float const* mask = nullptr;
                auto const& masks = m_prepared[r.node->index].masks;
                if (!masks.empty() && x0 < x1) {
                    std::fill(maskRow.begin() + x0, maskRow.begin() + x1, 1.0f);
                    for (auto const& m : masks) m.MultiplyRow(y, x0, x1, maskRow.data() + x0);
                    mask = maskRow.data();
                }
                size_t first = size_t(x0 - l.m_left) * (colours + 1);
                if (bytes == 2) {
                    AddRowFrom(colours, reinterpret_cast<uint16_t const*>(row) + first, x0, x1,
                               r.opacity / 65535, planes, mask);
                    continue;
                }
                uint8_t const* q = row + first;
                float alphaScale = r.opacity / 255;
                // Eight pixels a step (RGB with AVX2), then four, then one.
                int64_t x = x0;
#if ZUZODORIV_AVX2_ROWS
                if (avx2 && colours == 3) x = AddRowAVX2(q, x, x1, alphaScale, planes, mask);
#endif
                AddRowFrom(colours, q + (x - x0) * (colours + 1), x, x1, alphaScale, planes, mask);
            }
            RenderPixel* b = &dst.At(0, uint32_t(y - dst.y0));
            for (size_t x = 0; x < width; ++x, ++b) {
                float t = seen[x];
                if (t >= 1) continue;
                float below = b->a * t;
                float a = 1 - t + below;
                float inv = a > 0 ? 1 / a : 0;
                for (unsigned c = 0; c < colours; ++c)
                    b->c[c] = (planes.c[c][x] + b->c[c] * below) * inv;
                b->a = a > 1 - 1e-6f ? 1.0f : a;
            }
        }
        return;
    }
    for (auto const& r : rows) drawAlone(r);
}

void Renderer::DrawNode(PSDLayerNode const& node, Band& dst, std::vector<float> const* clip,
                        std::vector<float>* shape, bool atop, bool deferInterior) const {
    PSDLayer const& l = *node.layer;
    Prepared const& p = m_prepared[node.index];
    size_t count = size_t(dst.width) * dst.rows;
    if (shape) shape->assign(count, 0.0f);
    float opacity = l.m_opacity / 255.0f, fill = l.m_fillOpacity / 255.0f;
    auto clipAt = [&](size_t i) { return clip ? (*clip)[i] : 1.0f; };
    auto put = [&](BlendMode m, RenderPixel& b, RenderPixel const& src) {
        if (atop)
            CompositeAtop(m, m_ctx, b, src);
        else
            CompositePixel(m, m_ctx, b, src);
    };

    if (node.isGroup) {
        // A group with effects is drawn apart first, as the effects need its drawing.
        bool pass = l.m_blendMode == BlendMode::PassThrough && !clip && !atop && !p.artboard &&
                    !p.effects;
        if (pass && shape) {
            // A pass-through group under clipped layers stays pass-through; its shape is what
            // its layers cover, drawn alone once more.
            Band alone;
            alone.y0 = dst.y0, alone.rows = dst.rows, alone.width = dst.width;
            alone.px.assign(count, RenderPixel{});
            RenderList(node.children, alone);
            std::vector<float> maskRow;
            for (uint32_t r = 0; r < dst.rows; ++r) {
                MaskRow(p, int64_t(dst.y0) + r, 0, dst.width, maskRow);
                for (uint32_t x = 0; x < dst.width; ++x) {
                    size_t i = size_t(r) * dst.width + x;
                    (*shape)[i] = alone.px[i].a * maskRow[x] * opacity;
                }
            }
        }
        if (pass) {
            std::vector<RenderPixel> before = dst.px;
            RenderList(node.children, dst);
            Band alone;
            if (p.passFillIsolated) {
                alone.y0 = dst.y0, alone.rows = dst.rows, alone.width = dst.width;
                alone.px.assign(count, RenderPixel{});
                RenderList(node.children, alone);
            }
            // The group's opacities and masks fade its effect on what lay below.
            std::vector<float> maskRow;
            for (uint32_t r = 0; r < dst.rows; ++r) {
                MaskRow(p, int64_t(dst.y0) + r, 0, dst.width, maskRow);
                for (uint32_t x = 0; x < dst.width; ++x) {
                    size_t i = size_t(r) * dst.width + x;
                    float g = opacity * fill * maskRow[x];
                    if (p.passFillIsolated) {
                        // The editor's composite of passthrough_fill_blendmode (lighter colour at
                        // 47 % fill) to within a level: the pass-through drawing moves toward the
                        // isolated one over the backdrop by fill x (1 - fill x its coverage).
                        RenderPixel isolated = before[i];
                        CompositePixel(BlendMode::Normal, m_ctx, isolated, alone.px[i]);
                        float t = fill * (1 - fill * alone.px[i].a);
                        dst.px[i] = Mixed(dst.px[i], isolated, t, m_ctx.channels);
                    }
                    if (g < 1) dst.px[i] = Mixed(before[i], dst.px[i], g, m_ctx.channels);
                }
            }
            return;
        }
        Band inner;
        inner.y0 = dst.y0, inner.rows = dst.rows, inner.width = dst.width;
        inner.px.assign(count, RenderPixel{});
        // An artboard's layers lie over its background, and all of it is cut to its rectangle.
        auto const& box = p.artboardRect;
        auto outside = [&](int64_t x, int64_t y) {
            return p.artboard && (x < box.left || x >= box.right || y < box.top || y >= box.bottom);
        };
        if (p.artboard)
            for (uint32_t r = 0; r < dst.rows; ++r)
                for (uint32_t x = 0; x < dst.width; ++x)
                    if (!outside(x, int64_t(dst.y0) + r)) inner.At(x, r) = p.artboardBackground;
        RenderList(node.children, inner);
        BlendMode mode = l.m_blendMode == BlendMode::PassThrough || p.artboard ? BlendMode::Normal
                                                                              : l.m_blendMode;
        std::vector<float> maskRow;
        for (uint32_t r = 0; r < dst.rows; ++r) {
            MaskRow(p, int64_t(dst.y0) + r, 0, dst.width, maskRow);
            for (uint32_t x = 0; x < dst.width; ++x) {
                size_t i = size_t(r) * dst.width + x;
                int64_t y = int64_t(dst.y0) + r;
                RenderPixel s = inner.px[i];
                if (p.effects) {
                    // As a layer's: shadows and glows below, the drawing at its fill opacity
                    // with its outside strokes joined to it, then the overlays and other
                    // strokes, each meeting the backdrop on its own.
                    for (auto const& part : p.effects->below) {
                        RenderPixel e = part.At(x, y);
                        e.a *= opacity * clipAt(i);
                        put(part.mode, dst.px[i], e);
                    }
                }
                if (outside(x, y)) s = RenderPixel{};
                float m = maskRow[x];
                if (shape) (*shape)[i] = s.a * m * opacity;
                s.a *= m * fill;
                if (p.effects)
                    for (auto const& part : p.effects->above)
                        if (part.joins) part.JoinTo(s, x, y, m_ctx.channels);
                s.a *= opacity * clipAt(i);
                if (s.a > 0) put(mode, dst.px[i], s);
                if (p.effects)
                    for (auto const& part : p.effects->above) {
                        if (part.joins) continue;
                        RenderPixel e = part.At(x, y);
                        e.a *= opacity * clipAt(i);
                        put(part.mode == BlendMode::Normal ? mode : part.mode, dst.px[i], e);
                    }
            }
        }
        return;
    }

    BlendMode mode = l.m_blendMode;
    if (p.adjust) {
        std::vector<float> maskRow;
        for (uint32_t r = 0; r < dst.rows; ++r) {
            MaskRow(p, int64_t(dst.y0) + r, 0, dst.width, maskRow);
            for (uint32_t x = 0; x < dst.width; ++x) {
                size_t i = size_t(r) * dst.width + x;
                float m = maskRow[x] * opacity * clipAt(i);
                if (shape) (*shape)[i] = m;
                m *= fill;
                RenderPixel& b = dst.px[i];
                if (m <= 0 || b.a <= 0) continue;
                float t[4] = {b.c[0], b.c[1], b.c[2], b.c[3]}, blended[4];
                // The editor adjusts an 8-bit document's whole levels: a trace of colour left
                // by a soft edge, under half a level, is none to a steep curve.
                if (m_ctx.depth == 8)
                    for (unsigned c = 0; c < m_ctx.channels; ++c)
                        if (t[c] < 0.5f / 255) t[c] = 0;
                p.adjust->Apply(t);
                BlendColours(mode == BlendMode::Dissolve ? BlendMode::Normal : mode, m_ctx, b.c,
                             t, blended);
                for (unsigned c = 0; c < m_ctx.channels; ++c) b.c[c] += (blended[c] - b.c[c]) * m;
            }
        }
        return;
    }

    // A fill covers the canvas; pixels cover the layer's rectangle; effects reach beyond it.
    int64_t left = 0, right = dst.width, top = dst.y0, bottom = int64_t(dst.y0) + dst.rows;
    if (p.effects) {
        auto const& box = p.effects->region;
        left = std::max<int64_t>(left, box.left), right = std::min<int64_t>(right, box.right);
        top = std::max<int64_t>(top, box.top), bottom = std::min<int64_t>(bottom, box.bottom);
    } else if (!p.Generated()) {
        if (!p.pixels && !p.rows) return;
        left = std::max<int64_t>(left, l.m_left);
        right = std::min<int64_t>(right, l.m_left + l.GetWidth());
        top = std::max<int64_t>(top, l.m_top);
        bottom = std::min<int64_t>(bottom, l.m_top + l.GetHeight());
    }
    if (left >= right || top >= bottom) return;
    // The layer's rows of this band: from the whole bitmap, or decoded now.
    Raster::DynamicBitmap const* src = p.pixels.Get();
    int64_t srcTop = l.m_top;
    Bitmap band;
    // The band's rows that the layer has (effects may reach past them).
    int64_t rowsTop = std::max<int64_t>(top, l.m_top);
    int64_t rowsBottom = std::min<int64_t>(bottom, l.m_top + l.GetHeight());
    if (p.rows && rowsTop < rowsBottom) {
        if (!DecodeRows(l, *p.rows, rowsTop, rowsBottom, band)) return;
        src = band.Get();
        srcTop = rowsTop;
    } else if (p.rows) {
        src = nullptr;
    }
    // Most layers of most documents: 8-bit pixels in normal mode, nothing shaping them. Read
    // straight from the decoded rows, without a row of float pixels between; so are RGBA ones of
    // 8 or 16 bits in any other mode but dissolve, or atop a clipping base, where fill opacity
    // fades as opacity does.
    float neutral = 0;
    auto const* format = src ? &src->GetFormatInfo() : nullptr;
    bool normal = mode == BlendMode::Normal || mode == BlendMode::PassThrough;
    if (src && !p.effects && !shape && !clip && !p.blendIf && p.masks.empty() && !p.Generated() &&
        !p.textGamma &&
        ((!atop && format->bytesPerSample == 1 && normal) ||
         ((!normal || atop) && mode != BlendMode::Dissolve && (!atop || BlendsEachSample(mode)) &&
          format->channels == m_ctx.channels + 1 && format->alphaChannel == int(m_ctx.channels) &&
          format->bytesPerSample <= 2 && (fill >= 1 || !FadesByFill(mode, neutral))))) {
        DrawPlainRows(l, *src, srcTop, left, right, std::max(top, rowsTop),
                      std::min(bottom, rowsBottom), opacity * fill, dst, mode, atop);
        return;
    }
    if (p.effects) {
        // Shadows and outer glows lie under the layer, faded with it; a row at a time, where
        // nothing clips them and they meet the backdrop as it is.
        std::vector<RenderPixel> paint(size_t(right - left));
        for (auto const& part : p.effects->below)
            for (int64_t y = top; y < bottom; ++y) {
                size_t row = size_t(y - dst.y0) * dst.width;
                part.Row(y, left, right, paint.data());
                for (int64_t x = left; x < right; ++x) {
                    size_t i = row + size_t(x);
                    RenderPixel& e = paint[size_t(x - left)];
                    e.a *= opacity * clipAt(i);
                    if (atop) CompositeAtop(part.mode, m_ctx, dst.px[i], e);
                }
                if (!atop)
                    CompositeRowPixels(part.mode, m_ctx, paint.data(), paint.size(),
                                       &dst.px[row + size_t(left)]);
            }
    }
    bool normalLayer = mode == BlendMode::Normal || mode == BlendMode::PassThrough;
    auto recolours = [&](EffectPart const& part) {
        return normalLayer && part.mode == BlendMode::Normal;
    };
    // Fill opacity with effects stays a plain fade: the effects are blended with the content.
    bool fadesByFill = fill < 1 && !p.effects && FadesByFill(mode, neutral);
    std::vector<RenderPixel> row(size_t(right - left));
    std::vector<float> maskRow;
    // What each effect on the layer draws over the row, made a row at a time.
    size_t parts = p.effects ? p.effects->above.size() : 0;
    std::vector<RenderPixel> drawn(parts * row.size());
    // With effects over the layer: the row's shape before and after clipping and blending
    // ranges, and the layer's alpha as it meets the backdrop; and the backdrop it meets, for
    // strokes beyond the shape in other modes.
    bool joined = parts > 0;
    std::vector<float> drawnShapes, shapeAlphas, layerAlphas;
    if (joined) {
        drawnShapes.resize(row.size()), shapeAlphas.resize(row.size());
        layerAlphas.resize(row.size());
    }
    bool keepBare = false;
    for (size_t k = 0; k < parts && !atop && !l.m_blendInterior; ++k) {
        EffectPart const& part = p.effects->above[k];
        keepBare = keepBare || (!part.joins && !part.within && !part.beyond.Empty());
    }
    std::vector<RenderPixel> bare(keepBare ? row.size() : 0);
    for (int64_t y = top; y < bottom; ++y) {
        uint32_t r = uint32_t(y - dst.y0);
        ContentRow(l, p, src, srcTop, left, y, row);
        if (!p.masks.empty()) MaskRow(p, y, left, right, maskRow);
        for (size_t k = 0; k < parts; ++k) {
            EffectPart const& part = p.effects->above[k];
            // Parts within the shape that DrawInterior draws are not read here.
            if (deferInterior && !l.m_blendInterior && part.within && !part.joins) continue;
            part.Row(y, left, right, drawn.data() + k * row.size());
        }
        size_t i0 = size_t(r) * dst.width + size_t(left), n = row.size();
        if (fadesByFill) {
            for (size_t k = 0; k < n; ++k) {
                RenderPixel s = row[k];
                float m = (p.masks.empty() ? 1.0f : maskRow[k]) * clipAt(i0 + k);
                if (p.blendIf) m *= BlendIf(l, s, dst.px[i0 + k]);
                if (shape) (*shape)[i0 + k] = s.a * m * opacity;
                s.a *= m * opacity;
                CompositeFilled(mode, m_ctx, dst.px[i0 + k], s, fill, neutral, atop);
            }
            continue;
        }
        // Each step runs over the whole row before the next, every pixel taking the same steps
        // in the same order as it would alone: the loops stay small, and the meeting with the
        // backdrop, and most effects' after it, take the mode's row loop. Without effects over
        // the layer its alpha is shaped in one pass; without blending ranges too, in a loop that
        // calls nothing (a tenth of a masked layer's time).
        for (size_t k = 0; k < n && !joined && !p.blendIf; ++k) {
            RenderPixel& s = row[k];
            float m = (p.masks.empty() ? 1.0f : maskRow[k]) * clipAt(i0 + k);
            if (shape) (*shape)[i0 + k] = s.a * m * opacity;
            s.a = s.a * m * fill;
            s.a *= opacity;
        }
        for (size_t k = 0; k < n && (joined || p.blendIf); ++k) {
            RenderPixel& s = row[k];
            float masked = p.masks.empty() ? 1.0f : maskRow[k];
            float m = masked * clipAt(i0 + k);
            if (p.blendIf) m *= BlendIf(l, s, dst.px[i0 + k]);
            if (shape) (*shape)[i0 + k] = s.a * m * opacity;
            if (!joined) {
                s.a = s.a * m * fill;
                s.a *= opacity;
                continue;
            }
            // The coverage the effects' maps were made from: clipping and blending ranges aside.
            drawnShapes[k] = s.a * masked;
            shapeAlphas[k] = s.a * m;
            s.a = shapeAlphas[k] * fill;
        }
        // A part within the shape joins the content relative to the shape's coverage there: it
        // recolours the layer's pixels, never covering more of the pixel than they do.
        auto within = [&](EffectPart const& part, RenderPixel const* e) {
            for (size_t k = 0; k < n; ++k) {
                float shapeAlpha = shapeAlphas[k], drawnShape = drawnShapes[k];
                if (shapeAlpha <= 0 || drawnShape <= 0 || e[k].a <= 0) continue;
                RenderPixel rel = row[k], paint = e[k];
                rel.a = fill;
                paint.a = std::min(1.0f, paint.a / drawnShape);
                CompositePixel(part.mode, m_ctx, rel, paint);
                row[k] = rel;
                row[k].a = rel.a * shapeAlpha;
            }
        };
        auto join = [&](EffectPart const& part, RenderPixel const* e) {
            part.JoinRow(row.data(), e, left, n, y, m_ctx.channels);
        };
        for (size_t k = 0; k < parts; ++k) {
            EffectPart const& part = p.effects->above[k];
            RenderPixel const* e = drawn.data() + k * n;
            if (l.m_blendInterior) {
                // Blended as a group: overlays, inner shadows and glows and the stroke join the
                // content first (fill opacity fades the content under them, not them).
                if (part.joins)
                    join(part, e);
                else if (part.within)
                    within(part, e);
                else
                    for (size_t x = 0; x < n; ++x) CompositePixel(part.mode, m_ctx, row[x], e[x]);
            } else if (part.joins) {
                join(part, e);
            } else if (part.within && recolours(part) && !deferInterior) {
                // A normal part within a normal layer's shape recolours its content, whether or
                // not it is blended as a group.
                within(part, e);
            }
        }
        for (size_t k = 0; k < n && (joined || mode == BlendMode::Dissolve); ++k) {
            RenderPixel& s = row[k];
            if (joined) s.a *= opacity;
            if (mode == BlendMode::Dissolve)
                s.a = DissolveNoise(left + int64_t(k), y) < s.a ? 1.0f : 0.0f;
            if (joined) layerAlphas[k] = s.a;
        }
        RenderPixel* d = &dst.px[i0];
        if (keepBare) std::copy(d, d + n, bare.begin());
        if (p.textGamma && !atop && normalLayer)
            for (size_t k = 0; k < n; ++k) CompositeTextGamma(m_ctx, d[k], row[k]);
        else if (atop)
            CompositeRowPixelsAtop(mode, m_ctx, row.data(), n, d);
        else
            CompositeRowPixels(mode, m_ctx, row.data(), n, d);
        if (!p.effects || l.m_blendInterior) continue;
        // Otherwise each meets the backdrop on its own, a normal one in the layer's mode; one
        // within the shape only over the share of the pixel the layer covers.
        for (size_t k = 0; k < parts; ++k) {
            EffectPart const& part = p.effects->above[k];
            if (part.joins || (part.within && (recolours(part) || deferInterior))) continue;
            RenderPixel* e = drawn.data() + k * n;
            BlendMode partMode = part.mode == BlendMode::Normal ? mode : part.mode;
            if (part.within) {
                for (size_t x = 0; x < n; ++x) {
                    float a = e[x].a * opacity * clipAt(i0 + x);
                    bool over = d[x].a > 0 && layerAlphas[x] > 0;
                    e[x].a = over ? std::min(1.0f, std::min(a, layerAlphas[x]) / d[x].a) : 0;
                }
                CompositeRowPixelsAtop(partMode, m_ctx, e, n, d);
                continue;
            }
            for (size_t x = 0; x < n; ++x) e[x].a *= opacity * clipAt(i0 + x);
            if (part.beyond.Empty() || atop) {
                if (atop)
                    CompositeRowPixelsAtop(partMode, m_ctx, e, n, d);
                else
                    CompositeRowPixels(partMode, m_ctx, e, n, d);
                continue;
            }
            for (size_t x = 0; x < n; ++x) {
                int64_t px = left + int64_t(x);
                float total = part.alpha.At(px, y);
                if (total > 0) {
                    // The share beyond the shape replaces the bare backdrop it lies over by the
                    // stroke blended with that backdrop alone.
                    float share = e[x].a * std::min(1.0f, part.beyond.At(px, y) / total);
                    e[x].a -= share;
                    RenderPixel over = bare[x], paint = e[x];
                    paint.a = 1;
                    CompositePixel(partMode, m_ctx, over, paint);
                    RenderPixel& b = d[x];
                    float a = b.a + share * (over.a - bare[x].a);
                    for (unsigned c = 0; c < m_ctx.channels; ++c) {
                        float sum =
                            b.c[c] * b.a + share * (over.c[c] * over.a - bare[x].c[c] * bare[x].a);
                        b.c[c] = a > 0 ? Clamp01(sum / a) : 0;
                    }
                    b.a = Clamp01(a);
                }
                CompositePixel(partMode, m_ctx, d[x], e[x]);
            }
        }
    }
}

void Renderer::DrawInterior(PSDLayerNode const& base, Band& iso) const {
    Prepared const& p = m_prepared[base.index];
    float opacity = base.layer->m_opacity / 255.0f;
    auto const& box = p.effects->region;
    int64_t top = std::max<int64_t>(iso.y0, box.top);
    int64_t bottom = std::min<int64_t>(int64_t(iso.y0) + iso.rows, box.bottom);
    int64_t left = std::max<int64_t>(0, box.left), right = std::min<int64_t>(iso.width, box.right);
    if (left >= right || top >= bottom) return;
    std::vector<RenderPixel> drawn(size_t(right - left));
    for (auto const& part : p.effects->above) {
        if (!part.within || part.joins) continue;
        for (int64_t y = top; y < bottom; ++y) {
            part.Row(y, left, right, drawn.data());
            for (int64_t x = left; x < right; ++x) {
                RenderPixel& b = iso.px[size_t(y - iso.y0) * iso.width + size_t(x)];
                RenderPixel e = drawn[size_t(x - left)];
                if (b.a <= 0 || e.a <= 0) continue;
                // Over the base's coverage, as within the layer alone.
                e.a = std::min(1.0f, std::min(e.a * opacity, b.a) / b.a);
                CompositeAtop(part.mode, m_ctx, b, e);
            }
        }
    }
}

RenderPixel Renderer::ContentAt(PSDLayer const& l, Prepared const& p, int64_t x, int64_t y) const {
    if (p.solid) return p.solidColour;
    if (p.pattern.pattern) return p.pattern.At(x, y);
    if (p.gradient) return p.ramp.At(float(p.placement.At(double(x), double(y))));
    RenderPixel s;
    if (!p.pixels) return s;
    int64_t px = x - l.m_left, py = y - l.m_top;
    if (px < 0 || py < 0 || px >= int64_t(p.pixels->GetWidth()) ||
        py >= int64_t(p.pixels->GetHeight()))
        return s;
    auto const& info = p.pixels->GetFormatInfo();
    uint8_t const* row = p.pixels->GetRow(uint32_t(py));
    size_t base = size_t(px) * info.channels;
    for (unsigned c = 0; c < m_ctx.channels && c + 1 < info.channels; ++c)
        s.c[c] = Sample(row, info, base + c);
    s.a = Sample(row, info, base + unsigned(info.alphaChannel));
    return s;
}

// "Over" for N colour samples, the source alpha already scaled; as CompositePixel's normal case.
// Noisy alpha defeats branch prediction, so one formula serves every case: over an opaque
// backdrop it is the mix, for an opaque source the source, and nothing changes where the source
// has no alpha (up to rounding of the last bit).
template <unsigned N>
void PlainRow(uint8_t const* q, unsigned stride, size_t alpha, size_t count, float opacity,
              RenderPixel* b) {
    constexpr float k = 1.0f / 255;
    for (size_t x = 0; x < count; ++x, q += stride, ++b) {
        float sa = std::min(q[alpha] * k * opacity, 1.0f), ba = b->a;
        float keep = (1 - sa) * ba, ao = ba >= 1 ? 1.0f : sa + keep;
        float inv = ao > 0 ? 1 / ao : 0, ws = sa * inv, wb = keep * inv;
        for (unsigned c = 0; c < N; ++c) b->c[c] = ws * (q[c] * k) + wb * b->c[c];
        b->a = ao;
    }
}

#if defined(__SSE2__)
// The same for RGBA rows, the colour samples in one vector register.
void PlainRowRGBA(uint8_t const* q, size_t count, float opacity, RenderPixel* b) {
    __m128 const scale = _mm_set_ps(0, 1.0f / 255, 1.0f / 255, 1.0f / 255);
    __m128i const zero = _mm_setzero_si128();
    __m128 const one = _mm_set1_ps(1.0f), alphaScale = _mm_set1_ps(opacity / 255);
    size_t x = 0;
    // Four pixels at a time: their alphas in one register, then each pixel's colours.
    for (; x + 4 <= count; x += 4, q += 16, b += 4) {
        __m128 sa = _mm_min_ps(_mm_mul_ps(_mm_set_ps(q[15], q[11], q[7], q[3]), alphaScale), one);
        __m128 ba = _mm_set_ps(b[3].a, b[2].a, b[1].a, b[0].a);
        __m128 keep = _mm_mul_ps(_mm_sub_ps(one, sa), ba);
        __m128 ao = _mm_min_ps(_mm_add_ps(sa, keep), one);
        // Where nothing is, nothing changes: the weights stay finite.
        __m128 safe = _mm_max_ps(ao, _mm_set1_ps(1e-30f));
        __m128 inv = _mm_div_ps(one, safe);
        alignas(16) float ws[4], wb[4], a[4];
        _mm_store_ps(ws, _mm_mul_ps(sa, inv));
        _mm_store_ps(wb, _mm_mul_ps(keep, inv));
        _mm_store_ps(a, ao);
        for (int i = 0; i < 4; ++i) {
            int32_t word;
            std::memcpy(&word, q + 4 * i, 4);
            __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
            __m128 sc = _mm_mul_ps(_mm_cvtepi32_ps(wide), scale);
            __m128 bc = _mm_loadu_ps(b[i].c);
            _mm_storeu_ps(b[i].c, _mm_add_ps(_mm_mul_ps(sc, _mm_set1_ps(ws[i])),
                                             _mm_mul_ps(bc, _mm_set1_ps(wb[i]))));
            b[i].a = a[i];
        }
    }
    for (; x < count; ++x, q += 4, ++b) {
        float sa = std::min(q[3] * (1.0f / 255) * opacity, 1.0f), ba = b->a;
        float keep = (1 - sa) * ba, ao = ba >= 1 ? 1.0f : sa + keep;
        float inv = ao > 0 ? 1 / ao : 0;
        int32_t word;
        std::memcpy(&word, q, 4);
        __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
        __m128 sc = _mm_mul_ps(_mm_cvtepi32_ps(wide), scale);
        __m128 bc = _mm_loadu_ps(b->c);
        __m128 v = _mm_add_ps(_mm_mul_ps(sc, _mm_set1_ps(sa * inv)), _mm_mul_ps(bc, _mm_set1_ps(keep * inv)));
        _mm_storeu_ps(b->c, v);
        b->a = ao;
    }
}
#else
void PlainRowRGBA(uint8_t const* q, size_t count, float opacity, RenderPixel* b) {
    PlainRow<3>(q, 4, 3, count, opacity, b);
}
#endif

void Renderer::DrawPlainRows(PSDLayer const& l, Raster::DynamicBitmap const& src, int64_t srcTop,
                             int64_t left, int64_t right, int64_t top, int64_t bottom,
                             float opacity, Band& dst, BlendMode mode, bool atop) const {
    if (opacity <= 0) return;
    auto const& info = src.GetFormatInfo();
    unsigned colours = std::min(m_ctx.channels, info.channels - 1);
    // Columns the layer has; the band's other columns get nothing from it.
    int64_t x0 = std::max<int64_t>(left, l.m_left);
    int64_t x1 = std::min<int64_t>(right, l.m_left + int64_t(src.GetWidth()));
    if (x0 >= x1) return;
    size_t alpha = size_t(info.alphaChannel), count = size_t(x1 - x0);
    for (int64_t y = top; y < bottom; ++y) {
        uint8_t const* q = src.GetRow(uint32_t(y - srcTop)) +
                           size_t(x0 - l.m_left) * info.channels * info.bytesPerSample;
        RenderPixel* b = &dst.At(uint32_t(x0), uint32_t(y - dst.y0));
        if (atop || (mode != BlendMode::Normal && mode != BlendMode::PassThrough)) {
            CompositeRowSamples(mode, m_ctx, q, info.bytesPerSample, count, opacity, b, atop);
            continue;
        }
        if (colours == 3 && info.channels == 4 && alpha == 3) {
            PlainRowRGBA(q, count, opacity, b);
            continue;
        }
        switch (colours) {
            case 1: PlainRow<1>(q, info.channels, alpha, count, opacity, b); break;
            case 3: PlainRow<3>(q, info.channels, alpha, count, opacity, b); break;
            case 4: PlainRow<4>(q, info.channels, alpha, count, opacity, b); break;
            default: PlainRow<2>(q, info.channels, alpha, count, opacity, b); break;
        }
    }
}

void Renderer::ContentRow(PSDLayer const& l, Prepared const& p, Raster::DynamicBitmap const* src,
                          int64_t srcTop, int64_t left, int64_t y,
                          std::vector<RenderPixel>& out) const {
    int64_t py = y - srcTop;
    if (!src || p.Generated() || py < 0 || py >= int64_t(src->GetHeight())) {
        for (size_t k = 0; k < out.size(); ++k) out[k] = ContentAt(l, p, left + int64_t(k), y);
        return;
    }
    auto const& info = src->GetFormatInfo();
    uint8_t const* row = src->GetRow(uint32_t(py));
    int64_t width = src->GetWidth();
    unsigned colours = std::min(m_ctx.channels, info.channels - 1);
    size_t alpha = size_t(info.alphaChannel);
    for (size_t k = 0; k < out.size(); ++k) {
        int64_t px = left + int64_t(k) - l.m_left;
        RenderPixel& s = out[k];
        if (px < 0 || px >= width) {
            s = RenderPixel{};
            continue;
        }
        size_t base = size_t(px) * info.channels;
        if (info.bytesPerSample == 1) {
            // The common case without a call per sample.
            uint8_t const* q = row + base;
            for (unsigned c = 0; c < colours; ++c) s.c[c] = q[c] * (1.0f / 255);
            s.a = q[alpha] * (1.0f / 255);
        } else {
            for (unsigned c = 0; c < colours; ++c) s.c[c] = Sample(row, info, base + c);
            s.a = Sample(row, info, base + alpha);
        }
    }
}

bool Renderer::StoredDrawingCurrent(PSDLayer const& l) {
    if (l.GetWidth() == 0 || l.GetHeight() == 0) return false;
    auto adj = l.GetAdjustment();
    bool fill = adj ? adj->GetType() == PSDAdjustment::kSolidColor ||
                          adj->GetType() == PSDAdjustment::kGradientFill ||
                          adj->GetType() == PSDAdjustment::kPatternFill
                    : l.FindBlock(Key("vscg")) != nullptr;
    // The editor's drawing leaves out the vector mask's own density and feather; a disabled or
    // inverted outline is drawn here.
    if (!fill || (l.m_maskParameters & 0x0C)) return false;
    if (l.m_vectorMask && ((l.m_vectorMaskFlagsStored & 4) || l.m_vectorMaskFlag0)) return false;
    return Unedited(l);
}

void Renderer::TakeStoredVectorDrawing(PSDLayer const& l, Raster::DynamicBitmap& drawn,
                                       Kernel::RectT<int32_t> const& box) {
    PSDLayerMask const& user = l.m_userMask;
    if (!user.m_present || !user.m_fromRendering || user.m_disabled || user.m_invert) return;
    if (l.m_realMask.m_present && (l.m_realMask.m_disabled || l.m_realMask.m_invert)) return;
    if (!Unedited(l)) return;
    // Masks decoded here are not kept in the layer after the render either.
    struct Release {
        PSDLayer const& l;
        bool user, real;
        ~Release() {
            if (user) l.ReleaseDecodedMask(false);
            if (real) l.ReleaseDecodedMask(true);
        }
    } release{l, !l.HasCachedMask(false), !l.HasCachedMask(true)};
    PSDReport report;
    Bitmap stored, pixel;
    if (!l.GetBitmapUserMask(stored, report) || !stored || stored->IsEmpty()) return;
    if (l.m_realMask.m_present && !l.GetBitmapRealMask(pixel, report)) return;
    auto const& si = stored->GetFormatInfo();
    // The pixel mask as stored (before its density and feather), its default colour outside.
    auto pixelAt = [&](int64_t x, int64_t y) {
        if (!l.m_realMask.m_present) return 1.0f;
        PSDLayerMask const& m = l.m_realMask;
        int64_t px = x - m.m_left, py = y - m.m_top;
        if (!pixel || px < 0 || py < 0 || px >= int64_t(pixel->GetWidth()) ||
            py >= int64_t(pixel->GetHeight()))
            return m.m_defaultColour / 255.0f;
        return Sample(pixel->GetRow(uint32_t(py)), pixel->GetFormatInfo(), size_t(px));
    };
    int64_t x0 = std::max<int64_t>(box.left, user.m_left),
            y0 = std::max<int64_t>(box.top, user.m_top);
    int64_t x1 = std::min<int64_t>(box.right, user.m_left + int64_t(stored->GetWidth()));
    int64_t y1 = std::min<int64_t>(box.bottom, user.m_top + int64_t(stored->GetHeight()));
    for (int64_t y = y0; y < y1; ++y) {
        uint8_t const* srow = stored->GetRow(uint32_t(y - user.m_top));
        uint8_t* drow = drawn.GetRow(uint32_t(y - box.top));
        for (int64_t x = x0; x < x1; ++x) {
            // Under a pixel mask near zero the product says nothing of the outline: ours stays.
            float pm = pixelAt(x, y);
            if (pm < 0.5f) continue;
            float v = Sample(srow, si, size_t(x - user.m_left)) / pm;
            drow[x - box.left] = uint8_t(std::lround(std::min(1.0f, v) * 255));
        }
    }
}

bool Renderer::Unedited(PSDLayer const& l) {
    if (!m_saveData) {
        m_saveData = std::make_unique<SaveData>();
        FillSaveData(m_doc, m_doc.IsPSB(), *m_saveData);
    }
    return !l.IsEdited(*m_saveData);
}

void Renderer::PlanVectorStroke(PSDLayer const& l, Prepared& p) {
    if (!l.m_vectorStroke || p.storedShape) return;
    PSDVectorStroke const& vs = *l.m_vectorStroke;
    if (!vs.m_fillEnabled && p.Generated()) {
        p.solidColour.a = 0;  // a shape drawn by its stroke alone
        p.gradient = nullptr;
        p.pattern.pattern = nullptr;
        p.solid = true;
    }
    if (!vs.m_strokeEnabled) return;
    auto outline = l.m_vectorMask ? l.m_vectorMask->m_outline : nullptr;
    if (!outline || outline->IsEmpty() || !vs.m_content) {
        Undrawn("vector stroke (no outline or no paint)");
        return;
    }
    // The paint: a colour, a gradient over the outline's box, or a pattern from its corner.
    EffectPart part;
    auto outlineBox = outline->GetBoundingRect();
    if (auto const* c = dynamic_cast<PSDAdjustmentSolidColor const*>(vs.m_content.Get());
        c && c->m_colour) {
        ColourSamples(*c->m_colour, m_mode, part.colour.c);
        part.colour.a = 1;
    } else if (auto const* g = dynamic_cast<PSDAdjustmentGradientFill const*>(vs.m_content.Get())) {
        std::vector<std::string> named;
        bool perceptual = PerceptualGradient(g->m_gradient, m_mode, named);
        for (auto& n : named) Undrawn(std::move(n));
        if (!part.ramp.Build(g->m_gradient.m_gradient, m_mode, g->m_gradient.m_reverse, perceptual)) {
            Undrawn("vector stroke (noise gradient)");
            return;
        }
        part.gradient = &g->m_gradient;
        part.placement = GradientPlacement(
            g->m_gradient, g->m_gradient.m_alignWithLayer ? PixelBox(outlineBox) : DocumentBox());
        Undrawn("vector stroke with a gradient (approximated)");
    } else if (auto const* f = dynamic_cast<PSDAdjustmentPatternFill const*>(vs.m_content.Get())) {
        std::string why;
        if (!m_patterns.Paint(f->m_patternId, f->m_patternName, m_mode, part.pattern, why)) {
            Undrawn("vector stroke with a pattern (" + why + ")");
            return;
        }
        PSDEffectPhase phase;
        phase.m_point = f->m_hasPhase ? f->m_phase : Kernel::PointT<double>{0, 0};
        Kernel::PointT<double> origin{0, 0};
        if (f->m_linked) origin = OutlineCorner(l).value_or(origin);
        PlacePattern(part.pattern, phase, f->m_scale / 100, 0, origin);
        m_patterns.SoftenReduced(part.pattern);
        if (part.pattern.scale < 1) Undrawn("vector stroke with a pattern reduced (approximated)");
    } else {
        Undrawn("vector stroke (no paint)");
        return;
    }
    double pixelsPerPoint = (vs.m_resolution > 0 ? vs.m_resolution : 72.0) / 72.0;
    double width = vs.m_lineWidth * pixelsPerPoint;
    double out = vs.m_lineAlignment == PSDVectorStroke::LineAlignment::Outside ? width
                 : vs.m_lineAlignment == PSDVectorStroke::LineAlignment::Center ? width / 2
                                                                                : 0;
    auto const& b = outlineBox;
    double grow = out + 2;
    auto edge = [](double v) { return int32_t(std::clamp(v, -1e9, 1e9)); };
    Kernel::RectT<int32_t> box{std::max(0, edge(std::floor(b.left - grow))),
                               std::max(0, edge(std::floor(b.top - grow))),
                               std::min(int32_t(m_doc.m_width), edge(std::ceil(b.right + grow))),
                               std::min(int32_t(m_doc.m_height), edge(std::ceil(b.bottom + grow)))};
    if (box.IsEmpty()) return;
    part.alpha = StrokeCoverage(OutlineCoverage(l, *outline, box), width - out, out);
    if (!vs.m_dashSet.empty()) {
        DashStyle dashes;
        for (double v : vs.m_dashSet) dashes.lengths.push_back(v * width);
        dashes.offset = vs.m_dashOffset * pixelsPerPoint;
        dashes.width = width;
        dashes.middle =
            vs.m_lineAlignment == PSDVectorStroke::LineAlignment::Center ? 0 : width / 2;
        dashes.cap = vs.m_lineCap == PSDVectorStroke::LineCapType::Round    ? DashStyle::Cap::Round
                     : vs.m_lineCap == PSDVectorStroke::LineCapType::Square ? DashStyle::Cap::Square
                                                                            : DashStyle::Cap::Butt;
        if (DashStroke(*outline, dashes, part.alpha)) {
            // Lengths and caps are the editor's; where its pattern starts is taken from a few of
            // its drawings.
            Undrawn("vector stroke dashes (approximated)");
        } else {
            Undrawn("vector stroke dashes");
        }
    }
    part.mode = vs.m_blendMode;
    part.opacity = float(vs.m_opacity);
    if (!p.effects) {
        p.effects = std::make_unique<EffectsPlan>();
        p.effects->region = box;
    } else {
        auto& r = p.effects->region;
        r = {std::min(r.left, box.left), std::min(r.top, box.top), std::max(r.right, box.right),
             std::max(r.bottom, box.bottom)};
    }
    // The shape's stroke lies under the layer's own stroke effect but over its overlays.
    part.alpha.Pack();
    p.effects->above.insert(p.effects->above.begin(), std::move(part));
}

void Renderer::PlanGroupEffects(PSDLayerNode const& node) {
    PSDLayer const& l = *node.layer;
    Prepared& p = m_prepared[node.index];
    auto fx = l.GetEffects();
    if (!fx) return;
    uint32_t w = m_doc.m_width, h = m_doc.m_height;
    // The shape is held whole, a float per pixel of the canvas: at most 256 MB of it.
    constexpr uint64_t kMaxShapePixels = uint64_t(1) << 26;
    if (uint64_t(w) * h > kMaxShapePixels) {
        Undrawn("effects on a group (too large a canvas)");
        return;
    }
    RenderMap shape;
    shape.box = {0, 0, int32_t(w), int32_t(h)};
    Kernel::ResizeOrThrow(shape.v, size_t(w) * h);
    std::vector<int32_t> bounds{int32_t(w), int32_t(h), 0, 0};  // left, top, right, bottom
    std::mutex boundsLock;
    size_t bands = (size_t(h) + kBandRows - 1) / kBandRows;
    Kernel::Dispatch::DispatchParallelFor(bands, [&](size_t b) {
        Band alone;
        alone.y0 = uint32_t(b * kBandRows);
        alone.rows = std::min<uint32_t>(kBandRows, h - alone.y0);
        alone.width = w;
        alone.px.assign(size_t(w) * alone.rows, RenderPixel{});
        RenderList(node.children, alone);
        int32_t l0 = int32_t(w), r0 = 0, t0 = int32_t(h), b0 = 0;
        std::vector<float> maskRow;
        for (uint32_t r = 0; r < alone.rows; ++r) {
            MaskRow(p, int64_t(alone.y0) + r, 0, w, maskRow);
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t y = alone.y0 + r;
                float a = alone.px[size_t(r) * w + x].a * maskRow[x];
                shape.v[size_t(y) * w + x] = a;
                if (a > 0) {
                    l0 = std::min(l0, int32_t(x)), r0 = std::max(r0, int32_t(x) + 1);
                    t0 = std::min(t0, int32_t(y)), b0 = std::max(b0, int32_t(y) + 1);
                }
            }
        }
        std::lock_guard<std::mutex> lock(boundsLock);
        bounds = {std::min(bounds[0], l0), std::min(bounds[1], t0), std::max(bounds[2], r0),
                  std::max(bounds[3], b0)};
    });
    if (bounds[0] >= bounds[2] || bounds[1] >= bounds[3]) return;  // nothing drawn
    std::vector<std::string> undrawn;
    Kernel::RectT<double> box{double(bounds[0]), double(bounds[1]), double(bounds[2]),
                              double(bounds[3])};
    p.effects = PlanEffects(*fx, shape, {box, DocumentBox(), std::nullopt}, m_mode,
                            m_doc.m_globalLightAngle, m_patterns, undrawn);
    for (auto& u : undrawn) Undrawn(std::move(u));
}

void Renderer::PlanLayerEffects(PSDLayer const& l, Prepared& p, PSDLayerEffects const& fx) {
    if (p.adjust) {
        Undrawn("effects on an adjustment layer");
        return;
    }
    Kernel::RectT<int32_t> content{0, 0, int32_t(m_doc.m_width), int32_t(m_doc.m_height)};
    if (!p.Generated()) {
        if (p.pixels)
            content = {l.m_left, l.m_top, l.m_left + int32_t(p.pixels->GetWidth()),
                       l.m_top + int32_t(p.pixels->GetHeight())};
        else if (p.rows)
            content = {l.m_left, l.m_top, l.m_left + int32_t(l.GetWidth()),
                       l.m_top + int32_t(l.GetHeight())};
        else
            return;
    }
    int32_t reach = EffectsReach(fx);
    RenderMap shape;
    // Pixels past the canvas edge still shape what the effects draw on it (a stroke along an
    // edge outside the canvas shows inside it); a fill ends at the canvas.
    int32_t margin = p.Generated() ? 0 : reach;
    shape.box = {std::max(-margin, content.left - reach), std::max(-margin, content.top - reach),
                 std::min(int32_t(m_doc.m_width) + margin, content.right + reach),
                 std::min(int32_t(m_doc.m_height) + margin, content.bottom + reach)};
    if (shape.box.IsEmpty()) return;
    size_t w = size_t(shape.box.Width());
    Kernel::ResizeOrThrow(shape.v, w * size_t(shape.box.Height()));
    // By bands of rows on every core: the map covers the layer and then some.
    size_t shapeRows = size_t(shape.box.Height());
    Kernel::Dispatch::DispatchParallelFor((shapeRows + kBandRows - 1) / kBandRows, [&](size_t b) {
        int32_t top = shape.box.top + int32_t(b * kBandRows);
        int32_t bottom = std::min<int32_t>(shape.box.bottom, top + int32_t(kBandRows));
        std::vector<float> maskRow;
        if (p.Generated() || (!p.pixels && !p.rows)) {
            for (int32_t y = top; y < bottom; ++y) {
                float* out = shape.v.data() + size_t(y - shape.box.top) * w;
                MaskRow(p, y, shape.box.left, shape.box.right, maskRow);
                for (int32_t x = shape.box.left; x < shape.box.right; ++x)
                    out[x - shape.box.left] =
                        ContentAt(l, p, x, y).a * maskRow[size_t(x - shape.box.left)];
            }
            return;
        }
        std::fill(shape.v.data() + size_t(top - shape.box.top) * w,
                  shape.v.data() + size_t(bottom - shape.box.top) * w, 0.0f);
        // The layer's rows in this band, from the whole bitmap or decoded now.
        Raster::DynamicBitmap const* src = p.pixels.Get();
        int64_t srcTop = l.m_top;
        int64_t rowsTop = std::max<int64_t>(top, l.m_top);
        int64_t rowsBottom = std::min<int64_t>(bottom, content.bottom);
        if (rowsTop >= rowsBottom) return;
        Bitmap band;
        if (!src) {
            if (!DecodeRows(l, *p.rows, rowsTop, rowsBottom, band)) return;
            src = band.Get();
            srcTop = rowsTop;
        }
        // The layer's own alpha straight from its rows; nothing beside it.
        auto const& info = src->GetFormatInfo();
        int32_t x0 = std::max(shape.box.left, l.m_left);
        int32_t x1 = std::min(shape.box.right, content.right);
        for (int64_t y = rowsTop; y < rowsBottom; ++y) {
            float* out = shape.v.data() + size_t(y - shape.box.top) * w;
            uint8_t const* row = src->GetRow(uint32_t(y - srcTop));
            MaskRow(p, y, x0, x1, maskRow);
            for (int32_t x = x0; x < x1; ++x) {
                size_t base = size_t(x - l.m_left) * info.channels + unsigned(info.alphaChannel);
                float a =
                    info.bytesPerSample == 1 ? row[base] * (1.0f / 255) : Sample(row, info, base);
                out[x - shape.box.left] = a * maskRow[size_t(x - x0)];
            }
        }
    });
    std::vector<std::string> undrawn;
    Kernel::RectT<double> box{double(content.left), double(content.top), double(content.right),
                              double(content.bottom)};
    // A linked pattern moves with a shape's outline and starts at its box; where other layers
    // keep theirs is not known.
    auto linked = OutlineCorner(l);
    // A shape's strokes follow its outline: a fill that fades inside it is not stroked there
    // (a shape's own stroke, drawn with it, widens what they follow).
    RenderMap outlineShape;
    bool shapeLayer = linked && (p.Generated() || p.storedShape) &&
                      !(l.m_vectorStroke && l.m_vectorStroke->m_strokeEnabled);
    if (shapeLayer) {
        outlineShape = OutlineCoverage(l, *l.m_vectorMask->m_outline, shape.box);
        Kernel::Dispatch::DispatchParallelFor(size_t(shape.box.Height()), [&](size_t r) {
            std::vector<float> maskRow;
            MaskRow(p, shape.box.top + int64_t(r), shape.box.left, shape.box.right, maskRow);
            float* row = outlineShape.v.data() + r * w;
            for (size_t x = 0; x < w; ++x) row[x] *= maskRow[x];
        });
    }
    p.effects =
        PlanEffects(fx, shape, {box, DocumentBox(), linked}, m_mode, m_doc.m_globalLightAngle,
                    m_patterns, undrawn, shapeLayer ? &outlineShape : nullptr);
    for (auto& u : undrawn) Undrawn(std::move(u));
}

// Writes a band's pixels into the output bitmap's rows.
void StoreBand(Band const& band, Raster::DynamicBitmap& out, unsigned colourChannels) {
    auto const& info = out.GetFormatInfo();
    if (info.bytesPerSample == 1 && info.alphaChannel == int(colourChannels) &&
        info.channels == colourChannels + 1) {
        // 8-bit output, colours then alpha: the common case without a call per sample.
        auto to8 = [](float v) { return uint8_t(Clamp01(v) * 255 + 0.5f); };
        for (uint32_t r = 0; r < band.rows; ++r) {
            uint8_t* row = out.GetRow(band.y0 + r);
            RenderPixel const* p = &band.px[size_t(r) * band.width];
            uint32_t x = 0;
#if defined(__SSE2__)
            if (colourChannels == 3) {
                // Four RGBA pixels a step: (c0, c1, c2, a) of each from two overlapping loads,
                // then clamped, rounded and packed to 16 bytes (NaN clamps to 0).
                __m128 const zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
                __m128 const full = _mm_set1_ps(255.0f), half = _mm_set1_ps(0.5f);
                auto pixel = [&](RenderPixel const& px) {
                    __m128 v = _mm_shuffle_ps(_mm_loadu_ps(px.c), _mm_loadu_ps(px.c + 1),
                                              _MM_SHUFFLE(3, 1, 1, 0));
                    v = _mm_min_ps(_mm_max_ps(v, zero), one);
                    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, full), half));
                };
                for (; x + 4 <= band.width; x += 4, p += 4, row += 16) {
                    __m128i lo = _mm_packs_epi32(pixel(p[0]), pixel(p[1]));
                    __m128i hi = _mm_packs_epi32(pixel(p[2]), pixel(p[3]));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_packus_epi16(lo, hi));
                }
            }
#endif
            for (; x < band.width; ++x, ++p) {
                for (unsigned c = 0; c < colourChannels; ++c) *row++ = to8(p->c[c]);
                *row++ = to8(p->a);
            }
        }
        return;
    }
    for (uint32_t r = 0; r < band.rows; ++r) {
        uint8_t* row = out.GetRow(band.y0 + r);
        for (uint32_t x = 0; x < band.width; ++x) {
            RenderPixel const& p = band.px[size_t(r) * band.width + x];
            for (unsigned c = 0; c < info.channels; ++c) {
                float v = int(c) == info.alphaChannel ? p.a : c < colourChannels ? p.c[c] : 0;
                StoreSample(row, info, size_t(x) * info.channels + c, v);
            }
        }
    }
}

// The whole source pixels [first, end) that pixel i of a scaled row (or column) averages: at
// least one, so enlarging repeats the nearest.
std::pair<uint32_t, uint32_t> ScaledSpan(uint32_t i, double scale, uint32_t limit) {
    uint32_t first = uint32_t(std::min(double(i) / scale, double(limit - 1)));
    uint32_t end = uint32_t(std::min(double(i + 1) / scale, double(limit)));
    return {first, std::max(first + 1, end)};
}

uint32_t ScaledSize(uint32_t n, double scale) {
    return n == 0 ? 0 : std::max<uint32_t>(1, uint32_t(std::lround(double(n) * scale)));
}

// Sums of whole output rows of a scaled image, fed source rows in any order, then averaged.
// Colour is weighted by coverage: transparent pixels add none (no dark fringes), and an
// output pixel that nothing covers is left clear.
class ScaledRows {
public:
    ScaledRows(uint32_t first, uint32_t count,
               std::vector<std::pair<uint32_t, uint32_t>> const& columns, double scale,
               uint32_t sourceHeight, unsigned channels)
        : m_first(first),
          m_count(count),
          m_columns(columns),
          m_scale(scale),
          m_height(sourceHeight),
          m_channels(channels),
          m_sums(size_t(count) * columns.size() * kStride, 0.0) {}

    // The source rows [first, last) these output rows average.
    std::pair<uint32_t, uint32_t> Source() const {
        return {ScaledSpan(m_first, m_scale, m_height).first,
                ScaledSpan(m_first + m_count - 1, m_scale, m_height).second};
    }
    void Add(Band const& band) {
        for (uint32_t o = 0; o < m_count; ++o) {
            auto [y0, y1] = ScaledSpan(m_first + o, m_scale, m_height);
            y0 = std::max(y0, band.y0), y1 = std::min(y1, band.y0 + band.rows);
            double* out = &m_sums[size_t(o) * m_columns.size() * kStride];
            for (uint32_t y = y0; y < y1; ++y) {
                RenderPixel const* row = &band.px[size_t(y - band.y0) * band.width];
                for (size_t x = 0; x < m_columns.size(); ++x) {
                    double* sum = out + x * kStride;
                    for (uint32_t sx = m_columns[x].first; sx < m_columns[x].second; ++sx) {
                        RenderPixel const& p = row[sx];
                        for (unsigned c = 0; c < m_channels; ++c) sum[c] += double(p.c[c]) * p.a;
                        sum[4] += p.a;
                    }
                }
            }
        }
    }
    // The averages as a band of the output (y0 is the first output row).
    void Finish(Band& out) const {
        out.y0 = m_first, out.rows = m_count, out.width = uint32_t(m_columns.size());
        out.px.assign(size_t(out.rows) * out.width, RenderPixel{});
        for (uint32_t o = 0; o < m_count; ++o) {
            auto [y0, y1] = ScaledSpan(m_first + o, m_scale, m_height);
            for (size_t x = 0; x < m_columns.size(); ++x) {
                double const* sum = &m_sums[(size_t(o) * m_columns.size() + x) * kStride];
                RenderPixel& p = out.px[size_t(o) * out.width + x];
                double n = double(y1 - y0) * (m_columns[x].second - m_columns[x].first);
                p.a = float(sum[4] / n);
                if (sum[4] > 0)
                    for (unsigned c = 0; c < m_channels; ++c) p.c[c] = float(sum[c] / sum[4]);
            }
        }
    }

private:
    static constexpr size_t kStride = 5;  // four colour sums weighted by alpha, then alpha's
    uint32_t m_first, m_count;
    std::vector<std::pair<uint32_t, uint32_t>> const& m_columns;
    double m_scale;
    uint32_t m_height;
    unsigned m_channels;
    std::vector<double> m_sums;
};

// Area-averaged downscale (or nearest upscale) of a finished image: a stored composite.
Bitmap Scale(Raster::DynamicBitmap const& in, double scale) {
    uint32_t w = ScaledSize(in.GetWidth(), scale), h = ScaledSize(in.GetHeight(), scale);
    auto out = Raster::DynamicBitmap::Create(w, h, in.GetFormat());
    auto const& info = in.GetFormatInfo();
    Kernel::Dispatch::DispatchParallelFor(h, [&](size_t y) {
        std::vector<double> sum(info.channels);
        auto [y0, y1] = ScaledSpan(uint32_t(y), scale, in.GetHeight());
        for (uint32_t x = 0; x < w; ++x) {
            auto [x0, x1] = ScaledSpan(x, scale, in.GetWidth());
            std::fill(sum.begin(), sum.end(), 0.0);
            for (uint32_t sy = y0; sy < y1; ++sy)
                for (uint32_t sx = x0; sx < x1; ++sx)
                    for (unsigned c = 0; c < info.channels; ++c)
                        sum[c] += Sample(in.GetRow(sy), info, size_t(sx) * info.channels + c);
            double n = double(y1 - y0) * (x1 - x0);
            uint8_t* row = out->GetRow(uint32_t(y));
            for (unsigned c = 0; c < info.channels; ++c) {
                StoreSample(row, info, size_t(x) * info.channels + c, float(sum[c] / n));
            }
        }
    });
    return out;
}

bool Renderer::Run(PSDRenderResult& result, std::string& error) {
    // A scale that is not a positive number draws at full size; enlarging stops at the largest
    // side a document may have (an oversized document still draws at its own size or smaller).
    m_scale = m_options.scale > 0 ? m_options.scale : 1.0;
    if (m_scale > 1 && (double(m_doc.m_width) * m_scale > kMaxScaledSide ||
                        double(m_doc.m_height) * m_scale > kMaxScaledSide)) {
        error = "a scale of " + std::to_string(m_options.scale) + " makes an image over " +
                std::to_string(kMaxScaledSide) + " pixels a side";
        return false;
    }
    if (m_doc.m_layers.empty() && m_options.layer < 0 && m_options.group.empty()) {
        // Nothing to composite, in any colour mode: the stored image is all there is.
        Bitmap stored;
        std::vector<Bitmap> masks;
        PSDReport report;
        if (!m_doc.GetBitmap(stored, masks, report) || !stored) {
            error = "no layers, and the composite does not decode";
            return false;
        }
        result.bitmap = m_scale != 1.0 ? Scale(*stored, m_scale) : stored;
        result.undrawn = {"no layers: the stored composite is the document"};
        return true;
    }
    if (m_mode != 1 && m_mode != 3 && m_mode != 4 && m_mode != 8 && m_mode != 9) {
        error = "the renderer does not draw colour mode " + std::to_string(m_mode);
        return false;
    }
    if (m_mode == 9) m_ctx.rgb = false;  // Lab: the component modes would need RGB
    Raster::Format format;
    if (!LayerBitmapFormat(m_mode, m_doc.m_depth, format)) {
        error = "the renderer does not draw " + std::to_string(m_doc.m_depth) + "-bit documents";
        return false;
    }
    auto tree = BuildLayerTree(m_doc);
    std::vector<PSDLayerNode> picked;
    if (m_options.layer >= 0) {
        if (size_t(m_options.layer) >= m_doc.m_layers.size()) {
            error = "no layer " + std::to_string(m_options.layer);
            return false;
        }
        auto const* n = FindLayerNode(tree, m_doc.m_layers[size_t(m_options.layer)].Get());
        if (!n) {
            error = "layer " + std::to_string(m_options.layer) + " is a group's end";
            return false;
        }
        picked.push_back(*n);
    } else if (!m_options.group.empty()) {
        PSDLayerNode const* found = nullptr;
        WalkLayerTree(tree, [&](PSDLayerNode const& n, unsigned) {
            if (!found && n.isGroup && n.layer->m_name == m_options.group) found = &n;
            return !found;
        });
        if (!found) {
            error = "no group named \"" + std::string(m_options.group) + "\"";
            return false;
        }
        picked.push_back(*found);
    }
    // A part drawn alone is seen for itself: no clipping to what is not drawn.
    if (!picked.empty()) tree = std::move(picked);
    m_prepared.resize(m_doc.m_layers.size());
    if (!Prepare(tree, error)) return false;

    uint32_t w = m_doc.m_width, h = m_doc.m_height;
    // A scaled render averages each band of whole output rows from the source rows they cover,
    // so only the scaled image is held, never the full-size one.
    double scale = m_scale;
    bool scaled = scale != 1.0;
    uint32_t ow = scaled ? ScaledSize(w, scale) : w, oh = scaled ? ScaledSize(h, scale) : h;
    std::vector<std::pair<uint32_t, uint32_t>> columns;
    // A document without rows has nothing to average, however wide it claims to be.
    if (scaled && h > 0)
        for (uint32_t x = 0; x < ow; ++x) columns.push_back(ScaledSpan(x, scale, w));
    uint32_t outRows = scaled ? OutputBandRows(scale) : kBandRows;
    Bitmap out;
    try {
        // Every band stores all of its rows, so the output needs no clearing: a freed image of
        // about its size (the last render's) is taken again instead of fresh pages.
        out = Raster::DynamicBitmap::Create(ow, oh, format, Raster::Contents::Unspecified);
    } catch (std::bad_alloc const&) {
        error = "out of memory";
        return false;
    }
    size_t bands = (size_t(oh) + outRows - 1) / outRows;
    std::atomic<uint64_t> done{0};
    std::mutex progressLock;
    try {
        Kernel::Dispatch::DispatchParallelFor(bands, [&](size_t b) {
            if (m_options.abort && *m_options.abort) return;
            // Each worker keeps its band's pixels between bands: fresh pages cost more than the
            // compositing of a few layers.
            thread_local std::vector<RenderPixel> kept;
            Band band;
            band.px.swap(kept);
            band.width = w;
            uint32_t first = uint32_t(b * outRows), count = std::min<uint32_t>(outRows, oh - first);
            if (!scaled) {
                band.y0 = first;
                band.rows = count;
                band.px.assign(size_t(w) * band.rows, RenderPixel{});
                RenderList(tree, band);
                StoreBand(band, *out, m_ctx.channels);
            } else {
                ScaledRows sums(first, count, columns, scale, h, m_ctx.channels);
                auto [from, to] = sums.Source();
                for (uint32_t y = from; y < to && !(m_options.abort && *m_options.abort);
                     y += kBandRows) {
                    band.y0 = y;
                    band.rows = std::min<uint32_t>(kBandRows, to - y);
                    band.px.assign(size_t(w) * band.rows, RenderPixel{});
                    RenderList(tree, band);
                    sums.Add(band);
                }
                Band small;
                sums.Finish(small);
                StoreBand(small, *out, m_ctx.channels);
            }
            band.px.swap(kept);
            uint64_t n = ++done;
            if (m_options.progress) {
                std::lock_guard<std::mutex> lock(progressLock);
                m_options.progress->OnUpdate(n, bands);
            }
        });
    } catch (std::bad_alloc const&) {
        error = "out of memory";
        return false;
    }
    if (m_options.abort && *m_options.abort) {
        error = "cancelled";
        return false;
    }
    if (!m_failure.empty()) {
        error = m_failure;
        return false;
    }
    auto const& layers = m_doc.GetLayers();
    for (size_t i = 0; i < m_prepared.size() && i < layers.size(); ++i)
        for (auto const& m : m_prepared[i].masks) {
            std::string why = m.bands ? m.bands->Error() : std::string();
            if (why.empty()) continue;
            error = "layer " + std::to_string(i) + " (" + std::string(layers[i]->m_name) +
                    "): mask does not decode: " + why;
            return false;
        }
    // A ZIP stream found damaged on the way leaves its layer's rows from there on undrawn.
    for (size_t i = 0; i < m_prepared.size() && i < layers.size(); ++i) {
        if (!m_prepared[i].rows) continue;
        std::string damage = m_prepared[i].rows->Damage();
        if (!damage.empty())
            Undrawn("layer " + std::to_string(i) + " (" + std::string(layers[i]->m_name) +
                    "): pixels do not decode: " + damage);
    }
    result.bitmap = out;
    result.undrawn = m_undrawn;
    return true;
}

}  // namespace

bool RenderDocument(PSDFile const& doc, PSDRenderOptions const& options, PSDRenderResult& result,
                    std::string& error) {
    try {
        Renderer r(doc, options);
        return r.Run(result, error);
    } catch (std::bad_alloc const&) {
        error = "out of memory";
        return false;
    }
}

double CompareWithStoredComposite(PSDFile const& doc, Raster::DynamicBitmap const& render,
                                  int levels) {
    Bitmap stored;
    std::vector<Bitmap> masks;
    PSDReport report;
    if (!doc.GetBitmap(stored, masks, report) || !stored) return -1;
    if (stored->GetWidth() != render.GetWidth() || stored->GetHeight() != render.GetHeight() ||
        stored->GetFormat() != render.GetFormat())
        return -1;
    auto const& info = render.GetFormatInfo();
    bool storedAlpha = doc.CompositeHoldsTransparency();
    unsigned colours = info.channels - 1;
    // The first channel after the colours, when the header does not declare it transparency.
    Raster::DynamicBitmap const* extra = nullptr;
    if (!storedAlpha && !masks.empty() && masks[0] && masks[0]->GetWidth() == render.GetWidth() &&
        masks[0]->GetHeight() == render.GetHeight())
        extra = masks[0].Get();
    float tolerance = (levels + 0.5f) / 255.0f;
    uint64_t within = 0, total = uint64_t(render.GetWidth()) * render.GetHeight();
    for (uint32_t y = 0; y < render.GetHeight(); ++y) {
        uint8_t const* a = render.GetRow(y);
        uint8_t const* b = stored->GetRow(y);
        for (uint32_t x = 0; x < render.GetWidth(); ++x) {
            size_t base = size_t(x) * info.channels;
            float alpha = Sample(a, info, base + unsigned(info.alphaChannel));
            float storedA = Sample(b, info, base + unsigned(info.alphaChannel));
            // The editor stores the composite's colour over white, with or without its
            // transparency beside it; other writers store it as it is, or nothing where
            // nothing is drawn.
            auto colourMatches = [&](bool matted) {
                for (unsigned c = 0; c < colours; ++c) {
                    float v = Sample(a, info, base + c);
                    if (matted) v = v * alpha + (1 - alpha);
                    if (std::fabs(Clamp01(v) - Clamp01(Sample(b, info, base + c))) > tolerance)
                        return false;
                }
                return true;
            };
            bool ok;
            if (!storedAlpha)
                // Some writers store transparency there undeclared, and the colour unmatted.
                ok = colourMatches(true) ||
                     (extra && colourMatches(false) &&
                      std::fabs(alpha - Sample(extra->GetRow(y), extra->GetFormatInfo(), x)) <=
                          tolerance);
            else
                ok = std::fabs(alpha - storedA) <= tolerance &&
                     (storedA <= tolerance || colourMatches(true) || colourMatches(false));
            within += ok;
        }
    }
    return total ? double(within) / double(total) : 1.0;
}

bool StoredCompositeIsBlank(PSDFile const& doc, Raster::DynamicBitmap const* composite) {
    if (!doc.m_hasRealMergedData) return true;
    auto const& ids = doc.GetResourceIds();
    if (doc.GetLayers().empty() || std::find(ids.begin(), ids.end(), 1057) != ids.end()) return false;
    Bitmap decoded;
    if (!composite) {
        std::vector<Bitmap> masks;
        PSDReport report;
        if (!doc.GetBitmap(decoded, masks, report) || !decoded) return false;
        composite = decoded.Get();
    }
    auto const* stored = composite;
    if (stored->GetHeight() == 0) return false;
    // Writers that do not draw the composite leave it zero: black throughout, opaque or not.
    auto const& info = stored->GetFormatInfo();
    size_t sample = info.bytesPerSample, pixel = info.channels * sample;
    size_t alpha = info.alphaChannel >= 0 ? size_t(info.alphaChannel) * sample : pixel;
    uint8_t const* firstAlpha = stored->GetRow(0) + alpha;
    for (uint32_t y = 0; y < stored->GetHeight(); ++y) {
        uint8_t const* r = stored->GetRow(y);
        for (uint32_t x = 0; x < stored->GetWidth(); ++x, r += pixel)
            for (size_t b = 0; b < pixel; ++b)
                if (b >= alpha && b < alpha + sample ? r[b] != firstAlpha[b - alpha] : r[b] != 0)
                    return false;
    }
    return true;
}

}  // namespace PSD

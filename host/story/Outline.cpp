#include "host/story/Outline.h"

#include <algorithm>

#include "host/story/Faces.h"
// After the faces: FreeType's headers are named by macros its first header defines.
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

namespace Story {

namespace {

using Point = Kernel::PointT<double>;

// Where a glyph's outline goes: its origin on the baseline and the scale of each axis from
// design units (26.6 at the design size) to story pixels.
struct Placement {
    double x = 0, y = 0, sx = 1, sy = 1;
    Point operator()(FT_Vector const* v) const {
        return {x + double(v->x) / 64.0 * sx, y - double(v->y) / 64.0 * sy};
    }
};

struct Decomposer {
    Placement at;
    std::vector<std::vector<Raster::CubicSegment>>* contours;
    Point last;

    static int MoveTo(FT_Vector const* to, void* user) {
        auto* d = static_cast<Decomposer*>(user);
        d->Close();
        d->contours->emplace_back();
        d->last = d->at(to);
        return 0;
    }
    static int LineTo(FT_Vector const* to, void* user) {
        auto* d = static_cast<Decomposer*>(user);
        Point p = d->at(to);
        d->Add({d->last, d->last, p, p});
        return 0;
    }
    // A quadratic as the cubic that traces it.
    static int ConicTo(FT_Vector const* control, FT_Vector const* to, void* user) {
        auto* d = static_cast<Decomposer*>(user);
        Point q = d->at(control), p = d->at(to), s = d->last;
        Point c1{s.x + (q.x - s.x) * 2 / 3, s.y + (q.y - s.y) * 2 / 3};
        Point c2{p.x + (q.x - p.x) * 2 / 3, p.y + (q.y - p.y) * 2 / 3};
        d->Add({s, c1, c2, p});
        return 0;
    }
    static int CubicTo(FT_Vector const* c1, FT_Vector const* c2, FT_Vector const* to, void* user) {
        auto* d = static_cast<Decomposer*>(user);
        d->Add({d->last, d->at(c1), d->at(c2), d->at(to)});
        return 0;
    }

    void Add(Raster::CubicSegment const& s) {
        if (contours->empty()) contours->emplace_back();
        contours->back().push_back(s);
        last = s[3];
    }
    // Contours end where they began; FreeType leaves the closing line implicit.
    void Close() {
        if (contours->empty() || contours->back().empty()) return;
        auto& c = contours->back();
        if (!(c.back()[3] == c.front()[0]))
            c.push_back({c.back()[3], c.back()[3], c.front()[0], c.front()[0]});
    }
};

void AddRect(std::vector<std::vector<Raster::CubicSegment>>& contours, double left, double top,
             double right, double bottom) {
    Point a{left, top}, b{right, top}, c{right, bottom}, d{left, bottom};
    contours.push_back({{a, a, b, b}, {b, b, c, c}, {c, c, d, d}, {d, d, a, a}});
}

}  // namespace

OutlinedText OutlineColumn(Story const& story, ComposedColumn const& column) {
    OutlinedText out;
    std::u16string const& text = story.GetText();
    FaceCache& cache = FaceCache::Get();
    std::lock_guard<std::mutex> g(cache.m_lock);
    auto substitute = [&](String8 const& name) {
        if (std::find(out.substituted.begin(), out.substituted.end(), name) ==
            out.substituted.end())
            out.substituted.push_back(name);
    };
    FT_Outline_Funcs funcs{};
    funcs.move_to = &Decomposer::MoveTo;
    funcs.line_to = &Decomposer::LineTo;
    funcs.conic_to = &Decomposer::ConicTo;
    funcs.cubic_to = &Decomposer::CubicTo;

    for (ComposedLine const& line : column.GetLines()) {
        size_t end = std::min(line.end, text.size());
        double pen = line.x;
        for (size_t i = line.start; i < end;) {
            auto const& atts = story.GetGlyphAtts(i);
            ShownChar shown = ShowChar(*atts, text[i], story.GetScriptProportions());
            size_t j = ShapedRunEnd(story, i, end);
            // Where each character of the run starts, as the compositor spaced them.
            std::vector<double> starts(j - i + 1, pen);
            for (size_t c = i; c < j; ++c) {
                size_t k = c - line.start;
                starts[c - i + 1] =
                    starts[c - i] + (k < line.advances.size() ? line.advances[k] : 0.0);
            }
            double runStart = pen;
            pen = starts.back();
            size_t visibleEnd = j;
            while (visibleEnd > i && IsBreak(text[visibleEnd - 1])) --visibleEnd;
            if (visibleEnd == i) {
                i = j;
                continue;
            }
            String8 const& ps = atts->Get(GlyphStr::kPostScriptName);
            String8 const& family = atts->Get(GlyphStr::kFamily);
            LoadedFace const& face = cache.Find(ps, family);
            if (!face.exact) substitute(ps.empty() ? family : ps);
            double baseSize = std::max(0.0, atts->Get(GlyphDouble::kSize));
            double size = baseSize * shown.scale;
            double k = size / kDesignSize;
            double sx = k * atts->Get(GlyphDouble::kHorizontalScale);
            double sy = k * atts->Get(GlyphDouble::kVerticalScale);
            double baseline =
                line.baseline + atts->Get(GlyphDouble::kBaselineShift) - shown.rise * baseSize;
            OutlinedRun run;
            run.fill = atts->GetFill();
            bool bold = atts->Get(GlyphInt::kFauxBold) != 0;
            bool italic = atts->Get(GlyphInt::kFauxItalic) != 0;
            if (face.font && size > 0) {
                std::u16string units;
                for (size_t c = i; c < visibleEnd; ++c)
                    units += ShowChar(*atts, text[c], story.GetScriptProportions()).unit;
                // Glyphs after the first of a cluster follow it by their own advances.
                uint32_t cluster = ~0u;
                double within = 0;
                bool kern = atts->Get(GlyphDouble::kAutoKern) == 0;
                for (ShapedGlyph const& g : Shape(cache, face, units, kern)) {
                    if (g.cluster != cluster) {
                        cluster = g.cluster;
                        within = 0;
                    }
                    double x = starts[std::min<size_t>(cluster, starts.size() - 1)] + within +
                               double(g.xOffset) / 64.0 * sx;
                    double y = baseline - double(g.yOffset) / 64.0 * sy;
                    within += double(g.xAdvance) / 64.0 * sx;
                    if (g.glyph == 0) ++out.missingGlyphs;
                    FT_Face ft = g.face->face;
                    if (FT_Load_Glyph(ft, g.glyph, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0 ||
                        ft->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
                        continue;
                    FT_Outline* outline = &ft->glyph->outline;
                    // Synthetic styles as the editor makes them: widened by a 24th of the em
                    // and slanted by a fifth.
                    if (bold) FT_Outline_Embolden(outline, FT_Pos(kDesignSize * 64 / 24));
                    if (italic) {
                        FT_Matrix shear{0x10000, 0x3333, 0, 0x10000};
                        FT_Outline_Transform(outline, &shear);
                    }
                    Decomposer d{{x, y, sx, sy}, &run.contours, {}};
                    FT_Outline_Decompose(outline, &funcs, &d);
                    d.Close();
                    if (run.pieceEnds.empty() || run.pieceEnds.back() != run.contours.size())
                        run.pieceEnds.push_back(run.contours.size());
                }
            }
            // Lines under and through the run, from the font's own positions when it has them.
            bool under = atts->Get(GlyphInt::kUnderline) != 0;
            bool through = atts->Get(GlyphInt::kStrikethrough) != 0;
            if ((under || through) && size > 0) {
                double em = face.face ? double(face.face->units_per_EM) : 0;
                double thick = size / 14, underPos = size / 10, strikePos = size / 4;
                if (em > 0) {
                    if (face.face->underline_thickness > 0)
                        thick = face.face->underline_thickness / em * size;
                    underPos = -face.face->underline_position / em * size;
                    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face.face, FT_SFNT_OS2));
                        os2 && os2->yStrikeoutPosition > 0)
                        strikePos = os2->yStrikeoutPosition / em * size;
                }
                double right = starts[visibleEnd - i];
                if (under) {
                    AddRect(run.contours, runStart, line.baseline + underPos - thick / 2, right,
                            line.baseline + underPos + thick / 2);
                    run.pieceEnds.push_back(run.contours.size());
                }
                if (through) {
                    AddRect(run.contours, runStart, line.baseline - strikePos - thick / 2, right,
                            line.baseline - strikePos + thick / 2);
                    run.pieceEnds.push_back(run.contours.size());
                }
            }
            if (!run.contours.empty()) out.runs.push_back(std::move(run));
            i = j;
        }
    }
    return out;
}

}  // namespace Story

#include "host/story/Compositor.h"

#include <algorithm>
#include <locale>

#include "host/story/Faces.h"

namespace Story {

FontMetrics MeasureText(String8 const& postscriptName, String8 const& family, double size,
                        std::u16string_view text, std::vector<double>& advances, bool kern) {
    advances.assign(text.size(), 0.0);
    FontMetrics m;
    double k = size / kDesignSize;
    FaceCache& cache = FaceCache::Get();
    std::lock_guard<std::mutex> g(cache.m_lock);
    LoadedFace const& f = cache.Find(postscriptName, family);
    if (!f.font) {
        // No font at all: a plain estimate keeps layout going.
        m.ascent = m.dHeight = size * 0.8;
        m.descent = size * 0.2;
        for (auto& a : advances) a = size * 0.5;
        return m;
    }
    m.file = f.file;
    m.exact = f.exact;
    m.ascent = double(f.face->size->metrics.ascender) / 64.0 * k;
    m.descent = -double(f.face->size->metrics.descender) / 64.0 * k;
    m.dHeight = f.dHeight * k;
    if (text.empty()) return m;
    for (ShapedGlyph const& g : Shape(cache, f, text, kern))
        if (g.cluster < advances.size()) advances[g.cluster] += double(g.xAdvance) / 64.0 * k;
    return m;
}

namespace {

// The capital of a UTF-16 unit by the simple Unicode mapping; the halves of pairs stay.
char16_t Upper(char16_t c) {
    if (c < 0x80) return c >= 'a' && c <= 'z' ? char16_t(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    static std::ctype<wchar_t> const* ctype = []() -> std::ctype<wchar_t> const* {
        try {
            static std::locale utf8("C.UTF-8");
            return &std::use_facet<std::ctype<wchar_t>>(utf8);
        } catch (std::exception const&) {
            return nullptr;  // no such locale: ASCII only
        }
    }();
    if (!ctype) return c;
    wchar_t u = ctype->toupper(wchar_t(c));
    return u > 0 && u < 0x10000 ? char16_t(u) : c;
}

}  // namespace

ShownChar ShowChar(GlyphAtts const& g, char16_t c, ScriptProportions const& p) {
    ShownChar s{c};
    int caps = g.GetCaps();
    if (caps == kCapsAll || caps == kCapsSmall) {
        s.unit = Upper(c);
        if (caps == kCapsSmall && s.unit != c) s.scale = p.smallCapSize;
    }
    int baseline = g.Get(GlyphInt::kBaseline);
    if (baseline == 1) {
        s.scale *= p.superscriptSize;
        s.rise = p.superscriptPosition;
    } else if (baseline == 2) {
        s.scale *= p.subscriptSize;
        s.rise = -p.subscriptPosition;
    }
    return s;
}

size_t ShapedRunEnd(Story const& story, size_t i, size_t end) {
    std::u16string const& text = story.GetText();
    auto const& atts = story.GetGlyphAtts(i);
    double scale =
        i < text.size() ? ShowChar(*atts, text[i], story.GetScriptProportions()).scale : 1.0;
    size_t j = i + 1;
    auto same = [&](size_t k) {
        return story.GetGlyphAtts(k) == atts &&
               ShowChar(*atts, text[k], story.GetScriptProportions()).scale == scale;
    };
    while (j < end && (same(j) || (text[j] >= 0xDC00 && text[j] <= 0xDFFF))) ++j;
    return j;
}

void Compositor::Compose() {
    m_column.m_lines.clear();
    std::u16string const& text = m_story.GetText();
    auto const* column = dynamic_cast<ColumnFrame const*>(m_frame);
    auto const* art = dynamic_cast<ArtFrame const*>(m_frame);
    Kernel::PointT<double> origin = art ? art->m_origin : Kernel::PointT<double>{};
    Kernel::RectT<double> box = column ? column->m_bounds : Kernel::RectT<double>{};

    // Advances and metrics of every character, measured by runs of one font and size.
    size_t n = text.size();
    std::vector<double> advance(n, 0.0), ascent(n + 1, 0.0), descent(n + 1, 0.0),
        leading(n + 1, 0.0), dHeight(n + 1, 0.0);
    for (size_t i = 0; i <= n;) {
        auto const& g = m_story.GetGlyphAtts(i);
        double scale = i < n ? ShowChar(*g, text[i], m_story.GetScriptProportions()).scale : 1.0;
        size_t j = i < n ? ShapedRunEnd(m_story, i, n) : n + 1;
        double size = std::max(0.0, g->Get(GlyphDouble::kSize));
        std::vector<double> adv;
        std::u16string piece;
        for (size_t c = i; c < std::min(j, n); ++c)
            piece += ShowChar(*g, text[c], m_story.GetScriptProportions()).unit;
        bool kern = g->Get(GlyphDouble::kAutoKern) == 0;
        FontMetrics fm = MeasureText(g->Get(GlyphStr::kPostScriptName), g->Get(GlyphStr::kFamily),
                                     size * scale, piece, adv, kern);
        double hscale = g->Get(GlyphDouble::kHorizontalScale);
        double extra = g->Get(GlyphDouble::kTracking) * size;
        for (size_t c = i; c < j; ++c) {
            auto const& p = m_story.GetParagraphAtts(c);
            if (c < n) advance[c] = IsBreak(text[c]) ? 0.0 : adv[c - i] * hscale + extra;
            // A character's kerning widens or narrows the gap before it (em / 1000 units).
            if (c < n && c > 0 && !IsBreak(text[c - 1]))
                advance[c - 1] += g->Get(GlyphDouble::kKerning) * size;
            ascent[c] = fm.ascent;
            dHeight[c] = fm.dHeight;
            descent[c] = fm.descent;
            bool fixed = g->Get(GlyphInt::kFixedLeading) != 0;
            double factor = p->Get(ParaDouble::kAutoLeading);
            leading[c] = fixed ? g->Get(GlyphDouble::kLeading) : size * (factor > 0 ? factor : 1.2);
        }
        i = j;
    }

    double baseline = 0;
    bool first = true;
    for (StoryRange const& para : m_story.GetParagraphs()) {
        size_t pb = para.GetBegin().GetIndex(), pe = para.GetEnd().GetIndex();
        auto const& pa = m_story.GetParagraphAtts(pb);
        int align = pa->Get(ParaInt::kAlignment);
        double startIndent = pa->Get(ParaDouble::kStartIndent);
        double endIndent = pa->Get(ParaDouble::kEndIndent);
        double firstIndent = pa->Get(ParaDouble::kFirstLineIndent) - startIndent;
        if (!first) baseline += pa->Get(ParaDouble::kSpaceBefore);
        // Lines of the paragraph: forced breaks, and for box text the frame's width.
        size_t ls = pb;
        bool firstLine = true;
        while (true) {
            double indent = startIndent + (firstLine ? firstIndent : 0.0);
            double avail = box.Width() - indent - endIndent;
            size_t le = ls, lastSpace = SIZE_MAX;
            double w = 0;
            while (le < pe) {
                char16_t c = text[le];
                if (IsBreak(c)) {
                    ++le;
                    break;
                }
                if (column && w + advance[le] > avail && le > ls) {
                    if (lastSpace != SIZE_MAX) le = lastSpace + 1;
                    break;
                }
                if (c == u' ') lastSpace = le;
                w += advance[le];
                ++le;
            }
            ComposedLine line;
            line.start = ls;
            line.end = le;
            for (size_t c = ls; c < le; ++c) line.advances.push_back(advance[c]);
            size_t lastVisible = le;
            while (lastVisible > ls && (IsBreak(text[lastVisible - 1]) ||
                                        (column && text[lastVisible - 1] == u' ')))
                --lastVisible;
            for (size_t c = ls; c < lastVisible; ++c) line.width += advance[c];
            size_t span = std::max(le, ls + 1);
            for (size_t c = ls; c < span && c <= n; ++c) {
                line.ascent = std::max(line.ascent, ascent[c]);
                line.descent = std::max(line.descent, descent[c]);
                line.dHeight = std::max(line.dHeight, dHeight[c]);
                line.leading = std::max(line.leading, leading[c]);
            }
            if (first)
                baseline = column ? box.top + line.dHeight : origin.y;
            else
                baseline += line.leading;
            first = false;
            line.baseline = baseline;
            double left = column ? box.left : origin.x;
            double right = column ? box.right : origin.x;
            // Justified box text spreads a wrapped line over the width at its spaces; a line that
            // ends its paragraph (or a forced break) keeps its alignment, but under "justify all".
            bool wrapped = le < pe && !(le > ls && IsBreak(text[le - 1]));
            int lineAlign = align;
            bool justified =
                align == kJustifyAll ||
                ((align == kJustifyLeft || align == kJustifyCentre || align == kJustifyRight) &&
                 wrapped);
            if (column && justified && avail > line.width) {
                size_t spaces = 0;
                for (size_t c = ls; c < lastVisible; ++c) spaces += text[c] == u' ';
                if (spaces > 0) {
                    double extra = (avail - line.width) / double(spaces);
                    for (size_t c = ls; c < lastVisible; ++c)
                        if (text[c] == u' ') line.advances[c - ls] += extra;
                    line.width = avail;
                    lineAlign = kAlignLeft;
                }
            }
            switch (lineAlign) {
                case kAlignCentre:
                case kJustifyCentre:
                    line.x = column ? left + indent + (avail - line.width) / 2
                                    : origin.x - line.width / 2;
                    break;
                case kAlignRight:
                case kJustifyRight:
                    line.x = right - endIndent - line.width;
                    break;
                default:
                    line.x = left + indent;
            }
            m_column.m_lines.push_back(std::move(line));
            ls = le;
            firstLine = false;
            if (ls >= pe) break;
        }
        baseline += pa->Get(ParaDouble::kSpaceAfter);
    }
}

ComposedPos ComposedColumn::GetPos(StoryPos const& pos) const {
    size_t i = pos.GetIndex();
    for (auto const& line : m_lines)
        if (i < line.end || &line == &m_lines.back()) {
            double x = line.x;
            for (size_t c = line.start; c < i && c - line.start < line.advances.size(); ++c)
                x += line.advances[c - line.start];
            return ComposedPos({x, line.baseline});
        }
    return ComposedPos();
}

double ComposedColumn::GetHeight() const {
    if (m_lines.empty()) return 0;
    return m_lines.back().baseline - m_lines.front().baseline + m_lines.front().ascent +
           m_lines.back().descent;
}

}  // namespace Story

#include "psd/adjustments/PSDTextJson.h"

#include <cmath>

#include "psd/effects/PSDEffectsJson.h"

namespace PSD {

using ojson = nlohmann::ordered_json;
using namespace Story;

namespace {

double Round4(double v) {
    double r = std::round(v * 10000.0) / 10000.0;
    return r == 0 ? 0.0 : r;
}

// The engine's justification number for the model's alignment.
int Justification(int alignment) {
    static int const kEngine[] = {0, 2, 1, 3, 5, 4, 6};
    return alignment >= 0 && alignment < 7 ? kEngine[alignment] : 0;
}

ojson RunJson(GlyphAtts const& g, double scale) {
    ojson r;
    r["font"] = g.Get(GlyphStr::kPostScriptName);
    r["family"] = g.Get(GlyphStr::kFamily);
    r["size"] = Round4(g.Get(GlyphDouble::kSize) / scale);
    if (auto fill = g.GetFill().DynamicCast<Renderer::FillSolid const>())
        r["color"] = ColourJson(fill->GetColour());
    r["faux_bold"] = g.Get(GlyphInt::kFauxBold) != 0;
    r["faux_italic"] = g.Get(GlyphInt::kFauxItalic) != 0;
    r["tracking"] = Round4(g.Get(GlyphDouble::kTracking) * 1000.0);
    r["auto_leading"] = g.Get(GlyphInt::kFixedLeading) == 0;
    if (g.Get(GlyphInt::kFixedLeading)) r["leading"] = Round4(g.Get(GlyphDouble::kLeading));
    r["horizontal_scale"] = Round4(g.Get(GlyphDouble::kHorizontalScale) * 100.0);
    r["vertical_scale"] = Round4(g.Get(GlyphDouble::kVerticalScale) * 100.0);
    r["baseline_shift"] = Round4(-g.Get(GlyphDouble::kBaselineShift) / scale);
    r["underline"] = g.Get(GlyphInt::kUnderline) != 0;
    r["strikethrough"] = g.Get(GlyphInt::kStrikethrough) != 0;
    return r;
}

ojson ParagraphJson(ParagraphAtts const& p, double scale) {
    ojson r;
    r["justification"] = Justification(p.Get(ParaInt::kAlignment));
    r["first_line_indent"] =
        Round4((p.Get(ParaDouble::kFirstLineIndent) - p.Get(ParaDouble::kStartIndent)) / scale);
    r["start_indent"] = Round4(p.Get(ParaDouble::kStartIndent) / scale);
    r["end_indent"] = Round4(p.Get(ParaDouble::kEndIndent) / scale);
    r["space_before"] = Round4(p.Get(ParaDouble::kSpaceBefore) / scale);
    r["space_after"] = Round4(p.Get(ParaDouble::kSpaceAfter) / scale);
    r["auto_leading"] = Round4(p.Get(ParaDouble::kAutoLeading));
    return r;
}

// Consecutive characters whose JSON is equal form one run ("_id" tells runs apart and is
// dropped).
template <class Make>
ojson Runs(std::vector<std::pair<Kernel::Counted<::Story::Story>, size_t>> const& chars, Make make) {
    ojson runs = ojson::array();
    ojson last;
    size_t start = 0;
    auto flush = [&](size_t end) {
        ojson r = {{"start", start}, {"length", end - start}};
        for (auto it = last.begin(); it != last.end(); ++it)
            if (it.key() != "_id") r[it.key()] = it.value();
        runs.push_back(std::move(r));
    };
    for (size_t at = 0; at < chars.size(); ++at) {
        ojson r = make(*chars[at].first, chars[at].second);
        if (at > 0 && r == last) continue;
        if (at > 0) flush(at);
        start = at;
        last = std::move(r);
    }
    if (!chars.empty()) flush(chars.size());
    return runs;
}

}  // namespace

ojson TextJson(PSDAdjustmentTypeTool const& tool) {
    ojson j;
    auto text = tool.GetText();
    auto const& t = tool.m_transform;
    if (!text) {
        // Unconverted (warped, or text parsing off): what the descriptors give.
        auto stored = tool.m_textDescriptor.Get<DescriptorItemString>(Key("Txt "));
        String content = stored ? stored->m_value : String();
        while (!content.empty() && content.back() == '\0') content.pop_back();
        j["content"] = content;
        j["transform"] = {t[0], t[1], t[2], t[3], t[4], t[5]};
        j["warp"] = {{"style", tool.GetWarpStyle()}};
        return j;
    }
    std::u16string content;
    std::vector<std::pair<Kernel::Counted<::Story::Story>, size_t>> chars;
    for (auto const& item : text->m_items) {
        if (!item.m_story) continue;
        content += item.m_story->GetText();
        for (size_t i = 0; i < item.m_story->GetLength(); ++i) chars.emplace_back(item.m_story, i);
    }
    double scale = text->m_scale > 0 ? text->m_scale : 1.0;
    j["content"] = Kernel::ConvertEnc(content);
    j["transform"] = {t[0], t[1], t[2], t[3], t[4], t[5]};
    j["runs"] = Runs(chars, [&](::Story::Story const& s, size_t i) {
        return RunJson(*s.GetGlyphAtts(i), scale);
    });
    j["paragraphs"] = Runs(chars, [&](::Story::Story const& s, size_t i) {
        // A paragraph's settings, told apart from the next one's by its start.
        ojson p = ParagraphJson(*s.GetParagraphAtts(i), scale);
        size_t first = i;
        while (first > 0 && s.GetText()[first - 1] != kParagraphBreak) --first;
        p["_id"] = std::to_string(reinterpret_cast<uintptr_t>(&s)) + ":" + std::to_string(first);
        return p;
    });
    ojson frame;
    if (auto const* box = dynamic_cast<ColumnFrame const*>(text->m_frame.Get())) {
        frame["type"] = "box";
        auto const& b = box->m_bounds;
        frame["bounds"] = {b.left, b.top, b.right, b.bottom};
    } else {
        frame["type"] = "point";
        if (auto const* art = dynamic_cast<ArtFrame const*>(text->m_frame.Get()))
            frame["origin"] = {art->m_origin.x, art->m_origin.y};
        auto const& b = text->m_boundsBox;
        frame["bounds"] = {b[0], b[1], b[2], b[3]};
    }
    j["frame"] = frame;
    j["warp"] = {{"style", tool.GetWarpStyle()}};
    ojson items = ojson::array();
    for (auto const& item : text->m_items) items.push_back({{"alignment", Justification(item.GetTextAlign())}});
    if (text->m_items.size() > 1) j["items"] = items;
    return j;
}

}  // namespace PSD

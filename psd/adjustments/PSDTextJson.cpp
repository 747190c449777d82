#include "psd/adjustments/PSDTextJson.h"

#include <cmath>

#include "psd/effects/PSDEffectsJson.h"
#include "psd/effects/PSDJsonChangesSupport.h"

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

// The colour type the engine data's fills use (0 grey, 1 RGB, 2 CMYK): the document's mode.
int FillColorType(PDFData const& v) {
    if (auto const* d = dynamic_cast<PDFDictionary const*>(&v)) {
        for (auto const& item : d->GetItems()) {
            auto fill = item.m_key == "FillColor" ? item.m_value.DynamicCast<PDFDictionary const>()
                                                  : nullptr;
            int type = fill ? fill->GetInt("Type", -1) : -1;
            if (type >= 0 && type <= 2) return type;
            if (int t = item.m_value ? FillColorType(*item.m_value) : -1; t >= 0) return t;
        }
    } else if (auto const* a = dynamic_cast<PDFArray const*>(&v)) {
        for (auto const& item : a->GetItems())
            if (int t = item ? FillColorType(*item) : -1; t >= 0) return t;
    }
    return -1;
}

Kernel::Counted<PDFData> EngineColour(Renderer::Colour const& c, int type) {
    auto values = Kernel::MakeCounted<PDFArray>();
    std::vector<double> v{1.0};  // the alpha the engine stores first
    if (type == 0) {
        v.push_back(c.ToGray16() / 65535.0);
    } else if (type == 2) {
        auto f = c.ToCMYKAF();
        v.insert(v.end(), {f.c, f.m, f.y, f.k});
    } else {
        auto f = c.ToRGBAF();
        v.insert(v.end(), {f.r, f.g, f.b});
    }
    for (double x : v) values->m_items.push_back(Kernel::MakeCounted<PDFDouble>(x));
    auto fill = Kernel::MakeCounted<PDFDictionary>();
    fill->Append("Type", Kernel::MakeCounted<PDFInt>(type));
    fill->Append("Values", values);
    return fill;
}

bool Stylable(PSDAdjustmentTypeTool const& tool, nlohmann::json const& changes, std::string& why) {
    if (!tool.GetEngineData())
        why = "the layer holds no text that can be styled";
    else if (!changes.is_object())
        why = "the changes must be an object";
    else
        return true;
    return false;
}

// Sets the fields on the range, checked against the engine's text (which ends with a paragraph
// break the content leaves out).
bool Restyle(PSDAdjustmentTypeTool& tool, std::vector<PDFDictionaryItem> const& fields,
             size_t start, size_t length, ParseData const& options, bool paragraphs,
             std::string& why) {
    if (fields.empty()) {
        why = paragraphs ? "no field of the paragraph style was given"
                         : "no field of the text style was given";
        return false;
    }
    auto root = tool.GetEngineData().DynamicCast<PDFDictionary const>();
    auto text = root ? root->GetValue("EngineDict", "Editor", "Text").DynamicCast<PDFString const>()
                     : nullptr;
    size_t units = text ? text->GetGlyphs().GetUnits().size() : 0;
    units = units > 0 ? units - 1 : 0;
    if (length == std::string::npos && start < units) length = units - start;
    if (start >= units || length == 0 || length > units - start) {
        why = "the range from " + std::to_string(start) + " must lie within the text's " +
              std::to_string(units) + " characters and hold at least one";
        return false;
    }
    if (!tool.SetStyle(start, length, fields, options, paragraphs)) {
        why = "the layer's engine data could not be styled";
        return false;
    }
    return true;
}

}  // namespace

bool SetTextStyle(PSDAdjustmentTypeTool& tool, nlohmann::json const& changes, size_t start,
                  size_t length, ParseData const& options, std::string& why) {
    if (!Stylable(tool, changes, why)) return false;
    auto engine = tool.GetEngineData();
    JsonChanges c(changes, "text style", why);
    std::vector<PDFDictionaryItem> fields;
    auto set = [&](char const* key, Kernel::Counted<PDFData> v) {
        fields.push_back(PDFDictionaryItem{String(key), std::move(v)});
    };
    if (nlohmann::json const* v = c.Get("font")) {
        std::string name = v->is_string() ? v->get<std::string>() : std::string();
        if (name.empty() || name.size() > 127 || name.find('\0') != std::string::npos)
            c.Fail("font", "must be a PostScript font name");
        else {
            auto s = Kernel::MakeCounted<PDFString>();
            s->m_utf16 = Kernel::ConvertEnc(std::string_view(name));
            set("Font", s);
        }
    }
    // Sizes, shifts and leading are in points as stored, tracking in thousandths of an em and
    // the scales in percent, as TextJson gives them.
    struct Amount {
        char const* name;
        char const* key;
        double low, high, scale;
        bool whole;
    };
    static Amount const kAmounts[] = {
        {"size", "FontSize", 0.01, 1296, 1, false},
        {"tracking", "Tracking", -1000, 10000, 1, true},
        {"leading", "Leading", 0.01, 5000, 1, false},
        {"horizontal_scale", "HorizontalScale", 1, 1000, 0.01, false},
        {"vertical_scale", "VerticalScale", 1, 1000, 0.01, false},
        {"baseline_shift", "BaselineShift", -1296, 1296, 1, false},
    };
    // The editor writes whole numbers for tracking, reals for the rest.
    for (auto const& a : kAmounts) {
        if (!changes.contains(a.name)) continue;
        if (a.whole) {
            int32_t i = 0;
            c.Number(a.name, a.low, a.high, 1, i);
            set(a.key, Kernel::MakeCounted<PDFInt>(i));
        } else {
            double d = 0;
            c.Number(a.name, a.low, a.high, a.scale, d);
            set(a.key, Kernel::MakeCounted<PDFDouble>(d));
        }
    }
    static char const* const kSwitches[][2] = {{"faux_bold", "FauxBold"},
                                               {"faux_italic", "FauxItalic"},
                                               {"underline", "Underline"},
                                               {"strikethrough", "Strikethrough"},
                                               {"auto_leading", "AutoLeading"}};
    for (auto const& s : kSwitches) {
        if (!changes.contains(s[0])) continue;
        bool b = false;
        c.Bool(s[0], b);
        set(s[1], Kernel::MakeCounted<PDFName>(String(b ? "true" : "false")));
    }
    // A comparison, not value(): a non-boolean "auto_leading" is the reader's fault to name.
    if (changes.contains("leading")) {
        if (changes.contains("auto_leading") && changes["auto_leading"] == true)
            c.Fail("leading", "cannot be set with \"auto_leading\" true");
        else if (!changes.contains("auto_leading"))
            set("AutoLeading", Kernel::MakeCounted<PDFName>(String("false")));
    }
    Kernel::Consolidated<Renderer::Colour> colour;
    c.Colour("color", colour);
    if (colour) {
        int type = FillColorType(*engine);
        set("FillColor", EngineColour(*colour, type < 0 ? 1 : type));
    }
    c.Finish();
    if (!c.Ok()) return false;
    return Restyle(tool, fields, start, length, options, false, why);
}

bool SetParagraphStyle(PSDAdjustmentTypeTool& tool, nlohmann::json const& changes, size_t start,
                       size_t length, ParseData const& options, std::string& why) {
    if (!Stylable(tool, changes, why)) return false;
    JsonChanges c(changes, "paragraph style", why);
    std::vector<PDFDictionaryItem> fields;
    // Lengths in points as stored; the first line's indent counts from the start indent.
    static struct {
        char const* name;
        char const* key;
        double low, high;
    } const kAmounts[] = {{"first_line_indent", "FirstLineIndent", -1296, 1296},
                          {"start_indent", "StartIndent", 0, 1296},
                          {"end_indent", "EndIndent", 0, 1296},
                          {"space_before", "SpaceBefore", 0, 1296},
                          {"space_after", "SpaceAfter", 0, 1296},
                          {"auto_leading", "AutoLeading", 0, 5}};
    for (auto const& a : kAmounts) {
        if (!changes.contains(a.name)) continue;
        double d = NAN;
        c.Number(a.name, a.low, a.high, 1, d);
        if (std::isfinite(d)) fields.push_back({String(a.key), Kernel::MakeCounted<PDFDouble>(d)});
    }
    if (changes.contains("justification")) {
        int j = -1;
        c.Number("justification", 0, 6, 1, j);
        if (j >= 0) fields.push_back({String("Justification"), Kernel::MakeCounted<PDFInt>(j)});
    }
    c.Finish();
    if (!c.Ok()) return false;
    return Restyle(tool, fields, start, length, options, true, why);
}

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

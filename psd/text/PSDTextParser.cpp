#include "psd/text/PSDTextParser.h"

#include <cmath>
#include <cstring>

#include "host/kernel/Font.h"
#include "host/renderer/Colour.h"
#include "host/story/Compositor.h"

namespace PSD {

using namespace Story;

namespace {

constexpr uint32_t Tag(char const (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

Kernel::Counted<PDFDictionary const> AsDict(Kernel::Counted<PDFData const> const& v) {
    return v.DynamicCast<PDFDictionary const>();
}

// The numbers of an array of exactly n numbers, or false.
bool GetNumbers(Kernel::Counted<PDFData const> const& v, size_t n, double fallback,
                std::vector<double>& out) {
    auto a = v.DynamicCast<PDFArray const>();
    if (!a || a->GetCount() != n) return false;
    out.clear();
    for (auto const& item : a->GetItems()) out.push_back(item ? item->GetDouble(fallback) : fallback);
    return true;
}

}  // namespace

PSDTextParser::PSDTextParser(Kernel::Counted<PDFData const> root, PSDReport& report, double scale,
                             String const& defaultFontName, double normalSizeScale)
    : m_root(std::move(root)),
      m_scale(scale),
      m_normalSizeScale(std::isfinite(normalSizeScale) && normalSizeScale > 0 ? normalSizeScale
                                                                              : 1.0),
      m_sizeScale(scale),
      m_defaultFontName(defaultFontName),
      m_report(report) {
    m_stories.push_back(Kernel::MakeCounted<::Story::Story>());
}

void PSDTextParser::FailCheck(char const* what) {
    m_report.AddWarning(PSDLoadWarning::kUnexpectedTextData, String(what));
}

void PSDTextParser::FailEnsure(char const* what) {
    m_report.AddWarning(PSDLoadWarning::kBadTextData, String(what));
    throw ParseException();
}

bool PSDTextParser::Parse() {
    if (!AsDict(m_root)) return false;
    try {
        ParseUnformattedText();
        ParseResources(AsDict(m_root)->GetValue("DocumentResources"));
        ParseParagraphRuns();
        ParseStyleRuns();
        ParseFrame();
        PostProcessKerning();
        PostProcessArtAlign();
    } catch (ParseException const&) {
        m_textItems.clear();
        return false;
    }
    return true;
}

void PSDTextParser::ParseUnformattedText() {
    auto para = ParagraphAtts::GetDefault()->Clone();
    para->Set(ParaInt::kAutoLeadingOn, 1);
    para->Set(ParaDouble::kAutoLeading, 0.0);
    auto glyph = GlyphAtts::GetDefault()->Clone();
    glyph->Set(GlyphStr::kFamily, m_defaultFontName);
    ::Story::Story& story = GetStory();
    story.SetDefaults(glyph, para);

    auto text = AsDict(m_root)->GetValue("EngineDict", "Editor", "Text").DynamicCast<PDFString>();
    Ensure(bool(text), "EngineDict > Editor > Text");
    // U+0003 breaks a line inside its paragraph (replaced before insertion: every character
    // still carries the defaults).
    std::u16string units = text->GetGlyphs().GetUnits();
    for (char16_t& u : units)
        if (u == u'\u0003') u = kLineSeparator;
    story.ReplaceText(story.GetClientAll(), GlyphString(std::move(units)));
    // The engine's text ends with a paragraph break the model does not keep.
    StoryPos end = story.GetTerminatorPos();
    if (end.IsParagraphBegin() && !end.IsStoryBegin()) {
        StoryPos before = end;
        before.MoveBy(-1);
        story.DeleteText(StoryRange(before, end));
    }
}

void PSDTextParser::ParseResources(Kernel::Counted<PDFData> const& value) {
    auto resources = value.DynamicCast<PDFDictionary const>();
    Ensure(bool(resources), "DocumentResources");
    // Out-of-range proportions keep the editor's defaults rather than drawing nothing or giants.
    ::Story::ScriptProportions script;
    auto proportion = [&](char const* key, double& v, double low) {
        double read = resources->GetDouble(key, v);
        if (std::isfinite(read) && read >= low && read <= 4.0) v = read;
    };
    proportion("SmallCapSize", script.smallCapSize, 0.01);
    proportion("SuperscriptSize", script.superscriptSize, 0.01);
    proportion("SuperscriptPosition", script.superscriptPosition, -4.0);
    proportion("SubscriptSize", script.subscriptSize, 0.01);
    proportion("SubscriptPosition", script.subscriptPosition, -4.0);
    GetStory().SetScriptProportions(script);
    if (auto fonts = resources->GetArray("FontSet")) {
        for (auto const& f : fonts->GetItems()) {
            auto font = f.DynamicCast<PDFDictionary const>();
            Ensure(bool(font), "FontSet");
            String name = font->GetString("Name");
            if (name.empty()) FailCheck("FontSet > Name");
            m_resources.m_fonts.push_back(name);
        }
    }
    // The normal sheets come first in effect: every other sheet starts from them.
    m_resources.m_normalStyleSheet = resources->GetInt("TheNormalStyleSheet", -1);
    m_resources.m_normalParagraphSheet = resources->GetInt("TheNormalParagraphSheet", -1);
    if (auto sheets = resources->GetArray("StyleSheetSet")) {
        int normal = m_resources.m_normalStyleSheet;
        m_resources.m_normalStyleSheet = -1;
        for (auto const& s : sheets->GetItems()) {
            bool isNormal = long(m_resources.m_styleSheets.size()) == normal;
            m_sizeScale = isNormal ? m_scale * m_normalSizeScale : m_scale;
            m_resources.m_styleSheets.push_back(ParseStyleSheet(s));
        }
        m_sizeScale = m_scale;
        m_resources.m_normalStyleSheet = normal;
    }
    if (auto sheets = resources->GetArray("ParagraphSheetSet")) {
        int normal = m_resources.m_normalParagraphSheet;
        m_resources.m_normalParagraphSheet = -1;
        for (auto const& s : sheets->GetItems())
            m_resources.m_paragraphSheets.push_back(ParseParagraphSheet(s));
        m_resources.m_normalParagraphSheet = normal;
    }
}

PSDStyleSheet PSDTextParser::ParseStyleSheet(Kernel::Counted<PDFData> const& value) {
    auto dict = value.DynamicCast<PDFDictionary const>();
    Ensure(bool(dict), "StyleSheet");
    PSDStyleSheet sheet;
    int normal = m_resources.m_normalStyleSheet;
    if (normal >= 0 && size_t(normal) < m_resources.m_styleSheets.size())
        sheet.m_delta.AddMerge(m_resources.m_styleSheets[normal].m_delta);
    if (auto data = dict->GetValue("StyleSheetData").DynamicCast<PDFDictionary const>())
        for (auto const& item : data->GetItems()) ParseStyleSheetItem(item, sheet);
    return sheet;
}

PSDParagraphSheet PSDTextParser::ParseParagraphSheet(Kernel::Counted<PDFData> const& value) {
    auto dict = value.DynamicCast<PDFDictionary const>();
    Ensure(bool(dict), "ParagraphSheet");
    PSDParagraphSheet sheet;
    int normal = m_resources.m_normalParagraphSheet;
    if (normal >= 0 && size_t(normal) < m_resources.m_paragraphSheets.size()) {
        auto const& n = m_resources.m_paragraphSheets[normal];
        sheet.m_delta.AddMerge(n.m_delta);
        sheet.m_firstLineIndent = n.m_firstLineIndent;
        sheet.m_startIndent = n.m_startIndent;
    }
    int style = dict->GetInt("DefaultStyleSheet", -1);
    if (style >= 0 && size_t(style) < m_resources.m_styleSheets.size())
        sheet.m_delta.AddMerge(m_resources.m_styleSheets[style].m_delta);
    if (auto props = dict->GetValue("Properties").DynamicCast<PDFDictionary const>())
        for (auto const& item : props->GetItems()) ParseParagraphSheetItem(item, sheet);
    return sheet;
}

::Story::DeltaPtr PSDTextParser::ParsePostScriptName(String const& name) {
    auto& fonts = Kernel::FontCache::GetInstance();
    String family;
    if (fonts.FindFontFamilyByPostscriptName(name, family))
        return DeltaPtr(new FontDelta(name, family));
    Kernel::FontDescription variable;
    if (Kernel::TryParseVariableFontName(name, variable))
        return DeltaPtr(new FontDelta(name, variable));
    // Not installed: the name stands as the family; layout falls back to a similar font.
    return DeltaPtr(new FontDelta(name, name));
}

Kernel::Counted<Renderer::FillSolid> PSDTextParser::GetFill(Kernel::Counted<PDFData> const& value) {
    auto dict = value.DynamicCast<PDFDictionary const>();
    if (!dict) {
        FailCheck("FillColor");
        return nullptr;
    }
    int type = dict->GetInt("Type", -1);
    auto values = dict->GetArray("Values");
    // Grey (documents in greyscale), RGB and CMYK, each behind the alpha the engine stores.
    size_t count = type == 0 ? 2 : type == 1 ? 4 : type == 2 ? 5 : 0;
    if (!values || count == 0 || values->GetCount() != count) {
        FailCheck("FillColor > Type");
        return nullptr;
    }
    float v[5] = {};
    for (size_t i = 0; i < count; ++i) {
        double d = values->GetAt(i) ? values->GetAt(i)->GetDouble(-1) : -1;
        if (!(d >= 0 && d <= 1)) {
            FailCheck("FillColor > Values");
            return nullptr;
        }
        v[i] = float(d);
    }
    // The first value (the alpha the engine stores) is not used.
    Kernel::Consolidated<Renderer::Colour> colour =
        type == 0   ? Renderer::ColourGrayscale::Create(v[1], 1.0f, 1.0f, String())
        : type == 1 ? Renderer::ColourRGB::Create(Renderer::RGBAF{v[1], v[2], v[3], 1.0f}, 1.0f,
                                                  1.0f, String())
                    : Renderer::ColourCMYK::Create(Renderer::CMYKAF{v[1], v[2], v[3], v[4], 1.0f},
                                                   1.0f, 1.0f, String());
    return Renderer::FillSolid::Create(colour);
}

void PSDTextParser::ParseStyleSheetItem(PDFDictionaryItem const& item, PSDStyleSheet& sheet) {
    String const& key = item.m_key;
    PDFData const& v = *item.m_value;
    auto add = [&](DeltaPtr d) { sheet.m_delta.AddMerge(d); };
    if (key == "Font") {
        int index = v.GetInt(-1);
        if (index < 0 || size_t(index) >= m_resources.m_fonts.size())
            FailCheck("Font");
        else
            add(ParsePostScriptName(m_resources.m_fonts[index]));
    } else if (key == "FontSize") {
        double size = v.GetDouble(-1) * m_sizeScale;
        if (size < 0)
            FailCheck("FontSize");
        else
            add(MakeDelta(GlyphDouble::kSize, size));
    } else if (key == "HorizontalScale" || key == "VerticalScale") {
        double s = v.GetDouble(0);
        if (s <= 0)
            FailCheck(key.c_str());
        else
            add(MakeDelta(key == "HorizontalScale" ? GlyphDouble::kHorizontalScale
                                                   : GlyphDouble::kVerticalScale,
                          s));
    } else if (key == "AutoLeading") {
        add(MakeDelta(GlyphInt::kFixedLeading, v.GetBool() ? 0 : 1));
    } else if (key == "Leading") {
        double l = v.GetDouble(-1);
        if (l < 0)
            FailCheck("Leading");
        else
            add(MakeDelta(GlyphDouble::kLeading, l));
    } else if (key == "Tracking") {
        add(MakeDelta(GlyphDouble::kTracking, v.GetDouble(0) / 1000.0));
    } else if (key == "Kerning") {
        add(MakeDelta(GlyphDouble::kKerning, v.GetDouble(0) / 1000.0));
    } else if (key == "BaselineShift") {
        double s = -v.GetDouble(0) * m_scale;
        add(MakeDelta(GlyphDouble::kBaselineShift, std::fabs(s) < 1e-6 ? 0.0 : s));
    } else if (key == "AutoKerning") {
        add(MakeDelta(GlyphDouble::kAutoKern, v.GetBool() ? 0.0 : -1.0));
    } else if (key == "Underline") {
        add(MakeDelta(GlyphInt::kUnderline, v.GetBool() ? 1 : 0));
    } else if (key == "Strikethrough") {
        add(MakeDelta(GlyphInt::kStrikethrough, v.GetBool() ? 1 : 0));
    } else if (key == "FauxBold" || key == "FauxItalic") {
        add(MakeDelta(key == "FauxBold" ? GlyphInt::kFauxBold : GlyphInt::kFauxItalic,
                      v.GetBool() ? 1 : 0));
    } else if (key == "FontCaps") {
        static int const kCaps[] = {kCapsNormal, kCapsSmall, kCapsAll};
        int caps = v.GetInt(-1);
        if (caps < 0 || caps > 2)
            FailCheck("FontCaps");
        else
            add(OpenTypeFeatureDelta::Caps(kCaps[caps]));
    } else if (key == "FontBaseline") {
        int b = v.GetInt(-1);
        if (b < 0 || b > 2)
            FailCheck("FontBaseline");
        else
            add(MakeDelta(GlyphInt::kBaseline, b));
    } else if (key == "FillColor") {
        if (auto fill = GetFill(item.m_value))
            add(MakeDelta(GlyphObject::kFill, Kernel::Counted<Renderer::Fill const>(fill)));
    } else if (key == "Ligatures") {
        add(OpenTypeFeatureDelta::Feature(Tag("liga"), v.GetBool()));
    } else if (key == "DLigatures") {
        add(OpenTypeFeatureDelta::Feature(Tag("dlig"), v.GetBool()));
    }
}

void PSDTextParser::ParseParagraphSheetItem(PDFDictionaryItem const& item,
                                            PSDParagraphSheet& sheet) {
    String const& key = item.m_key;
    PDFData const& v = *item.m_value;
    auto add = [&](DeltaPtr d) { sheet.m_delta.AddMerge(d); };
    auto firstLine = [&] {
        add(MakeDelta(ParaDouble::kFirstLineIndent, sheet.m_firstLineIndent + sheet.m_startIndent));
    };
    // Lengths that may not be negative, each to its attribute.
    static struct {
        char const* key;
        ParaDouble attr;
    } const kLengths[] = {{"EndIndent", ParaDouble::kEndIndent},
                          {"SpaceBefore", ParaDouble::kSpaceBefore},
                          {"SpaceAfter", ParaDouble::kSpaceAfter}};
    for (auto const& l : kLengths)
        if (key == l.key) {
            double d = v.GetDouble(-1) * m_scale;
            if (d < 0)
                FailCheck(l.key);
            else
                add(MakeDelta(l.attr, d));
            return;
        }
    if (key == "FirstLineIndent") {
        sheet.m_firstLineIndent = v.GetDouble(0) * m_scale;
        firstLine();
    } else if (key == "StartIndent") {
        double d = v.GetDouble(-1) * m_scale;
        if (d < 0) return FailCheck("StartIndent");
        sheet.m_startIndent = d;
        add(MakeDelta(ParaDouble::kStartIndent, d));
        firstLine();
    } else if (key == "AutoLeading") {
        double d = v.GetDouble(1.0);
        if (d < 0) return FailCheck("AutoLeading");
        add(MakeDelta(ParaInt::kAutoLeadingOn, 1));
        add(MakeDelta(ParaDouble::kAutoLeading, d));
    } else if (key == "Justification") {
        static int const kAlign[] = {kAlignLeft,   kAlignRight,    kAlignCentre, kJustifyLeft,
                                     kJustifyRight, kJustifyCentre, kJustifyAll};
        int j = v.GetInt(-1);
        if (j < 0 || j > 6) return FailCheck("Justification");
        add(MakeDelta(ParaInt::kAlignment, kAlign[j]));
    } else if (key == "WordSpacing" || key == "LetterSpacing") {
        bool word = key == "WordSpacing";
        std::vector<double> n;
        Ensure(GetNumbers(item.m_value, 3, word ? -1 : 0, n), key.c_str());
        if (word && (n[0] < 0 || n[1] < 0 || n[2] < 0)) return FailCheck("WordSpacing");
        ParaDouble first = word ? ParaDouble::kWordSpacingMin : ParaDouble::kLetterSpacingMin;
        for (int i = 0; i < 3; ++i) add(MakeDelta(ParaDouble(int(first) + i), n[i]));
    }
}

template <class Apply>
void PSDTextParser::ParseRuns(char const* key, Apply&& apply) {
    auto run = AsDict(m_root)->GetValue("EngineDict", key).DynamicCast<PDFDictionary const>();
    Ensure(bool(run), key);
    auto elements = run->GetArray("RunArray");
    auto lengths = run->GetArray("RunLengthArray");
    Ensure(elements && lengths && elements->GetCount() == lengths->GetCount(), key);
    ::Story::Story& story = GetStory();
    // The runs also cover the paragraph break the text lost at its end.
    size_t limit = story.GetLength() + 1, total = 0;
    for (size_t i = 0; i < lengths->GetCount(); ++i) {
        auto const& len = lengths->GetAt(i);
        long n = len ? len->GetInt(0) : 0;
        Ensure(n > 0 && size_t(n) <= limit - total, key);
        auto element = elements->GetAt(i).DynamicCast<PDFDictionary const>();
        Ensure(bool(element), key);
        StoryPos b(&story, total);
        total += size_t(n);
        StoryPos e(&story, std::min(total, story.GetLength()));
        apply(*element, StoryRange(b, e));
    }
}

void PSDTextParser::ParseParagraphRuns() {
    ParseRuns("ParagraphRun", [&](PDFDictionary const& element, StoryRange range) {
        PSDParagraphSheet sheet = ParseParagraphSheet(element.GetValue("ParagraphSheet"));
        range.ExtendToWholeParagraphs();
        range.IncludeStoryTerminator();
        GetStory().FormatText(range, sheet.m_delta);
        m_paragraphRuns.push_back({range, std::move(sheet)});
    });
}

void PSDTextParser::ParseStyleRuns() {
    ParseRuns("StyleRun", [&](PDFDictionary const& element, StoryRange range) {
        PSDStyleSheet sheet = ParseStyleSheet(element.GetValue("StyleSheet"));
        // A run that reaches the end carries the terminator's style too.
        if (range.GetEnd() == GetStory().GetTerminatorPos()) range.IncludeStoryTerminator();
        GetStory().FormatText(range, sheet.m_delta);
    });
}

void PSDTextParser::ParseFrame() {
    auto rendered = AsDict(m_root)->GetValue("EngineDict", "Rendered").DynamicCast<PDFDictionary const>();
    Ensure(bool(rendered), "Rendered");
    if (rendered->GetInt("Version", -1) != 1) FailCheck("Rendered > Version");
    auto shapes = rendered->GetValue("Shapes").DynamicCast<PDFDictionary const>();
    Ensure(bool(shapes), "Shapes");
    if (shapes->GetInt("WritingDirection", -1) != 0) FailCheck("Shapes > WritingDirection");
    auto children = shapes->GetArray("Children");
    Ensure(children && children->GetCount() > 0, "Shapes > Children");
    auto child = children->GetAt(0).DynamicCast<PDFDictionary const>();
    Ensure(bool(child), "Shapes > Children");
    if (child->GetInt("Procession", -1) != 0) FailCheck("Children > Procession");
    auto ps = child->GetValue("Cookie", "Photoshop").DynamicCast<PDFDictionary const>();
    Ensure(bool(ps), "Cookie > Photoshop");
    int type = ps->GetInt("ShapeType", -1);
    std::vector<double> n;
    if (type == 0) {
        Ensure(GetNumbers(ps->GetValue("PointBase"), 2, 0, n), "PointBase");
        GetStory().SetFrame(Kernel::MakeCounted<ArtFrame>(Kernel::PointT<double>{n[0], n[1]}));
    } else {
        Ensure(type == 1, "ShapeType");
        Ensure(GetNumbers(ps->GetValue("BoxBounds"), 4, 0, n), "BoxBounds");
        if (n[2] <= n[0] || n[3] <= n[1]) FailCheck("BoxBounds");
        GetStory().SetFrame(
            Kernel::MakeCounted<ColumnFrame>(Kernel::RectT<double>{n[0], n[1], n[2], n[3]}));
    }
}

void PSDTextParser::PostProcessKerning() {
    ::Story::Story& story = GetStory();
    if (story.GetLength() < 2) return;
    // Each glyph carries the kerning of the glyph before it (the pair's kerning sits on the left
    // glyph in the engine, on the right one in the model).
    auto prev = story.GetGlyphAtts(0);
    for (size_t i = 1; i < story.GetLength(); ++i) {
        auto cur = story.GetGlyphAtts(i);
        double k = prev->Get(GlyphDouble::kKerning), a = prev->Get(GlyphDouble::kAutoKern);
        if (cur->Get(GlyphDouble::kKerning) != k || cur->Get(GlyphDouble::kAutoKern) != a) {
            auto copy = cur->Clone();
            copy->Set(GlyphDouble::kKerning, k);
            copy->Set(GlyphDouble::kAutoKern, a);
            story.SetGlyphAtts(i, copy);
        }
        prev = cur;
    }
    // The first glyph has no pair to its left.
    auto first = story.GetGlyphAtts(0);
    if (first->Get(GlyphDouble::kKerning) != 0) {
        auto copy = first->Clone();
        copy->Set(GlyphDouble::kKerning, 0);
        story.SetGlyphAtts(0, copy);
    }
}

void PSDTextParser::PostProcessArtAlign() {
    auto story = m_stories.front();
    auto frame = story->GetFrame();
    auto const* art = dynamic_cast<ArtFrame const*>(frame.Get());
    if (!art) {
        m_textItems.emplace_back(story, frame);
        return;
    }
    Compositor compositor(*story, art);
    compositor.Compose();
    ComposedColumn const& column = compositor.GetFirstColumn();
    // Alignment runs: consecutive paragraphs of one alignment.
    std::vector<StoryRange> runs;
    int current = -1;
    for (StoryRange const& p : story->GetParagraphs()) {
        int align = story->GetParagraphAtts(p.GetBegin().GetIndex())->Get(ParaInt::kAlignment);
        if (runs.empty() || align != current)
            runs.push_back(p);
        else
            runs.back() = StoryRange(runs.back().GetBegin(), p.GetEnd());
        current = align;
    }
    if (runs.size() == 1) {
        m_textItems.emplace_back(story, frame);
        return;
    }
    for (StoryRange const& r : runs) {
        auto piece = story->Copy(r);
        Kernel::Counted<Frame> at =
            Kernel::MakeCounted<ArtFrame>(column.GetPos(r.GetBegin()).GetBasePosition());
        piece->SetFrame(at);
        m_stories.push_back(piece);
        m_textItems.emplace_back(piece, at);
    }
}

// ---- Items

int PSDTextItem::GetTextAlign() const {
    return m_story ? m_story->GetParagraphAtts(0)->Get(ParaInt::kAlignment) : kAlignLeft;
}

double PSDTextItem::GetTextHeight() const {
    if (!m_story) return 0;
    if (auto const* box = dynamic_cast<ColumnFrame const*>(m_frame.Get()))
        return box->m_bounds.Height();
    Compositor c(*m_story, m_frame.Get());
    c.Compose();
    return c.GetFirstColumn().GetHeight();
}

bool PSDText::IsBox() const {
    return !m_items.empty() && m_items.front().m_frame && m_items.front().m_frame->IsColumn();
}

}  // namespace PSD

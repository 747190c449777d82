// Engine data to the text model, the type tool block around it, and the document's frame sets:
// the faults a reader gets wrong (the last paragraph break, U+0003, run lengths, scaled sizes,
// the justification numbers, inverted boxes, missing fonts, either spelling of frame keys).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host/kernel/Font.h"
#include "host/story/Compositor.h"
#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/io/PSDParseData.h"
#include "psd/text/PSDTextEngineData.h"
#include "psd/text/PSDTextParser.h"

using namespace PSD;
using Story::GlyphDouble;
using Story::GlyphStr;
using Story::ParaInt;

namespace {

struct Engine {
    std::string text = "Hello\\r";
    std::string styleLengths = "6";
    std::string paraLengths = "6";
    std::string style = "/Font 0 /FontSize 12";
    std::string para = "/Justification 0";
    std::string shape = "/ShapeType 0 /PointBase [ 10 20 ]";
    std::string fonts = "<< /Name (ArialMT) >>";
    std::string resources;  // more keys of the document resources

    std::string Bytes() const {
        std::string runs, paras;
        for (size_t i = 0, n = std::count(styleLengths.begin(), styleLengths.end(), ' ') + 1; i < n; ++i)
            runs += "<< /StyleSheet << /StyleSheetData << " + style + " >> >> >> ";
        for (size_t i = 0, n = std::count(paraLengths.begin(), paraLengths.end(), ' ') + 1; i < n;
             ++i)
            paras += "<< /ParagraphSheet << /Properties << " + para + " >> >> >> ";
        return "<< /EngineDict << /Editor << /Text (" + text +
               ") >>"
               " /ParagraphRun << /RunArray [ " +
               paras + "] /RunLengthArray [ " + paraLengths + " ] >> /StyleRun << /RunArray [ " +
               runs + "] /RunLengthArray [ " + styleLengths +
               " ] >> /Rendered << /Version 1 /Shapes << /WritingDirection 0 /Children [ << "
               "/Procession 0 /Cookie << /Photoshop << " +
               shape +
               " >> >> >> ] >> >> >>"
               " /DocumentResources << /FontSet [ " +
               fonts +
               " ] /StyleSheetSet [ << "
               "/StyleSheetData << >> >> ] /ParagraphSheetSet [ << /Properties << >> >> ]"
               " /TheNormalStyleSheet 0 /TheNormalParagraphSheet 0 " +
               resources + " >> >>";
    }
};

struct Converted {
    bool ok = false;
    std::vector<PSDTextItem> items;
    size_t bad = 0, unexpected = 0;
    Story::Story const& S() const { return *items.at(0).m_story; }
};

Converted Convert(Engine const& e, double scale = 1.0) {
    std::string b = e.Bytes();
    auto root = PDFDataParser(reinterpret_cast<unsigned char const*>(b.data()), b.size()).Parse();
    EXPECT_TRUE(root) << b;
    PSDReport report;
    report.m_warnings = Kernel::MakeCounted<PSDWarnings>();
    PSDTextParser parser(root, report, scale, String("Fallback Sans"));
    Converted c;
    c.ok = parser.Parse();
    c.items = parser.GetTextItems();
    for (auto const& w : report.m_warnings->GetWarnings()) {
        auto l = w.DynamicCast<PSDLoadWarning const>();
        c.bad += l && l->m_code == PSDLoadWarning::kBadTextData;
        c.unexpected += l && l->m_code == PSDLoadWarning::kUnexpectedTextData;
    }
    return c;
}

}  // namespace

TEST(TextParser, EngineDataFaults) {
    Kernel::FontCache::GetInstance().AddFont("ZzTest-Regular", "Zz Test");
    struct Case {
        char const* name;
        std::function<void(Engine&)> edit;
        double scale;
        bool ok;
        size_t unexpected;
        std::function<void(Converted const&)> check;
    };
    Case const cases[] = {
        {"final paragraph break removed", [](Engine&) {}, 1, true, 0,
         [](Converted const& c) { EXPECT_EQ(c.S().GetText(), u"Hello"); }},
        {"U+0003 breaks the line", [](Engine& e) { e.text = "ab\\003cd\\r"; }, 1, true, 0,
         [](Converted const& c) {
             EXPECT_EQ(c.S().GetText(), u"ab\u2028cd");
             EXPECT_EQ(c.S().GetParagraphs().size(), 1u);
         }},
        {"runs of the text + 1", [](Engine& e) { e.styleLengths = "3 3"; }, 1, true, 0, nullptr},
        {"runs of the text + 2", [](Engine& e) { e.styleLengths = "3 4"; }, 1, false, 0, nullptr},
        {"a run of length 0", [](Engine& e) { e.styleLengths = "6 0"; }, 1, false, 0, nullptr},
        {"sizes scaled, tracking and shift converted",
         [](Engine& e) { e.style = "/Font 0 /FontSize 12 /Tracking 100 /BaselineShift 2"; },
         300.0 / 72.0, true, 0,
         [](Converted const& c) {
             auto const& g = *c.S().GetGlyphAtts(0);
             EXPECT_DOUBLE_EQ(g.Get(GlyphDouble::kSize), 50.0);
             EXPECT_DOUBLE_EQ(g.Get(GlyphDouble::kTracking), 0.1);
             EXPECT_NEAR(g.Get(GlyphDouble::kBaselineShift), -2 * 300.0 / 72.0, 1e-9);
         }},
        {"justification 1 is right", [](Engine& e) { e.para = "/Justification 1"; }, 1, true, 0,
         [](Converted const& c) { EXPECT_EQ(c.items[0].GetTextAlign(), Story::kAlignRight); }},
        {"justification 2 is centre", [](Engine& e) { e.para = "/Justification 2"; }, 1, true, 0,
         [](Converted const& c) { EXPECT_EQ(c.items[0].GetTextAlign(), Story::kAlignCentre); }},
        {"justification 7 is unknown", [](Engine& e) { e.para = "/Justification 7"; }, 1, true, 1,
         [](Converted const& c) { EXPECT_EQ(c.items[0].GetTextAlign(), Story::kAlignLeft); }},
        {"inverted box keeps its frame", [](Engine& e) { e.shape = "/ShapeType 1 /BoxBounds [ 50 0 10 40 ]"; },
         1, true, 1,
         [](Converted const& c) {
             ASSERT_TRUE(c.items[0].m_frame);
             EXPECT_TRUE(c.items[0].m_frame->IsColumn());
         }},
        {"point base of three numbers", [](Engine& e) { e.shape = "/ShapeType 0 /PointBase [ 1 2 3 ]"; },
         1, false, 0, nullptr},
        {"shape type 2", [](Engine& e) { e.shape = "/ShapeType 2"; }, 1, false, 0, nullptr},
        {"word spacing not three numbers", [](Engine& e) { e.para = "/WordSpacing [ 1 2 ]"; }, 1,
         false, 0, nullptr},
        {"missing font keeps its name",
         [](Engine& e) { e.fonts = "<< /Name (NoSuchFont-Bold) >>"; }, 1, true, 0,
         [](Converted const& c) {
             EXPECT_EQ(c.S().GetGlyphAtts(0)->Get(GlyphStr::kFamily), "NoSuchFont-Bold");
         }},
        {"installed font by PostScript name",
         [](Engine& e) { e.fonts = "<< /Name (ZzTest-Regular) >>"; }, 1, true, 0,
         [](Converted const& c) {
             EXPECT_EQ(c.S().GetGlyphAtts(0)->Get(GlyphStr::kFamily), "Zz Test");
             EXPECT_EQ(c.S().GetGlyphAtts(0)->Get(GlyphStr::kPostScriptName), "ZzTest-Regular");
         }},
        {"font index out of range", [](Engine& e) { e.style = "/Font 3"; }, 1, true, 1,
         [](Converted const& c) {
             EXPECT_EQ(c.S().GetGlyphAtts(0)->Get(GlyphStr::kFamily), "Fallback Sans");
         }},
    };
    for (auto const& t : cases) {
        SCOPED_TRACE(t.name);
        Engine e;
        t.edit(e);
        Converted c = Convert(e, t.scale);
        EXPECT_EQ(c.ok, t.ok);
        EXPECT_EQ(c.bad, t.ok ? 0u : 1u);
        EXPECT_EQ(c.unexpected, t.unexpected);
        if (t.ok && t.check && !c.items.empty()) t.check(c);
    }
}

// The document's small-cap and script proportions size and raise those characters; values no
// editor writes keep the defaults.
TEST(TextParser, DocumentScriptProportions) {
    struct Case {
        char const* resources;
        double smallCap, superSize, superRise, subSize, subRise;
    } const cases[] = {
        {"", 0.7, 0.583, 0.333, 0.583, -0.333},
        {"/SmallCapSize .8 /SuperscriptSize .5 /SuperscriptPosition .25 /SubscriptSize .6 "
         "/SubscriptPosition .1",
         0.8, 0.5, 0.25, 0.6, -0.1},
        {"/SmallCapSize 0 /SuperscriptSize 1e9 /SuperscriptPosition -9 /SubscriptSize (x)", 0.7,
         0.583, 0.333, 0.583, -0.333},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.resources);
        Engine e;
        e.resources = c.resources;
        auto converted = Convert(e);
        ASSERT_TRUE(converted.ok);
        auto const& p = converted.S().GetScriptProportions();
        auto glyph = Story::GlyphAtts::GetDefault()->Clone();
        auto show = [&](int caps, int baseline) {
            glyph->SetCaps(caps), glyph->Set(Story::GlyphInt::kBaseline, baseline);
            auto s = Story::ShowChar(*glyph, u'a', p);
            return std::tuple(s.unit, s.scale, s.rise);
        };
        EXPECT_EQ(show(Story::kCapsSmall, 0), std::tuple(u'A', c.smallCap, 0.0));
        EXPECT_EQ(show(Story::kCapsNormal, 1), std::tuple(u'a', c.superSize, c.superRise));
        EXPECT_EQ(show(Story::kCapsNormal, 2), std::tuple(u'a', c.subSize, c.subRise));
    }
}

TEST(TextParser, PointTextSplitsByAlignmentAndKerningMovesRight) {
    Engine e;
    e.text = "ab\\rcd\\r";
    e.styleLengths = e.paraLengths = "3 3";
    // Two paragraphs, two alignments: two items, each at its own composed position.
    std::string b = e.Bytes();
    size_t at = b.find("/RunArray [ << /ParagraphSheet");
    b.replace(at, b.find("] /RunLengthArray", at) - at,
              "/RunArray [ << /ParagraphSheet << /Properties << /AutoLeading 1.2 >> >> >> "
              "<< /ParagraphSheet << /Properties << /Justification 2 /AutoLeading 1.2 >> >> >> ");
    at = b.find("/StyleSheetData << /Font 0");
    b.insert(at + 19, "/Kerning 50 ");
    auto root = PDFDataParser(reinterpret_cast<unsigned char const*>(b.data()), b.size()).Parse();
    PSDReport report;
    report.m_warnings = Kernel::MakeCounted<PSDWarnings>();
    PSDTextParser parser(root, report, 1.0, String());
    ASSERT_TRUE(parser.Parse()) << b;
    auto& items = parser.GetTextItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].m_story->GetText(), u"ab\r");
    EXPECT_EQ(items[1].m_story->GetText(), u"cd");
    EXPECT_EQ(items[1].GetTextAlign(), Story::kAlignCentre);
    auto const* first = dynamic_cast<Story::ArtFrame const*>(items[0].m_frame.Get());
    auto const* second = dynamic_cast<Story::ArtFrame const*>(items[1].m_frame.Get());
    ASSERT_TRUE(first && second);
    EXPECT_DOUBLE_EQ(first->m_origin.x, 10);
    EXPECT_DOUBLE_EQ(first->m_origin.y, 20);
    EXPECT_LT(second->m_origin.x, 10);  // centred on the point
    EXPECT_NEAR(second->m_origin.y, 20 + 12 * 1.2, 1e-9);
    EXPECT_GT(items[0].GetTextHeight(), 10.0);
    // The first run's kerning sits on the glyph after each of its glyphs.
    auto const& s = *parser.GetStories().front();
    EXPECT_EQ(s.GetGlyphAtts(0)->Get(GlyphDouble::kKerning), 0.0);
    EXPECT_EQ(s.GetGlyphAtts(1)->Get(GlyphDouble::kKerning), 0.05);
    EXPECT_EQ(s.GetGlyphAtts(3)->Get(GlyphDouble::kKerning), 0.05);
    EXPECT_EQ(s.GetGlyphAtts(4)->Get(GlyphDouble::kKerning), 0.0);
}

TEST(TextEngineData, FrameKeysByNumberOrName) {
    std::string named =
        " /DocumentResources << /TextFrameSet << /Resources [ << /Resource << /Bezier << /Points "
        "[ 0 0 0 0 10 0 10 0 10 0 10 0 10 5 10 5 1 ] >> /Data << /Type 1 /LineOrientation 2 "
        "/RowGutter 3 /ColumnGutter 4.5 /FirstBaselineAlignment << /Flag 1 /Min 2.5 >> /PathData "
        "<< /Spacing -2 /7 false >> >> >> >> ] >> >> >>";
    std::string numbered =
        " /98 << /8 << /0 [ << /0 << /1 << /0 [ 0 0 0 0 10 0 10 0 10 0 10 0 10 5 10 5 1 ] >> /2 "
        "<< /0 1 /2 2 /7 3 /8 4.5 /FirstBaselineAlignment << /Flag 1 /Min 2.5 >> /11 << /4 -2 /7 "
        "false >> >> >> >> ] >> >> >>";
    PSDTextEngineData a, b;
    ASSERT_TRUE(a.Parse(named.data(), named.size()));
    ASSERT_TRUE(b.Parse(numbered.data(), numbered.size()));
    for (auto const* d : {&a, &b}) {
        ASSERT_EQ(d->m_frameSets.size(), 1u);
        auto const& f = d->m_frameSets[0];
        EXPECT_EQ(f.m_beziers.size(), 2u);  // the ninth number is left over
        EXPECT_EQ(f.m_beziers[1].m_points[3].y, 5);
        EXPECT_EQ(f.m_type, 1);
        EXPECT_EQ(f.m_lineOrientation, 2);
        EXPECT_EQ(f.m_rowGutter, 3);
        EXPECT_EQ(f.m_columnGutter, 4.5);
        EXPECT_EQ(f.m_firstBaselineMin, 2.5);
        EXPECT_EQ(f.m_pathSpacing, -2);
        EXPECT_EQ(f.m_path7, "false");
    }
    EXPECT_FALSE(a.Parse("(x)", 3));
}

TEST(TextEngineData, FrameOutlinesJoinWithinTolerance) {
    struct Case {
        double gap;
        size_t curves;
        bool closed;
    };
    for (Case c : {Case{1e-7, 1, true}, Case{1e-5, 2, false}}) {
        SCOPED_TRACE(c.gap);
        PSDTextFrameSetResource f;
        PSDBezier a, b;
        a.m_points = {{{0, 0}, {0, 0}, {10, 0}, {10, 0}}};
        b.m_points = {{{10 + c.gap, 0}, {10, 5}, {0, 5}, {0, 1e-7}}};
        f.m_beziers = {a, b};
        auto poly = f.GetPolyCurve();
        ASSERT_EQ(poly->GetCurves().size(), c.curves);
        EXPECT_EQ(poly->GetCurves().back()->IsClosed(), c.closed);
    }
    EXPECT_TRUE(PSDTextFrameSetResource().GetPolyCurve()->IsEmpty());
}

namespace {

// A type tool body: the numbers in the given order, the text descriptor big-endian when asked.
std::vector<uint8_t> TypeToolBody(bool littleEndian, uint16_t version, uint16_t textVersion,
                                  char const* warp, bool engine, Engine const& e = Engine()) {
    ByteOrderFixer order{!littleEndian}, big{true};
    auto s = Kernel::MemoryInOutStreamBase::Create();
    Descriptor text(DescriptorKey(Key("TxLr")));
    text.AddItem(DescriptorKey(Key("Txt ")), Kernel::MakeCounted<DescriptorItemString>(String("Hello")));
    if (engine) {
        std::string b = e.Bytes();
        auto data = Kernel::MakeCounted<DescriptorItemPDFData>();
        data->SetData(b.data(), b.size());
        text.AddItem(DescriptorKey::Name(String("EngineData")), data);
    }
    Descriptor w(DescriptorKey(Key("warp")));
    w.AddItem(DescriptorKey::Name(String("warpStyle")),
              Kernel::MakeCounted<DescriptorItemEnum>(DescriptorKey::Name(String("warpStyle")),
                                                      DescriptorKey::Name(String(warp))));
    bool ok = WriteValue(*s, version, order);
    for (double v : {1.0, 0.0, 0.0, 1.0, 5.0, 6.0}) ok = ok && WriteValue(*s, v, order);
    // Little-endian containers may hold the text version and descriptor big-endian.
    ok = ok && WriteValue(*s, textVersion, big) && text.Save(*s, big) &&
         WriteValue<uint16_t>(*s, 1, order) && w.Save(*s, order);
    for (int32_t b : {1, 2, 30, 40}) ok = ok && WriteValue(*s, b, order);
    EXPECT_TRUE(ok);
    return s->TakeData();
}

}  // namespace

TEST(TypeTool, BodyVersionsWarpAndByteOrder) {
    struct Case {
        char const* name;
        bool littleEndian;
        uint16_t version, textVersion;
        char const* warp;
        bool engine;
        bool ok, text;
    } const cases[] = {
        {"plain", false, 1, 50, "warpNone", true, true, true},
        {"little-endian container, big-endian text", true, 1, 50, "warpNone", true, true, true},
        {"warped text is not converted", false, 1, 50, "warpArc", true, true, false},
        {"no engine data, no text", false, 1, 50, "warpNone", false, true, false},
        {"type tool version 2", false, 2, 50, "warpNone", true, false, false},
        {"text version 51", false, 1, 51, "warpNone", true, false, false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        auto in = Kernel::MemoryInStream::Create(
            TypeToolBody(c.littleEndian, c.version, c.textVersion, c.warp, c.engine));
        ParseData pd;
        pd.m_swap = !c.littleEndian;
        pd.m_parseText = true;
        pd.m_report.m_warnings = Kernel::MakeCounted<PSDWarnings>();
        PSDAdjustmentTypeTool tool;
        ASSERT_EQ(tool.Parse(*in, pd), c.ok) << (pd.m_report.m_error ? "error" : "");
        if (!c.ok) continue;
        EXPECT_EQ(bool(tool.GetText()), c.text);
        EXPECT_EQ(pd.m_report.m_warnings->GetCount(), 0u);
        EXPECT_EQ(tool.m_transform[4], 5.0);
        EXPECT_EQ(tool.m_bounds[3], 40);
        if (!c.text) continue;
        // Written back whole, it reads the same (in the file's big-endian order).
        SaveData sd;
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(tool.SaveI(*out, sd));
        auto back = Kernel::MemoryInStream::Create(out->TakeData());
        ParseData again;
        again.m_parseText = true;
        PSDAdjustmentTypeTool read;
        ASSERT_TRUE(read.Parse(*back, again));
        ASSERT_TRUE(read.GetText());
        EXPECT_EQ(read.GetText()->m_items[0].m_story->GetText(), u"Hello");
        EXPECT_EQ(read.m_bounds, tool.m_bounds);
    }
}

// A replaced text keeps the paragraph runs' paragraph counts and the style runs' lengths, with no
// run ending inside a surrogate pair and none left empty.
TEST(TypeTool, ReplacedTextRefitsItsRuns) {
    struct Case {
        char const* text;
        std::vector<int> paragraphs, styles;
    } const cases[] = {
        {"A\rB\rC", {2, 2, 2}, {2, 4}},
        {"Only one", {9}, {2, 5, 2}},
        {"x\xF0\x9F\x98\x80yz\rB", {6, 2}, {3, 5}},
        {"", {1}, {1}},
        {"One\rTwo\rThree\rFour", {4, 4, 11}, {2, 5, 12}},
    };
    Engine e;
    e.text = "One\\rTwo\\rThree\\r";
    e.paraLengths = "4 4 6";
    e.styleLengths = "2 5 7";
    auto lengths = [](PSDAdjustmentTypeTool const& tool, char const* run) {
        std::vector<int> out;
        auto root = tool.GetEngineData().DynamicCast<PDFDictionary>();
        auto array = root->GetValue("EngineDict", run, "RunLengthArray").DynamicCast<PDFArray>();
        for (auto const& v : array->GetItems()) out.push_back(v->GetInt(-1));
        return out;
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto in = Kernel::MemoryInStream::Create(TypeToolBody(false, 1, 50, "warpNone", true, e));
        ParseData pd;
        pd.m_parseText = true;
        PSDAdjustmentTypeTool tool;
        ASSERT_TRUE(tool.Parse(*in, pd));
        ASSERT_EQ(lengths(tool, "ParagraphRun"), (std::vector<int>{4, 4, 6}));
        ASSERT_TRUE(tool.SetContent(String(c.text), pd));
        EXPECT_EQ(lengths(tool, "ParagraphRun"), c.paragraphs);
        EXPECT_EQ(lengths(tool, "StyleRun"), c.styles);
    }
}

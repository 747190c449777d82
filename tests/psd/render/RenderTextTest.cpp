// Type layers drawn from their text: placed where the editor drew them, in their runs' colours,
// and replaced text redrawn into the layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/layer/PSDLayer.h"
#include "psd/render/PSDRenderText.h"
#include "psd/text/PSDText.h"
#include "tests/support/CorpusRoot.h"

namespace PSD {
namespace {

Kernel::Counted<PSDFile> OpenWithText(char const* path, bool inPixels) {
    auto full = testsupport::CorpusRoot() / path;
    if (!std::filesystem::exists(full)) return {};
    CreateOptions options;
    options.parseText = true;
    options.textInPixels = inPixels;
    PSDReport report;
    std::string message;
    auto doc = OpenFile(full.string(), options, report, message);
    EXPECT_TRUE(doc) << path << ": " << message;
    return doc;
}

// What an 8-bit bitmap placed at (left, top) shows: the box of its mostly opaque pixels, the
// colour of its most opaque one, all its ink, and the mean column of its top tenth's ink.
struct Ink {
    Kernel::RectT<int32_t> box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    std::vector<int> colour;
    double total = 0, topX = 0;
};
Ink Scan(Raster::DynamicBitmap const& bm, int32_t left, int32_t top) {
    Raster::FormatInfo info{};
    EXPECT_TRUE(Raster::GetFormatInfo(bm.GetFormat(), info) && info.bytesPerSample == 1);
    unsigned n = info.channels;
    Ink ink;
    double topInk = 0;
    int best = -1;
    for (uint32_t y = 0; y < bm.GetHeight(); ++y)
        for (uint32_t x = 0; x < bm.GetWidth(); ++x) {
            uint8_t const* p = bm.GetRow(y) + x * n;
            int32_t px = left + int32_t(x), py = top + int32_t(y);
            if (p[n - 1] > 127)
                ink.box = {std::min(ink.box.left, px), std::min(ink.box.top, py),
                           std::max(ink.box.right, px + 1), std::max(ink.box.bottom, py + 1)};
            if (p[n - 1] > best) best = p[n - 1], ink.colour.assign(p, p + n - 1);
            ink.total += p[n - 1];
            if (y <= bm.GetHeight() / 10) ink.topX += p[n - 1] * double(px), topInk += p[n - 1];
        }
    ink.topX /= std::max(topInk, 1.0);
    return ink;
}

// The substitutes for fonts that are not installed have other widths, so only the ink's anchor
// (its start, or its middle for centred text), top and bottom are held to the editor's; its
// colour is the run's.
TEST(RenderText, UnchangedTextLandsWhereTheEditorDrewIt) {
    struct Case {
        char const* path;
        char const* font;
        bool inPixels;
        bool centred;
        int slack;  // pixels: a substitute's "d" and descender are not the font's own
        char const* only = nullptr;  // the one layer compared, when not all of them
    } const cases[] = {
        {"psd-tools/tests/psd_files/layers/type-layer.psd", "ArialMT", false, true, 1},  // box
        {"ag-psd/test/text-test.psd", "ArialMT", false, false, 1},
        {"ag-psd/test/read/text-simple/src.psd", "MyriadPro-Regular", false, false, 3},
        {"psd.js/examples/images/example.psd", "HelveticaNeue-Light", false, true, 2},
        {"psd.js/examples/images/example-greyscale.psd", "HelveticaNeue-Light", false, true, 2},
        // 300 dpi, sized by the normal style sheet: its 12 points are 50 px.
        {"webtoon-psd/packages/example-node/example.psd", "Arial-Black", false, false, 2, "∑"},
        {"webtoon-psd/packages/example-node/example.psd", "Arial-Black", true, false, 2, "∑"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.inPixels ? " (pixels)" : ""));
        auto doc = OpenWithText(c.path, c.inPixels);
        if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
        int drawnLayers = 0;
        for (auto const& layer : doc->m_layers) {
            auto tool = layer->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool const>();
            if (!tool || (c.only && std::string(layer->m_name) != c.only)) continue;
            Kernel::Counted<Raster::DynamicBitmap> stored;
            PSDReport report;
            ASSERT_TRUE(layer->GetBitmap(stored, report) && stored);
            DrawnText drawn;
            std::string why;
            ASSERT_TRUE(DrawTypeText(*tool, doc->GetColourMode(), doc->GetDepth(), doc->GetWidth(),
                                     doc->GetHeight(), drawn, why))
                << why;
            ASSERT_TRUE(drawn.bitmap);
            Ink theirs = Scan(*stored, layer->m_left, layer->m_top);
            Ink ours = Scan(*drawn.bitmap, drawn.bounds.left, drawn.bounds.top);
            ASSERT_FALSE(theirs.box.IsEmpty() || ours.box.IsEmpty());
            if (c.centred)
                EXPECT_NEAR(ours.box.left + ours.box.right, theirs.box.left + theirs.box.right,
                            2 * c.slack);
            else
                EXPECT_NEAR(ours.box.left, theirs.box.left, c.slack);
            EXPECT_NEAR(ours.box.top, theirs.box.top, c.slack);
            EXPECT_NEAR(ours.box.bottom, theirs.box.bottom, c.slack);
            ASSERT_EQ(ours.colour.size(), theirs.colour.size());
            for (size_t ch = 0; ch < ours.colour.size(); ++ch)
                EXPECT_NEAR(ours.colour[ch], theirs.colour[ch], 4);
            // Only fonts this machine does not have are named.
            EXPECT_TRUE(drawn.substituted.empty() ||
                        std::find(drawn.substituted.begin(), drawn.substituted.end(), c.font) !=
                            drawn.substituted.end());
            ++drawnLayers;
        }
        EXPECT_GT(drawnLayers, 0);
    }
}

TEST(RenderText, ReplacedTextIsRedrawnIntoTheLayer) {
    auto doc = OpenWithText("ag-psd/test/read/text-simple/src.psd", false);
    if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
    auto it = std::find_if(doc->m_layers.begin(), doc->m_layers.end(), [](auto const& l) {
        return bool(l->GetAdjustment().template DynamicCast<PSDAdjustmentTypeTool>());
    });
    ASSERT_NE(it, doc->m_layers.end());
    PSDLayer& layer = **it;
    auto tool = layer.GetAdjustment().DynamicCast<PSDAdjustmentTypeTool>();
    ParseData options;
    options.m_parseText = true;
    std::string why;

    ASSERT_TRUE(RedrawTypeLayer(*doc, layer, why)) << why;
    int32_t shortRight = layer.m_right, left = layer.m_left;
    ASSERT_TRUE(tool->SetContent(String("Hello, longer"), options));
    ASSERT_TRUE(RedrawTypeLayer(*doc, layer, why)) << why;
    EXPECT_EQ(layer.m_left, left);  // left-aligned point text grows to the right
    EXPECT_GT(layer.m_right, shortRight + 20);

    // Nothing visible leaves an empty layer where the text stood.
    ASSERT_TRUE(tool->SetContent(String("   "), options));
    ASSERT_TRUE(RedrawTypeLayer(*doc, layer, why)) << why;
    EXPECT_EQ(layer.m_left, layer.m_right);
    EXPECT_EQ(layer.m_bitmap->GetWidth(), 0u);

    // The type block's boxes follow: the glyphs' box, placed by the transform, is the layer's,
    // and both boxes are written with the block.
    auto point = OpenWithText("psd-tools/tests/psd_files/artboard.psd", false);
    ASSERT_TRUE(point);
    for (auto const& l : point->m_layers)
        if (auto t = l->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool>()) {
            auto before = t->GetText()->m_boundsBox;
            ASSERT_TRUE(t->SetContent(String("First\rArtboard, and more"), options));
            ASSERT_TRUE(RedrawTypeLayer(*point, *l, why)) << why;
            auto const& ink = t->GetText()->m_boundingBox;
            auto const& m = t->m_transform;
            EXPECT_NEAR(ink[0] * m[0] + m[4], l->m_left, 1.0);
            EXPECT_NEAR(ink[3] * m[3] + m[5], l->m_bottom, 1.0);
            auto const& lines = t->GetText()->m_boundsBox;
            EXPECT_GT(lines[2], before[2] + 500);
            EXPECT_LE(lines[1], ink[1]);
            auto out = Kernel::MemoryInOutStreamBase::Create();
            ASSERT_TRUE(t->SaveI(*out, SaveData()));
            auto in = Kernel::MemoryInStream::Create(out->TakeData());
            PSDAdjustmentTypeTool back;
            ASSERT_TRUE(back.Parse(*in, options));
            EXPECT_EQ(back.GetText()->m_boundsBox, lines);
            EXPECT_EQ(back.GetText()->m_boundingBox, ink);
        }

    // Box text keeps to its frame: lines that do not fit are hidden (this frame ends inside the
    // canvas, which the text would otherwise run far past).
    auto box = OpenWithText("ag-psd/test/read/text-paragraph-align/src.psd", false);
    ASSERT_TRUE(box);
    for (auto const& l : box->m_layers)
        if (auto t = l->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool>()) {
            std::string words;
            for (int i = 0; i < 2000; ++i) words += "word ";
            ASSERT_TRUE(t->SetContent(String(words), options));
            ASSERT_TRUE(RedrawTypeLayer(*box, *l, why)) << why;
            EXPECT_GT(l->m_bottom, l->m_top + 100);
            EXPECT_LE(l->m_bottom, int32_t(box->GetHeight()));
        }

    // Refusals leave the layer as it was.
    DrawnText drawn;
    EXPECT_FALSE(DrawTypeText(*tool, 2, 8, 10, 10, drawn, why));  // indexed colour
    auto warped = OpenWithText("ag-psd/test/read/text-complex/src.psd", false);
    ASSERT_TRUE(warped);
    for (auto const& l : warped->m_layers)
        if (auto t = l->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool const>();
            t && t->GetWarpStyle() != "warpNone") {
            auto pixels = l->m_bitmap;
            EXPECT_FALSE(RedrawTypeLayer(*warped, *warped->m_layers.front(), why));
            EXPECT_EQ(why, "not a type layer");
            EXPECT_FALSE(RedrawTypeLayer(*warped, *l, why));
            EXPECT_EQ(why, "warped text is not drawn");
            EXPECT_EQ(l->m_bitmap.Get(), pixels.Get());
        }
}

// Styles the editor synthesises: bold puts more ink down, italic leans the tops right, capitals
// are wider than "ello" (small ones less so), superscript sits above the baseline; aliased text
// puts about as much ink down in whole pixels.
TEST(RenderText, SyntheticStylesCapsAndBaselines) {
    auto doc = OpenWithText("ag-psd/test/read/text-simple/src.psd", false);
    if (!doc) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
    Kernel::Counted<PSDAdjustmentTypeTool const> tool;
    for (auto const& l : doc->m_layers)
        if (auto t = l->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool const>()) tool = t;
    ASSERT_TRUE(tool && tool->GetText());
    auto draw = [&](Story::DeltaPtr delta) {
        PSDText text = *tool->GetText();
        for (auto& item : text.m_items) {
            auto story = item.m_story->Copy(item.m_story->GetClientAll());
            if (delta) story->FormatText(story->GetClientAll(), *delta);
            item.m_story = story;
        }
        DrawnText out;
        std::string why;
        EXPECT_TRUE(DrawText(text, 3, 8, 200, 100, out, why)) << why;
        return Scan(*out.bitmap, out.bounds.left, out.bounds.top);
    };
    Ink plain = draw(nullptr);
    EXPECT_GT(draw(Story::MakeDelta(Story::GlyphInt::kFauxBold, 1)).total, plain.total * 1.15);
    EXPECT_GT(draw(Story::MakeDelta(Story::GlyphInt::kFauxItalic, 1)).topX, plain.topX + 2);
    Ink all = draw(Story::OpenTypeFeatureDelta::Caps(Story::kCapsAll));
    Ink small = draw(Story::OpenTypeFeatureDelta::Caps(Story::kCapsSmall));
    EXPECT_GT(all.box.Width(), plain.box.Width() + 10);
    EXPECT_LT(small.box.Width(), all.box.Width() - 10);
    Ink raised = draw(Story::MakeDelta(Story::GlyphInt::kBaseline, 1));
    Ink lowered = draw(Story::MakeDelta(Story::GlyphInt::kBaseline, 2));
    EXPECT_LT(raised.box.bottom, plain.box.bottom - 5);
    EXPECT_GT(lowered.box.bottom, plain.box.bottom + 5);
    EXPECT_LT(raised.box.Width(), plain.box.Width() * 0.7);
    // Without anti-aliasing a pixel is covered or not.
    DrawnText hard;
    std::string why;
    ASSERT_TRUE(DrawText(*tool->GetText(), 3, 8, 200, 100, hard, why, true));
    Ink aliased = Scan(*hard.bitmap, hard.bounds.left, hard.bounds.top);
    for (uint32_t y = 0; y < hard.bitmap->GetHeight(); ++y)
        for (uint32_t x = 0; x < hard.bitmap->GetWidth(); ++x)
            ASSERT_EQ(hard.bitmap->GetRow(y)[x * 4 + 3] % 255, 0);
    EXPECT_NEAR(aliased.total, plain.total, plain.total * 0.05);
}

}  // namespace
}  // namespace PSD

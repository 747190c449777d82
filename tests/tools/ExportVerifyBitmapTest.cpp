// The export and verify commands, run as a user would, on documents written here.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "host/raster/PNG.h"
#include "tests/support/CorpusRoot.h"
#include "tests/support/PixelDocument.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/ToolRun.h"

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::LayerSpec;

namespace {

struct CliRun {
    int status;
    std::string out;
};

CliRun Cli(std::string const& args) {
    CliRun r;
    r.out = testsupport::RunTool(args, &r.status);
    return r;
}

// An RGB document with two layers (one with a user mask) and a composite.
Bytes SampleDocument(uint16_t depth, bool damageLayer) {
    const uint32_t w = 6, h = 4;
    unsigned sb = depth / 8;
    std::vector<LayerSpec> layers(2);
    for (int i = 0; i < 2; ++i) {
        LayerSpec& l = layers[size_t(i)];
        l.top = i;
        l.left = 0;
        l.bottom = int32_t(i + h);
        l.right = int32_t(w);
        for (int16_t c = -1; c < 3; ++c) {
            auto s = testsupport::Pattern(w * h * sb, uint32_t(10 * i + c + 2));
            l.channels.push_back({c, depth == 8 ? testsupport::RLEBlock(s, w)
                                                : testsupport::ZipBlock(s, w * sb, sb, true)});
        }
    }
    layers[1].hasMask = true;
    layers[1].mask.bottom = 2;
    layers[1].mask.right = 3;
    layers[1].channels.push_back({-2, testsupport::RawBlock(std::vector<uint8_t>(6 * sb, 77))});
    if (damageLayer) {
        Bytes bad;
        bad.U16(1);
        for (uint32_t y = 0; y < h; ++y) bad.U16(2);
        for (uint32_t y = 0; y < h; ++y) bad.U8(0xF0).U8(1);  // each row runs 17 into 6
        layers[0].channels[1].block = bad;
    }
    testsupport::Header hd;
    hd.width = w;
    hd.height = h + 1;
    hd.depth = depth;
    std::vector<std::vector<uint8_t>> planes;
    for (int c = 0; c < 3; ++c)
        planes.push_back(testsupport::Pattern(w * (h + 1) * sb, uint32_t(c)));
    return testsupport::Document(hd, {}, {}, testsupport::LayerSectionBody(layers, false),
                                 testsupport::CompositeRaw(planes));
}

}  // namespace

TEST(ExportVerifyBitmap, VerifyPrintsOneLinePerDocumentAndFailsOnDamage) {
    testsupport::ScratchDir dir;
    fs::path d = dir.path;
    dir.Write("good.psd", SampleDocument(8, false));
    dir.Write("damaged.psd", SampleDocument(8, true));
    Bytes whole = SampleDocument(16, false);
    dir.Write("cut.psd", std::vector<uint8_t>(whole.begin(), whole.begin() + 30));
    CliRun good = Cli("verify " + (d / "good.psd").string());
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_NE(good.out.find("good.psd: OK  2 layers"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("0 damaged composite rows, 0 damaged layer bitmaps"), std::string::npos)
        << good.out;

    CliRun all = Cli("verify -q " + (d / "good.psd").string() + " " + (d / "damaged.psd").string() +
                     " " + (d / "cut.psd").string());
    EXPECT_NE(all.status, 0);
    EXPECT_NE(all.out.find("damaged.psd: FAILED  2 layers"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("1 damaged layer bitmaps"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("cut.psd: FAILED"), std::string::npos) << all.out;
}

TEST(ExportVerifyBitmap, ExportWritesEveryBitmapAndListsIt) {
    testsupport::ScratchDir dir;
    fs::path d = dir.path;
    for (uint16_t depth : {8, 16}) {
        SCOPED_TRACE(depth);
        fs::path doc =
            dir.Write("doc" + std::to_string(depth) + ".psd", SampleDocument(depth, false));
        fs::path out = d / ("out" + std::to_string(depth));
        CliRun r = Cli("export " + doc.string() + " -o " + out.string() + " --jobs 2");
        ASSERT_EQ(r.status, 0) << r.out;
        for (char const* f : {"composite.png", "layer-0000.png", "layer-0001.png",
                              "layer-0001-mask.png", "export.json"})
            EXPECT_TRUE(fs::exists(out / f)) << f;
        EXPECT_FALSE(fs::exists(out / "layer-0000-mask.png"));
        nlohmann::json j = nlohmann::json::parse(std::ifstream(out / "export.json"));
        ASSERT_EQ(j["files"].size(), 4u);
        auto const& mask = j["files"][2];
        EXPECT_EQ(mask["file"], "layer-0001-mask.png");
        EXPECT_EQ(mask["layer"], 1);
        EXPECT_EQ(mask["bounds"]["right"], 3);

        // The layer comes back from the PNG as it was stored (16-bit documents give 16-bit PNGs).
        std::string error;
        auto png = Raster::ReadPNGFile((out / "layer-0001.png").string(), &error);
        ASSERT_TRUE(png) << error;
        EXPECT_EQ(png->GetFormat(), depth == 8 ? Raster::Format::RGBA8 : Raster::Format::RGBA16);
        EXPECT_EQ(png->GetWidth(), 6u);
        EXPECT_EQ(png->GetHeight(), 4u);
        auto green = testsupport::Pattern(24 * (depth / 8), 10 + 1 + 2);
        uint8_t const* px = png->GetRow(2) + 5 * png->GetBytesPerPixel();
        if (depth == 8) {
            EXPECT_EQ(px[1], green[2 * 6 + 5]);
        } else {
            uint16_t v;
            std::memcpy(&v, px + 2, 2);
            EXPECT_EQ(v, uint16_t(green[2 * (2 * 6 + 5)] << 8 | green[2 * (2 * 6 + 5) + 1]));
        }

        CliRun only =
            Cli("export " + doc.string() + " -o " + (out / "c").string() + " --composite-only");
        ASSERT_EQ(only.status, 0) << only.out;
        EXPECT_TRUE(fs::exists(out / "c" / "composite.png"));
        EXPECT_FALSE(fs::exists(out / "c" / "layer-0000.png"));
        CliRun layers =
            Cli("export " + doc.string() + " -o " + (out / "l").string() + " --layers-only");
        ASSERT_EQ(layers.status, 0) << layers.out;
        EXPECT_FALSE(fs::exists(out / "l" / "composite.png"));
        EXPECT_TRUE(fs::exists(out / "l" / "layer-0000.png"));
    }
    CliRun missing = Cli("export " + (d / "nothing.psd").string() + " -o " + (d / "x").string());
    EXPECT_NE(missing.status, 0);
}

// A dashed shape's SVG starts each closed outline where the editor starts its dashes (the lowest
// anchor): the rectangle at its bottom right corner, not its first knot at the top left.
TEST(ExportVerifyBitmap, DashedShapesStartWhereTheEditorDashes) {
    fs::path doc = testsupport::CorpusRoot() / "psd-tools/tests/psd_files/stroke.psd";
    if (!fs::exists(doc)) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();
    testsupport::ScratchDir dir;
    CliRun r = Cli("export " + doc.string() + " -o " + dir.path.string());
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(dir.path / "layer-0001-vector.svg");
    std::string svg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(svg.find("stroke-dasharray"), std::string::npos);
    EXPECT_NE(svg.find("d=\"M117.0000 82.0000 C"), std::string::npos) << svg;
}

TEST(ExportVerifyBitmap, IndexedCompositesExportThroughTheirPalette) {
    // The palette stops short: indices it does not reach in a plane are black.
    const uint32_t w = 16, h = 3;
    std::vector<uint8_t> indices(w * h), palette(300);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 37 + 11);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 5 + 1);
    testsupport::Header hd{1, 1, h, w, 8, 2};
    testsupport::ScratchDir dir;
    fs::path doc = dir.Write("indexed.psd", testsupport::Document(hd, palette, {}, {},
                                                                 testsupport::CompositeRaw({indices})));
    CliRun r = Cli("export " + doc.string() + " -o " + (dir.path / "out").string());
    ASSERT_EQ(r.status, 0) << r.out;
    std::string error;
    auto png = Raster::ReadPNGFile((dir.path / "out" / "composite.png").string(), &error);
    ASSERT_TRUE(png) << error;
    ASSERT_EQ(png->GetFormat(), Raster::Format::RGBA8);
    for (uint32_t i = 0; i < w * h; ++i)
        for (unsigned c = 0; c < 3; ++c) {
            size_t at = c * 256 + indices[i];
            ASSERT_EQ(png->GetRow(i / w)[(i % w) * 4 + c], at < palette.size() ? palette[at] : 0);
        }
}

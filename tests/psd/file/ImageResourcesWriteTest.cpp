// The resource writer, and the string and number forms it shares with the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <nlohmann/json.hpp>

#include "host/raster/JPEG.h"
#include "psd/file/ImageResourcesTestSupport.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/layer/PSDLayer.h"
#include "support/CappedOutStream.h"
#include "support/OneByteStream.h"
#include "support/ToolRun.h"
#include "tests/support/Cuts.h"

using namespace resourcetest;

namespace {

std::vector<uint8_t> Written(std::function<bool(Kernel::OutStreamSeekable&)> const& write,
                             bool expect = true) {
    auto out = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_EQ(write(*out), expect);
    return out->GetData();
}

PSD::ByteOrderFixer const kBig{true};

// A document with every setting the writer knows.
Kernel::Counted<PSD::PSDFile> FullDocument() {
    auto doc = NewDocument(3, 6);
    doc->m_unitConverter = Kernel::MakeCounted<Kernel::UnitValueConverter>(300.25, -1.0);
    doc->m_backgroundColour =
        Renderer::ColourRGB::Create(Renderer::RGBA16{100, 200, 65535, 65535}, 1.0f, 1.0f, {});
    doc->m_mergedTransparency = 1;
    doc->m_alphaChannelNames = {"Transparenz", "Alpha 1", "Alpha 2"};
    doc->m_globalLightAngle = -30;
    doc->m_globalLightAltitude = 60;
    doc->m_horizontalGuides = {10.5, 3.0};
    doc->m_verticalGuides = {3.0, -7.25};
    auto icc = SRGBProfileBytes();
    doc->m_iccProfile =
        Raster::ICCManager::GetInstance().AddProfileFromMemory(icc.data(), icc.size());
    for (int i = 0; i < 3; ++i) {
        auto layer = Kernel::MakeCounted<PSD::PSDLayer>(PSD::PSDLayer::kNormal, PSD::String("L"));
        layer->m_groupId = uint16_t(i + 5);
        layer->m_flags = uint8_t(8 + i);
        doc->m_layers.push_back(layer);
    }
    auto thumb = Raster::DynamicBitmap::Create(16, 8, Raster::Format::RGBA8);
    thumb->Fill(200);
    doc->m_thumbnail = thumb;
    doc->m_hasRealMergedData = false;
    doc->m_jpeg = {8, PSD::JPEGMethod::BaselineOptimised, 3, true};
    return doc;
}

std::vector<uint8_t> ResourceData(PSD::PSDFile const& doc) {
    return Written([&](auto& s) { return doc.SaveImageResourceData(s); });
}

TEST(ImageResourcesWrite, CutOrOverlongValuesAreTruncated) {
    auto unicode =
        Written([](auto& s) { return PSD::WriteUnicodeString(s, kBig, "Adobe Photoshop CS6"); });
    testsupport::ExpectEveryCutTruncated(unicode, [](std::vector<uint8_t> const& part) {
        auto in = Kernel::MemoryInStream::Create(part);
        PSD::PSDLoadData ld;
        PSD::String out;
        return PSD::ReadUnicodeString(*in, out, ld) ? -1 : testsupport::ErrorCodeOf(ld.m_report);
    });
    // A count of four billion units over four bytes of data.
    auto in = Kernel::MemoryInStream::Create(Bytes().U32(0xFFFFFFFF).U16('a').U16('b'));
    PSD::PSDLoadData ld;
    PSD::String out;
    EXPECT_FALSE(PSD::ReadUnicodeString(*in, out, ld));
    EXPECT_EQ(ld.m_report.m_error->GetCode(), PSD::PSDError::kTruncated);
    for (size_t cut = 0; cut < 4; ++cut) {
        auto fixed = Kernel::MemoryInStream::Create(std::vector<uint8_t>(cut, 1));
        PSD::PSDLoadData fld;
        float v;
        EXPECT_FALSE(PSD::ReadFixedValue(*fixed, v, fld));
        EXPECT_EQ(fld.m_report.m_error->GetCode(), PSD::PSDError::kTruncated);
    }
}

TEST(ImageResourcesWrite, FixedValues) {
    struct Case {
        double value;
        uint32_t stored;
        bool readsBack;
    } cases[] = {
        {72.0, 0x00480000, true},       {72.5, 0x00488000, true},     {-0.5, 0xFFFF8000, true},
        {-1.5, 0xFFFE8000, true},       {-32768.0, 0x80000000, true}, {0.0, 0, true},
        {1.0 / 3.0, 0x00005555, false},                             // truncated, not rounded
        {1e9, 0x7FFFFFFF, false},       {-1e9, 0x80000000, false},  // limited
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(Written([&](auto& s) { return PSD::WriteFixedValue(s, kBig, c.value); }),
                  Bytes().U32(c.stored));
        if (!c.readsBack) continue;
        auto in = Kernel::MemoryInStream::Create(Bytes().U32(c.stored));
        PSD::PSDLoadData ld;
        float v = -1;
        ASSERT_TRUE(PSD::ReadFixedValue(*in, v, ld));
        EXPECT_EQ(v, float(c.value));
    }
}

TEST(ImageResourcesWrite, BlocksInTheirOrderWithKnownContents) {
    auto doc = FullDocument();
    std::vector<uint8_t> bytes;
    WriteAndRead(*doc, &bytes);
    ASSERT_GE(bytes.size(), 4u);
    uint32_t length =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    EXPECT_EQ(length, bytes.size() - 4);
    EXPECT_EQ(BlockIds(bytes, 4),
              (std::vector<uint16_t>{1005, 1010, 1006, 1037, 1053, 1049, 1032, 1064, 1039, 1024,
                                     1026, 1072, 1044, 1036, 1057, 1030}));
    // Every block is "8BIM" with an empty name.
    for (size_t pos = 4; pos < bytes.size();) {
        EXPECT_EQ(std::string(bytes.begin() + long(pos), bytes.begin() + long(pos) + 4), "8BIM");
        EXPECT_EQ(bytes[pos + 6], 0);
        uint32_t size = uint32_t(bytes[pos + 8]) << 24 | uint32_t(bytes[pos + 9]) << 16 |
                        uint32_t(bytes[pos + 10]) << 8 | bytes[pos + 11];
        pos += 12 + size + (size & 1);
    }
    // The blocks alone, for embedding, are the same bytes without the length.
    auto data = ResourceData(*doc);
    EXPECT_EQ(data, std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));

    // The blocks made from the layers; the settings' own blocks are in the table below.
    std::pair<uint16_t, std::vector<uint8_t>> const known[] = {
        {1024, {0, 0}},
        {1026, {0, 5, 0, 6, 0, 7}},
        {1072, {8, 9, 10, 0}},  // one flag byte per layer and a zero after an odd count
        {1064, {0, 0, 0, 2, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {1053, {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}}};
    for (auto const& [id, bytes] : known) EXPECT_EQ(BlockData(data, id), bytes) << id;
    auto ids = BlockData(data, 1044);
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ((std::vector<uint8_t>(ids.begin(), ids.begin() + 4)),
              (std::vector<uint8_t>{0, 0, 0, 4}));
    // Version information: version 1, the flag, two names, file version 1.
    auto version = BlockData(data, 1057);
    ASSERT_GE(version.size(), 9u);
    EXPECT_EQ(version[4], 0);
    EXPECT_EQ(version[8], 15);  // "Adobe Photoshop"
    EXPECT_EQ(std::vector<uint8_t>(version.end() - 4, version.end()),
              (std::vector<uint8_t>{0, 0, 0, 1}));

    // A document with nothing writes only its defaults.
    auto bare = NewDocument(3, 3);
    auto back = WriteAndRead(*bare, &bytes);
    EXPECT_EQ(BlockIds(bytes, 4), (std::vector<uint16_t>{1037, 1049, 1064, 1057}));
    ExpectSameSettings(*bare, *back);
    EXPECT_TRUE(back->m_alphaChannelNames.empty());
}

// True when every field of want (objects field by field) is in got with the same value.
bool Contains(nlohmann::json const& got, nlohmann::json const& want) {
    if (!want.is_object()) return got == want;
    for (auto const& [k, v] : want.items())
        if (!got.contains(k) || !Contains(got[k], v)) return false;
    return true;
}

// Each setting of the full document as its block: the writer makes exactly these bytes (unless
// the block is read-only), and a document holding them shows the setting in `info --json`.
TEST(ImageResourcesSettings, BlockBytesBothWaysAndAsInfo) {
    Bytes guides;  // merged by location, the vertical first where two share one, in 1/32 px
    guides.U32(1).U32(576).U32(576).U32(4);
    guides.U32(uint32_t(-232)).U8(0).U32(96).U8(0).U32(96).U8(1).U32(336).U8(1);
    auto icc = SRGBProfileBytes();
    using nlohmann::json;
    struct Row {
        uint16_t id;
        std::vector<uint8_t> data;
        json shown;
        bool written = true;
    } const rows[] = {
        {1005, Bytes().U16(300).U16(0x4000).U16(1).U16(2).U16(300).U16(0x4000).U16(1).U16(2),
         {{"resolution", 300.25}}},
        {1010, Bytes().U16(0).U16(100).U16(200).U16(65535).U16(0),
         {{"background_colour", {{"model", "rgb"}, {"red", 100}, {"green", 200}, {"blue", 65535}}}}},
        {1006, Pascal("Transparenz").Append(Pascal("Alpha 1")).Append(Pascal("Alpha 2")),
         {{"alpha_channel_names", {"Transparenz", "Alpha 1", "Alpha 2"}}}},
        {1037, Bytes().U32(uint32_t(-30)), {{"global_angle", -30}}},
        {1049, Bytes().U32(60), {{"global_altitude", 60}}},
        {1032, guides, {{"horizontal_guides", {3.0, 10.5}}, {"vertical_guides", {-7.25, 3.0}}}},
        {1039, icc, {{"icc_profile", {{"bytes", icc.size()}}}}},
        {1030, Bytes().U16(8).U16(1).U16(3).U8(0),
         {{"jpeg", {{"quality", 8}, {"method", "baseline optimised"}, {"scans", 3}}}}},
        {1057, Bytes().U32(1).U8(0).U32(0).U32(0).U32(1), {{"has_real_merged_data", false}}, false},
        {1008, Pascal("Sunset"), {{"caption", "Sunset"}}, false},
    };
    auto written = ResourceData(*FullDocument());
    Bytes blocks;
    for (auto const& r : rows) {
        if (r.written) {
            EXPECT_EQ(BlockData(written, r.id), r.data) << r.id;
        }
        blocks.Append(Block(r.id, r.data));
    }
    testsupport::Header h;
    h.channels = 6;
    testsupport::TempFile file(testsupport::Document(h, {}, blocks));
    std::string out = testsupport::RunTool("info --json " + file.path.string());
    json j = json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    for (auto const& r : rows) EXPECT_TRUE(Contains(j, r.shown)) << r.id << ": " << r.shown.dump();
    EXPECT_FALSE(j["icc_profile"]["description"].get<std::string>().empty());

    out = testsupport::RunTool("info " + file.path.string());
    for (char const* line :
         {"  resolution:   300.25 ppi\n", "  guides:       horizontal 3, 10.5; vertical -7.25, 3\n",
          "  alpha names:  \"Transparenz\", \"Alpha 1\", \"Alpha 2\"\n",
          "  background:   rgb red=100 green=200 blue=65535\n", "  caption:      \"Sunset\"\n",
          "  JPEG:         quality 8, baseline optimised, 3 scans\n",
          "  global light: angle -30, altitude 60\n", "  ICC profile:  \"", "  composite:    not real"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;

    // Without the blocks, the defaults.
    testsupport::TempFile bare(testsupport::Document(testsupport::Header{}));
    j = json::parse(testsupport::RunTool("info --json " + bare.path.string()), nullptr, false);
    EXPECT_TRUE(Contains(j, {{"resolution", nullptr}, {"icc_profile", nullptr}, {"caption", nullptr},
                             {"background_colour", nullptr}, {"jpeg", nullptr},
                             {"has_real_merged_data", true}, {"global_angle", 120},
                             {"global_altitude", 30}, {"horizontal_guides", json::array()},
                             {"alpha_channel_names", json::array()}}))
        << j.dump();
}

TEST(ImageResourcesWrite, ThumbnailIsAJPEGOfTheBitmap) {
    auto doc = FullDocument();
    for (auto [format, width, rowBytes] :
         {std::tuple{Raster::Format::RGBA8, 16u, 48u}, {Raster::Format::IA16, 5u, 16u}}) {
        // Formats other than 8-bit RGB are converted first.
        if (format != Raster::Format::RGBA8) {
            auto grey = Raster::DynamicBitmap::Create(5, 3, format);
            grey->Fill(30000);
            doc->m_thumbnail = grey;
        }
        auto data = BlockData(ResourceData(*doc), 1036);
        ASSERT_GT(data.size(), 28u);
        auto be32 = [&](size_t at) {
            return uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 |
                   uint32_t(data[at + 2]) << 8 | data[at + 3];
        };
        uint32_t height = doc->m_thumbnail->GetHeight();
        EXPECT_EQ(std::vector<uint32_t>({be32(0), be32(4), be32(8), be32(12), be32(16), be32(20)}),
                  std::vector<uint32_t>(
                      {1, width, height, rowBytes, rowBytes * height, uint32_t(data.size() - 28)}));
        EXPECT_EQ(data[24] << 8 | data[25], 24);
        EXPECT_EQ(data[26] << 8 | data[27], 1);
        auto decoded = Raster::DynamicJPEG::DecodeMemory(data.data() + 28, data.size() - 28);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->GetWidth(), width);
        EXPECT_EQ(decoded->GetHeight(), height);
        if (format == Raster::Format::RGBA8) {
            EXPECT_NEAR(decoded->GetRow(4)[0], 200, 3);
        }
    }
}

TEST(ImageResourcesWrite, TransparencyIsNamedFirst) {
    // Built by the host: the names are the masks' and the transparency gets its own.
    auto doc = NewDocument(3, 5);
    doc->m_mergedTransparency = 1;
    doc->m_masks = {Raster::DynamicBitmap::Create(1, 1, Raster::Format::A8)};
    doc->m_alphaChannelNames = {"Mask"};
    EXPECT_EQ(BlockData(ResourceData(*doc), 1006), Pascal("Transparency").Append(Pascal("Mask")));
    auto back = WriteAndRead(*doc);
    EXPECT_EQ(back->m_alphaChannelNames, (std::vector<PSD::String>{"Transparency", "Mask"}));
    EXPECT_EQ(back->GetAlphaChannelName(0), "Mask");

    // Merged transparency and no names at all.
    auto bare = NewDocument(3, 4);
    bare->m_mergedTransparency = 1;
    EXPECT_EQ(BlockData(ResourceData(*bare), 1006), Pascal("Transparency"));

    // Channels without names get empty ones, so a reader never runs past the block.
    auto unnamed = NewDocument(4, 7);
    unnamed->m_alphaChannelNames = {"A"};
    EXPECT_EQ(BlockData(ResourceData(*unnamed), 1006),
              Pascal("A").Append(Pascal("")).Append(Pascal("")));
    EXPECT_EQ(WriteAndRead(*unnamed)->m_alphaChannelNames, (std::vector<PSD::String>{"A", "", ""}));
}

TEST(ImageResourcesWrite, EverySettingReadsBack) {
    auto doc = FullDocument();
    auto back = WriteAndRead(*doc);
    EXPECT_EQ(back->m_alphaChannelNames, doc->m_alphaChannelNames);
    // Guides come back in location order.
    EXPECT_EQ(back->m_horizontalGuides, (std::vector<double>{3.0, 10.5}));
    EXPECT_EQ(back->m_verticalGuides, (std::vector<double>{-7.25, 3.0}));
    ExpectSameSettings(*doc, *back);

    for (auto method : {PSD::JPEGMethod::Baseline, PSD::JPEGMethod::BaselineOptimised,
                        PSD::JPEGMethod::Progressive}) {
        auto jpeg = NewDocument();
        jpeg->m_jpeg = {12, method, 5, true};
        ExpectSameSettings(*jpeg, *WriteAndRead(*jpeg));
    }

    std::vector<Kernel::Consolidated<Renderer::Colour>> colours = {
        Renderer::ColourRGB::Create(Renderer::RGBA16{1, 30000, 65535, 65535}, 1.0f, 1.0f, {}),
        Renderer::ColourRGB::Create(Renderer::RGBA8{1, 128, 255, 255}, 1.0f, 1.0f, {}),
        Renderer::ColourHSL::Create(0.25f, 0.5f, 0.75f, 1.0f, 1.0f, {}),
        Renderer::ColourHSL::Create(0.6f, 0.3f, 0.2f, 1.0f, 1.0f, {}),
        Renderer::ColourCMYK::Create(Renderer::CMYKA8{0, 77, 128, 255, 255}, 1.0f, 1.0f, {}),
        Renderer::ColourLAB::Create(
            Renderer::LABA16{32768, (128 - 20) * 256, (128 + 30) * 256, 65535}, 1.0f, 1.0f, {}),
        Renderer::ColourGrayscale::Create(0.25f, 1.0f, 1.0f, {}),
    };
    // A wrapped colour is written as the colour it stands for.
    colours.push_back(Renderer::ColourWrapped::Create(colours[0], 1.0f, 1.0f, "spot"));
    for (size_t i = 0; i < colours.size(); ++i) {
        SCOPED_TRACE(i);
        auto coloured = NewDocument();
        coloured->m_backgroundColour = colours[i];
        ExpectSameColour(i + 1 < colours.size() ? colours[i].Get() : colours[0].Get(),
                         WriteAndRead(*coloured)->m_backgroundColour.Get());
    }
}

TEST(ImageResourcesWrite, EveryShortWriteFails) {
    auto doc = FullDocument();
    PSD::SaveData sd;
    auto full = Written([&](auto& s) { return doc->SaveImageResources(s, sd); });
    for (size_t limit = 0; limit < full.size(); ++limit) {
        testsupport::CappedOutStream out(limit);
        EXPECT_FALSE(doc->SaveImageResources(out, sd)) << limit;
    }
    testsupport::CappedOutStream enough(full.size());
    EXPECT_TRUE(doc->SaveImageResources(enough, sd));
}

}  // namespace

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <functional>

#include "host/raster/JPEG.h"
#include "psd/file/ImageResourcesTestSupport.h"
#include "psd/file/PSDResourceIO.h"
#include "psd/layer/PSDLayer.h"

using namespace resourcetest;

namespace {

std::vector<uint8_t> Written(std::function<bool(Kernel::OutStreamSeekable&)> const& write,
                             bool expect = true) {
    auto out = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_EQ(write(*out), expect);
    return out->GetData();
}

PSD::ByteOrderFixer const kBig{true};

// An output stream that refuses every byte past a limit.
class ShortOutStream : public Kernel::OutStreamSeekable {
public:
    explicit ShortOutStream(size_t limit) : m_limit(limit) {}
    bool Write(void const* buf, size_t n) override {
        if (n > m_limit - std::min(m_limit, m_pos)) return false;
        auto const* b = static_cast<uint8_t const*>(buf);
        if (m_pos + n > m_data.size()) m_data.resize(m_pos + n);
        std::copy(b, b + n, m_data.begin() + long(m_pos));
        m_pos += n;
        return true;
    }
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override {
        if (pos > m_limit) return false;
        m_pos = pos;
        return true;
    }

private:
    size_t m_limit;
    size_t m_pos = 0;
    std::vector<uint8_t> m_data;
};

std::vector<uint8_t> SRGBProfileBytes() {
    cmsHPROFILE p = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> out(size);
    cmsSaveProfileToMem(p, out.data(), &size);
    cmsCloseProfile(p);
    return out;
}

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

TEST(ImageResourcesWrite, PascalStrings) {
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "ab", 2); }),
              (std::vector<uint8_t>{2, 'a', 'b', 0}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "abc", 2); }),
              (std::vector<uint8_t>{3, 'a', 'b', 'c'}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "", 2); }),
              (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "", 0); }),
              (std::vector<uint8_t>{0}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "ab", 4); }),
              (std::vector<uint8_t>{2, 'a', 'b', 0}));
    // Text goes out in the resource code page.
    EXPECT_EQ(Written([](auto& s) { return PSD::WritePascalString(s, "\xC3\x84", 0); }),
              (std::vector<uint8_t>{1, 0x80}));
    EXPECT_EQ(
        Written([](auto& s) { return PSD::WritePascalString(s, std::string(255, 'x'), 2); }).size(),
        256u);
    Written([](auto& s) { return PSD::WritePascalString(s, std::string(256, 'x'), 2); }, false);
}

TEST(ImageResourcesWrite, UnicodeStringsAndFixedValues) {
    EXPECT_EQ(Written([](auto& s) { return PSD::WriteUnicodeString(s, kBig, "A\xC3\xA9"); }),
              (std::vector<uint8_t>{0, 0, 0, 2, 0, 'A', 0, 0xE9}));
    // A character beyond the BMP takes two code units.
    EXPECT_EQ(Written([](auto& s) { return PSD::WriteUnicodeString(s, kBig, "\xF0\x9F\x98\x80"); }),
              (std::vector<uint8_t>{0, 0, 0, 2, 0xD8, 0x3D, 0xDE, 0x00}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WriteUnicodeString(s, kBig, ""); }),
              (std::vector<uint8_t>{0, 0, 0, 0}));
    struct Case {
        double value;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {72.0, {0, 72, 0, 0}},           {72.5, {0, 72, 0x80, 0}},
        {1.0 / 3.0, {0, 0, 0x55, 0x55}},  // truncated, not rounded
        {-1.5, {0xFF, 0xFE, 0x80, 0}},   {1e9, {0x7F, 0xFF, 0xFF, 0xFF}},
        {-1e9, {0x80, 0, 0, 0}},
    };
    for (auto const& c : cases)
        EXPECT_EQ(Written([&](auto& s) { return PSD::WriteFixedValue(s, kBig, c.value); }), c.bytes)
            << c.value;
}

TEST(ImageResourcesWrite, BlockHeadersInBothForms) {
    EXPECT_EQ(Written([](auto& s) { return PSD::WriteImageResourceHeader(s, kBig, 1037, "", 4); }),
              (std::vector<uint8_t>{'8', 'B', 'I', 'M', 0x04, 0x0D, 0, 0, 0, 0, 0, 4}));
    EXPECT_EQ(Written([](auto& s) { return PSD::WriteImageResourceHeader(s, kBig, 2000, "P"); }),
              (std::vector<uint8_t>{'8', 'B', 'I', 'M', 0x07, 0xD0, 1, 'P', 0, 0, 0, 0}));
    // The placeholder form is patched and padded once the data is known.
    auto bytes = Written([](Kernel::OutStreamSeekable& s) {
        if (!PSD::WriteImageResourceHeader(s, kBig, 1006, "n")) return false;
        uint64_t start = s.GetPosition();
        uint8_t data[3] = {1, 2, 3};
        return s.Write(data, 3) && PSD::EndImageResource(s, kBig, start);
    });
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'8', 'B', 'I', 'M', 0x03, 0xEE, 1, 'n', 0, 0, 0, 3, 1, 2,
                                           3, 0}));
    Written(
        [](auto& s) { return PSD::WriteImageResourceHeader(s, kBig, 1006, std::string(300, 'n')); },
        false);
}

TEST(ImageResourcesWrite, BlocksInTheirOrderWithBackPatchedLength) {
    auto doc = FullDocument();
    std::vector<uint8_t> bytes;
    auto back = WriteAndRead(*doc, &bytes);
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
    auto data = Written([&](auto& s) { return doc->SaveImageResourceData(s); });
    EXPECT_EQ(data, std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));
}

TEST(ImageResourcesWrite, ADocumentWithNothingWritesOnlyItsDefaults) {
    auto doc = NewDocument(3, 3);
    std::vector<uint8_t> bytes;
    auto back = WriteAndRead(*doc, &bytes);
    EXPECT_EQ(BlockIds(bytes, 4), (std::vector<uint16_t>{1037, 1049, 1064, 1057}));
    ExpectSameSettings(*doc, *back);
    EXPECT_TRUE(back->m_alphaChannelNames.empty());
}

TEST(ImageResourcesWrite, KnownBlockContents) {
    auto doc = FullDocument();
    auto data = Written([&](auto& s) { return doc->SaveImageResourceData(s); });
    EXPECT_EQ(BlockData(data, 1005), (std::vector<uint8_t>{0x01, 0x2C, 0x40, 0, 0, 1, 0, 2, 0x01,
                                                           0x2C, 0x40, 0, 0, 1, 0, 2}));
    EXPECT_EQ(BlockData(data, 1010),
              (std::vector<uint8_t>{0, 0, 0, 100, 0, 200, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(BlockData(data, 1037), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xE2}));
    EXPECT_EQ(BlockData(data, 1049), (std::vector<uint8_t>{0, 0, 0, 60}));
    EXPECT_EQ(BlockData(data, 1024), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(BlockData(data, 1026), (std::vector<uint8_t>{0, 5, 0, 6, 0, 7}));
    // One flag byte per layer and a zero after an odd count.
    EXPECT_EQ(BlockData(data, 1072), (std::vector<uint8_t>{8, 9, 10, 0}));
    auto ids = BlockData(data, 1044);
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ((std::vector<uint8_t>(ids.begin(), ids.begin() + 4)),
              (std::vector<uint8_t>{0, 0, 0, 4}));
    EXPECT_EQ(BlockData(data, 1064),
              (std::vector<uint8_t>{0, 0, 0, 2, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(BlockData(data, 1030), (std::vector<uint8_t>{0, 8, 0, 1, 0, 3, 0}));
    // Guides merged by location, the vertical first where two share one; positions are
    // truncated to 1/32 pixel.
    std::vector<uint8_t> guides = {0, 0, 0, 1, 0, 0, 2, 0x40, 0, 0, 2, 0x40, 0, 0, 0, 4};
    auto guide = [&](int32_t location, uint8_t direction) {
        for (int shift = 24; shift >= 0; shift -= 8)
            guides.push_back(uint8_t(uint32_t(location) >> shift));
        guides.push_back(direction);
    };
    guide(-232, 0);
    guide(96, 0);
    guide(96, 1);
    guide(336, 1);
    EXPECT_EQ(BlockData(data, 1032), guides);
    // Version information: version 1, the flag, two names, file version 1.
    auto version = BlockData(data, 1057);
    ASSERT_GE(version.size(), 9u);
    EXPECT_EQ(version[4], 0);
    EXPECT_EQ(version[8], 15);  // "Adobe Photoshop"
    EXPECT_EQ(std::vector<uint8_t>(version.end() - 4, version.end()),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    // The stored transparency name is kept and the alpha names follow.
    EXPECT_EQ(BlockData(data, 1006),
              Pascal("Transparenz").Append(Pascal("Alpha 1")).Append(Pascal("Alpha 2")));
    EXPECT_EQ(BlockData(data, 1053), (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}));
    EXPECT_EQ(BlockData(data, 1039), doc->m_iccProfile->GetData());
}

TEST(ImageResourcesWrite, ThumbnailIsAJPEGOfTheBitmap) {
    auto doc = FullDocument();
    auto data = BlockData(Written([&](auto& s) { return doc->SaveImageResourceData(s); }), 1036);
    ASSERT_GT(data.size(), 28u);
    auto be32 = [&](size_t at) {
        return uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 |
               uint32_t(data[at + 2]) << 8 | data[at + 3];
    };
    EXPECT_EQ(be32(0), 1u);
    EXPECT_EQ(be32(4), 16u);
    EXPECT_EQ(be32(8), 8u);
    EXPECT_EQ(be32(12), 48u);
    EXPECT_EQ(be32(16), 48u * 8);
    EXPECT_EQ(be32(20), data.size() - 28);
    EXPECT_EQ(data[24] << 8 | data[25], 24);
    EXPECT_EQ(data[26] << 8 | data[27], 1);
    auto decoded = Raster::DynamicJPEG::DecodeMemory(data.data() + 28, data.size() - 28);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->GetWidth(), 16u);
    EXPECT_EQ(decoded->GetHeight(), 8u);
    EXPECT_NEAR(decoded->GetRow(4)[0], 200, 3);
    // Other formats are converted first.
    auto grey = Raster::DynamicBitmap::Create(5, 3, Raster::Format::IA16);
    grey->Fill(30000);
    doc->m_thumbnail = grey;
    data = BlockData(Written([&](auto& s) { return doc->SaveImageResourceData(s); }), 1036);
    ASSERT_GT(data.size(), 28u);
    EXPECT_EQ(be32(4), 5u);
    EXPECT_EQ(be32(12), 16u);
    EXPECT_TRUE(Raster::DynamicJPEG::DecodeMemory(data.data() + 28, data.size() - 28));
}

TEST(ImageResourcesWrite, TransparencyIsNamedFirst) {
    // Built by the host: the names are the masks' and the transparency gets its own.
    auto doc = NewDocument(3, 5);
    doc->m_mergedTransparency = 1;
    doc->m_masks = {Raster::DynamicBitmap::Create(1, 1, Raster::Format::A8)};
    doc->m_alphaChannelNames = {"Mask"};
    auto data = Written([&](auto& s) { return doc->SaveImageResourceData(s); });
    EXPECT_EQ(BlockData(data, 1006), Pascal("Transparency").Append(Pascal("Mask")));
    auto back = WriteAndRead(*doc);
    EXPECT_EQ(back->m_alphaChannelNames, (std::vector<PSD::String>{"Transparency", "Mask"}));
    EXPECT_EQ(back->GetAlphaChannelName(0), "Mask");

    // Merged transparency and no names at all.
    auto bare = NewDocument(3, 4);
    bare->m_mergedTransparency = 1;
    EXPECT_EQ(BlockData(Written([&](auto& s) { return bare->SaveImageResourceData(s); }), 1006),
              Pascal("Transparency"));

    // Channels without names get empty ones, so a reader never runs past the block.
    auto unnamed = NewDocument(4, 7);
    unnamed->m_alphaChannelNames = {"A"};
    EXPECT_EQ(BlockData(Written([&](auto& s) { return unnamed->SaveImageResourceData(s); }), 1006),
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
    doc->m_horizontalGuides = back->m_horizontalGuides;
    doc->m_verticalGuides = back->m_verticalGuides;
    ExpectSameSettings(*doc, *back);
}

TEST(ImageResourcesWrite, BackgroundColourInEverySpaceReadsBack) {
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
    for (size_t i = 0; i < colours.size(); ++i) {
        auto doc = NewDocument();
        doc->m_backgroundColour = colours[i];
        auto back = WriteAndRead(*doc);
        SCOPED_TRACE(i);
        ExpectSameColour(doc->m_backgroundColour.Get(), back->m_backgroundColour.Get());
    }
    // A wrapped colour is written as the colour it stands for.
    auto doc = NewDocument();
    doc->m_backgroundColour = Renderer::ColourWrapped::Create(colours[0], 1.0f, 1.0f, "spot");
    auto back = WriteAndRead(*doc);
    ExpectSameColour(colours[0].Get(), back->m_backgroundColour.Get());
}

TEST(ImageResourcesWrite, JPEGSettingsReadBack) {
    for (auto method : {PSD::JPEGMethod::Baseline, PSD::JPEGMethod::BaselineOptimised,
                        PSD::JPEGMethod::Progressive}) {
        auto doc = NewDocument();
        doc->m_jpeg = {12, method, 5, true};
        ExpectSameSettings(*doc, *WriteAndRead(*doc));
    }
}

TEST(ImageResourcesWrite, EveryShortWriteFails) {
    auto doc = FullDocument();
    auto full = Written([&](auto& s) {
        PSD::SaveData sd;
        return doc->SaveImageResources(s, sd);
    });
    for (size_t limit = 0; limit < full.size(); ++limit) {
        ShortOutStream out(limit);
        PSD::SaveData sd;
        EXPECT_FALSE(doc->SaveImageResources(out, sd)) << limit;
    }
    ShortOutStream enough(full.size());
    PSD::SaveData sd;
    EXPECT_TRUE(doc->SaveImageResources(enough, sd));
}

}  // namespace

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <random>

#include "host/kernel/Memory.h"
#include "psd/file/ImageResourcesTestSupport.h"
#include "psd/vector/PSDPath.h"
#include "support/OneByteStream.h"

using namespace resourcetest;
using PSD::PSDError;

namespace {

std::vector<uint8_t> SRGBProfileBytes() {
    cmsHPROFILE p = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> out(size);
    cmsSaveProfileToMem(p, out.data(), &size);
    cmsCloseProfile(p);
    return out;
}

Bytes Resolution(uint16_t whole, uint16_t fraction) {
    Bytes b;
    b.U16(whole).U16(fraction).U16(1).U16(2).U16(whole).U16(fraction).U16(1).U16(2);
    return b;
}

Bytes Colour(uint16_t space, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    Bytes x;
    x.U16(space).U16(a).U16(b).U16(c).U16(d);
    return x;
}

// A section touching most readers: the cut tests walk every offset of it.
Bytes RichBlocks() {
    Bytes guides;
    guides.U32(1).U32(576).U32(576).U32(3).U32(320).U8(1).U32(uint32_t(-64)).U8(0).U32(1600).U8(0);
    Bytes version;
    version.U32(1).U8(0).U32(1).U16('A').U32(1).U16('B').U32(1);
    Bytes jpeg;
    jpeg.U16(10).U16(0x0101).U8(0).U8(3).U8(1);
    return Bytes()
        .Append(Block(1005, Resolution(300, 0)))
        .Append(Block(1010, Colour(0, 65535, 0, 4096, 0)))
        .Append(Block(1006, Pascal("Alpha 1"), "names"))
        .Append(Block(1008, Pascal("A caption")))
        .Append(Block(1026, Bytes().U16(7).U16(9)))
        .Append(Block(1030, jpeg))
        .Append(Block(1032, guides))
        .Append(Block(1036, Bytes().Zeros(9)))
        .Append(Block(1037, Bytes().U32(uint32_t(-45))))
        .Append(Block(1049, Bytes().U32(75)))
        .Append(Block(1057, version))
        .Append(Block(2999, Pascal("clip")))
        .Append(Block(4000, Bytes().Zeros(3), "unknown"));
}

TEST(ImageResourcesRead, EmptySectionIsAccepted) {
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    auto r = ReadSection(*doc, pd, Bytes().U32(0).U32(0xAABBCCDD));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.position, 4u);
    EXPECT_TRUE(doc->m_resourceIds.empty());
    EXPECT_FALSE(doc->m_unitConverter);
}

TEST(ImageResourcesRead, EveryKnownResourceFillsTheDocument) {
    auto doc = NewDocument(3, 4);
    auto pd = NewContext(*doc);
    Bytes bytes = Section(RichBlocks());
    bytes.U32(0x12345678);  // what follows the section stays unread
    auto r = ReadSection(*doc, pd, bytes);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.position, bytes.size() - 4);

    ASSERT_TRUE(doc->m_unitConverter);
    EXPECT_EQ(doc->m_unitConverter->GetResolution(), 300.0);
    EXPECT_EQ(pd.m_resolution, 300.0);
    EXPECT_DOUBLE_EQ(pd.m_resolutionScale, 300.0 / 72.0);

    ASSERT_TRUE(doc->m_backgroundColour);
    auto const* rgb = dynamic_cast<Renderer::ColourRGB const*>(doc->m_backgroundColour.Get());
    ASSERT_NE(rgb, nullptr);
    EXPECT_EQ(rgb->GetRGBA16().r, 65535);
    EXPECT_EQ(rgb->GetRGBA16().g, 0);
    EXPECT_EQ(rgb->GetRGBA16().b, 4096);
    EXPECT_EQ(rgb->GetOpacity(), 1.0f);

    EXPECT_EQ(doc->m_alphaChannelNames, std::vector<PSD::String>{"Alpha 1"});
    EXPECT_EQ(doc->m_caption, "A caption");
    EXPECT_EQ(pd.m_layerGroupIds, (std::vector<uint16_t>{7, 9}));
    EXPECT_TRUE(doc->m_jpeg.present);
    EXPECT_EQ(doc->m_jpeg.quality, 10);
    EXPECT_EQ(doc->m_jpeg.method, PSD::JPEGMethod::Progressive);
    EXPECT_EQ(doc->m_jpeg.scans, 3);
    EXPECT_EQ(doc->m_horizontalGuides, std::vector<double>{10.0});
    EXPECT_EQ(doc->m_verticalGuides, (std::vector<double>{-2.0, 50.0}));
    EXPECT_EQ(doc->m_globalLightAngle, -45);
    EXPECT_EQ(doc->m_globalLightAltitude, 75);
    EXPECT_FALSE(doc->m_hasRealMergedData);
    EXPECT_EQ(doc->m_clippingPathName, "clip");
    EXPECT_EQ(doc->m_resourceIds, (std::vector<uint16_t>{1005, 1010, 1006, 1008, 1026, 1030, 1032,
                                                         1036, 1037, 1049, 1057, 2999, 4000}));
    EXPECT_EQ(doc->m_warnings->GetCount(), 0u);
}

TEST(ImageResourcesRead, ResolutionKeepsTheFraction) {
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    ASSERT_TRUE(ReadSection(*doc, pd, Section(Block(1005, Resolution(72, 0x8000)))).ok);
    EXPECT_EQ(doc->m_unitConverter->GetResolution(), 72.5);
    // Too short: the reader runs into the next block and ends beyond its own.
    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    Bytes blocks = Block(1005, Bytes().U16(72).U16(0))
                       .Append(Block(1037, Bytes().U32(1)))
                       .Append(Block(1037, Bytes().U32(1)));
    EXPECT_EQ(ReadSection(*doc2, pd2, Section(blocks)).error, PSDError::kMisaligned);
}

TEST(ImageResourcesRead, AlphaNamesFollowTheChannelCount) {
    struct Case {
        uint32_t mode;
        uint16_t channels;
        size_t expected;
    } cases[] = {
        {3, 5, 2},   // RGB with two extra channels
        {3, 3, 0},   // nothing beyond the colour channels
        {4, 5, 1},   // CMYK
        {1, 3, 2},   // Grayscale
        {8, 2, 2},   // Duotone has no colour channels here
        {12, 1, 1},  // unknown mode: every channel is named
        {3, 1, 0},   // fewer channels than colours: none
    };
    Bytes names = Pascal("Transparency").Append(Pascal("Alpha 1")).Append(Pascal("Alpha 2"));
    for (auto const& c : cases) {
        auto doc = NewDocument(c.mode, c.channels);
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, Section(Block(1006, names)));
        EXPECT_TRUE(r.ok) << c.mode << "/" << c.channels;
        ASSERT_EQ(doc->m_alphaChannelNames.size(), c.expected) << c.mode << "/" << c.channels;
        if (c.expected > 0) {
            EXPECT_EQ(doc->m_alphaChannelNames[0], "Transparency");
        }
    }
    // More names wanted than the block holds: the fourth is the pad byte (an empty name), the
    // fifth runs into the next block.
    auto doc = NewDocument(3, 8);
    auto pd = NewContext(*doc);
    Bytes blocks = Block(1006, names).Append(Block(4000, Bytes().Zeros(80)));
    EXPECT_EQ(ReadSection(*doc, pd, Section(blocks)).error, PSDError::kMisaligned);
}

TEST(ImageResourcesRead, NamesUseTheResourceCodePage) {
    auto doc = NewDocument(3, 4);
    auto pd = NewContext(*doc);
    ASSERT_TRUE(ReadSection(*doc, pd, Section(Block(1006, Bytes().U8(2).U8('A').U8(0x80)))).ok);
    // 0x80 is A with diaeresis in the Central European Mac code page.
    EXPECT_EQ(doc->m_alphaChannelNames.at(0), "A\xC3\x84");
}

TEST(ImageResourcesRead, BackgroundColourInEverySpace) {
    struct Case {
        uint16_t space;
        uint16_t c[4];
        Renderer::ColourModel model;
    } cases[] = {
        {0, {1000, 2000, 3000, 0}, Renderer::ColourModel::RGB},
        {1, {32768, 65535, 65535, 0}, Renderer::ColourModel::HSL},
        {2, {0xFF00, 0x8000, 0x0000, 0x1234}, Renderer::ColourModel::CMYK},
        {7, {5000, uint16_t(-2000), 3000, 0}, Renderer::ColourModel::LAB},
        {8, {32768, 0, 0, 0}, Renderer::ColourModel::Grayscale},
    };
    for (auto const& c : cases) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        ASSERT_TRUE(
            ReadSection(*doc, pd,
                        Section(Block(1010, Colour(c.space, c.c[0], c.c[1], c.c[2], c.c[3]))))
                .ok)
            << c.space;
        ASSERT_TRUE(doc->m_backgroundColour);
        EXPECT_EQ(doc->m_backgroundColour->GetModel(), c.model) << c.space;
        EXPECT_EQ(doc->m_backgroundColour->GetOpacity(), 1.0f);
    }
    auto value = [](uint16_t space, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        EXPECT_TRUE(ReadSection(*doc, pd, Section(Block(1010, Colour(space, a, b, c, d)))).ok);
        return doc->m_backgroundColour;
    };
    // HSB: pure red at full brightness is lightness 0.5 and saturation 1.
    auto hsl = value(1, 0, 65535, 65535, 0)->ToHSLAF();
    EXPECT_FLOAT_EQ(hsl.l, 0.5f);
    EXPECT_FLOAT_EQ(hsl.s, 1.0f);
    // Brightness 0 is black without a division by zero.
    hsl = value(1, 1000, 65535, 0, 0)->ToHSLAF();
    EXPECT_EQ(hsl.l, 0.0f);
    EXPECT_EQ(hsl.s, 0.0f);
    // CMYK keeps the high bytes.
    auto cmykColour = value(2, 0xFF00, 0x80FF, 0x0001, 0x1234);
    auto cmyk = dynamic_cast<Renderer::ColourCMYK const*>(cmykColour.Get());
    ASSERT_NE(cmyk, nullptr);
    auto px = cmyk->GetCMYKA8();
    EXPECT_EQ(px.c, 0xFF);
    EXPECT_EQ(px.m, 0x80);
    EXPECT_EQ(px.y, 0x00);
    EXPECT_EQ(px.k, 0x12);
    // Lab: L 50 is half of 65535; a -20 and b 30 are offset by 128 and scaled by 256.
    auto lab = value(7, 5000, uint16_t(-2000), 3000, 0)->ToLABA16();
    EXPECT_EQ(lab.l, 32768);
    EXPECT_EQ(lab.a, (128 - 20) * 256);
    EXPECT_EQ(lab.b, (128 + 30) * 256);
    // Out-of-range Lab values are limited.
    lab = value(7, 20000, uint16_t(-32768), 32767, 0)->ToLABA16();
    EXPECT_EQ(lab.l, 65535);
    EXPECT_EQ(lab.a, 0);
    EXPECT_EQ(lab.b, 65535);
    auto greyColour = value(8, 65535, 0, 0, 0);
    auto grey = dynamic_cast<Renderer::ColourGrayscale const*>(greyColour.Get());
    ASSERT_NE(grey, nullptr);
    EXPECT_EQ(grey->GetGray(), 1.0f);
}

TEST(ImageResourcesRead, UnknownColourSpaceFails) {
    for (uint16_t space : {3, 6, 9, 0xFFFF}) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, Section(Block(1010, Colour(space, 1, 2, 3, 4))));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, PSDError::kUnknownColourSpace) << space;
        EXPECT_EQ(pd.m_report.m_error->GetDetail(), Kernel::ToString(unsigned(space)));
    }
}

TEST(ImageResourcesRead, SignaturesAcceptedAndRefused) {
    for (char const* sig : {"8BIM", "MeSa", "PHUT", "AgHg", "DCSR", "psdM"}) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        EXPECT_TRUE(ReadSection(*doc, pd, Section(Block(1037, Bytes().U32(33), "", sig))).ok)
            << sig;
        EXPECT_EQ(doc->m_globalLightAngle, 33) << sig;
    }
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    Bytes blocks = Block(1037, Bytes().U32(33)).Append(Block(1037, Bytes().U32(34), "", "8BPS"));
    auto r = ReadSection(*doc, pd, Section(blocks));
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.error, PSDError::kUnknownSignature);
    EXPECT_EQ(pd.m_report.m_error->GetDetail(), "8BPS");
    EXPECT_EQ(pd.m_report.m_error->GetNumber(), 1u);
}

TEST(ImageResourcesRead, JPEGSettingsNeedSevenBytes) {
    for (size_t size : {0, 6, 8}) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, Section(Block(1030, Bytes().Zeros(size))));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, PSDError::kParsing) << size;
    }
    struct Case {
        uint16_t format;
        PSD::JPEGMethod method;
    } cases[] = {{0x0000, PSD::JPEGMethod::Baseline},
                 {0x0001, PSD::JPEGMethod::BaselineOptimised},
                 {0x0101, PSD::JPEGMethod::Progressive},
                 {0x0100, PSD::JPEGMethod::Baseline}};
    for (auto const& c : cases) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        ASSERT_TRUE(
            ReadSection(
                *doc, pd,
                Section(Block(1030, Bytes().U16(uint16_t(-1)).U16(c.format).U8(9).U8(5).U8(9))))
                .ok);
        EXPECT_EQ(doc->m_jpeg.quality, -1);
        EXPECT_EQ(doc->m_jpeg.method, c.method) << c.format;
        EXPECT_EQ(doc->m_jpeg.scans, 5);
    }
}

TEST(ImageResourcesRead, OddSizesArePaddedAndUnreadDataSkipped) {
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    // 1037 with 5 bytes: one is left for the end-of-block step, then the pad byte.
    Bytes blocks = Block(1037, Bytes().U32(12).U8(0xEE)).Append(Block(1049, Bytes().U32(13)));
    ASSERT_TRUE(ReadSection(*doc, pd, Section(blocks)).ok);
    EXPECT_EQ(doc->m_globalLightAngle, 12);
    EXPECT_EQ(doc->m_globalLightAltitude, 13);
    // A block name of odd length is followed by its pad byte.
    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    ASSERT_TRUE(
        ReadSection(
            *doc2, pd2,
            Section(Block(1049, Bytes().U32(14), "ab").Append(Block(1037, Bytes().U32(15), "abc"))))
            .ok);
    EXPECT_EQ(doc2->m_globalLightAltitude, 14);
    EXPECT_EQ(doc2->m_globalLightAngle, 15);
}

TEST(ImageResourcesRead, OverrunBlocksAreMisaligned) {
    // 1037 declares 2 bytes but its reader takes 4.
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    Bytes blocks = Block(1037, Bytes().U16(0)).Append(Block(1049, Bytes().U32(13)));
    auto r = ReadSection(*doc, pd, Section(blocks));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, PSDError::kMisaligned);
    // Guides counting more entries than the block holds.
    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    Bytes guides;
    guides.U32(1).U32(576).U32(576).U32(2).U32(32).U8(1);
    Bytes blocks2 = Block(1032, guides)
                        .Append(Block(1049, Bytes().U32(13)))
                        .Append(Block(1049, Bytes().U32(13)));
    EXPECT_EQ(ReadSection(*doc2, pd2, Section(blocks2)).error, PSDError::kMisaligned);
}

TEST(ImageResourcesRead, HugeCountsFailWithoutAllocating) {
    // A guide count of 4 billion and an ICC size of 4 GB in a tiny section: truncation, no
    // allocation from the counts.
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    Bytes guides;
    guides.U32(1).U32(576).U32(576).U32(0xFFFFFFFF).U32(32).U8(1);
    EXPECT_EQ(ReadSection(*doc, pd, Section(Block(1032, guides))).error, PSDError::kTruncated);
    EXPECT_LT(doc->m_horizontalGuides.capacity(), 16u);

    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    Bytes icc;
    icc.Str("8BIM").U16(1039).U16(0).U32(0xFFFFFFF0).Zeros(64);
    EXPECT_EQ(ReadSection(*doc2, pd2, Section(icc)).error, PSDError::kTruncated);

    auto doc3 = NewDocument();
    auto pd3 = NewContext(*doc3);
    Bytes groups;
    groups.Str("8BIM").U16(1026).U16(0).U32(0xFFFFFFF0).U16(1).U16(2);
    EXPECT_EQ(ReadSection(*doc3, pd3, Section(groups)).error, PSDError::kTruncated);
}

TEST(ImageResourcesRead, AProfileAboveTheAllocationLimitIsOutOfMemory) {
    struct LimitGuard {
        uint64_t saved = Kernel::GetAllocationLimit();
        ~LimitGuard() { Kernel::SetAllocationLimit(saved); }
    } guard;
    Kernel::SetAllocationLimit(100000);
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    testsupport::OneByteInStream stream(Block(1039, Bytes().Zeros(300000)));
    EXPECT_FALSE(doc->ParseImageResourceData(stream, pd));
    ASSERT_TRUE(pd.m_report.m_error);
    EXPECT_EQ(pd.m_report.m_error->GetCode(), PSDError::kOutOfMemory);
}

TEST(ImageResourcesRead, ICCProfileThroughTheColourManager) {
    auto profile = SRGBProfileBytes();
    auto doc = NewDocument();
    auto pd = NewContext(*doc);
    ASSERT_TRUE(ReadSection(*doc, pd, Section(Block(1039, profile))).ok);
    ASSERT_TRUE(doc->m_iccProfile);
    EXPECT_EQ(doc->m_iccProfile->GetData(), profile);
    EXPECT_EQ(doc->m_iccProfile->GetColourSpace(), Raster::kICCSpaceRGB);
    // Bytes the colour manager refuses leave the document without a profile but read on.
    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    ASSERT_TRUE(
        ReadSection(*doc2, pd2,
                    Section(Block(1039, Bytes().Zeros(40)).Append(Block(1037, Bytes().U32(7)))))
            .ok);
    EXPECT_FALSE(doc2->m_iccProfile);
    EXPECT_EQ(doc2->m_globalLightAngle, 7);
}

TEST(ImageResourcesRead, SecondWorkingPathWarns) {
    auto doc = NewDocument();
    auto working = Kernel::MakeCounted<PSD::PSDPath>();
    doc->m_workingPath = working;
    auto pd = NewContext(*doc);
    Bytes blocks = Block(1025, Bytes().Zeros(26)).Append(Block(1025, Bytes().Zeros(26)));
    ASSERT_TRUE(ReadSection(*doc, pd, Section(blocks)).ok);
    EXPECT_EQ(doc->m_workingPath.Get(), working.Get());
    ASSERT_EQ(doc->m_warnings->GetCount(), 1u);
    EXPECT_EQ(doc->m_warnings->Report(), "Found multiple working paths\n");
    // Without a working path the block goes to the path reader and raises nothing.
    auto doc2 = NewDocument();
    auto pd2 = NewContext(*doc2);
    ASSERT_TRUE(ReadSection(*doc2, pd2,
                            Section(Block(1025, Bytes().Zeros(26))
                                        .Append(Block(2000, Bytes().Zeros(26), "Path 1"))))
                    .ok);
    EXPECT_EQ(doc2->m_warnings->GetCount(), 0u);
    EXPECT_EQ(doc2->m_resourceIds, (std::vector<uint16_t>{1025, 2000}));
}

TEST(ImageResourcesRead, ASectionCutAtEveryOffsetFails) {
    Bytes blocks = RichBlocks();
    for (size_t cut = 0; cut < blocks.size(); ++cut) {
        // The section claims the full length but the file ends early.
        Bytes bytes = Section(blocks);
        bytes.resize(4 + cut);
        auto doc = NewDocument(3, 4);
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, bytes);
        EXPECT_FALSE(r.ok) << cut;
        EXPECT_EQ(r.error, PSDError::kTruncated) << cut;
    }
    // The length field itself cut short.
    Bytes whole = Section(blocks);
    for (size_t cut = 0; cut < 4; ++cut) {
        auto doc = NewDocument();
        auto pd = NewContext(*doc);
        EXPECT_EQ(
            ReadSection(*doc, pd, std::vector<uint8_t>(whole.begin(), whole.begin() + cut)).error,
            PSDError::kTruncated);
    }
}

TEST(ImageResourcesRead, ASectionShortenedAtEveryOffsetFailsOrEndsAtABlock) {
    // The section's own length ends inside the blocks: truncation unless it ends between blocks.
    Bytes blocks = RichBlocks();
    std::vector<size_t> boundaries;
    for (size_t pos = 0; pos < blocks.size();) {
        boundaries.push_back(pos);
        size_t nameLen = blocks[pos + 6];
        size_t at = pos + 7 + nameLen + ((nameLen + 1) % 2);
        uint32_t size = uint32_t(blocks[at]) << 24 | uint32_t(blocks[at + 1]) << 16 |
                        uint32_t(blocks[at + 2]) << 8 | blocks[at + 3];
        pos = at + 4 + size + (size & 1);
    }
    for (size_t cut = 1; cut < blocks.size(); ++cut) {
        Bytes bytes;
        bytes.U32(uint32_t(cut)).Append(std::vector<uint8_t>(blocks.begin(), blocks.begin() + cut));
        bytes.Append(blocks);  // more data after the section must not be read as blocks
        auto doc = NewDocument(3, 4);
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, bytes);
        bool atBoundary = std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end();
        if (atBoundary) {
            EXPECT_TRUE(r.ok) << cut;
            EXPECT_EQ(r.position, 4 + cut);
        } else {
            EXPECT_FALSE(r.ok) << cut;
            // Cutting inside a 1030 block of 7 bytes makes its reader see a short size, a
            // block overrun shows as misalignment: each is a clean error.
            EXPECT_TRUE(r.error == PSDError::kTruncated || r.error == PSDError::kMisaligned)
                << cut << " " << r.error;
        }
    }
}

TEST(ImageResourcesRead, DamagedBytesGiveAnErrorOrADocument) {
    // Bytes changed at random (fixed seed): every outcome is a result, and a failure names its
    // error.
    Bytes blocks = RichBlocks();
    std::mt19937 random(1234);
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = blocks;
        int changes = 1 + int(random() % 4);
        for (int i = 0; i < changes; ++i) damaged[random() % damaged.size()] = uint8_t(random());
        auto doc = NewDocument(3, 4 + round % 3);
        auto pd = NewContext(*doc);
        auto r = ReadSection(*doc, pd, Section(damaged));
        if (!r.ok) {
            EXPECT_GE(r.error, 0) << round;
        }
    }
}

TEST(ImageResourcesRead, OneByteAtATimeReadsTheSame) {
    Bytes blocks = RichBlocks();
    auto whole = NewDocument(3, 4);
    auto pdWhole = NewContext(*whole);
    ASSERT_TRUE(ReadSection(*whole, pdWhole, Section(blocks)).ok);

    auto trickle = NewDocument(3, 4);
    auto pd = NewContext(*trickle);
    testsupport::OneByteInStream stream(blocks);
    ASSERT_TRUE(trickle->ParseImageResourceData(stream, pd));
    EXPECT_EQ(trickle->m_resourceIds, whole->m_resourceIds);
    EXPECT_EQ(trickle->m_horizontalGuides, whole->m_horizontalGuides);
    EXPECT_EQ(trickle->m_verticalGuides, whole->m_verticalGuides);
    EXPECT_EQ(trickle->m_alphaChannelNames, whole->m_alphaChannelNames);
    EXPECT_EQ(trickle->m_caption, whole->m_caption);
    EXPECT_EQ(trickle->m_globalLightAngle, whole->m_globalLightAngle);
    EXPECT_EQ(pd.m_layerGroupIds, pdWhole.m_layerGroupIds);

    // Cut anywhere, the forward-only stream gives truncation too (or a clean end between blocks).
    for (size_t cut = 1; cut < blocks.size(); ++cut) {
        auto doc = NewDocument(3, 4);
        auto p = NewContext(*doc);
        testsupport::OneByteInStream s(std::vector<uint8_t>(blocks.begin(), blocks.begin() + cut));
        if (!doc->ParseImageResourceData(s, p)) {
            ASSERT_TRUE(p.m_report.m_error) << cut;
            int code = int(p.m_report.m_error->GetCode());
            EXPECT_TRUE(code == PSDError::kTruncated || code == PSDError::kMisaligned) << cut;
        }
    }
}

TEST(ImageResourcesRead, DocumentsFromBareResourceData) {
    Bytes guides;
    guides.U32(1).U32(576).U32(576).U32(1).U32(64).U8(0);
    Bytes blocks = Block(1005, Resolution(150, 0))
                       .Append(Block(1032, guides))
                       .Append(Block(1006, Pascal("x")));
    auto stream = Kernel::MemoryInStream::Create(blocks);
    PSD::PSDReport report;
    auto doc = PSD::PSDFile::CreateFromImageResourceData(640, 480, *stream, report);
    ASSERT_TRUE(doc);
    EXPECT_FALSE(report.m_error);
    EXPECT_TRUE(report.m_warnings);
    EXPECT_EQ(doc->m_width, 640u);
    EXPECT_EQ(doc->m_height, 480u);
    EXPECT_EQ(doc->m_unitConverter->GetResolution(), 150.0);
    EXPECT_EQ(doc->m_verticalGuides, std::vector<double>{2.0});
    // No channels: no alpha channel names are expected.
    EXPECT_TRUE(doc->m_alphaChannelNames.empty());

    Bytes bad = Block(1037, Bytes().U32(1)).Append(Block(1037, Bytes().U32(1), "", "XXXX"));
    auto badStream = Kernel::MemoryInStream::Create(bad);
    PSD::PSDReport badReport;
    EXPECT_FALSE(PSD::PSDFile::CreateFromImageResourceData(1, 1, *badStream, badReport));
    ASSERT_TRUE(badReport.m_error);
    EXPECT_EQ(badReport.m_error->GetCode(), PSDError::kUnknownSignature);
    EXPECT_TRUE(badReport.m_warnings);
}

TEST(ImageResourcesRead, WholeDocumentsReadTheirResources) {
    testsupport::Header h;
    h.channels = 4;
    Bytes blocks = Block(1006, Pascal("Mask")).Append(Block(1037, Bytes().U32(90)));
    auto bytes = testsupport::Document(h, {}, blocks);
    auto stream = Kernel::MemoryInStream::Create(bytes);
    PSD::PSDReport report;
    auto doc = PSD::PSDFile::Create(stream, PSD::CreateOptions{}, report);
    ASSERT_TRUE(doc) << (report.m_error ? std::string(report.m_error->Report()) : "");
    EXPECT_EQ(doc->m_alphaChannelNames, std::vector<PSD::String>{"Mask"});
    EXPECT_EQ(doc->m_globalLightAngle, 90);
    EXPECT_EQ(doc->m_sections.imageResourcesLength, blocks.size());
}

}  // namespace

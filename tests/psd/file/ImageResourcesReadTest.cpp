#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "host/kernel/Memory.h"
#include "psd/file/ImageResourcesTestSupport.h"
#include "psd/vector/PSDPath.h"
#include "support/OneByteStream.h"
#include "tests/support/Cuts.h"

using namespace resourcetest;
using PSD::PSDError;

namespace {

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

Bytes Guides(uint32_t count, std::vector<std::pair<int32_t, uint8_t>> const& guides) {
    Bytes b;
    b.U32(1).U32(576).U32(576).U32(count);
    for (auto [at, direction] : guides) b.U32(uint32_t(at)).U8(direction);
    return b;
}

// A section touching most readers, block by block: the cut tests walk every offset of it.
std::vector<Bytes> RichParts() {
    Bytes version;
    version.U32(1).U8(0).U32(1).U16('A').U32(1).U16('B').U32(1);
    return {Block(1005, Resolution(300, 0)),
            Block(1010, Colour(0, 65535, 0, 4096, 0)),
            Block(1006, Pascal("Alpha 1"), "names"),
            Block(1008, Pascal("A caption")),
            Block(1026, Bytes().U16(7).U16(9)),
            Block(1030, Bytes().U16(10).U16(0x0101).U8(0).U8(3).U8(1)),
            Block(1032, Guides(3, {{320, 1}, {-64, 0}, {1600, 0}})),
            Block(1036, Bytes().Zeros(9)),
            Block(1037, Bytes().U32(uint32_t(-45))),
            Block(1049, Bytes().U32(75)),
            Block(1057, version),
            Block(2999, Pascal("clip")),
            Block(4000, Bytes().Zeros(3), "unknown")};
}

Bytes RichBlocks() {
    Bytes all;
    for (auto const& part : RichParts()) all.Append(part);
    return all;
}

// A document, its parse context and the outcome of reading a whole section (length included)
// into it from memory; the position shows where reading stopped.
struct Parsed {
    Kernel::Counted<PSD::PSDFile> doc;
    std::unique_ptr<PSD::ParseData> pd;
    struct {
        bool ok = false;
        int error = -1;  // code of the report's error, -1 for none
        uint64_t position = 0;
    } r;
};

Parsed Parse(std::vector<uint8_t> const& section, uint32_t mode = 3, uint16_t channels = 3,
             Kernel::Counted<PSD::PSDPath> workingPath = nullptr) {
    Parsed p;
    p.doc = NewDocument(mode, channels);
    p.doc->m_workingPath = workingPath;
    p.pd = std::make_unique<PSD::ParseData>(NewContext(*p.doc));
    auto stream = Kernel::MemoryInStream::Create(section);
    p.r.ok = p.doc->ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable>(stream.Get()),
                                        *p.pd);
    p.r.error = p.pd->m_report.m_error ? int(p.pd->m_report.m_error->GetCode()) : -1;
    p.r.position = stream->GetPosition();
    return p;
}

TEST(ImageResourcesRead, EveryKnownResourceFillsTheDocument) {
    Parsed empty = Parse(Bytes().U32(0).U32(0xAABBCCDD));
    EXPECT_TRUE(empty.r.ok);
    EXPECT_EQ(empty.r.position, 4u);
    EXPECT_TRUE(empty.doc->GetResourceIds().empty());
    EXPECT_FALSE(empty.doc->m_unitConverter);

    Bytes bytes = Section(RichBlocks());
    bytes.U32(0x12345678);  // what follows the section stays unread
    Parsed p = Parse(bytes, 3, 4);
    auto& doc = p.doc;
    ASSERT_TRUE(p.r.ok) << p.r.error;
    EXPECT_EQ(p.r.position, bytes.size() - 4);
    // The settings themselves are checked block by block through the info tool elsewhere; here
    // what the parse context takes and the fields it shows nowhere else.
    EXPECT_EQ(p.pd->m_resolution, 300.0);
    EXPECT_DOUBLE_EQ(p.pd->m_resolutionScale, 300.0 / 72.0);
    EXPECT_EQ(p.pd->m_layerGroupIds, (std::vector<uint16_t>{7, 9}));
    EXPECT_EQ(doc->m_horizontalGuides, std::vector<double>{10.0});
    EXPECT_EQ(doc->m_verticalGuides, (std::vector<double>{-2.0, 50.0}));
    EXPECT_EQ(std::tuple(std::string(doc->m_clippingPathName), doc->m_jpeg.method),
              std::tuple(std::string("clip"), PSD::JPEGMethod::Progressive));
    EXPECT_EQ(doc->GetResourceIds(), (std::vector<uint16_t>{1005, 1010, 1006, 1008, 1026, 1030, 1032,
                                                         1036, 1037, 1049, 1057, 2999, 4000}));
    EXPECT_EQ(doc->m_warnings->GetCount(), 0u);
}

TEST(ImageResourcesRead, MalformedBlocksFailWithTheirError) {
    // Guards overrunning readers, unknown values and counts larger than the data (which must
    // fail without allocating from the count).
    struct Case {
        char const* what;
        Bytes blocks;
        int error;
        std::string detail = "-";  // "-": not checked
        uint16_t channels = 3;
    };
    Bytes names = Pascal("Transparency").Append(Pascal("Alpha 1")).Append(Pascal("Alpha 2"));
    std::vector<Case> cases = {
        {"short resolution",
         Block(1005, Bytes().U16(72).U16(0))
             .Append(Block(1037, Bytes().U32(1)))
             .Append(Block(1037, Bytes().U32(1))),
         PSDError::kMisaligned},
        // The fourth name is the pad byte, the fifth runs into the next block.
        {"names beyond the block", Block(1006, names).Append(Block(4000, Bytes().Zeros(80))),
         PSDError::kMisaligned, "-", 8},
        {"signature", Block(1037, Bytes().U32(33)).Append(Block(1037, Bytes().U32(34), "", "8BPS")),
         PSDError::kUnknownSignature, "8BPS"},
        {"light overrun", Block(1037, Bytes().U16(0)).Append(Block(1049, Bytes().U32(13))),
         PSDError::kMisaligned},
        {"guides overrun",
         Block(1032, Guides(2, {{32, 1}}))
             .Append(Block(1049, Bytes().U32(13)))
             .Append(Block(1049, Bytes().U32(13))),
         PSDError::kMisaligned},
        {"4 billion guides", Block(1032, Guides(0xFFFFFFFF, {{32, 1}})), PSDError::kTruncated},
        {"4 GB profile", Bytes().Str("8BIM").U16(1039).U16(0).U32(0xFFFFFFF0).Zeros(64),
         PSDError::kTruncated},
        {"4 GB group ids", Bytes().Str("8BIM").U16(1026).U16(0).U32(0xFFFFFFF0).U16(1).U16(2),
         PSDError::kTruncated}};
    for (uint16_t space : {3, 6, 9, 0xFFFF})
        cases.push_back({"colour space", Block(1010, Colour(space, 1, 2, 3, 4)),
                         PSDError::kUnknownColourSpace, Kernel::ToString(unsigned(space))});
    for (size_t size : {0, 6, 8})
        cases.push_back({"jpeg size", Block(1030, Bytes().Zeros(size)), PSDError::kParsing});
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p = Parse(Section(c.blocks), 3, c.channels);
        EXPECT_FALSE(p.r.ok);
        ASSERT_EQ(p.r.error, c.error);
        if (c.detail != "-") {
            EXPECT_EQ(p.pd->m_report.m_error->GetDetail(), c.detail);
        }
        if (c.error == PSDError::kUnknownSignature) {
            EXPECT_EQ(p.pd->m_report.m_error->GetNumber(), 1u);
        }
        EXPECT_LT(p.doc->m_horizontalGuides.capacity(), 16u);
    }
}

TEST(ImageResourcesRead, AlphaNamesFollowTheChannelCount) {
    // Names are read for the channels beyond the colour ones: RGB, CMYK, grey, Duotone (one
    // ink); multichannel and unknown modes name every channel, too few channels name none.
    Bytes names = Pascal("Transparency").Append(Pascal("Alpha 1")).Append(Pascal("Alpha 2"));
    for (auto [mode, channels, expected] : {std::tuple{3u, 5, 2u},
                                            {3u, 3, 0u},
                                            {4u, 5, 1u},
                                            {1u, 3, 2u},
                                            {8u, 2, 1u},
                                            {7u, 3, 3u},
                                            {12u, 1, 1u},
                                            {3u, 1, 0u}}) {
        SCOPED_TRACE(std::to_string(mode) + "/" + std::to_string(channels));
        Parsed p = Parse(Section(Block(1006, names)), mode, uint16_t(channels));
        EXPECT_TRUE(p.r.ok);
        ASSERT_EQ(p.doc->m_alphaChannelNames.size(), expected);
        if (expected > 0) {
            EXPECT_EQ(p.doc->m_alphaChannelNames[0], "Transparency");
        }
    }
}

TEST(ImageResourcesRead, BackgroundColourInEverySpace) {
    auto value = [](uint16_t space, uint16_t a, uint16_t b, uint16_t c, uint16_t d,
                    Renderer::ColourModel model) {
        Parsed p = Parse(Section(Block(1010, Colour(space, a, b, c, d))));
        EXPECT_TRUE(p.r.ok);
        auto colour = p.doc->m_backgroundColour;
        EXPECT_TRUE(colour && colour->GetModel() == model && colour->GetOpacity() == 1.0f);
        return colour;
    };
    // HSB: pure red at full brightness is lightness 0.5 and saturation 1.
    auto hsl = value(1, 0, 65535, 65535, 0, Renderer::ColourModel::HSL)->ToHSLAF();
    EXPECT_FLOAT_EQ(hsl.l, 0.5f);
    EXPECT_FLOAT_EQ(hsl.s, 1.0f);
    // Brightness 0 is black without a division by zero.
    hsl = value(1, 1000, 65535, 0, 0, Renderer::ColourModel::HSL)->ToHSLAF();
    EXPECT_EQ(hsl.l, 0.0f);
    EXPECT_EQ(hsl.s, 0.0f);
    // CMYK keeps the high bytes.
    auto cmykColour = value(2, 0xFF00, 0x80FF, 0x0001, 0x1234, Renderer::ColourModel::CMYK);
    auto px = dynamic_cast<Renderer::ColourCMYK const&>(*cmykColour).GetCMYKA8();
    EXPECT_EQ(std::vector<int>({px.c, px.m, px.y, px.k}), std::vector<int>({0xFF, 0x80, 0, 0x12}));
    // Lab: L 50 is half of 65535; a -20 and b 30 are offset by 128 and scaled by 256.
    auto lab = value(7, 5000, uint16_t(-2000), 3000, 0, Renderer::ColourModel::LAB)->ToLABA16();
    EXPECT_EQ(std::vector<int>({lab.l, lab.a, lab.b}),
              std::vector<int>({32768, (128 - 20) * 256, (128 + 30) * 256}));
    // Out-of-range Lab values are limited.
    lab = value(7, 20000, uint16_t(-32768), 32767, 0, Renderer::ColourModel::LAB)->ToLABA16();
    EXPECT_EQ(std::vector<int>({lab.l, lab.a, lab.b}), std::vector<int>({65535, 0, 65535}));
    auto grey = value(8, 65535, 0, 0, 0, Renderer::ColourModel::Grayscale);
    EXPECT_EQ(dynamic_cast<Renderer::ColourGrayscale const&>(*grey).GetGray(), 1.0f);
}

TEST(ImageResourcesRead, ICCProfiles) {
    auto profile = SRGBProfileBytes();
    Parsed p = Parse(Section(Block(1039, profile)));
    ASSERT_TRUE(p.r.ok);
    ASSERT_TRUE(p.doc->m_iccProfile);
    EXPECT_EQ(p.doc->m_iccProfile->GetData(), profile);
    EXPECT_EQ(p.doc->m_iccProfile->GetColourSpace(), Raster::kICCSpaceRGB);
    // Bytes the colour manager refuses leave the document without a profile but read on.
    p = Parse(Section(Block(1039, Bytes().Zeros(40)).Append(Block(1037, Bytes().U32(7)))));
    ASSERT_TRUE(p.r.ok);
    EXPECT_FALSE(p.doc->m_iccProfile);
    EXPECT_EQ(p.doc->m_globalLightAngle, 7);

    // A profile above the allocation limit is out of memory, not a crash.
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

TEST(ImageResourcesRead, SecondWorkingPathWarns) {
    auto working = Kernel::MakeCounted<PSD::PSDPath>();
    Bytes path = Block(1025, Bytes().Zeros(26));
    Parsed p = Parse(Section(Bytes(path).Append(path)), 3, 3, working);
    ASSERT_TRUE(p.r.ok);
    EXPECT_EQ(p.doc->m_workingPath.Get(), working.Get());
    EXPECT_EQ(p.doc->m_warnings->Report(), "Found multiple working paths\n");
    // Without a working path the block goes to the path reader and raises nothing.
    p = Parse(Section(Bytes(path).Append(Block(2000, Bytes().Zeros(26), "Path 1"))));
    ASSERT_TRUE(p.r.ok);
    EXPECT_EQ(p.doc->m_warnings->GetCount(), 0u);
    EXPECT_EQ(p.doc->GetResourceIds(), (std::vector<uint16_t>{1025, 2000}));
}

TEST(ImageResourcesRead, ASectionCutAtEveryOffsetFails) {
    // The file ends early, the length field itself included.
    testsupport::ExpectEveryCutTruncated(Section(RichBlocks()), [](std::vector<uint8_t> const& part) {
        Parsed p = Parse(part, 3, 4);
        return p.r.ok ? -1 : p.r.error;
    });
}

TEST(ImageResourcesRead, DamagedBytesGiveAnErrorOrADocument) {
    testsupport::ExpectDamageAcceptedOrRefused(RichBlocks(), [](std::vector<uint8_t> const& bad, size_t at) {
        Parsed p = Parse(Section(Bytes().Append(bad)), 3, uint16_t(4 + at % 3));
        EXPECT_TRUE(p.r.ok || p.r.error >= 0);
        return p.r.ok;
    });
}

TEST(ImageResourcesRead, DocumentsFromBareResourceDataAndWholeFiles) {
    Bytes blocks = Block(1005, Resolution(150, 0))
                       .Append(Block(1032, Guides(1, {{64, 0}})))
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

    testsupport::Header h;
    h.channels = 4;
    Bytes inFile = Block(1006, Pascal("Mask")).Append(Block(1037, Bytes().U32(90)));
    PSD::PSDReport fileReport;
    auto opened =
        PSD::PSDFile::Create(Kernel::MemoryInStream::Create(testsupport::Document(h, {}, inFile)),
                             PSD::CreateOptions{}, fileReport);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->m_alphaChannelNames, std::vector<PSD::String>{"Mask"});
    EXPECT_EQ(opened->m_globalLightAngle, 90);
    EXPECT_EQ(opened->GetSections().imageResourcesLength, inFile.size());
}

}  // namespace

// Layer records and their tagged blocks, read one record at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "tests/psd/layer/LayerBytes.h"

using namespace PSD;
using namespace layertest;

namespace {

struct ReadResult {
    Kernel::Counted<PSDLayer> layer{new PSDLayer(true)};
    ParseData pd;
    bool ok = false;
    uint64_t end = 0;
    uint64_t size = 0;

    std::string Error() const {
        return pd.m_report.m_error ? std::string(pd.m_report.m_error->Report()) : "";
    }
    PSDError::Code Code() const {
        return pd.m_report.m_error ? pd.m_report.m_error->GetCode() : PSDError::Code(999);
    }
};

ReadResult ReadRecord(Bytes const& bytes, bool isFirst = false, bool psb = false,
                      uint32_t mode = 3) {
    ReadResult r;
    r.pd.m_isPSB = psb;
    r.pd.m_colourMode = mode;
    r.pd.m_colourChannels = uint16_t(ColourChannelCount(mode, false));
    auto s = Kernel::MemoryInStream::Create(bytes);
    r.ok = r.layer->Parse(*s, isFirst, r.pd);
    r.end = s->GetPosition();
    r.size = bytes.size();
    return r;
}

ReadResult WithBlocks(Bytes const& blocks, bool psb = false) {
    Record rec;
    rec.blocks = blocks;
    return ReadRecord(rec.Build(psb), false, psb);
}

template <class F>
Bytes Edited(F edit, bool psb = false) {
    Record rec;
    edit(rec);
    return rec.Build(psb);
}
Bytes WithMask(Bytes const& mask) {
    return Edited([&](Record& r) { r.mask = mask; });
}
Bytes BlockBytes(Bytes const& blocks, bool psb = false) {
    return Edited([&](Record& r) { r.blocks = blocks; }, psb);
}

std::string C(PSDError::Code code) {
    return "#" + std::to_string(int(code));
}

// A user mask of the given size class: rectangle (0,0)-(1,1), colour 0, the given flags.
Bytes UserMask(uint32_t size, uint8_t flags) {
    return Bytes().U32(size).U32(0).U32(0).U32(1).U32(1).U8(0).U8(flags);
}

}  // namespace

TEST(BlendModes, TableRoundTrips) {
    char const* keys[] = {"norm", "dark", "lite", "hue ", "sat ", "colr", "lum ",
                          "mul ", "scrn", "diss", "over", "hLit", "sLit", "diff",
                          "smud", "div ", "idiv", "lbrn", "lddg", "vLit", "lLit",
                          "pLit", "hMix", "pass", "dkCl", "lgCl", "fsub", "fdiv"};
    PSDReport report;
    for (uint32_t v = 0; v < 28; ++v) {
        uint32_t key = 0;
        ASSERT_TRUE(EncodeBlendMode(BlendMode(v), key));
        char text[5] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key), 0};
        EXPECT_STREQ(text, keys[v]);
        BlendMode back;
        ASSERT_TRUE(DecodeBlendMode(key, back, report));
        EXPECT_EQ(uint32_t(back), v);
    }
    BlendMode m;
    ASSERT_TRUE(DecodeBlendMode(Key("pass"), m, report));
    EXPECT_EQ(uint32_t(m), 23u);
    uint32_t key;
    EXPECT_FALSE(EncodeBlendMode(BlendMode(28), key));
    EXPECT_FALSE(DecodeBlendMode(Key("Norm"), m, report));
    ASSERT_TRUE(report.m_error);
    EXPECT_EQ(std::string(report.m_error->Report()), "Unknown blend mode : Norm [1]");
}

TEST(LayerRecord, FixedFields) {
    for (bool psb : {false, true}) {
        Record rec;
        rec.top = -5;
        rec.left = -6;
        rec.bottom = 70000;
        rec.right = 8;
        rec.opacity = 77;
        rec.clipping = 1;
        rec.flags = 0x02 | 0x01 | 0x08;
        rec.key = "scrn";
        rec.channels = {{-1, 7}, {0, psb ? 0x100000002ull : 2}, {1, 2}, {2, 2}};
        ReadResult r = ReadRecord(rec.Build(psb), false, psb);
        ASSERT_TRUE(r.ok) << r.Error();
        auto const& l = *r.layer;
        EXPECT_EQ(std::tuple(l.m_top, l.m_left, l.m_bottom, l.m_right),
                  std::tuple(-5, -6, 70000, 8));
        EXPECT_EQ(std::tuple(l.m_opacity, l.m_flags), std::tuple(77, 0x0B));
        EXPECT_EQ(std::tuple(l.m_clipping, l.m_visible, l.m_transparencyProtected),
                  std::tuple(true, false, true));
        EXPECT_EQ(l.m_blendMode, BlendMode::Screen);
        EXPECT_EQ(l.m_recordBlendKey, Key("scrn"));
        ASSERT_EQ(l.m_channels.size(), 4u);
        EXPECT_EQ(l.m_channels[0].m_id, -1);
        EXPECT_EQ(l.m_channels[0].m_length, 7u);
        EXPECT_EQ(l.m_channels[1].m_length, psb ? 0x100000002ull : 2u);
        EXPECT_EQ(l.m_name, "Layer");
        EXPECT_EQ(r.end, r.size);
    }
    // No extra data: no name, no masks, no ranges.
    ReadResult r = ReadRecord(Edited([](Record& rec) { rec.noExtra = true; }));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_name.empty());
    EXPECT_FALSE(r.layer->m_userMask.m_present);
    EXPECT_TRUE(r.layer->m_blendRanges.empty());
    EXPECT_EQ(r.end, r.size);
}

// Only the first record, with exactly the colour channels and no alpha, is a background, and
// only while it holds nothing a background is written without.
TEST(LayerRecord, BackgroundRule) {
    using Channels = std::vector<std::pair<int16_t, uint64_t>>;
    Bytes fill = Block("iOpa", Bytes().U8(9).Zeros(3));
    struct Case {
        Channels channels;
        bool first;
        uint32_t mode;
        bool background;
        Bytes blocks = {};
        std::string key = "norm";
        uint8_t opacity = 255;
    } const cases[] = {
        {{{0, 2}, {1, 2}, {2, 2}}, true, 3, true},
        {{{-1, 2}, {0, 2}, {1, 2}, {2, 2}}, true, 3, false},
        {{{0, 2}, {1, 2}, {2, 2}}, false, 3, false},
        {{{0, 2}}, true, 1, true},
        {{{0, 2}, {-1, 2}}, true, 1, false},
        {{{0, 2}, {1, 2}, {2, 2}}, true, 3, false, fill},
        {{{0, 2}, {1, 2}, {2, 2}}, true, 3, false, {}, "mul "},
        {{{0, 2}, {1, 2}, {2, 2}}, true, 3, false, {}, "norm", 128},
    };
    for (auto const& c : cases) {
        Bytes b = Edited([&](Record& r) {
            r.channels = c.channels, r.blocks = c.blocks, r.key = c.key, r.opacity = c.opacity;
        });
        EXPECT_EQ(ReadRecord(b, c.first, false, c.mode).layer->m_background, c.background)
            << c.channels.size() << " channels, first " << c.first << ", mode " << c.mode << ", "
            << c.key << " at " << int(c.opacity);
    }
}

// Every way a record or one of its blocks is refused, with the exact error text where the
// message names the culprit, else its code.
TEST(LayerRecord, Refusals) {
    Bytes psbBlocks =
        Block("LMsk", Bytes().Zeros(12), true).Append(Block("luni", Bytes().U32(1).U16('Q')));
    Bytes over = Block("iOpa", Bytes().U8(9).Zeros(3));
    over[11] = 40;  // a body longer than the rest of the extra data
    auto withSignature = [](char const* sig) {
        return Edited([&](Record& r) { r.signature = sig; });
    };
    auto withKey = [](char const* key) { return Edited([&](Record& r) { r.key = key; }); };
    auto lsct = [](Bytes const& body) { return BlockBytes(Block("lsct", body)); };
    struct Case {
        char const* what;
        Bytes bytes;
        std::string want;  // the error text, or "#" and the code where the text names nothing
    } const cases[] = {
        {"record signature", withSignature("8BIN"), "Unknown signature : 8BIN [2]"},
        {"record blend key", withKey("BoEF"), "Unknown blend mode : BoEF [1]"},
        {"mask size 1", WithMask(Bytes().U32(1).Zeros(1)), C(PSDError::kParsing)},
        {"mask size 17", WithMask(Bytes().U32(17).Zeros(17)), C(PSDError::kParsing)},
        {"mask parameters past the mask size", WithMask(UserMask(20, 0x10).U8(0x02).U8(0).U64(0)),
         C(PSDError::kMisaligned)},
        {"blending ranges longer than the stream",
         Edited([](Record& r) { r.ranges = Bytes().U32(0xFFFFFFF8u); }), C(PSDError::kTruncated)},
        {"channel count beyond the stream",
         Bytes().U32(0).U32(0).U32(1).U32(1).U16(60000).U16(0).U32(2), C(PSDError::kTruncated)},
        {"divider signature, 12 bytes", lsct(Bytes().U32(1).Str("8BIX").Str("pass")),
         "Unknown signature : 8BIX [7]"},
        {"divider signature, 16 bytes", lsct(Bytes().U32(1).Str("8BIX").Str("pass").U32(0)),
         "Unknown signature : 8BIX [8]"},
        {"divider blend key", lsct(Bytes().U32(1).Str("8BIM").Str("nope")),
         "Unknown blend mode : nope [1]"},
        {"divider of 0 bytes", lsct({}), C(PSDError::kParsing)},
        {"divider of 8 bytes", lsct(Bytes().Zeros(8)), C(PSDError::kParsing)},
        {"divider of 20 bytes", lsct(Bytes().Zeros(20)), C(PSDError::kParsing)},
        {"restricted channel 4 of 4", BlockBytes(Block("brst", Bytes().U32(4))),
         C(PSDError::kParsing)},
        {"vector mask version", BlockBytes(Block("vsms", Bytes().U32(2).U32(0))),
         "Unknown vector mask version"},
        {"block signature", BlockBytes(Block("iOpa", Bytes().U8(9).Zeros(3), false, 0, "MIB8")),
         "Unknown signature : MIB8 [6]"},
        {"body shorter than its reader needs", BlockBytes(Block("lspf", Bytes().U16(1))),
         C(PSDError::kTruncated)},
        {"block longer than the extra data", BlockBytes(over), C(PSDError::kMisaligned)},
        // The PSB form of "LMsk" (8-byte length) misread in a version-1 record: the next block
        // is looked for in the wrong place.
        {"wide block length in a version-1 record", BlockBytes(psbBlocks),
         C(PSDError::kUnknownSignature)},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        ReadResult r = ReadRecord(c.bytes);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(c.want[0] == '#' ? C(r.Code()) : r.Error(), c.want) << r.Error();
    }
    // The channel list is not allocated from a count the stream cannot hold.
    EXPECT_TRUE(ReadRecord(cases[6].bytes).layer->m_channels.empty());
    // The same blocks are fine in PSB.
    ReadResult r = ReadRecord(BlockBytes(psbBlocks, true), false, true);
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name, "Q");
    ASSERT_EQ(r.layer->m_blocks.size(), 2u);
    EXPECT_EQ(r.layer->m_blocks[0].length, 12u);
}

TEST(LayerRecord, MaskSizesAndParameters) {
    // 20: a user mask only, with the two writer padding bytes.
    ReadResult r =
        ReadRecord(WithMask(Bytes().U32(20).U32(1).U32(2).U32(3).U32(4).U8(255).U8(0x0F).U16(0)));
    ASSERT_TRUE(r.ok) << r.Error();
    auto const& u = r.layer->m_userMask;
    EXPECT_TRUE(u.m_present);
    EXPECT_EQ(std::tuple(u.m_top, u.m_left, u.m_bottom, u.m_right, u.m_defaultColour),
              std::tuple(1, 2, 3, 4, 255));
    EXPECT_TRUE(u.m_relative && u.m_disabled && u.m_invert && u.m_fromRendering);
    EXPECT_FALSE(r.layer->m_realMask.m_present);
    EXPECT_EQ(r.layer->m_name, "Layer");

    // 36: both masks; the real invert bit does not touch the user flags.
    Bytes both = Bytes().U32(36).U32(0).U32(0).U32(5).U32(5).U8(0).U8(0x01);
    r = ReadRecord(WithMask(both.U8(0x04).U8(255).U32(-1).U32(-2).U32(6).U32(7)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_userMask.m_relative);
    EXPECT_FALSE(r.layer->m_userMask.m_invert);
    auto const& real = r.layer->m_realMask;
    EXPECT_EQ(std::tuple(real.m_present, real.m_invert, real.m_relative),
              std::tuple(true, true, false));
    EXPECT_EQ(
        std::tuple(real.m_top, real.m_left, real.m_bottom, real.m_right, real.m_defaultColour),
        std::tuple(-1, -2, 6, 7, 255));

    // Sizes between the classes are read as the smaller class and skipped to their end.
    r = ReadRecord(WithMask(UserMask(30, 0).Zeros(12)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name, "Layer");
    EXPECT_FALSE(r.layer->m_realMask.m_present);

    // Bit 4 set: a parameter byte follows with user density (1) and vector feather (8).
    double feather = 2.5;
    uint64_t bits;
    std::memcpy(&bits, &feather, 8);
    r = ReadRecord(WithMask(UserMask(28, 0x10).U8(0x09).U8(200).U64(bits)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_maskDensity, 200);
    EXPECT_DOUBLE_EQ(r.layer->m_maskFeather, 2.5);
    EXPECT_EQ(r.layer->m_maskParameters, 0x09);
}

TEST(LayerRecord, BlendingRangesAndNames) {
    Record rec;
    rec.ranges = DefaultRanges(5);
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    ASSERT_EQ(r.layer->m_blendRanges.size(), 5u);
    EXPECT_EQ(std::memcmp(r.layer->m_blendRanges[4].m_bytes, PSDBlendRangeSet::kDefault, 8), 0);

    // Length 12 gives one set; the 4 bytes left over are not skipped and here read as an empty
    // name (length byte 0 and three padding bytes).
    rec.ranges = Bytes().U32(12).U8(1).U8(2).U8(3).U8(4).U8(5).U8(6).U8(7).U8(8).Zeros(4);
    rec.name = {};
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    ASSERT_EQ(r.layer->m_blendRanges.size(), 1u);
    EXPECT_EQ(r.layer->m_blendRanges[0].m_bytes[7], 8);
    EXPECT_TRUE(r.layer->m_name.empty());

    // A 3-byte name and its padding take 4 bytes (the block after it is found); the bytes are
    // Mac Central European.
    rec.ranges = DefaultRanges(1);
    rec.blocks = Block("lyid", Bytes().U32(1));
    rec.name = PascalName(
        "\x80\x81"
        "d");
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name,
              "\xC3\x84\xC4\x80"
              "d");  // Ä, Ā, d
    EXPECT_EQ(r.layer->m_pascalName,
              "\x80\x81"
              "d");
    ASSERT_EQ(r.layer->m_blocks.size(), 1u);
}

TEST(LayerBlocks, SmallBlocksSetFields) {
    Bytes blocks;
    blocks.Append(Block("luni", Bytes().U32(3).U16(0x00E9).U16(0xD83D).U16(0xDE00)))
        .Append(Block("iOpa", Bytes().U8(40).Zeros(3)))
        .Append(Block("clbl", Bytes().U8(0).Zeros(3)))
        .Append(Block("infx", Bytes().U8(1).Zeros(3)))
        .Append(Block("knko", Bytes().U8(2).Zeros(3)))
        .Append(Block("tsly", Bytes().U8(0).Zeros(3)))
        .Append(Block("lmgm", Bytes().U8(1).Zeros(3)))
        .Append(Block("vmgm", Bytes().U8(1).Zeros(3)))
        .Append(Block("lspf", Bytes().U32(0x80000002)))
        .Append(Block("lclr", Bytes().U16(4).Zeros(6)))
        .Append(Block("sn2P", Bytes().U32(1)))
        .Append(Block("shmd", Bytes().U32(0)))
        .Append(Block("zzzz", Bytes().Str("unknown!")));
    ReadResult r = WithBlocks(blocks);
    ASSERT_TRUE(r.ok) << r.Error();
    auto const& l = *r.layer;
    EXPECT_EQ(l.m_name, "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(l.m_pascalName, "Layer");
    EXPECT_EQ(std::tuple(l.m_fillOpacity, l.m_knockout, l.m_sheetColour), std::tuple(40, 2, 4));
    EXPECT_EQ(std::tuple(l.m_blendClipped, l.m_blendInterior, l.m_transparencyShapes,
                         l.m_layerMaskHidesEffects, l.m_vectorMaskHidesEffects),
              std::tuple(false, true, false, true, true));
    EXPECT_EQ(
        std::tuple(l.m_lockTransparency, l.m_lockComposite, l.m_lockPosition, l.m_alignedRendering),
        std::tuple(false, true, false, true));
    ASSERT_EQ(l.m_blocks.size(), 13u);
    EXPECT_EQ(l.m_blocks[12].key, Key("zzzz"));
    EXPECT_EQ(l.m_blocks[12].length, 8u);
    EXPECT_EQ(r.end, r.size);

    // Knockout values other than 1 and 2 mean none.
    r = WithBlocks(Block("knko", Bytes().U8(5).Zeros(3)));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.layer->m_knockout, 0);
    r = WithBlocks(Block("knko", Bytes().U8(1).Zeros(3)));
    EXPECT_EQ(r.layer->m_knockout, 1);
}

// Dividers: the type, and the blend key that overrides the record's from 12 bytes on.
TEST(LayerBlocks, SectionDividers) {
    struct Case {
        char const* what;
        Bytes block;
        int type;
        BlendMode mode;
        bool scene;
    } const cases[] = {
        {"4 bytes, type 0: the record's mode stays", Block("lsct", Bytes().U32(0)),
         PSDLayer::kNormal, BlendMode::Multiply, false},
        {"4 bytes, type 1: pass through", Block("lsct", Bytes().U32(1)), PSDLayer::kOpenGroup,
         BlendMode::PassThrough, false},
        {"type out of range: pass-through normal layer", Block("lsdk", Bytes().U32(0xCAFEBABE)),
         PSDLayer::kNormal, BlendMode::PassThrough, false},
        {"12 bytes", Block("lsct", Bytes().U32(2).Str("8BIM").Str("scrn")), PSDLayer::kClosedGroup,
         BlendMode::Screen, false},
        {"16 bytes, scene group", Block("lsct", Bytes().U32(3).Str("8BIM").Str("pass").U32(1)),
         PSDLayer::kGroupEnd, BlendMode::PassThrough, true},
        {"16 bytes, other sub-type", Block("lsct", Bytes().U32(1).Str("8BIM").Str("pass").U32(2)),
         PSDLayer::kOpenGroup, BlendMode::PassThrough, false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        ReadResult r = ReadRecord(Edited([&](Record& rec) {
            rec.key = "mul ";
            rec.blocks = c.block;
        }));
        ASSERT_TRUE(r.ok) << r.Error();
        EXPECT_EQ(int(r.layer->m_sectionType), c.type);
        EXPECT_EQ(r.layer->m_blendMode, c.mode);
        EXPECT_EQ(r.layer->m_sceneGroup, c.scene);
    }
}

TEST(LayerBlocks, RestrictedChannelsVectorMaskAndFraming) {
    ReadResult r = WithBlocks(Block("brst", Bytes().U32(0).U32(3)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_channels[0].m_restricted);
    EXPECT_FALSE(r.layer->m_channels[1].m_restricted);
    EXPECT_TRUE(r.layer->m_channels[3].m_restricted);

    r = WithBlocks(Block("vmsk", Bytes().U32(3).U32(2).Zeros(26)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_FALSE(r.layer->m_vectorMaskFlag0);
    EXPECT_TRUE(r.layer->m_vectorMaskFlag1);
    EXPECT_TRUE(r.layer->m_vectorMaskFlagAny);

    // A block area shorter than 8 bytes is ignored.
    r = WithBlocks(Bytes().Str("8BIMlun"));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_blocks.empty());
    EXPECT_EQ(r.end, r.size);

    // Layer blocks advance by exactly their length (no rounding), and "8B64" is accepted.
    r = WithBlocks(
        Block("zzzz", Bytes().Str("abcde"), false, 0, "8B64").Append(Block("iOpa", Bytes().U8(9))));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_fillOpacity, 9);
}

TEST(LayerBlocks, BlocksOfLaterReadersAreRecordedAndPassedOver) {
    Bytes blocks;
    // Effects, adjustment and vector blocks have their readers: their bodies must be theirs. A settings
    // block before any adjustment is only kept.
    for (char const* key : {"CgEd", "lyid", "Txt2", "fxrp"})
        blocks.Append(Block(key, Bytes().Str("junk data!!!")));
    ReadResult r = WithBlocks(blocks);
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_blocks.size(), 4u);
    EXPECT_EQ(r.end, r.size);
    EXPECT_FALSE(r.layer->m_adjustment);
    auto const* b = r.layer->FindBlock(Key("CgEd"));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->length, 12u);
    // A later adjustment block replaces an earlier one.
    r = WithBlocks(Block("thrs", Bytes().U16(9).U16(0)).Append(Block("post", Bytes().U16(3).U16(0))));
    ASSERT_TRUE(r.ok) << r.Error();
    ASSERT_TRUE(r.layer->m_adjustment);
    EXPECT_EQ(r.layer->m_adjustment->GetKey(), Key("post"));
}

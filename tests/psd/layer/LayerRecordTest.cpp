// Layer records and their tagged blocks, read one record at a time.
#include <gtest/gtest.h>

#include <cstring>

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
    Record rec;
    rec.top = -5;
    rec.left = -6;
    rec.bottom = 70000;
    rec.right = 8;
    rec.opacity = 77;
    rec.clipping = 1;
    rec.flags = 0x02 | 0x01 | 0x08;
    rec.key = "scrn";
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    auto const& l = *r.layer;
    EXPECT_EQ(l.m_top, -5);
    EXPECT_EQ(l.m_left, -6);
    EXPECT_EQ(l.m_bottom, 70000);
    EXPECT_EQ(l.m_right, 8);
    EXPECT_EQ(l.m_opacity, 77);
    EXPECT_TRUE(l.m_clipping);
    EXPECT_FALSE(l.m_visible);
    EXPECT_TRUE(l.m_transparencyProtected);
    EXPECT_EQ(l.m_flags, 0x0B);
    EXPECT_EQ(l.m_blendMode, BlendMode::Screen);
    EXPECT_EQ(l.m_recordBlendKey, Key("scrn"));
    ASSERT_EQ(l.m_channels.size(), 4u);
    EXPECT_EQ(l.m_channels[0].m_id, -1);
    EXPECT_EQ(l.m_channels[3].m_length, 2u);
    EXPECT_EQ(l.m_name, "Layer");
    EXPECT_EQ(r.end, r.size);
}

TEST(LayerRecord, WideChannelLengthsInPSB) {
    Record rec;
    rec.channels = {{0, 0x100000002ull}, {-1, 7}};
    ReadResult r = ReadRecord(rec.Build(true), false, true);
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_channels[0].m_length, 0x100000002ull);
    EXPECT_EQ(r.layer->m_channels[1].m_length, 7u);
    EXPECT_EQ(r.end, r.size);
}

TEST(LayerRecord, NoExtraDataMeansNoNameNoMasks) {
    Record rec;
    rec.noExtra = true;
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_name.empty());
    EXPECT_FALSE(r.layer->m_userMask.m_present);
    EXPECT_TRUE(r.layer->m_blendRanges.empty());
    EXPECT_EQ(r.end, r.size);
}

TEST(LayerRecord, BackgroundRule) {
    Record three;
    three.channels = {{0, 2}, {1, 2}, {2, 2}};
    Record four;
    EXPECT_TRUE(ReadRecord(three.Build(), true).layer->m_background);
    EXPECT_FALSE(ReadRecord(four.Build(), true).layer->m_background);
    EXPECT_FALSE(ReadRecord(three.Build(), false).layer->m_background);
    // Grayscale has one colour channel.
    Record grey;
    grey.channels = {{0, 2}};
    EXPECT_TRUE(ReadRecord(grey.Build(), true, false, 1).layer->m_background);
    grey.channels = {{0, 2}, {-1, 2}};
    EXPECT_FALSE(ReadRecord(grey.Build(), true, false, 1).layer->m_background);
}

TEST(LayerRecord, SignatureAndBlendKeyErrors) {
    Record rec;
    rec.signature = "8BIN";
    ReadResult r = ReadRecord(rec.Build());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Error(), "Unknown signature : 8BIN [2]");
    rec.signature = "8BIM";
    rec.key = "BoEF";
    r = ReadRecord(rec.Build());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Error(), "Unknown blend mode : BoEF [1]");
}

TEST(LayerRecord, MaskSizes) {
    Record rec;
    // 20: a user mask only, with the two writer padding bytes.
    rec.mask = Bytes().U32(20).U32(1).U32(2).U32(3).U32(4).U8(255).U8(0x0F).U16(0);
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    auto const& u = r.layer->m_userMask;
    EXPECT_TRUE(u.m_present);
    EXPECT_EQ(u.m_top, 1);
    EXPECT_EQ(u.m_left, 2);
    EXPECT_EQ(u.m_bottom, 3);
    EXPECT_EQ(u.m_right, 4);
    EXPECT_EQ(u.m_defaultColour, 255);
    EXPECT_TRUE(u.m_relative && u.m_disabled && u.m_invert && u.m_fromRendering);
    EXPECT_FALSE(r.layer->m_realMask.m_present);
    EXPECT_EQ(r.layer->m_name, "Layer");

    // 36: both masks; the real invert bit does not touch the user flags.
    rec.mask = Bytes().U32(36).U32(0).U32(0).U32(5).U32(5).U8(0).U8(0x01);
    rec.mask.U8(0x04).U8(255).U32(-1).U32(-2).U32(6).U32(7);
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_userMask.m_relative);
    EXPECT_FALSE(r.layer->m_userMask.m_invert);
    auto const& real = r.layer->m_realMask;
    EXPECT_TRUE(real.m_present);
    EXPECT_TRUE(real.m_invert);
    EXPECT_FALSE(real.m_relative);
    EXPECT_EQ(real.m_defaultColour, 255);
    EXPECT_EQ(real.m_top, -1);
    EXPECT_EQ(real.m_left, -2);
    EXPECT_EQ(real.m_bottom, 6);
    EXPECT_EQ(real.m_right, 7);

    // 1..17 are refused.
    for (uint32_t size : {1u, 17u}) {
        rec.mask = Bytes().U32(size).Zeros(size);
        r = ReadRecord(rec.Build());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.Code(), PSDError::kParsing) << size;
    }
    // Sizes between the classes are read as the smaller class and skipped to their end.
    rec.mask = Bytes().U32(30).U32(0).U32(0).U32(1).U32(1).U8(0).U8(0).Zeros(12);
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name, "Layer");
    EXPECT_FALSE(r.layer->m_realMask.m_present);
}

TEST(LayerRecord, MaskParameters) {
    Record rec;
    double feather = 2.5;
    uint64_t bits;
    std::memcpy(&bits, &feather, 8);
    // Bit 4 set: a parameter byte follows with user density (1) and vector feather (8).
    rec.mask =
        Bytes().U32(28).U32(0).U32(0).U32(1).U32(1).U8(0).U8(0x10).U8(0x09).U8(200).U64(bits);
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_maskDensity, 200);
    EXPECT_DOUBLE_EQ(r.layer->m_maskFeather, 2.5);
    EXPECT_EQ(r.layer->m_maskParameters, 0x09);

    // Parameters that run past the mask data's size: the lengths disagree.
    rec.mask = Bytes().U32(20).U32(0).U32(0).U32(1).U32(1).U8(0).U8(0x10).U8(0x02).U8(0);
    rec.mask.U64(bits);
    r = ReadRecord(rec.Build());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kMisaligned);
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

    // A 3-byte name takes 4 bytes; a 4-byte name takes 8. Bytes are Mac Central European.
    rec.ranges = DefaultRanges(1);
    rec.name = PascalName("abc");
    EXPECT_EQ(rec.name.size(), 4u);
    EXPECT_EQ(PascalName("abcd").size(), 8u);
    rec.blocks = Block("lyid", Bytes().U32(1));
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name, "abc");
    ASSERT_EQ(r.layer->m_blocks.size(), 1u);
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

    // A blending range length larger than the stream is truncation, not an allocation.
    rec.ranges = Bytes().U32(0xFFFFFFF8u);
    r = ReadRecord(rec.Build());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kTruncated);
}

TEST(LayerRecord, ChannelCountBeyondTheStreamIsTruncation) {
    Bytes b;
    b.U32(0).U32(0).U32(1).U32(1).U16(60000).U16(0).U32(2);
    ReadResult r = ReadRecord(b);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kTruncated);
    EXPECT_TRUE(r.layer->m_channels.empty());
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
    EXPECT_EQ(l.m_fillOpacity, 40);
    EXPECT_FALSE(l.m_blendClipped);
    EXPECT_TRUE(l.m_blendInterior);
    EXPECT_EQ(l.m_knockout, 2);
    EXPECT_FALSE(l.m_transparencyShapes);
    EXPECT_TRUE(l.m_layerMaskHidesEffects);
    EXPECT_TRUE(l.m_vectorMaskHidesEffects);
    EXPECT_FALSE(l.m_lockTransparency);
    EXPECT_TRUE(l.m_lockComposite);
    EXPECT_FALSE(l.m_lockPosition);
    EXPECT_EQ(l.m_sheetColour, 4);
    EXPECT_TRUE(l.m_alignedRendering);
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

TEST(LayerBlocks, SectionDividers) {
    // 4 bytes, type 0: the record's blend mode stays.
    Record rec;
    rec.key = "mul ";
    rec.blocks = Block("lsct", Bytes().U32(0));
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.layer->m_sectionType, PSDLayer::kNormal);
    EXPECT_EQ(r.layer->m_blendMode, BlendMode::Multiply);

    // 4 bytes, type 1: pass through and an open group; an out-of-range type: pass through, normal.
    rec.blocks = Block("lsct", Bytes().U32(1));
    r = ReadRecord(rec.Build());
    EXPECT_EQ(r.layer->m_sectionType, PSDLayer::kOpenGroup);
    EXPECT_EQ(r.layer->m_blendMode, BlendMode::PassThrough);
    rec.blocks = Block("lsdk", Bytes().U32(0xCAFEBABE));
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.layer->m_sectionType, PSDLayer::kNormal);
    EXPECT_EQ(r.layer->m_blendMode, BlendMode::PassThrough);

    // 12 bytes: type, signature and blend key.
    rec.blocks = Block("lsct", Bytes().U32(2).Str("8BIM").Str("scrn"));
    r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_sectionType, PSDLayer::kClosedGroup);
    EXPECT_EQ(r.layer->m_blendMode, BlendMode::Screen);
    EXPECT_FALSE(r.layer->m_sceneGroup);

    // 16 bytes: sub-type 1 marks a scene group; others do not.
    rec.blocks = Block("lsct", Bytes().U32(3).Str("8BIM").Str("pass").U32(1));
    r = ReadRecord(rec.Build());
    EXPECT_EQ(r.layer->m_sectionType, PSDLayer::kGroupEnd);
    EXPECT_TRUE(r.layer->m_sceneGroup);
    rec.blocks = Block("lsct", Bytes().U32(1).Str("8BIM").Str("pass").U32(2));
    r = ReadRecord(rec.Build());
    EXPECT_FALSE(r.layer->m_sceneGroup);

    // Errors: bad signature (detail 7 or 8 by length), unknown key, other lengths.
    rec.blocks = Block("lsct", Bytes().U32(1).Str("8BIX").Str("pass"));
    r = ReadRecord(rec.Build());
    EXPECT_EQ(r.Error(), "Unknown signature : 8BIX [7]");
    rec.blocks = Block("lsct", Bytes().U32(1).Str("8BIX").Str("pass").U32(0));
    r = ReadRecord(rec.Build());
    EXPECT_EQ(r.Error(), "Unknown signature : 8BIX [8]");
    rec.blocks = Block("lsct", Bytes().U32(1).Str("8BIM").Str("nope"));
    r = ReadRecord(rec.Build());
    EXPECT_EQ(r.Error(), "Unknown blend mode : nope [1]");
    for (size_t len : {0u, 8u, 20u}) {
        rec.blocks = Block("lsct", Bytes().Zeros(len));
        r = ReadRecord(rec.Build());
        EXPECT_FALSE(r.ok) << len;
        EXPECT_EQ(r.Code(), PSDError::kParsing) << len;
    }
}

TEST(LayerBlocks, RestrictedChannels) {
    ReadResult r = WithBlocks(Block("brst", Bytes().U32(0).U32(3)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_channels[0].m_restricted);
    EXPECT_FALSE(r.layer->m_channels[1].m_restricted);
    EXPECT_TRUE(r.layer->m_channels[3].m_restricted);
    // Channel 4 of a 4-channel layer.
    r = WithBlocks(Block("brst", Bytes().U32(4)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kParsing);
}

TEST(LayerBlocks, VectorMaskHeader) {
    ReadResult r = WithBlocks(Block("vmsk", Bytes().U32(3).U32(2).Zeros(26)));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_FALSE(r.layer->m_vectorMaskFlag0);
    EXPECT_TRUE(r.layer->m_vectorMaskFlag1);
    EXPECT_TRUE(r.layer->m_vectorMaskFlagAny);
    r = WithBlocks(Block("vsms", Bytes().U32(2).U32(0)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Error(), "Unknown vector mask version");
}

TEST(LayerBlocks, FramingRules) {
    // A block area shorter than 8 bytes is ignored.
    Record rec;
    rec.blocks = Bytes().Str("8BIMlun");
    ReadResult r = ReadRecord(rec.Build());
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_TRUE(r.layer->m_blocks.empty());
    EXPECT_EQ(r.end, r.size);

    // Layer blocks advance by exactly their length (no rounding), and "8B64" is accepted.
    r = WithBlocks(
        Block("zzzz", Bytes().Str("abcde"), false, 0, "8B64").Append(Block("iOpa", Bytes().U8(9))));
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_fillOpacity, 9);

    // Bad signature: error 10 with detail number 6.
    r = WithBlocks(Block("iOpa", Bytes().U8(9).Zeros(3), false, 0, "MIB8"));
    EXPECT_EQ(r.Error(), "Unknown signature : MIB8 [6]");

    // A body shorter than what its reader needs is truncation inside the body.
    r = WithBlocks(Block("lspf", Bytes().U16(1)));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kTruncated);

    // A body longer than the rest of the extra data: the lengths disagree.
    Bytes over = Block("iOpa", Bytes().U8(9).Zeros(3));
    over[11] = 40;
    r = WithBlocks(over);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.Code(), PSDError::kMisaligned);

    // In PSB, "LMsk" has an 8-byte length and "luni" keeps 4.
    Bytes psbBlocks =
        Block("LMsk", Bytes().Zeros(12), true).Append(Block("luni", Bytes().U32(1).U16('Q')));
    r = WithBlocks(psbBlocks, true);
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_name, "Q");
    ASSERT_EQ(r.layer->m_blocks.size(), 2u);
    EXPECT_EQ(r.layer->m_blocks[0].length, 12u);
    // The same bytes in a version-1 record misread the length and fail.
    r = WithBlocks(psbBlocks, false);
    EXPECT_FALSE(r.ok);
}

TEST(LayerBlocks, BlocksOfLaterReadersAreRecordedAndPassedOver) {
    Bytes blocks;
    for (char const* key : {"lrFX", "lfx2", "TySh", "PlLd", "levl", "hue ", "SoCo", "CgEd", "vstk",
                            "vogk", "lyid", "Txt2", "fxrp"})
        blocks.Append(Block(key, Bytes().Str("junk data!!!")));
    ReadResult r = WithBlocks(blocks);
    ASSERT_TRUE(r.ok) << r.Error();
    EXPECT_EQ(r.layer->m_blocks.size(), 13u);
    EXPECT_EQ(r.end, r.size);
    EXPECT_FALSE(r.layer->m_adjustment);
    auto const* b = r.layer->FindBlock(Key("SoCo"));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->length, 12u);
}

TEST(LayerRecord, CutAtEveryOffsetFails) {
    Record rec;
    rec.mask = Bytes().U32(36).U32(0).U32(0).U32(5).U32(5).U8(0).U8(0x01);
    rec.mask.U8(0x04).U8(255).U32(1).U32(2).U32(6).U32(7);
    rec.blocks = Block("luni", Bytes().U32(2).U16('a').U16('b'))
                     .Append(Block("lsct", Bytes().U32(1).Str("8BIM").Str("pass").U32(0)))
                     .Append(Block("brst", Bytes().U32(1)));
    for (bool psb : {false, true}) {
        Bytes full = rec.Build(psb);
        ASSERT_TRUE(ReadRecord(full, false, psb).ok);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            ReadResult r = ReadRecord(Slice(full, 0, cut), false, psb);
            EXPECT_FALSE(r.ok) << cut;
            EXPECT_TRUE(r.pd.m_report.m_error) << cut;
        }
    }
}

// The layer and mask section: framing, counts, channel-data positions, document blocks, and
// damaged sections (cut at every offset).
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "support/CorpusRoot.h"
#include "support/OneByteStream.h"
#include "tests/psd/layer/LayerBytes.h"
#include "tests/support/Cuts.h"

using namespace PSD;
using namespace layertest;

namespace {

struct SectionSetup {
    uint32_t mode = 3;
    uint16_t depth = 8;
    bool psb = false;
    std::vector<uint16_t> groupIds;
};

struct Parsed {
    Kernel::Counted<PSDFile> doc{new PSDFile};
    ParseData pd;
    Kernel::Counted<Kernel::MemoryInStream> stream;
    bool ok = false;
    uint64_t end = 0;  // stream position after the call

    std::string Error() const {
        return pd.m_report.m_error ? std::string(pd.m_report.m_error->Report()) : "";
    }
    PSDError::Code Code() const {
        return pd.m_report.m_error ? pd.m_report.m_error->GetCode() : PSDError::Code(999);
    }
};

// Runs the section reader over the bytes of a whole section, its length field first.
Parsed ParseRaw(Bytes const& all, SectionSetup const& s = {}) {
    Parsed p;
    p.stream = Kernel::MemoryInStream::Create(all);
    p.pd.m_isPSB = s.psb;
    p.pd.m_colourMode = s.mode;
    p.pd.m_colourChannels = uint16_t(ColourChannelCount(s.mode, false));
    p.pd.m_layerGroupIds = s.groupIds;
    p.doc->m_colourMode = s.mode;
    p.doc->m_depth = s.depth;
    p.doc->m_isPSB = s.psb;
    p.doc->AttachSourceStream(p.stream);
    p.ok = p.doc->ParseLayersAndMasks(Kernel::NonCounted<Kernel::InStreamSeekable>(p.stream.Get()),
                                      p.pd);
    p.end = p.stream->GetPosition();
    return p;
}

Parsed ParseSection(Bytes const& body, SectionSetup const& s = {}) {
    return ParseRaw(Length(body.size(), s.psb).Append(body), s);
}

Record Named(std::string const& name) {
    Record r;
    r.name = PascalName(name);
    return r;
}

}  // namespace

TEST(LayerSection, EmptyAndZeroLengths) {
    Parsed p = ParseSection({});
    EXPECT_TRUE(p.ok) << p.Error();
    EXPECT_TRUE(p.doc->m_layers.empty());
    EXPECT_EQ(p.end, 4u);

    // Layer info of length 0, nothing after it.
    p = ParseSection(Bytes().U32(0));
    EXPECT_TRUE(p.ok) << p.Error();
    EXPECT_TRUE(p.doc->m_layers.empty());

    // Fewer than 8 bytes of document blocks are ignored; the section end is honoured.
    p = ParseSection(Section(Bytes().U32(0), Bytes().Str("8BIMlu")));
    EXPECT_TRUE(p.ok) << p.Error();
    EXPECT_TRUE(p.doc->m_documentBlocks.empty());
    EXPECT_EQ(p.end, p.stream->GetSize());
}

TEST(LayerSection, RecordsAndChannelDataPositions) {
    Record bottom = Named("Bottom");
    Record top = Named("Top");
    top.channels = {{-1, 5}, {0, 3}, {1, 4}, {2, 2}, {-2, 6}};
    top.mask = Bytes().U32(20).U32(1).U32(1).U32(2).U32(2).U8(0).U8(0).U16(0);
    Bytes info = LayerInfo(2, {bottom, top});
    Parsed p = ParseSection(Section(info));
    ASSERT_TRUE(p.ok) << p.Error();
    ASSERT_EQ(p.doc->m_layers.size(), 2u);
    EXPECT_EQ(p.doc->m_layers[0]->m_name, "Bottom");
    EXPECT_EQ(p.doc->m_layers[1]->m_name, "Top");
    EXPECT_EQ(p.doc->m_mergedTransparency, 0u);
    EXPECT_EQ(p.end, p.stream->GetSize());

    // Each layer's data starts with its first channel's compression field; the fill byte tells
    // whose data a position lands in.
    auto const& l0 = *p.doc->m_layers[0];
    auto const& l1 = *p.doc->m_layers[1];
    EXPECT_EQ(l0.m_stream.Get(), p.stream.Get());
    EXPECT_EQ(l1.m_dataPosition, l0.m_dataPosition + 8);
    EXPECT_EQ(l0.m_bitDepth, 8);
    EXPECT_EQ(l0.m_colourMode, 3u);
    uint8_t buf[3] = {};
    ASSERT_EQ(p.stream->ReadAt(l0.m_dataPosition, buf, 2), 2u);
    EXPECT_EQ(buf[0] | buf[1], 0);
    size_t index;
    uint64_t pos;
    ASSERT_TRUE(l1.FindChannel(1, index, pos));
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(pos, l1.m_dataPosition + 8);
    ASSERT_EQ(p.stream->ReadAt(pos, buf, 3), 3u);
    EXPECT_EQ(buf[2], 0xA1);
    ASSERT_TRUE(l1.FindChannel(-2, index, pos));
    EXPECT_EQ(pos, l1.m_dataPosition + 14);
    EXPECT_FALSE(l1.FindChannel(-3, index, pos));
}

// A negative count means the first alpha channel is the merged transparency, as do the "Mt16",
// "Mt32", "MTrn" and "Mtrn" document blocks; group identifiers follow record order.
TEST(LayerSection, MergedTransparencyAndGroupIdentifiers) {
    SectionSetup s;
    s.groupIds = {7, 9};
    Parsed p = ParseSection(Section(LayerInfo(-3, {Named("a"), Named("b"), Named("c")})), s);
    ASSERT_TRUE(p.ok) << p.Error();
    ASSERT_EQ(p.doc->m_layers.size(), 3u);
    EXPECT_EQ(p.doc->m_mergedTransparency, 1u);
    EXPECT_EQ(p.doc->m_layers[0]->m_groupId, 7);
    EXPECT_EQ(p.doc->m_layers[1]->m_groupId, 9);
    EXPECT_EQ(p.doc->m_layers[2]->m_groupId, 0);
    for (char const* key : {"Mt16", "Mt32", "MTrn", "Mtrn"}) {
        p = ParseSection(Section(Bytes().U32(0), Block(key, {})));
        ASSERT_TRUE(p.ok) << key << p.Error();
        EXPECT_EQ(p.doc->m_mergedTransparency, 1u) << key;
    }
}

TEST(LayerSection, LayersFromDeepBlocksWithWideLengthsInPSB) {
    // 16-bit: empty layer info, the records in "Lr16"; in PSB "Lr16" has an 8-byte length while
    // "Patt" and "lnkD" keep 4 bytes, and "FMsk"/"lnk2" take 8.
    for (bool psb : {false, true}) {
        SectionSetup s;
        s.depth = 16;
        s.psb = psb;
        Bytes info = LayerInfo(2, {Named("one"), Named("two")}, psb);
        Bytes lr16 = Slice(info, psb ? 8 : 4, info.size());  // the content without its length
        Bytes blocks;
        blocks.Append(Block("Patt", {}))
            .Append(Block("FMsk", Bytes().U16(0).Zeros(10), psb))
            .Append(Block("lnkD", Bytes().Str("abcd")))
            .Append(Block("lnk2", Bytes().Str("abcdefgh"), psb))
            .Append(Block("Mt16", {}, psb))
            .Append(Block("Lr16", lr16, psb));
        Parsed p = ParseSection(Section(Length(0, psb), blocks), s);
        ASSERT_TRUE(p.ok) << psb << p.Error();
        ASSERT_EQ(p.doc->m_layers.size(), 2u);
        EXPECT_EQ(p.doc->m_layers[1]->m_name, "two");
        EXPECT_EQ(p.doc->m_mergedTransparency, 1u);
        ASSERT_EQ(p.doc->m_documentBlocks.size(), 6u);
        EXPECT_EQ(p.doc->m_documentBlocks[5].key, Key("Lr16"));
        EXPECT_EQ(p.doc->m_documentBlocks[5].length, lr16.size());
        EXPECT_EQ(p.doc->m_layers[0]->m_bitDepth, 16);
        EXPECT_EQ(p.doc->m_layers[0]->m_isPSB, psb);
        // The channel data of the first layer follows the records inside the block.
        uint64_t recordsEnd = p.doc->m_documentBlocks[5].position + 2 +
                              Named("one").Build(psb).size() + Named("two").Build(psb).size();
        EXPECT_EQ(p.doc->m_layers[0]->m_dataPosition, recordsEnd);
    }
}

TEST(LayerSection, DocumentBlocksAdvanceByPaddedLength) {
    // A 5-byte body is followed by 3 padding bytes; the next block starts 8 bytes after the data.
    Bytes blocks =
        Block("abcd", Bytes().Str("12345"), false, 3).Append(Block("Patt", Bytes().U32(0)));
    Parsed p = ParseSection(Section(Bytes().U32(0), blocks));
    ASSERT_TRUE(p.ok) << p.Error();
    ASSERT_EQ(p.doc->m_documentBlocks.size(), 2u);
    EXPECT_EQ(p.doc->m_documentBlocks[0].key, Key("abcd"));
    EXPECT_EQ(p.doc->m_documentBlocks[0].length, 5u);
    EXPECT_EQ(p.doc->m_documentBlocks[1].key, Key("Patt"));
    EXPECT_EQ(p.doc->m_documentBlocks[1].position, p.doc->m_documentBlocks[0].position + 8 + 12);
    // The recorded position re-reads the body.
    char body[5];
    ASSERT_EQ(p.stream->ReadAt(p.doc->m_documentBlocks[0].position, body, 5), 5u);
    EXPECT_EQ(std::string(body, 5), "12345");
}

TEST(LayerSection, Refusals) {
    Bytes cut = Section(Bytes().U32(0), Block("Patt", Bytes().Zeros(8)));
    cut.resize(cut.size() - 4);
    Record bad = Named("x");
    bad.key = "BoEF";
    Bytes badInfo = LayerInfo(1, {bad}), info = LayerInfo(1, {Named("x")});
    Record grey = Named("x");
    grey.channels = {{0, 2}};
    auto section = [](Bytes const& body) { return Length(body.size(), false).Append(body); };
    struct Case {
        char const* what;
        Bytes all;
        uint32_t mode;
        std::string error;  // the text, or "#" and the code
    } const cases[] = {
        {"document block signature",
         section(Section(Bytes().U32(0), Block("Patt", {}, false, 0, "8BIX"))), 3,
         "Unknown signature : 8BIX [5]"},
        {"document block past the file", Bytes().U32(uint32_t(cut.size() + 4)).Append(cut), 3,
         "#" + std::to_string(PSDError::kTruncated)},
        {"failing record inside \"Layr\"",
         section(Section(Bytes().U32(0), Block("Layr", Slice(badInfo, 4, badInfo.size())))), 3,
         "Unknown blend mode : BoEF [1]"},
        {"layer info length shorter than its record",
         section(Section(Bytes().U32(20).Append(Slice(info, 4, info.size())))), 3,
         "#" + std::to_string(PSDError::kMisaligned)},
        {"records past the section: the final seek goes back",
         Bytes().U32(10).Append(Section(info, {}, false)), 3,
         "#" + std::to_string(PSDError::kMisaligned)},
        {"layers in a bitmap document", section(Section(LayerInfo(1, {grey}))), 0,
         "Failed to parse the file"},
        {"layers in a multichannel document", section(Section(LayerInfo(1, {grey}))), 7,
         "Failed to parse the file"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        SectionSetup s;
        s.mode = c.mode;
        s.depth = c.mode == 0 ? 1 : 8;
        Parsed p = ParseRaw(c.all, s);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(c.error[0] == '#' ? "#" + std::to_string(p.Code()) : p.Error(), c.error);
    }
    // "8B64" is a valid signature; bitmap and multichannel documents are fine without layers.
    EXPECT_TRUE(ParseSection(Section(Bytes().U32(0), Block("Patt", {}, false, 0, "8B64"))).ok);
    for (uint32_t mode : {0u, 7u}) {
        SectionSetup s;
        s.mode = mode;
        Parsed p = ParseSection(Section(Bytes().U32(0)), s);
        EXPECT_TRUE(p.ok) << mode << p.Error();
    }
}

namespace {

Bytes RichSection(bool psb) {
    Record a = Named("Background");
    a.channels = {{0, 4}, {1, 4}, {2, 4}};
    a.blocks =
        Block("luni", Bytes().U32(2).U16('B').U16('g')).Append(Block("lspf", Bytes().U32(5)));
    Record b = Named("Masked");
    b.channels = {{-1, 3}, {0, 3}, {1, 3}, {2, 3}, {-2, 4}, {-3, 4}};
    b.mask = Bytes().U32(36).U32(0).U32(0).U32(2).U32(2).U8(255).U8(0x04);
    b.mask.U8(0x04).U8(0).U32(1).U32(1).U32(2).U32(2);
    b.ranges = DefaultRanges(4);
    b.blocks = Block("lsct", Bytes().U32(1).Str("8BIM").Str("mul ").U32(1))
                   .Append(Block("iOpa", Bytes().U8(128).Zeros(3)))
                   .Append(Block("LMsk", Bytes().Zeros(4), psb))
                   .Append(Block("brst", Bytes().U32(1)));
    Bytes blocks = Block("Patt", {}).Append(Block("FMsk", Bytes().Zeros(12), psb));
    return Section(LayerInfo(2, {a, b}, psb), blocks);
}

}  // namespace

TEST(LayerSection, CutAtEveryOffsetFails) {
    // Whole documents cut anywhere: always an error (a bad signature inside the header, a short
    // read up to the layer section), never a crash, and the same through a stream that hands out
    // one byte at a time (which reads the whole one).
    for (uint16_t version : {1, 2}) {
        testsupport::Header h;
        h.version = version;
        Bytes full =
            testsupport::Document(h, std::vector<uint8_t>(10, 1), {}, RichSection(version == 2));
        size_t sectionStart = 26 + 4 + 10 + 4;
        {
            Kernel::Counted<Kernel::InStreamSeekable> s(Kernel::MemoryInStream::Create(full));
            PSDReport report;
            ASSERT_TRUE(PSDFile::Create(s, CreateOptions{}, report)) << version;
            testsupport::OneByteInStream one(full);
            auto doc = PSDFile::Create(one, CreateOptions{}, report);
            ASSERT_TRUE(doc) << version;
            ASSERT_EQ(doc->m_layers.size(), 2u);
            EXPECT_TRUE(doc->m_layers[0]->m_background);
            EXPECT_EQ(doc->m_layers[1]->m_name, "Masked");
            EXPECT_TRUE(doc->m_layers[1]->m_stream);
            ASSERT_EQ(doc->m_layers[1]->m_blocks.size(), 4u);
            EXPECT_EQ(doc->m_layers[1]->m_blocks[2].key, Key("LMsk"));
            EXPECT_EQ(doc->m_documentBlocks.size(), 2u);
        }
        for (size_t cut = 0; cut < full.size(); ++cut) {
            std::vector<uint8_t> part(full.begin(), full.begin() + cut);
            Kernel::Counted<Kernel::InStreamSeekable> s(Kernel::MemoryInStream::Create(part));
            PSDReport report;
            EXPECT_FALSE(PSDFile::Create(s, CreateOptions{}, report)) << version << " cut " << cut;
            ASSERT_TRUE(report.m_error) << version << " cut " << cut;
            auto code = report.m_error->GetCode();
            bool truncated = code == PSDError::kTruncated;
            EXPECT_TRUE(cut < 26             ? code == PSDError::kBadSignature
                        : cut < sectionStart ? truncated
                                             : truncated || code == PSDError::kMisaligned)
                << version << " cut " << cut << ": " << report.m_error->Report();
            if (cut % 7 == 0) {
                testsupport::OneByteInStream one(part);
                PSDReport r2;
                EXPECT_FALSE(PSDFile::Create(one, CreateOptions{}, r2)) << cut;
                EXPECT_TRUE(r2.m_error) << cut;
            }
        }
    }
}

TEST(LayerSection, CorruptedBytesGiveADocumentOrAnError) {
    // Every byte of the section damaged: the reader must either accept the document or report an
    // error, and never read out of bounds (run under ASan).
    for (uint16_t version : {1, 2}) {
        testsupport::Header h;
        h.version = version;
        Bytes full = testsupport::Document(h, {}, {}, RichSection(version == 2));
        testsupport::ExpectDamageAcceptedOrRefused(full, [](std::vector<uint8_t> const& bad, size_t) {
            Kernel::Counted<Kernel::InStreamSeekable> s(Kernel::MemoryInStream::Create(bad));
            PSDReport report;
            bool ok = bool(PSDFile::Create(s, CreateOptions{}, report));
            EXPECT_TRUE(ok || report.m_error);
            return ok;
        }, 26 + 4 + 4);
    }
}

// Saving a document that was read keeps what the model does not own: resources, document blocks
// and layer blocks of any key come back with their bodies and in their order, in PSD and PSB; the
// blocks the model writes change only when the model was edited.
#include <gtest/gtest.h>

#include "psd/file/PSDStoredCompare.h"
#include "tests/psd/file/SaveTestSupport.h"
#include "tests/psd/layer/LayerBytes.h"

namespace {

using namespace savetest;
using layertest::Block;
using layertest::Record;
using testsupport::Header;

using TBytes = testsupport::Bytes;

TBytes Resource(uint16_t id, std::string const& name, TBytes const& data) {
    TBytes b;
    b.Str("8BIM").U16(id).U8(uint8_t(name.size())).Str(name);
    if (name.size() % 2 == 0) b.U8(0);
    b.U32(uint32_t(data.size())).Append(data);
    if (data.size() % 2) b.U8(0);
    return b;
}

// An RLE block of a 3 x 2 px channel beyond the colour channels; its row counts are 2 bytes wide
// in a PSD and 4 in a PSB.
TBytes ExtraChannel(bool psb) {
    TBytes b;
    b.U16(1);
    for (int row = 0; row < 2; ++row) psb ? b.U32(4) : b.U16(4);
    return b.U8(2).U8(1).U8(2).U8(3).U8(2).U8(4).U8(5).U8(6);
}

// A small document holding blocks of keys the model does not read, odd lengths, an old-style
// 4-byte section divider, a layer without an identifier and a global layer mask info of its own.
TBytes Sample(bool psb) {
    Header h;
    h.version = psb ? 2 : 1;
    TBytes res;
    res.Append(Resource(1005, "", TBytes().U32(0x00480000).U16(2).U16(2).U32(0x00480000).U16(2).U16(2)))
        .Append(Resource(4000, "ab", TBytes().U8(1).U8(2).U8(3)))
        .Append(Resource(1060, "", TBytes().Str("<x:xmpmeta/>")))
        .Append(Resource(1036, "", TBytes().Zeros(28).Str("JPEG")))
        .Append(Resource(1057, "", TBytes().U32(1).U8(1).U32(2).U16('W').U16('r').U32(1).U16('R').U32(1)));
    Record a;
    a.channels = {{-1, 8}, {0, 8}, {1, 8}, {2, 8}, {3, ExtraChannel(psb).size()}};  // raw, 3 x 2 px
    a.lastData = {ExtraChannel(psb)};
    a.blocks.Append(Block("luni", TBytes().U32(1).U16('a').U16(0)))
        .Append(Block("lyid", TBytes().U32(7)))
        .Append(Block("zzzz", TBytes().U8(9).U8(8).U8(7).U8(6).U8(5)))
        .Append(Block("FXid", TBytes().U32(42), psb))
        .Append(Block("shmd", TBytes().U32(0)));
    Record b = a;
    b.blocks.clear();
    b.blocks.Append(Block("lsct", TBytes().U32(1))).Append(Block("cinf", TBytes().U16(3)));
    TBytes layers = layertest::LayerInfo(2, {a, b}, psb);
    layers.U32(8).Str("GMSK").U32(0x01020304);
    layers.Append(Block("Txt2", TBytes().Str("text!"), false, 3))
        .Append(Block("lnk2", TBytes().Str("linked"), psb, 2))
        .Append(Block("abcd", TBytes().U32(5)));
    TBytes image;
    image.U16(0).Zeros(3 * 4 * 5);
    return testsupport::Document(h, {}, res, layers, image);
}

Kernel::Counted<PSD::PSDFile> Open(Bytes const& bytes) {
    PSD::PSDReport r;
    auto doc = Reopen(bytes, r);
    EXPECT_TRUE(doc) << ErrorText(r);
    return doc;
}

Saved Save(PSD::PSDFile const& doc, bool psb) {
    Kernel::Counted<Raster::DynamicBitmap> flat;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    PSD::PSDReport r;
    EXPECT_TRUE(doc.GetBitmap(flat, masks, r)) << ErrorText(r);
    return SaveToMemory(doc, psb, false, nullptr, nullptr, true);
}

template <class T>
std::vector<std::string> Keys(std::vector<T> const& blocks) {
    std::vector<std::string> out;
    for (auto const& b : blocks) out.push_back(std::string(PSD::KeyToString(b.key)));
    return out;
}

std::vector<uint16_t> ResourceIds(PSD::PSDFile const& doc) {
    std::vector<uint16_t> ids;
    for (auto const& r : doc.m_resources) ids.push_back(r.id);
    return ids;
}

template <class T>
std::vector<T> Prefix(std::vector<T> v, size_t n) {
    v.resize(std::min(n, v.size()));
    return v;
}

PSD::PSDImageResource const* FindResource(PSD::PSDFile const& doc, uint16_t id) {
    for (auto const& r : doc.m_resources)
        if (r.id == id) return &r;
    return nullptr;
}

TEST(KeptBlocks, UneditedSavesKeepEveryBodyInOrder) {
    for (bool fromPSB : {false, true}) {
        for (bool toPSB : {false, true}) {
            SCOPED_TRACE(std::string(fromPSB ? "PSB" : "PSD") + " to " + (toPSB ? "PSB" : "PSD"));
            auto original = Open(Sample(fromPSB));
            ASSERT_TRUE(original);
            Saved first = Save(*original, toPSB);
            ASSERT_TRUE(first.ok);
            auto copy = Open(first.bytes);
            ASSERT_TRUE(copy);
            EXPECT_EQ(PSD::CompareStoredData(*original, *copy), std::vector<std::string>{});
            // Stored blocks keep their order; what the model adds comes after them.
            EXPECT_EQ(Prefix(ResourceIds(*copy), original->m_resources.size()), ResourceIds(*original));
            EXPECT_EQ(Keys(copy->m_documentBlocks), Keys(original->m_documentBlocks));
            for (size_t i = 0; i < 2; ++i)
                EXPECT_EQ(Prefix(Keys(copy->m_layers[i]->m_blocks), original->m_layers[i]->m_blocks.size()),
                          Keys(original->m_layers[i]->m_blocks));
            // The record keeps its own name bytes beside the Unicode name.
            EXPECT_EQ(copy->m_layers[0]->m_pascalName, "Layer");
            // The layer read without an identifier was given the next free one.
            EXPECT_EQ(copy->m_layers[0]->m_layerId, 7u);
            EXPECT_EQ(copy->m_layers[1]->m_layerId, 8u);
            // Lengths are 8 bytes wide in a PSB for the keys that take them, bodies unchanged.
            auto lnk2 = FindKey(first.bytes, "lnk2");
            ASSERT_EQ(lnk2.size(), 1u);
            size_t body = lnk2[0] + 4 + (toPSB ? 8 : 4);
            EXPECT_EQ(BE32(&first.bytes[body - 4]), 6u);
            EXPECT_EQ(toPSB ? BE32(&first.bytes[body - 8]) : 0u, 0u);
            EXPECT_EQ(std::string(first.bytes.begin() + ptrdiff_t(body),
                                  first.bytes.begin() + ptrdiff_t(body) + 6),
                      "linked");
            // The extra channel is copied, its row counts resized to the version.
            PSD::PSDLayer const& layer = *copy->m_layers[0];
            size_t index;
            uint64_t position;
            ASSERT_TRUE(layer.FindChannel(3, index, position));
            TBytes extra;
            extra.resize(ExtraChannel(toPSB).size());
            EXPECT_EQ(layer.m_channels[index].m_length, extra.size());
            layer.m_stream->ReadAt(position, extra.data(), extra.size());
            EXPECT_EQ(extra, ExtraChannel(toPSB));
            // Saving what was read back gives the same bytes again.
            Saved second = Save(*copy, toPSB);
            EXPECT_EQ(second.bytes, first.bytes);
        }
    }
}

TEST(KeptBlocks, EditsRewriteWhatTheyTouch) {
    struct Case {
        char const* what;
        void (*edit)(PSD::PSDFile&);
        bool compositeStale;
        std::vector<std::string> differences;
    };
    Case const cases[] = {
        {"nothing", [](PSD::PSDFile&) {}, false, {}},
        {"resolution",
         [](PSD::PSDFile& d) { d.m_unitConverter = Kernel::MakeCounted<Kernel::UnitValueConverter>(150.0, -1.0); },
         false,
         {"resource 1005 differs (16 bytes before, 16 after)"}},
        {"layer name",
         [](PSD::PSDFile& d) { d.m_layers[0]->m_name = "renamed"; },
         true,
         {"resource 1036 is missing", "resource 1057 differs (23 bytes before, 23 after)",
          "layer 0 \"a\": block \"luni\" differs (8 bytes before, 20 after)"}},
        {"layer hidden", [](PSD::PSDFile& d) { d.m_layers[1]->m_visible = false; }, true,
         {"resource 1036 is missing", "resource 1057 differs (23 bytes before, 23 after)"}},
        {"layer moved",
         [](PSD::PSDFile& d) { d.m_layers[0]->m_left += 1, d.m_layers[0]->m_right += 1; },
         true,
         {"resource 1036 is missing", "resource 1057 differs (23 bytes before, 23 after)",
          "layer 0 \"a\": channel 3 is missing"}},
        {"new composite",
         [](PSD::PSDFile& d) {
             d.SetFlattenedBitmap(Raster::DynamicBitmap::Create(5, 4, Raster::Format::RGBA8));
         },
         false,
         {"resource 1036 differs (32 bytes before, "}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        auto original = Open(Sample(false));
        auto edited = Open(Sample(false));
        ASSERT_TRUE(original && edited);
        Saved unused = Save(*edited, false);  // decodes the composite
        c.edit(*edited);
        EXPECT_EQ(edited->IsCompositeStale(), c.compositeStale);
        Saved s = Save(*edited, false);
        ASSERT_TRUE(s.ok);
        auto copy = Open(s.bytes);
        ASSERT_TRUE(copy);
        auto got = PSD::CompareStoredData(*original, *copy);
        // Rows ending in a space name a prefix: the rest depends on the encoder's output.
        ASSERT_EQ(got.size(), c.differences.size()) << ::testing::PrintToString(got);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].substr(0, c.differences[i].size()), c.differences[i]);
        EXPECT_EQ(copy->m_hasRealMergedData, !c.compositeStale);
        EXPECT_EQ(copy->m_layers[0]->m_pascalName, c.edit == cases[2].edit ? "renamed" : "Layer");
        // Blocks nobody owns survive every edit.
        EXPECT_NE(FindResource(*copy, 4000), nullptr);
        EXPECT_EQ(Keys(copy->m_documentBlocks), Keys(original->m_documentBlocks));
    }
    // A layer hidden in the file and shown again is written visible: the stored flag gives way.
    auto doc = Open(Sample(false));
    ASSERT_TRUE(doc);
    doc->m_layers[1]->m_visible = false;
    auto hidden = Open(Save(*doc, false).bytes);
    ASSERT_TRUE(hidden && !hidden->m_layers[1]->m_visible);
    hidden->m_layers[1]->m_visible = true;
    auto shown = Open(Save(*hidden, false).bytes);
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->m_layers[1]->m_visible);
    // A group made a plain layer loses its stored divider block, which the model no longer writes.
    auto plain = Open(Sample(false));
    ASSERT_TRUE(plain && plain->m_layers[1]->m_sectionType != PSD::PSDLayer::kNormal);
    plain->m_layers[1]->m_sectionType = PSD::PSDLayer::kNormal;
    auto back = Open(Save(*plain, false).bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->m_layers[1]->m_sectionType, PSD::PSDLayer::kNormal);
}

}  // namespace

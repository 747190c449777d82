// Placed-layer bodies: which are read, which are ignored, and what they give.
#include <gtest/gtest.h>

#include <cstring>

#include "psd/layer/PSDSmartObject.h"
#include "tests/support/MinimalDocument.h"

namespace {

using testsupport::Bytes;
using namespace PSD;

Bytes Corners(double first) {
    Bytes b;
    for (int i = 0; i < 8; ++i) {
        double v = first + i;
        uint64_t u;
        std::memcpy(&u, &v, 8);
        b.U64(u);
    }
    return b;
}

// Version 3: identifier, page, pages, anti-alias, placed layer type, transform.
Bytes Version3(char const* type, uint32_t version, uint32_t placedType) {
    return Bytes().Str(type).U32(version).U8(4).Str("abcd").U32(2).U32(3).U32(16).U32(placedType).Append(Corners(10));
}

// Version 4 (and the newer blocks): a descriptor with the identifier and, optionally, the transform.
Bytes Version4(char const* type, std::string const& id, bool transform) {
    Descriptor d(DescriptorKey(Key("null")));
    d.AddItem(DescriptorKey(Key("Idnt")), Kernel::MakeCounted<DescriptorItemString>(String(id)));
    if (transform) {
        auto list = Kernel::MakeCounted<DescriptorItemList>();
        for (int i = 0; i < 8; ++i) list->m_items.push_back(Kernel::MakeCounted<DescriptorItemDouble>(20.0 + i));
        d.AddItem(DescriptorKey(Key("Trnf")), list);
    }
    auto out = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_TRUE(d.Save(*out, ByteOrderFixer{}));
    return Bytes().Str(type).U32(4).Append(out->GetData());
}

Bytes Cut(Bytes b, size_t n) {
    b.resize(b.size() - n);
    return b;
}

TEST(SmartObject, PlacedLayerBodies) {
    std::string id37(37, 'x');
    struct Case {
        char const* what;
        Bytes body;
        bool read;
        std::string id;
        double firstCorner;
    } const cases[] = {
        {"version 3", Version3("plcL", 3, 2), true, "abcd", 10},
        {"version 3 of the other type", Version3("soLD", 3, 2), true, "abcd", 10},
        {"placed layer type 1", Version3("plcL", 3, 1), false, "", 0},
        {"version 5", Version3("plcL", 5, 2), false, "", 0},
        {"unknown type", Version3("xxxx", 3, 2), false, "", 0},
        {"truncated", Cut(Version3("plcL", 3, 2), 8), false, "", 0},
        {"version 4", Version4("soLD", "uid", true), true, "uid", 20},
        {"version 4, 37 characters", Version4("soLD", id37, true), true, std::string(36, 'x'), 20},
        {"version 4 without transform", Version4("soLD", "uid", false), false, "", 0},
    };
    for (auto const& c : cases) {
        auto stream = Kernel::MemoryInStream::Create(c.body.data(), c.body.size());
        ParseData pd;
        PSDSmartObject o;
        EXPECT_EQ(o.Parse(*stream, pd), c.read) << c.what;
        if (!c.read) continue;
        EXPECT_EQ(std::string(o.m_uniqueId), c.id) << c.what;
        EXPECT_EQ(o.m_transform[0], c.firstCorner) << c.what;
        EXPECT_EQ(o.m_transform[7], c.firstCorner + 7) << c.what;
    }
}

// The newer block alone gives identifier and transform; after a "PlLd" it keeps the older ones.
TEST(SmartObject, LayerDataBlockFillsIn) {
    auto soLd = Version4("soLD", "newer", true);
    auto plLd = Version3("plcL", 3, 2);
    for (bool placedFirst : {false, true}) {
        ParseData pd;
        PSDSmartObject o;
        if (placedFirst) {
            auto s = Kernel::MemoryInStream::Create(plLd.data(), plLd.size());
            ASSERT_TRUE(o.Parse(*s, pd));
        }
        auto s = Kernel::MemoryInStream::Create(soLd.data(), soLd.size());
        ASSERT_TRUE(o.ParseLayerData(Key("SoLd"), *s, pd));
        EXPECT_EQ(std::string(o.m_uniqueId), placedFirst ? "abcd" : "newer");
        EXPECT_EQ(o.m_transform[0], placedFirst ? 10 : 20);
        EXPECT_EQ(std::string(o.m_layerDataId), "newer");
    }
}

}  // namespace

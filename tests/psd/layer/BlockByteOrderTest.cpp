// Stored blocks turned into the other byte order: each case writes its body once big-endian and
// once little-endian, and the conversion of the one must give the other, both ways; layouts the
// converter cannot account for field by field are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "psd/io/PSDIO.h"
#include "psd/layer/PSDBlockByteOrder.h"

namespace {

// A four-character code from a string.
uint32_t Code4(char const* c) {
    return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 | uint8_t(c[3]);
}

// Writes numbers in one byte order; names and byte blocks as they are.
struct Writer {
    explicit Writer(bool bigEndian) : big(bigEndian) {}
    bool big;
    std::vector<uint8_t> out;
    Writer& N(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * (big ? bytes - 1 - i : i))));
        return *this;
    }
    Writer& U16(uint16_t v) { return N(v, 2); }
    Writer& U32(uint32_t v) { return N(v, 4); }
    Writer& U64(uint64_t v) { return N(v, 8); }
    Writer& F64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        return N(v, 8);
    }
    Writer& Raw(std::string const& s) {
        out.insert(out.end(), s.begin(), s.end());
        return *this;
    }
    Writer& Code(char const* c) { return U32(Code4(c)); }
    Writer& Name(std::string const& s) { return U32(uint32_t(s.size())).Raw(s); }
    Writer& Text(std::u16string const& s) {
        U32(uint32_t(s.size()));
        for (char16_t c : s) U16(c);
        return *this;
    }
    // A descriptor's version, name, class and item count.
    Writer& Desc(uint32_t items) { return U32(16).Text(u"").U32(0).Code("null").U32(items); }
};

using Body = std::function<void(Writer&)>;

// Every item kind a descriptor may hold, nested.
void RichDescriptor(Writer& w) {
    w.Desc(9);
    w.U32(0).Code("Nm  ").Code("TEXT").Text(u"Layer 1");
    w.U32(0).Code("Opct").Code("UntF").Code("#Prc").F64(75.5);
    w.Name("meshPoints").Code("ObAr").U32(5).Text(u"").Name("rationalPoint").U32(1);
    w.U32(0).Code("Hrzn").Code("UnFl").Code("#Pxl").U32(2).F64(1.5).F64(-2);
    w.U32(0).Code("Trnf").Code("VlLs").U32(2).Code("doub").F64(3).Code("long").U32(7);
    w.U32(0).Code("Md  ").Code("enum").U32(0).Code("BlnM").U32(0).Code("Nrml");
    w.U32(0).Code("Objc").Code("Objc").Text(u"").U32(0).Code("Pnt ").U32(1);
    w.U32(0).Code("Vrtc").Code("bool").Raw(std::string(1, '\1'));
    w.Name("EngineData").Code("tdta").U32(5).Raw("<< >>");
    w.U32(0).Code("null").Code("obj ").U32(2).Code("Enmr").Text(u"").U32(0).Code("Lyr ").U32(0)
        .Code("Ordn").U32(0).Code("Trgt");
    w.Code("rele").Text(u"").U32(0).Code("Lyr ").U32(3);
    w.U32(0).Code("Cls ").Code("type").Text(u"").U32(0).Code("Lyr ");
}

TEST(BlockByteOrder, LayoutsNotAccountedForAreRefusedUnlessEmpty) {
    struct Case {
        char const* what;
        char const* key;
        Body body;
    } const cases[] = {
        {"unknown key, no descriptor", "zzzz", [](Writer& w) { w.U32(7).U32(8); }},
        {"numbers after the descriptor", "cinf", [](Writer& w) { RichDescriptor(w); w.U32(5); }},
        {"unknown item type", "cinf", [](Writer& w) { w.Desc(1).U32(0).Code("Nm  ").Code("Pth ").U32(0); }},
        {"unknown reference form", "cinf",
         [](Writer& w) { w.Desc(1).U32(0).Code("null").Code("obj ").U32(1).Code("name").Text(u""); }},
        {"cut short", "SoLd", [](Writer& w) { w.Code("soLD").U32(4).Desc(2).U32(0).Code("Nm  "); }},
        {"fixed record of another size", "fxrp", [](Writer& w) { w.F64(1); }},
        {"file outside the document", "lnk2",
         [](Writer& w) { w.U64(8).Code("liFE").U32(2); }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Writer big{true};
        c.body(big);
        std::vector<uint8_t> out{1};
        EXPECT_FALSE(PSD::SwapBlockByteOrder(Code4(c.key), big.out, true, out));
        EXPECT_TRUE(out.empty());
    }
    // An empty body has nothing to turn, so its layout need not be known (a TIFF's empty "Pat2").
    std::vector<uint8_t> out{1};
    EXPECT_TRUE(PSD::SwapBlockByteOrder(Code4("Pat2"), {}, false, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace

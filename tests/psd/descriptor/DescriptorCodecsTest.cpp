#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/io/PSDColourRecord.h"
#include "tests/psd/descriptor/DescriptorBytes.h"

using namespace PSD;
using Unit = DescriptorItemUnitFloat::UnitType;
using Colour = Kernel::Consolidated<Renderer::Colour>;
using Item = Kernel::Counted<DescriptorItem>;

namespace {

struct Report : PSDReport {
    Report() { m_warnings = Kernel::MakeCounted<PSDWarnings>(); }
    // "code/number/detail" of the error, or "none".
    std::string Err() const {
        if (!m_error) return "none";
        return std::to_string(m_error->GetCode()) + "/" + std::to_string(m_error->GetNumber()) +
               "/" + std::string(m_error->GetDetail());
    }
    // "code:detail" of every warning, joined by ';'.
    std::string Warns() const {
        std::string out;
        for (auto const& w : m_warnings->GetWarnings()) {
            auto const* l = dynamic_cast<PSDLoadWarning const*>(w.Get());
            out += (out.empty() ? "" : ";") + std::to_string(int(l->m_code)) + ":" +
                   std::string(l->m_detail);
        }
        return out;
    }
};

Item Enum(DescriptorKey type, DescriptorKey value) {
    return Kernel::MakeCounted<DescriptorItemEnum>(std::move(type), std::move(value));
}

Kernel::Counted<DescriptorItemDescriptor> Object(DescriptorKey classID) {
    return Kernel::Counted<DescriptorItemDescriptor>(
        new DescriptorItemDescriptor(Descriptor(std::move(classID))));
}

Kernel::Counted<DescriptorItemDescriptor> ColourObject(
    char const (&classID)[5], std::initializer_list<std::pair<DescriptorKey, double>> items) {
    auto o = Object(Key(classID));
    for (auto const& [k, v] : items) EncodeDouble(o->m_descriptor, k, v);
    return o;
}

Kernel::Counted<DescriptorItemDescriptor> HSB(Unit hueUnit, double h, double s, double b) {
    auto o = Object(Key("HSBC"));
    EncodeUnit(o->m_descriptor, Key("H   "), hueUnit, h);
    EncodeDouble(o->m_descriptor, Key("Strt"), s);
    EncodeDouble(o->m_descriptor, Key("Brgh"), b);
    return o;
}

// The model and exact channels of a decoded colour.
std::string Describe(Colour const& c) {
    char buf[128] = "other";
    if (!c) return "null";
    if (auto const* p = dynamic_cast<Renderer::ColourRGB const*>(c.Get())) {
        auto v = p->GetRGBA8();
        std::snprintf(buf, sizeof buf, "rgb %d %d %d %d", v.r, v.g, v.b, v.a);
    } else if (auto const* p = dynamic_cast<Renderer::ColourCMYK const*>(c.Get())) {
        auto v = p->GetCMYKA8();
        std::snprintf(buf, sizeof buf, "cmyk %d %d %d %d %d", v.c, v.m, v.y, v.k, v.a);
    } else if (auto const* p = dynamic_cast<Renderer::ColourGrayscale const*>(c.Get())) {
        std::snprintf(buf, sizeof buf, "grey %.9g", p->GetGray());
    } else if (auto const* p = dynamic_cast<Renderer::ColourLAB const*>(c.Get())) {
        auto v = p->GetLABA16();
        std::snprintf(buf, sizeof buf, "lab %d %d %d %d", v.l, v.a, v.b, v.alpha);
    } else if (auto const* p = dynamic_cast<Renderer::ColourHSL const*>(c.Get())) {
        auto v = p->GetHSLAF();
        std::snprintf(buf, sizeof buf, "hsl %.9g %.9g %.9g", v.h, v.s, v.l);
    }
    return buf;
}

// A colour object's class and items, "key=value" with "@unit" for unit floats.
std::string ShowObject(DescriptorItemDescriptor const* o) {
    if (!o) return "null";
    std::string out = std::string(o->m_descriptor.m_classID.ToString());
    for (auto const& [key, item] : o->m_descriptor.m_items) {
        char buf[64];
        auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(item.Get());
        auto const* d = dynamic_cast<DescriptorItemDouble const*>(item.Get());
        std::snprintf(buf, sizeof buf, "%.6g", u ? u->m_value : d ? d->m_value : NAN);
        out += " " + std::string(key.ToString()) + "=" + buf +
               (u ? "@" + std::to_string(u->m_unit) : "");
    }
    return out;
}

// A colour of a model the writers do not know.
class OddColour : public Renderer::Colour {
public:
    OddColour() : Colour(1.0f, 1.0f, "") {}
    Renderer::ColourModel GetModel() const override { return Renderer::ColourModel(42); }
    Renderer::RGBAF ToRGBAF() const override { return {0, 0, 0, 1}; }
};

std::vector<uint8_t> Record(Colour const& c, bool* ok = nullptr) {
    auto s = Kernel::MemoryInOutStreamBase::Create();
    bool written = WriteColor(*s, ByteOrderFixer{}, c);
    if (ok) *ok = written;
    return s->GetData();
}

std::vector<uint8_t> Words(std::initializer_list<uint16_t> w) {
    std::vector<uint8_t> out;
    for (uint16_t v : w) out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)});
    return out;
}

}  // namespace

// Guards each encoder's exact bytes, and each decoder's value and type check.
TEST(DescriptorCodecs, ScalarsEncodeAndDecode) {
    Descriptor d(DescriptorKey(Key("null")));
    EXPECT_TRUE(EncodeInteger(d, Key("long"), -9));
    EXPECT_TRUE(EncodeBool(d, Key("bool"), true));
    EXPECT_TRUE(EncodeDouble(d, Key("doub"), 2.5));
    EXPECT_TRUE(EncodeString(d, Key("TEXT"), "text"));
    EXPECT_TRUE(EncodeUnit(d, Key("UntF"), Unit::Points, 7.5));
    EXPECT_TRUE(EncodeEnum(d, Key("enum"), Key("Ordn"), Key("Trgt")));
    desctest::DescBytes expected;
    expected.Body("null", 12).CodeKey("long").Code("long").U32(uint32_t(-9));
    expected.CodeKey("bool").Code("bool").U8(1).CodeKey("doub").Code("doub").Double(2.5);
    expected.CodeKey("TEXT").Code("TEXT").Unicode(u"text");
    expected.CodeKey("UntF").Code("UntF").Code("#Pnt").Double(7.5);
    expected.CodeKey("enum").Code("enum").CodeKey("Ordn").CodeKey("Trgt");
    // Host units percent, pixels, inches, points, millimetres, centimetres; no others.
    std::pair<int, char const*> const hostUnits[] = {{1, "#Prc"}, {5, "#Pxl"}, {6, "RrIn"},
                                                     {7, "#Pnt"}, {8, "#Mlm"}, {9, "RrCm"}};
    for (auto const& [host, code] : hostUnits) {
        EXPECT_TRUE(EncodeUnit(d, Key("h   "), Kernel::UnitValue(2.5, Kernel::Unit(host))));
        expected.CodeKey("h   ").Code("UntF").Str(code).Double(2.5);
    }
    for (int host : {0, 2, 3, 4, 10})
        EXPECT_FALSE(EncodeUnit(d, Key("w   "), Kernel::UnitValue(1, Kernel::Unit(host))));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(desctest::SaveBody(d, bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>(expected));

    Report r;
    auto err = [&r](bool ok) {  // "ok", or the error, which is then cleared
        std::string e = ok ? "ok" : r.Err();
        r.m_error = {};
        return e;
    };
    auto at = [&d](char const(&key)[5]) -> DescriptorItem const& { return *d.GetItem(Key(key)); };
    int iv = 0;
    bool bv = false;
    double dv = 0, uv = 0;
    String sv;
    Unit unit = Unit::None;
    EXPECT_EQ(err(DecodeInteger(at("long"), iv, r) && DecodeBool(at("bool"), bv, r) &&
                  DecodeDouble(at("doub"), dv, r) && DecodeString(at("TEXT"), sv, r) &&
                  DecodeUnitAndType(at("UntF"), unit, uv, r)),
              "ok");
    EXPECT_TRUE(iv == -9 && bv && dv == 2.5 && sv == "text" && unit == Unit::Points && uv == 7.5);
    unit = Unit::None, uv = 0;
    EXPECT_EQ(err(DecodeUnitType(at("UntF"), unit, r) && unit == Unit::Points), "ok");
    EXPECT_EQ(err(DecodeUnit(at("UntF"), Unit::Points, uv, r) && uv == 7.5), "ok");
    EXPECT_FALSE(DecodeUnit(at("UntF"), Unit::Pixels, uv = 1, r));  // a unit mismatch
    EXPECT_EQ(r.m_error->Report(), "Descriptor: Unexpected unit type [1]");

    // Each decoder fails on another type, says so, and leaves its output alone.
    DescriptorItemEnum wrong(Key("BlnM"), Key("Nrml"));
    iv = 4, bv = true, sv = "x", unit = Unit::MM;
    EXPECT_EQ(err(DecodeDouble(wrong, uv, r)), "30/0/");
    EXPECT_EQ(err(DecodeBool(wrong, bv, r)), "28/0/");
    EXPECT_EQ(err(DecodeInteger(wrong, iv, r)), "32/0/");
    EXPECT_EQ(err(DecodeString(wrong, sv, r)), "34/0/");
    EXPECT_EQ(err(DecodeUnitType(wrong, unit, r)), "35/1/");
    EXPECT_EQ(err(DecodeUnitAndType(wrong, unit, uv, r)), "35/2/");
    EXPECT_EQ(err(DecodeUnit(wrong, Unit::Points, uv, r)), "35/2/");
    EXPECT_TRUE(uv == 1 && bv && iv == 4 && sv == "x" && unit == Unit::MM);
}

// Guards the enum checks in their order, the default for an unknown value and its warning.
TEST(DescriptorCodecs, DecodeEnumWithADictionary) {
    using A = PSDVectorStroke::LineAlignment;
    char const* type = "strokeStyleLineAlignment";
    auto named = [&](char const* value) {
        return Enum(DescriptorKey::Name(type), DescriptorKey::Name(value));
    };
    struct Case {
        Item item;
        A out;
        std::string err, warns;
    } const cases[] = {
        {named("strokeStyleAlignOutside"), A::Outside, "none", ""},
        {named("strokeStyleAlignNowhere"), A::Center, "none",
         "3:strokeStyleLineAlignment:strokeStyleAlignNowhere"},
        {Kernel::MakeCounted<DescriptorItemInteger>(1), A::Inside, "31/2/strokeStyleLineAlignment",
         ""},
        {Enum(Key("strk"), DescriptorKey::Name("strokeStyleAlignInside")), A::Inside,
         "37/2/strokeStyleLineAlignment:strk", ""},
        {Enum(DescriptorKey::Name("strokeStyleLineCapType"),
              DescriptorKey::Name("strokeStyleAlignInside")),
         A::Inside, "37/2/strokeStyleLineAlignment:strokeStyleLineCapType", ""},
        {Enum(DescriptorKey::Name(type), Key("Cntr")), A::Inside,
         "38/2/strokeStyleLineAlignment:Cntr", ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.err);
        Report r;
        A out = A::Inside;
        EXPECT_EQ(DecodeEnum(*c.item, LineAlignmentDictionary::Instance(), type, out, A::Center, r),
                  c.err == "none");
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(r.Err(), c.err);
        EXPECT_EQ(r.Warns(), c.warns);
    }
}

// Guards the dictionaries' texts both ways, and encoding through them by name.
TEST(DescriptorCodecs, DictionariesBothWays) {
    using C = PSDVectorStroke::LineCapType;
    using J = PSDVectorStroke::LineJoinStyle;
    C cap;
    EXPECT_TRUE(LineCapDictionary::Instance().Lookup("strokeStyleSquareCap", cap));
    EXPECT_EQ(cap, C::Square);
    EXPECT_FALSE(LineCapDictionary::Instance().Lookup("strokeStyleSquareCap ", cap));
    J join;
    EXPECT_TRUE(LineJoinDictionary::Instance().Lookup("strokeStyleMiterJoin", join));
    EXPECT_EQ(join, J::Miter);
    String text;
    EXPECT_TRUE(LineJoinDictionary::Instance().ReverseLookup(J::Round, text));
    EXPECT_EQ(text, "strokeStyleRoundJoin");

    Descriptor desc(DescriptorKey(Key("Strk")));
    auto key = DescriptorKey::Name("strokeStyleLineJoinType");
    EXPECT_TRUE(EncodeEnum(desc, key, key, LineJoinDictionary::Instance(), J::Bevel));
    EXPECT_FALSE(EncodeEnum(desc, key, key, LineJoinDictionary::Instance(), J(7)));
    ASSERT_EQ(desc.m_items.size(), 1u);
    auto e = desc.Get<DescriptorItemEnum>("strokeStyleLineJoinType");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_value.m_value.m_name, "strokeStyleBevelJoin");
    EXPECT_EQ(e->m_value.m_type.m_name, "strokeStyleLineJoinType");
}

// Guards the blend table both ways ("pass" is written, never read) and the decoder's errors.
TEST(DescriptorCodecs, BlendModesBothWays) {
    for (uint32_t m = 0; m < kBlendModeCount; ++m) {
        SCOPED_TRACE(m);
        Descriptor d(DescriptorKey(Key("null")));
        ASSERT_TRUE(EncodeBlendMode(d, Key("Md  "), BlendMode(m)));
        auto e = d.Get<DescriptorItemEnum>(Key("Md  "));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_value.m_type.m_code, Key("BlnM"));
        EXPECT_EQ(e->m_value.m_value.m_code == 0, (m >= 17 && m <= 22) || m >= 24);
        Report r;
        BlendMode out = BlendMode::Divide;
        ASSERT_TRUE(DecodeBlendMode(*e, out, r));
        EXPECT_EQ(uint32_t(out), m == 23 ? 0u : m);
        EXPECT_EQ(r.Warns(), m == 23 ? "1:pass" : "");
        if (m == 23) {
            EXPECT_EQ(e->m_value.m_value.m_code, Key("pass"));
        }
    }
    Descriptor d(DescriptorKey(Key("null")));
    EXPECT_FALSE(EncodeBlendMode(d, Key("Md  "), BlendMode(28)));
    EXPECT_TRUE(d.m_items.empty());

    struct Case {
        Item item;
        BlendMode out;
        std::string err, warns;
    } const cases[] = {
        {Enum(Key("BlnM"), DescriptorKey::Name("hardMix")), BlendMode::HardMix, "none", ""},
        {Enum(Key("BlnM"), DescriptorKey::Name("softMix")), BlendMode::Normal, "none", "1:softMix"},
        {Enum(Key("BlnM"), Key("Zzzz")), BlendMode::Normal, "none", "1:Zzzz"},
        {Kernel::MakeCounted<DescriptorItemDouble>(1), BlendMode::Screen, "31/3/BlendMode > Double",
         ""},
        {Enum(DescriptorKey::Name("blendMode"), Key("Nrml")), BlendMode::Screen,
         "37/3/BlendMode - BlnM > blendMode", ""},
        {Enum(Key("Clr "), Key("Nrml")), BlendMode::Screen, "37/3/BlendMode - BlnM > Clr ", ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.err);
        Report r;
        BlendMode out = BlendMode::Screen;
        EXPECT_EQ(DecodeBlendMode(*c.item, out, r), c.err == "none");
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(r.Err(), c.err);
        EXPECT_EQ(r.Warns(), c.warns);
    }
}

// Guards each colour model's conversion (RGB truncates and wraps, grey clamps, Lab rounds, HSB
// clamps), swatch keys skipped in RGB only, missing components counted as 0, and the errors.
TEST(DescriptorCodecs, ColourObjectsDecode) {
    auto swatch = [](char const(&cls)[5]) {
        auto o = Object(Key(cls));
        EncodeString(o->m_descriptor, Key("Nm  "), "Swatch");
        EncodeString(o->m_descriptor, Key("Bk  "), "Book");
        EncodeString(o->m_descriptor, DescriptorKey::Name("bookID"), "1");
        EncodeString(o->m_descriptor, DescriptorKey::Name("bookKey"), "2");
        EncodeDouble(o->m_descriptor, Key("Rd  "), 1);
        return o;
    };
    auto rgb = [](double red) {
        return ColourObject("RGBC", {{Key("Rd  "), red}, {Key("Grn "), 10}, {Key("Bl  "), 20}});
    };
    auto grey = [](double g) { return ColourObject("Grsc", {{Key("Gry "), g}}); };
    auto badRed = Object(Key("RGBC"));
    EncodeString(badRed->m_descriptor, Key("Rd  "), "red");
    auto plainHue = Object(Key("HSBC"));
    EncodeDouble(plainHue->m_descriptor, Key("H   "), 90);
    struct Case {
        char const* what;
        Item item;
        char const* colour;  // or "error " and the error
        char const* warns;
    } const cases[] = {
        {"red 255.9", rgb(255.9), "rgb 255 10 20 255", ""},
        {"red 256", rgb(256), "rgb 0 10 20 255", ""},
        {"red 511.7", rgb(511.7), "rgb 255 10 20 255", ""},
        {"red 0.99", rgb(0.99), "rgb 0 10 20 255", ""},
        {"red -1", rgb(-1), "rgb 255 10 20 255", ""},
        {"red -0.5", rgb(-0.5), "rgb 0 10 20 255", ""},
        {"red 1e30", rgb(1e30), "rgb 0 10 20 255", ""},
        {"red NaN", rgb(NAN), "rgb 0 10 20 255", ""},
        {"missing red", ColourObject("RGBC", {{Key("Grn "), 128}}), "rgb 0 128 0 255", ""},
        {"RGB swatch", swatch("RGBC"), "rgb 1 0 0 255", ""},
        // Fractions alone round to the nearest level and clamp; beside 0-255 components they
        // give way.
        {"RGB fractions",
         ColourObject("RGBC", {{DescriptorKey::Name("redFloat"), 0.9999989},
                               {DescriptorKey::Name("greenFloat"), 0.5},
                               {DescriptorKey::Name("blueFloat"), 1.2}}),
         "rgb 255 128 255 255", ""},
        {"RGB both forms",
         ColourObject("RGBC", {{Key("Rd  "), 10}, {DescriptorKey::Name("redFloat"), 1}}),
         "rgb 10 0 0 255", ""},
        {"CMYK swatch", swatch("CMYC"), "cmyk 0 0 0 0 255",
         "2:colour:CMYC,Nm  ;2:colour:CMYC,Bk  ;2:colour:CMYC,bookID;2:colour:CMYC,bookKey;"
         "2:colour:CMYC,Rd  "},
        {"Lab swatch", swatch("LbCl"), "lab 0 32768 32768 65535",
         "2:LbCl,Nm  ;2:LbCl,Bk  ;2:LbCl,bookID;2:LbCl,bookKey;2:LbCl,Rd  "},
        {"CMYK",
         ColourObject("CMYC",
                      {{Key("Cyn "), 10}, {Key("Mgnt"), 20}, {Key("Ylw "), 40}, {Key("Blck"), 75}}),
         "cmyk 25 51 102 191 255", ""},
        {"CMYK full ink",
         ColourObject("CMYC",
                      {{Key("Cyn "), 100}, {Key("Mgnt"), 100}, {Key("Ylw "), 100}, {Key("Blck"), 0}}),
         "cmyk 255 255 255 0 255", ""},
        {"grey 100", grey(100), "grey 0", ""},
        {"grey 150", grey(150), "grey 0", ""},
        {"grey 0", grey(0), "grey 1", ""},
        {"grey -20", grey(-20), "grey 1", ""},
        {"grey 25", grey(25), "grey 0.75", ""},
        {"Lab", ColourObject("LbCl", {{Key("Lmnc"), 50}, {Key("A   "), 28.25}, {Key("B   "), -50}}),
         "lab 32768 40000 19968 65535", ""},  // L 32767.5 rounds up
        {"HSB", HSB(Unit::Angle, 180, 100, 100), "hsl 0.5 1 0.5", ""},
        {"HSB without brightness", HSB(Unit::Angle, 90, 60, 0), "hsl 0.25 0 0", ""},
        // Both branches of the saturation divisor, no saturation, clamping, and NaN.
        {"HSB t above 1", HSB(Unit::Angle, 36, 50, 100), "hsl 0.100000001 1 0.75", ""},
        {"HSB t below 1", HSB(Unit::Angle, 36, 50, 50), "hsl 0.100000001 0.333333343 0.375", ""},
        {"HSB grey", HSB(Unit::Angle, 36, 0, 80), "hsl 0.100000001 0 0.800000012", ""},
        {"HSB clamped", HSB(Unit::Angle, -1080, 700, 200), "hsl 0 1 0.5", ""},
        {"HSB NaN hue", HSB(Unit::Angle, NAN, 0, 0), "hsl nan 0 0", ""},
        {"unspecified", Object(Key("UnsC")), "rgb 255 255 255 255", ""},
        {"not an object", Kernel::MakeCounted<DescriptorItemDouble>(1), "error 29/0/colour", ""},
        {"unknown class", Object(Key("Clr ")), "error 40/0/Clr ", ""},
        {"class as a name", Object(DescriptorKey::Name("RGBC")), "error 40/0/RGBC", ""},
        {"text component", badRed, "error 30/0/", ""},
        {"hue not a unit float", plainHue, "error 35/2/", ""},
        {"hue not an angle", HSB(Unit::Percent, 90, 0, 0), "error 39/1/", ""},
    };
    Colour keep = Renderer::ColourGrayscale::Create(0.5f, 1, 1, "keep");
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Report r;
        Colour out = keep;
        bool ok = DecodeColor(*c.item, out, r);
        if (std::string(c.colour).rfind("error ", 0) == 0) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(out.Get(), keep.Get());  // replaced only on success
            EXPECT_EQ("error " + r.Err(), c.colour);
            continue;
        }
        ASSERT_TRUE(ok) << r.Err();
        EXPECT_EQ(Describe(out), c.colour);
        EXPECT_EQ(r.Warns(), c.warns);
        EXPECT_EQ(out->GetOpacity(), 1.0f);
        EXPECT_EQ(out->GetName(), "");
    }
}

// Guards the 10-byte legacy record of each model, its clamping, and short writes.
TEST(DescriptorCodecs, LegacyColourRecords) {
    auto grey = Renderer::ColourGrayscale::Create(1.0f, 1, 1, "");
    ASSERT_EQ(grey->ToGray16(), 65535);
    struct Case {
        char const* what;
        Colour colour;
        std::vector<uint8_t> record;
    } const cases[] = {
        {"RGB", Renderer::ColourRGB::Create(Renderer::RGBA8{255, 0, 255, 255}, 1, 1, ""),
         Words({0, 65535, 0, 65535, 0})},
        // 100 % cyan stays full ink: the reader takes the high byte of each component.
        {"CMYK", Renderer::ColourCMYK::Create(Renderer::CMYKAF{1, 0, 0, 0, 1}, 1, 1, ""),
         Words({2, 65535, 0, 0, 0})},
        // The record's own units: lightness 0..10000, a and b in signed hundredths.
        {"Lab", Renderer::ColourLAB::Create(Renderer::LABA16{65535, 32768, 0, 65535}, 1, 1, ""),
         Words({7, 10000, 0, uint16_t(-12800), 0})},
        {"grey", grey, Words({8, 65535, 0, 0, 0})},
        {"HSL", Renderer::ColourHSL::Create(0.5f, 1.0f, 0.5f, 1, 1, ""),
         Words({1, 32768, 65535, 65535, 0})},
        {"wrapped", Renderer::ColourWrapped::Create(grey, 1, 1, "spot"),
         Words({8, 65535, 0, 0, 0})},
        // Channels beyond 0..1 are held at the ends of the 16-bit range.
        {"out of range",
         Renderer::ColourRGB::Create(Renderer::RGBAF{-0.5f, 2.0f, 0.0f, 1}, 1, 1, ""),
         Words({0, 0, 65535, 0, 0})},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        bool ok = false;
        EXPECT_EQ(Record(c.colour, &ok), c.record);
        EXPECT_TRUE(ok);
    }
    // What the reader makes of a record writes that record again: each save keeps the colour.
    for (auto const& words : {Words({1, 0, 8, 65535, 0}), Words({1, 12345, 65535, 1, 0}),
                              Words({7, 4321, uint16_t(-2500), 777, 0}), Words({0, 8, 65534, 1, 0}),
                              Words({8, 1, 0, 0, 0})}) {
        auto in = Kernel::MemoryInStream::Create(words.data(), words.size());
        Colour read;
        PSDLoadData ld;
        ASSERT_TRUE(ReadColor(*in, read, ld));
        EXPECT_EQ(Record(read), words);
    }
    bool ok = true;
    Record(Colour(new OddColour), &ok);
    EXPECT_FALSE(ok);
    desctest::FailingOutStream s(9);  // a short write fails
    EXPECT_FALSE(WriteColor(s, ByteOrderFixer{}, grey));
}

// Guards the point object: its class and item order, unknown keys and the decoder's errors.
TEST(DescriptorCodecs, Points) {
    Descriptor d(DescriptorKey(Key("null")));
    ASSERT_TRUE(EncodePoint(d, DescriptorKey::Name("Pstn"), {12.5, -3}));
    auto item = d.Get<DescriptorItemDescriptor>("Pstn");
    ASSERT_TRUE(item);
    EXPECT_EQ(ShowObject(item.Get()), "Pnt  Hrzn=12.5 Vrtc=-3");
    Report r;
    Kernel::PointT<double> p;
    ASSERT_TRUE(DecodePoint(*item, p, r));
    EXPECT_EQ(p, (Kernel::PointT<double>{12.5, -3}));

    auto extra = Object(Key("Pnt "));
    EncodeDouble(extra->m_descriptor, Key("Vrtc"), 4);
    EncodeDouble(extra->m_descriptor, Key("Zzzz"), 4);
    ASSERT_TRUE(DecodePoint(*extra, p, r));
    EXPECT_EQ(p.y, 4);
    EXPECT_EQ(r.Warns(), "2:Pnt,Zzzz");

    auto badValue = Object(Key("Pnt "));
    EncodeDouble(badValue->m_descriptor, Key("Hrzn"), 9);
    EncodeInteger(badValue->m_descriptor, Key("Vrtc"), 4);
    std::pair<Item, char const*> const bad[] = {
        {Kernel::MakeCounted<DescriptorItemDouble>(1), "29/0/Pnt "},
        {Object(Key("Clr ")), "36/0/Pnt > Clr "},
        {badValue, "30/0/"},
    };
    for (auto const& [it, err] : bad) {
        Report rb;
        Kernel::PointT<double> keep{1, 2};
        EXPECT_FALSE(DecodePoint(*it, keep, rb));
        EXPECT_EQ(rb.Err(), err);
        EXPECT_EQ(keep, (Kernel::PointT<double>{1, 2}));
    }
}

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "psd/descriptor/DescriptorCodecs.h"
#include "tests/psd/descriptor/DescriptorBytes.h"

using namespace PSD;
using Unit = DescriptorItemUnitFloat::UnitType;
using Colour = Kernel::Consolidated<Renderer::Colour>;

namespace {

struct Report : PSDReport {
    Report() { m_warnings = Kernel::MakeCounted<PSDWarnings>(); }
    int Code() const { return m_error ? int(m_error->GetCode()) : -1; }
    unsigned Number() const { return m_error ? m_error->GetNumber() : 999; }
    String Detail() const { return m_error ? m_error->GetDetail() : String("?"); }
    size_t WarningCount() const { return m_warnings->GetCount(); }
    // Code and detail of warning i.
    std::pair<int, String> Warning(size_t i) const {
        auto const* w = dynamic_cast<PSDLoadWarning const*>(m_warnings->GetWarnings().at(i).Get());
        return {int(w->m_code), w->m_detail};
    }
};

Kernel::Counted<DescriptorItem> Enum(DescriptorKey type, DescriptorKey value) {
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

Renderer::RGBA8 RGB8(Colour const& c) {
    auto const* rgb = dynamic_cast<Renderer::ColourRGB const*>(c.Get());
    return rgb ? rgb->GetRGBA8() : Renderer::RGBA8{1, 2, 3, 4};
}

Renderer::CMYKA8 CMYK8(Colour const& c) {
    auto const* cmyk = dynamic_cast<Renderer::ColourCMYK const*>(c.Get());
    return cmyk ? cmyk->GetCMYKA8() : Renderer::CMYKA8{1, 2, 3, 4, 5};
}

float Grey(Colour const& c) {
    auto const* g = dynamic_cast<Renderer::ColourGrayscale const*>(c.Get());
    return g ? g->GetGray() : -1.0f;
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

TEST(DescriptorCodecs, ScalarDecodersCheckTheType) {
    DescriptorItemDouble d(2.5);
    DescriptorItemBool b(true);
    DescriptorItemInteger i(-9);
    DescriptorItemString s("text");
    DescriptorItemUnitFloat u(DescriptorItemUnitFloat::Points, 7.5);
    {
        Report r;
        double dv = 0;
        bool bv = false;
        int iv = 0;
        String sv;
        EXPECT_TRUE(DecodeDouble(d, dv, r) && DecodeBool(b, bv, r) && DecodeInteger(i, iv, r) &&
                    DecodeString(s, sv, r));
        EXPECT_EQ(dv, 2.5);
        EXPECT_TRUE(bv);
        EXPECT_EQ(iv, -9);
        EXPECT_EQ(sv, "text");
        EXPECT_FALSE(r.m_error);
    }
    struct Case {
        char const* what;
        bool (*run)(DescriptorItem const&, PSDReport&);
        int code;
        unsigned number;
    } const cases[] = {
        {"double",
         [](DescriptorItem const& it, PSDReport& r) {
             double v = 4;
             bool ok = DecodeDouble(it, v, r);
             return ok || v != 4;
         },
         30, 0},
        {"bool",
         [](DescriptorItem const& it, PSDReport& r) {
             bool v = true;
             bool ok = DecodeBool(it, v, r);
             return ok || !v;
         },
         28, 0},
        {"integer",
         [](DescriptorItem const& it, PSDReport& r) {
             int v = 4;
             bool ok = DecodeInteger(it, v, r);
             return ok || v != 4;
         },
         32, 0},
        {"string",
         [](DescriptorItem const& it, PSDReport& r) {
             String v = "x";
             bool ok = DecodeString(it, v, r);
             return ok || v != "x";
         },
         34, 0},
        {"unit type",
         [](DescriptorItem const& it, PSDReport& r) {
             Unit v = Unit::MM;
             bool ok = DecodeUnitType(it, v, r);
             return ok || v != Unit::MM;
         },
         35, 1},
        {"unit and type",
         [](DescriptorItem const& it, PSDReport& r) {
             Unit v = Unit::MM;
             double x = 4;
             bool ok = DecodeUnitAndType(it, v, x, r);
             return ok || v != Unit::MM || x != 4;
         },
         35, 2},
        {"unit",
         [](DescriptorItem const& it, PSDReport& r) {
             double x = 4;
             bool ok = DecodeUnit(it, Unit::Points, x, r);
             return ok || x != 4;
         },
         35, 2},
    };
    DescriptorItemEnum wrong(Key("BlnM"), Key("Nrml"));
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Report r;
        EXPECT_FALSE(c.run(wrong, r));  // fails and leaves the output alone
        EXPECT_EQ(r.Code(), c.code);
        EXPECT_EQ(r.Number(), c.number);
        EXPECT_EQ(r.Detail(), "");
    }
    {
        Report r;
        Unit unit = Unit::None;
        double value = 0;
        EXPECT_TRUE(DecodeUnitType(u, unit, r));
        EXPECT_EQ(unit, Unit::Points);
        EXPECT_TRUE(DecodeUnitAndType(u, unit, value, r));
        EXPECT_EQ(value, 7.5);
        value = 0;
        EXPECT_TRUE(DecodeUnit(u, Unit::Points, value, r));
        EXPECT_EQ(value, 7.5);
        value = 1;
        EXPECT_FALSE(DecodeUnit(u, Unit::Pixels, value, r));  // a unit mismatch
        EXPECT_EQ(value, 1);
        EXPECT_EQ(r.Code(), PSDError::kDescriptorUnexpectedUnitType);
        EXPECT_EQ(r.Number(), 1u);
        EXPECT_EQ(r.m_error->Report(), "Descriptor: Unexpected unit type [1]");
    }
}

TEST(DescriptorCodecs, DecodeEnumWithADictionary) {
    auto const& dict = LineAlignmentDictionary::Instance();
    char const* type = "strokeStyleLineAlignment";
    using A = PSDVectorStroke::LineAlignment;
    {
        Report r;
        A out = A::Inside;
        EXPECT_TRUE(DecodeEnum(
            *Enum(DescriptorKey::Name(type), DescriptorKey::Name("strokeStyleAlignOutside")), dict,
            type, out, A::Center, r));
        EXPECT_EQ(out, A::Outside);
        EXPECT_EQ(r.WarningCount(), 0u);
    }
    {
        Report r;
        A out = A::Inside;
        EXPECT_TRUE(DecodeEnum(
            *Enum(DescriptorKey::Name(type), DescriptorKey::Name("strokeStyleAlignNowhere")), dict,
            type, out, A::Center, r));
        EXPECT_EQ(out, A::Center);
        ASSERT_EQ(r.WarningCount(), 1u);
        EXPECT_EQ(r.Warning(0),
                  std::make_pair(3, String("strokeStyleLineAlignment:strokeStyleAlignNowhere")));
        EXPECT_FALSE(r.m_error);
    }
    struct Bad {
        Kernel::Counted<DescriptorItem> item;
        int code;
        char const* detail;
    } const bad[] = {
        {Kernel::MakeCounted<DescriptorItemInteger>(1), 31, "strokeStyleLineAlignment"},
        {Enum(Key("strk"), DescriptorKey::Name("strokeStyleAlignInside")), 37,
         "strokeStyleLineAlignment:strk"},
        {Enum(DescriptorKey::Name("strokeStyleLineCapType"),
              DescriptorKey::Name("strokeStyleAlignInside")),
         37, "strokeStyleLineAlignment:strokeStyleLineCapType"},
        {Enum(DescriptorKey::Name(type), Key("Cntr")), 38, "strokeStyleLineAlignment:Cntr"},
    };
    for (auto const& b : bad) {
        SCOPED_TRACE(b.detail);
        Report r;
        A out = A::Inside;
        EXPECT_FALSE(DecodeEnum(*b.item, dict, type, out, A::Center, r));
        EXPECT_EQ(out, A::Inside);
        EXPECT_EQ(r.Code(), b.code);
        EXPECT_EQ(r.Number(), 2u);
        EXPECT_EQ(r.Detail(), b.detail);
    }
}

TEST(DescriptorCodecs, DictionariesBothWays) {
    using C = PSDVectorStroke::LineCapType;
    using J = PSDVectorStroke::LineJoinStyle;
    C cap;
    EXPECT_TRUE(LineCapDictionary::Instance().Lookup("strokeStyleSquareCap", cap));
    EXPECT_EQ(cap, C::Square);
    EXPECT_FALSE(LineCapDictionary::Instance().Lookup("strokeStyleSquareCap ", cap));
    J join;
    EXPECT_TRUE(LineJoinDictionary::Instance().Lookup("strokeStyleBevelJoin", join));
    EXPECT_EQ(join, J::Bevel);
    EXPECT_TRUE(LineJoinDictionary::Instance().Lookup("strokeStyleMiterJoin", join));
    EXPECT_EQ(join, J::Miter);
    String text;
    EXPECT_TRUE(LineJoinDictionary::Instance().ReverseLookup(J::Round, text));
    EXPECT_EQ(text, "strokeStyleRoundJoin");

    DictionaryBase<C> d;
    d.Add("a", C::Butt);
    d.Add("b", C::Butt);   // the value now maps back to "b"
    d.Add("a", C::Round);  // "a" now maps to Round
    EXPECT_TRUE(d.Lookup("a", cap));
    EXPECT_EQ(cap, C::Round);
    EXPECT_TRUE(d.ReverseLookup(C::Butt, text));
    EXPECT_EQ(text, "b");
    EXPECT_FALSE(d.ReverseLookup(C::Square, text));

    // Encoding through a dictionary writes the value as a name key.
    Descriptor desc(DescriptorKey(Key("Strk")));
    EXPECT_TRUE(EncodeEnum(desc, DescriptorKey::Name("strokeStyleLineJoinType"),
                           DescriptorKey::Name("strokeStyleLineJoinType"),
                           LineJoinDictionary::Instance(), J::Bevel));
    EXPECT_FALSE(EncodeEnum(desc, DescriptorKey::Name("x"), DescriptorKey::Name("x"),
                            LineJoinDictionary::Instance(), J(7)));
    ASSERT_EQ(desc.m_items.size(), 1u);
    auto e = desc.Get<DescriptorItemEnum>("strokeStyleLineJoinType");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_value.m_value.m_name, "strokeStyleBevelJoin");
    EXPECT_EQ(e->m_value.m_type.m_name, "strokeStyleLineJoinType");
}

TEST(DescriptorCodecs, DictionariesAreBuiltOnceUnderConcurrentFirstUse) {
    std::vector<LineCapDictionary const*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] {
            auto const& d = LineCapDictionary::Instance();
            PSDVectorStroke::LineCapType c;
            if (d.Lookup("strokeStyleRoundCap", c) && c == PSDVectorStroke::LineCapType::Round)
                seen[i] = &d;
        });
    for (auto& t : threads) t.join();
    for (auto const* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_NE(seen[0], nullptr);
}

TEST(DescriptorCodecs, BlendModesBothWays) {
    for (uint32_t m = 0; m < kBlendModeCount; ++m) {
        SCOPED_TRACE(m);
        Descriptor d(DescriptorKey(Key("null")));
        ASSERT_TRUE(EncodeBlendMode(d, Key("Md  "), BlendMode(m)));
        auto e = d.Get<DescriptorItemEnum>(Key("Md  "));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->m_value.m_type.m_code, Key("BlnM"));
        bool isName = (m >= 17 && m <= 22) || m >= 24;
        EXPECT_EQ(e->m_value.m_value.m_code == 0, isName);
        Report r;
        BlendMode out = BlendMode::Divide;
        ASSERT_TRUE(DecodeBlendMode(*e, out, r));
        if (m == 23) {
            EXPECT_EQ(e->m_value.m_value.m_code, Key("pass"));
            EXPECT_EQ(out, BlendMode::Normal);  // written, never read back
            ASSERT_EQ(r.WarningCount(), 1u);
            EXPECT_EQ(r.Warning(0), std::make_pair(1, String("pass")));
        } else {
            EXPECT_EQ(uint32_t(out), m);
            EXPECT_EQ(r.WarningCount(), 0u);
        }
    }
    Descriptor d(DescriptorKey(Key("null")));
    EXPECT_FALSE(EncodeBlendMode(d, Key("Md  "), BlendMode(28)));
    EXPECT_TRUE(d.m_items.empty());

    Report r;
    BlendMode out = BlendMode::Screen;
    EXPECT_TRUE(DecodeBlendMode(*Enum(Key("BlnM"), DescriptorKey::Name("hardMix")), out, r));
    EXPECT_EQ(out, BlendMode::HardMix);
    EXPECT_TRUE(DecodeBlendMode(*Enum(Key("BlnM"), DescriptorKey::Name("softMix")), out, r));
    EXPECT_EQ(out, BlendMode::Normal);
    EXPECT_TRUE(DecodeBlendMode(*Enum(Key("BlnM"), Key("Zzzz")), out, r));
    ASSERT_EQ(r.WarningCount(), 2u);
    EXPECT_EQ(r.Warning(0), std::make_pair(1, String("softMix")));
    EXPECT_EQ(r.Warning(1), std::make_pair(1, String("Zzzz")));
    EXPECT_FALSE(r.m_error);

    out = BlendMode::Screen;
    EXPECT_FALSE(DecodeBlendMode(DescriptorItemDouble(1), out, r));
    EXPECT_EQ(out, BlendMode::Screen);
    EXPECT_EQ(r.Code(), 31);
    EXPECT_EQ(r.Number(), 3u);
    EXPECT_EQ(r.Detail(), "BlendMode > Double");
    EXPECT_FALSE(DecodeBlendMode(*Enum(DescriptorKey::Name("blendMode"), Key("Nrml")), out, r));
    EXPECT_EQ(r.Code(), 37);
    EXPECT_EQ(r.Number(), 3u);
    EXPECT_EQ(r.Detail(), "BlendMode - BlnM > blendMode");
    EXPECT_FALSE(DecodeBlendMode(*Enum(Key("Clr "), Key("Nrml")), out, r));
    EXPECT_EQ(r.Detail(), "BlendMode - BlnM > Clr ");
}

TEST(DescriptorCodecs, RGBColoursTruncateAndWrap) {
    struct Case {
        double red;
        uint8_t expected;
    } const cases[] = {{255.9, 255}, {256, 0},  {511.7, 255}, {0.99, 0},
                       {-1, 255},    {-0.5, 0}, {1e30, 0},    {NAN, 0}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.red);
        Report r;
        Colour out;
        ASSERT_TRUE(DecodeColor(
            *ColourObject("RGBC", {{Key("Rd  "), c.red}, {Key("Grn "), 10}, {Key("Bl  "), 20}}),
            out, r));
        auto px = RGB8(out);
        EXPECT_EQ(px.r, c.expected);
        EXPECT_EQ(px.g, 10);
        EXPECT_EQ(px.b, 20);
        EXPECT_EQ(px.a, 255);
        EXPECT_EQ(out->GetOpacity(), 1.0f);
        EXPECT_EQ(out->GetName(), "");
    }
    // Missing components count as 0.
    Report r;
    Colour out;
    ASSERT_TRUE(DecodeColor(*ColourObject("RGBC", {{Key("Grn "), 128}}), out, r));
    EXPECT_EQ(RGB8(out).r, 0);
    EXPECT_EQ(RGB8(out).g, 128);
}

TEST(DescriptorCodecs, SwatchKeysAreSkippedOnlyInRGB) {
    auto build = [](char const(&cls)[5]) {
        auto o = Object(Key(cls));
        EncodeString(o->m_descriptor, Key("Nm  "), "Swatch");
        EncodeString(o->m_descriptor, Key("Bk  "), "Book");
        EncodeString(o->m_descriptor, DescriptorKey::Name("bookID"), "1");
        EncodeString(o->m_descriptor, DescriptorKey::Name("bookKey"), "2");
        EncodeDouble(o->m_descriptor, Key("Rd  "), 1);
        return o;
    };
    {
        Report r;
        Colour out;
        EXPECT_TRUE(DecodeColor(*build("RGBC"), out, r));
        EXPECT_EQ(r.WarningCount(), 0u);
        EXPECT_EQ(RGB8(out).r, 1);
    }
    {
        Report r;
        Colour out;
        EXPECT_TRUE(DecodeColor(*build("CMYC"), out, r));
        ASSERT_EQ(r.WarningCount(), 5u);
        EXPECT_EQ(r.Warning(0), std::make_pair(2, String("colour:CMYC,Nm  ")));
        EXPECT_EQ(r.Warning(2), std::make_pair(2, String("colour:CMYC,bookID")));
        EXPECT_EQ(r.Warning(4), std::make_pair(2, String("colour:CMYC,Rd  ")));
    }
    {
        Report r;
        Colour out;
        EXPECT_TRUE(DecodeColor(*build("LbCl"), out, r));
        ASSERT_EQ(r.WarningCount(), 5u);
        EXPECT_EQ(r.Warning(1), std::make_pair(2, String("LbCl,Bk  ")));
    }
}

TEST(DescriptorCodecs, OtherColourModels) {
    {
        Report r;
        Colour out;
        ASSERT_TRUE(DecodeColor(
            *ColourObject(
                "CMYC",
                {{Key("Cyn "), 10}, {Key("Mgnt"), 20}, {Key("Ylw "), 40}, {Key("Blck"), 75}}),
            out, r));
        auto px = CMYK8(out);
        EXPECT_EQ(px.c, 25);
        EXPECT_EQ(px.m, 51);
        EXPECT_EQ(px.y, 102);
        EXPECT_EQ(px.k, 191);
        EXPECT_EQ(px.a, 255);
    }
    for (auto [gry, expected] :
         {std::pair{100.0, 0.0f}, {150.0, 0.0f}, {0.0, 1.0f}, {-20.0, 1.0f}, {25.0, 0.75f}}) {
        SCOPED_TRACE(gry);
        Report r;
        Colour out;
        ASSERT_TRUE(DecodeColor(*ColourObject("Grsc", {{Key("Gry "), gry}}), out, r));
        EXPECT_FLOAT_EQ(Grey(out), expected);
    }
    {
        Report r;
        Colour out;
        ASSERT_TRUE(DecodeColor(
            *ColourObject("LbCl", {{Key("Lmnc"), 50}, {Key("A   "), 28.25}, {Key("B   "), -50}}),
            out, r));
        auto const* lab = dynamic_cast<Renderer::ColourLAB const*>(out.Get());
        ASSERT_TRUE(lab);
        EXPECT_EQ(lab->GetLABA16().l, 32768);  // 32767.5 rounded
        EXPECT_EQ(lab->GetLABA16().a, 40000);
        EXPECT_EQ(lab->GetLABA16().b, 19968);
        EXPECT_EQ(lab->GetLABA16().alpha, 65535);
    }
    {
        Report r;
        Colour out;
        auto o = Object(Key("HSBC"));
        EncodeUnit(o->m_descriptor, Key("H   "), Unit::Angle, 180);
        EncodeDouble(o->m_descriptor, Key("Strt"), 100);
        EncodeDouble(o->m_descriptor, Key("Brgh"), 100);
        ASSERT_TRUE(DecodeColor(*o, out, r));
        auto const* hsl = dynamic_cast<Renderer::ColourHSL const*>(out.Get());
        ASSERT_TRUE(hsl);
        EXPECT_FLOAT_EQ(hsl->GetHSLAF().h, 0.5f);
        EXPECT_FLOAT_EQ(hsl->GetHSLAF().s, 1.0f);
        EXPECT_FLOAT_EQ(hsl->GetHSLAF().l, 0.5f);
    }
    {
        // No brightness but some saturation: black with saturation 0, not NaN.
        Report r;
        Colour out;
        auto o = Object(Key("HSBC"));
        EncodeUnit(o->m_descriptor, Key("H   "), Unit::Angle, 90);
        EncodeDouble(o->m_descriptor, Key("Strt"), 60);
        EncodeDouble(o->m_descriptor, Key("Brgh"), 0);
        ASSERT_TRUE(DecodeColor(*o, out, r));
        auto const* hsl = dynamic_cast<Renderer::ColourHSL const*>(out.Get());
        ASSERT_TRUE(hsl);
        EXPECT_EQ(hsl->GetHSLAF().s, 0.0f);
        EXPECT_EQ(hsl->GetHSLAF().l, 0.0f);
    }
    {
        // The hue must be an angle.
        Report r;
        Colour out;
        auto o = Object(Key("HSBC"));
        EncodeDouble(o->m_descriptor, Key("H   "), 90);
        EXPECT_FALSE(DecodeColor(*o, out, r));
        EXPECT_EQ(r.Code(), 35);
        auto p = Object(Key("HSBC"));
        EncodeUnit(p->m_descriptor, Key("H   "), Unit::Percent, 90);
        EXPECT_FALSE(DecodeColor(*p, out, r));
        EXPECT_EQ(r.Code(), 39);
        EXPECT_FALSE(out);
    }
    {
        Report r;
        Colour out;
        ASSERT_TRUE(DecodeColor(*Object(Key("UnsC")), out, r));
        auto px = RGB8(out);
        EXPECT_TRUE(px.r == 255 && px.g == 255 && px.b == 255 && px.a == 255);
    }
}

TEST(DescriptorCodecs, ColourFailuresLeaveTheOutputAlone) {
    Colour keep = Renderer::ColourGrayscale::Create(0.5f, 1, 1, "keep");
    struct Case {
        Kernel::Counted<DescriptorItem> item;
        int code;
        char const* detail;
    } const cases[] = {
        {Kernel::MakeCounted<DescriptorItemDouble>(1), 29, "colour"},
        {Object(Key("Clr ")), 40, "Clr "},
        {Object(DescriptorKey::Name("RGBC")), 40, "RGBC"},
    };
    auto bad = Object(Key("RGBC"));
    EncodeString(bad->m_descriptor, Key("Rd  "), "red");
    for (auto const& c : cases) {
        SCOPED_TRACE(c.detail);
        Report r;
        Colour out = keep;
        EXPECT_FALSE(DecodeColor(*c.item, out, r));
        EXPECT_EQ(out.Get(), keep.Get());
        EXPECT_EQ(r.Code(), c.code);
        EXPECT_EQ(r.Detail(), c.detail);
    }
    Report r;
    Colour out = keep;
    EXPECT_FALSE(DecodeColor(*bad, out, r));
    EXPECT_EQ(r.Code(), 30);
    EXPECT_EQ(out.Get(), keep.Get());
}

TEST(DescriptorCodecs, HSBtoHSL) {
    double h, s, l;
    HSBtoHSL(0.25, 1, 1, h, s, l);
    EXPECT_EQ(h, 0.25);
    EXPECT_DOUBLE_EQ(s, 1);
    EXPECT_DOUBLE_EQ(l, 0.5);
    HSBtoHSL(0.1, 0, 0.8, h, s, l);
    EXPECT_EQ(s, 0);
    EXPECT_DOUBLE_EQ(l, 0.8);
    HSBtoHSL(0.1, 0.5, 0.5, h, s, l);  // t = 0.75
    EXPECT_DOUBLE_EQ(l, 0.375);
    EXPECT_DOUBLE_EQ(s, 0.25 / 0.75);
    HSBtoHSL(0.1, 0.5, 1.0, h, s, l);  // t = 1.5, denominator 2 - t
    EXPECT_DOUBLE_EQ(l, 0.75);
    EXPECT_DOUBLE_EQ(s, 1.0);
    HSBtoHSL(-3, 7, 2, h, s, l);  // clamped
    EXPECT_EQ(h, 0);
    EXPECT_DOUBLE_EQ(l, 0.5);
    HSBtoHSL(0.3, 0.7, 0, h, s, l);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(l, 0);
    HSBtoHSL(NAN, 0, 0, h, s, l);
    EXPECT_TRUE(std::isnan(h));
}

TEST(DescriptorCodecs, EncodedColoursDecodeBack) {
    std::vector<Colour> colours = {
        Renderer::ColourRGB::Create(Renderer::RGBA8{10, 200, 255, 255}, 1, 1, ""),
        Renderer::ColourGrayscale::Create(0.25f, 1, 1, ""),
        Renderer::ColourLAB::Create(Renderer::LABA16{32768, 40000, 20000, 65535}, 1, 1, ""),
        Renderer::ColourHSL::Create(0.5f, 0.5f, 0.25f, 1, 1, ""),
    };
    for (size_t i = 0; i < colours.size(); ++i) {
        SCOPED_TRACE(i);
        auto item = EncodeColor(colours[i]);
        ASSERT_TRUE(item);
        EXPECT_TRUE(item->m_descriptor.m_name.empty());
        Report r;
        Colour back;
        ASSERT_TRUE(DecodeColor(*item, back, r)) << r.Code();
        EXPECT_EQ(r.WarningCount(), 0u);
        EXPECT_EQ(back->GetModel(), colours[i]->GetModel());
        auto a = colours[i]->ToRGBAF(), b = back->ToRGBAF();
        EXPECT_NEAR(a.r, b.r, 0.002);
        EXPECT_NEAR(a.g, b.g, 0.002);
        EXPECT_NEAR(a.b, b.b, 0.002);
    }
    // Exact values where the formats allow them.
    auto rgb = EncodeColor(colours[0]);
    EXPECT_EQ(rgb->m_descriptor.m_classID.m_code, Key("RGBC"));
    EXPECT_NEAR(rgb->m_descriptor.Get<DescriptorItemDouble>(Key("Grn "))->m_value, 200, 1e-4);
    // Every 8-bit channel value survives encoding and decoding unchanged.
    for (int v = 0; v < 256; ++v) {
        auto c = Renderer::ColourRGB::Create(
            Renderer::RGBA8{uint8_t(v), uint8_t(255 - v), uint8_t(v / 2), 255}, 1, 1, "");
        Report r;
        Colour back;
        ASSERT_TRUE(DecodeColor(*EncodeColor(c), back, r));
        auto px = RGB8(back);
        ASSERT_TRUE(px.r == v && px.g == 255 - v && px.b == v / 2) << v;
    }
    auto lab = EncodeColor(colours[2]);
    EXPECT_EQ(lab->m_descriptor.Get<DescriptorItemDouble>(Key("A   "))->m_value, 28.25);
    auto hsl = EncodeColor(colours[3]);
    EXPECT_EQ(hsl->m_descriptor.m_classID.m_code, Key("HSBC"));
    auto h = hsl->m_descriptor.Get<DescriptorItemUnitFloat>(Key("H   "));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->m_unit, Unit::Angle);
    EXPECT_DOUBLE_EQ(h->m_value, 180);
    // l 0.25, s 0.5: t = 0.5, 2l + st = 0.75: saturation 2*0.25/0.75, brightness 0.375
    EXPECT_DOUBLE_EQ(hsl->m_descriptor.Get<DescriptorItemDouble>(Key("Strt"))->m_value,
                     0.5 / 0.75 * 100);
    EXPECT_DOUBLE_EQ(hsl->m_descriptor.Get<DescriptorItemDouble>(Key("Brgh"))->m_value, 37.5);
    auto grey = EncodeColor(Renderer::ColourGrayscale::Create(0.0f, 1, 1, ""));
    EXPECT_DOUBLE_EQ(grey->m_descriptor.Get<DescriptorItemDouble>(Key("Gry "))->m_value, 100);

    auto cmyk =
        EncodeColor(Renderer::ColourCMYK::Create(Renderer::CMYKAF{1, 0, 0.5f, 0, 1}, 1, 1, ""));
    ASSERT_TRUE(cmyk);
    EXPECT_EQ(cmyk->m_descriptor.m_classID.m_code, Key("CMYC"));
    EXPECT_DOUBLE_EQ(cmyk->m_descriptor.Get<DescriptorItemDouble>(Key("Cyn "))->m_value, 100);
    EXPECT_DOUBLE_EQ(cmyk->m_descriptor.Get<DescriptorItemDouble>(Key("Ylw "))->m_value, 50);

    // A wrapping colour is written as the colour it wraps; an unknown model not at all.
    auto wrapped = Renderer::ColourWrapped::Create(colours[0], 1, 1, "Spot");
    auto w = EncodeColor(wrapped);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->m_descriptor.m_classID.m_code, Key("RGBC"));
    Colour odd(new OddColour);
    EXPECT_FALSE(EncodeColor(odd));
    Descriptor d(DescriptorKey(Key("null")));
    EXPECT_FALSE(EncodeColor(d, Key("Clr "), odd));
    EXPECT_TRUE(d.m_items.empty());
    EXPECT_TRUE(EncodeColor(d, Key("Clr "), colours[1]));
    ASSERT_EQ(d.m_items.size(), 1u);
    EXPECT_TRUE(d.Get<DescriptorItemDescriptor>(Key("Clr ")));

    // The whole colour object saves and reads back.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(desctest::SaveBody(d, bytes));
    ParseData pd;
    Descriptor again;
    ASSERT_TRUE(desctest::ParseBody(bytes, again, pd));
    Report r;
    Colour back;
    ASSERT_TRUE(DecodeColor(*again.GetItem(Key("Clr ")), back, r));
    EXPECT_NEAR(Grey(back), 0.25f, 1e-4);
}

TEST(DescriptorCodecs, LegacyColourRecords) {
    bool ok = false;
    EXPECT_EQ(Record(Renderer::ColourRGB::Create(Renderer::RGBA8{255, 0, 255, 255}, 1, 1, ""), &ok),
              Words({0, 65535, 0, 65535, 0}));
    EXPECT_TRUE(ok);
    // 100 % cyan stays full ink: the reader takes the high byte of each component.
    auto cyan =
        Record(Renderer::ColourCMYK::Create(Renderer::CMYKAF{1, 0, 0, 0, 1}, 1, 1, ""), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(cyan, Words({2, 65535, 0, 0, 0}));
    EXPECT_EQ(cyan[2], 0xFF);
    EXPECT_EQ(Record(Renderer::ColourLAB::Create(Renderer::LABA16{1, 2, 3, 4}, 1, 1, "")),
              Words({7, 1, 2, 3, 0}));
    auto grey = Renderer::ColourGrayscale::Create(1.0f, 1, 1, "");
    EXPECT_EQ(Record(grey), Words({8, grey->ToGray16(), 0, 0, 0}));
    EXPECT_EQ(grey->ToGray16(), 65535);
    auto hsl = Record(Renderer::ColourHSL::Create(0.5f, 1.0f, 0.5f, 1, 1, ""));
    EXPECT_EQ(hsl, Words({1, 32767, 65535, 65535, 0}));
    EXPECT_EQ(Record(Renderer::ColourWrapped::Create(grey, 1, 1, "spot")),
              Words({8, 65535, 0, 0, 0}));

    Record(Colour(new OddColour), &ok);
    EXPECT_FALSE(ok);
    // Channels beyond 0..1 are held at the ends of the 16-bit range.
    EXPECT_EQ(Record(Renderer::ColourRGB::Create(Renderer::RGBAF{-0.5f, 2.0f, 0.0f, 1}, 1, 1, "")),
              Words({0, 0, 65535, 0, 0}));

    // A short write fails.
    class Short : public Kernel::OutStream {
    public:
        bool Write(void const*, size_t n) override {
            m_left = n > m_left ? 0 : m_left - n;
            return m_left > 0;
        }
        size_t m_left = 9;
    } s;
    EXPECT_FALSE(WriteColor(s, ByteOrderFixer{}, grey));
}

TEST(DescriptorCodecs, Points) {
    Descriptor d(DescriptorKey(Key("null")));
    ASSERT_TRUE(EncodePoint(d, DescriptorKey::Name("Pstn"), {12.5, -3}));
    auto item = d.Get<DescriptorItemDescriptor>("Pstn");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->m_descriptor.m_classID.m_code, Key("Pnt "));
    ASSERT_EQ(item->m_descriptor.m_items.size(), 2u);
    EXPECT_EQ(item->m_descriptor.m_items[0].m_key.m_code, Key("Hrzn"));
    EXPECT_EQ(item->m_descriptor.m_items[1].m_key.m_code, Key("Vrtc"));
    Report r;
    Kernel::PointT<double> p;
    ASSERT_TRUE(DecodePoint(*item, p, r));
    EXPECT_EQ(p, (Kernel::PointT<double>{12.5, -3}));

    auto extra = Object(Key("Pnt "));
    EncodeDouble(extra->m_descriptor, Key("Vrtc"), 4);
    EncodeDouble(extra->m_descriptor, Key("Zzzz"), 4);
    ASSERT_TRUE(DecodePoint(*extra, p, r));
    EXPECT_EQ(p.y, 4);
    ASSERT_EQ(r.WarningCount(), 1u);
    EXPECT_EQ(r.Warning(0), std::make_pair(2, String("Pnt,Zzzz")));

    Kernel::PointT<double> keep{1, 2};
    EXPECT_FALSE(DecodePoint(DescriptorItemDouble(1), keep, r));
    EXPECT_EQ(r.Code(), 29);
    EXPECT_EQ(r.Detail(), "Pnt ");
    EXPECT_FALSE(DecodePoint(*Object(Key("Clr ")), keep, r));
    EXPECT_EQ(r.Code(), 36);
    EXPECT_EQ(r.Detail(), "Pnt > Clr ");
    auto badValue = Object(Key("Pnt "));
    EncodeDouble(badValue->m_descriptor, Key("Hrzn"), 9);
    EncodeInteger(badValue->m_descriptor, Key("Vrtc"), 4);
    EXPECT_FALSE(DecodePoint(*badValue, keep, r));
    EXPECT_EQ(r.Code(), 30);
    EXPECT_EQ(keep, (Kernel::PointT<double>{1, 2}));
}

TEST(DescriptorCodecs, SimpleEncoders) {
    Descriptor d(DescriptorKey(Key("null")));
    EXPECT_TRUE(EncodeInteger(d, Key("long"), -5));
    EXPECT_TRUE(EncodeBool(d, Key("bool"), true));
    EXPECT_TRUE(EncodeDouble(d, Key("doub"), 0.5));
    EXPECT_TRUE(EncodeString(d, Key("TEXT"), "t"));
    EXPECT_TRUE(EncodeUnit(d, Key("UntF"), Unit::Density, 300));
    EXPECT_TRUE(EncodeEnum(d, Key("enum"), Key("Ordn"), Key("Trgt")));
    struct HostUnit {
        Kernel::Unit unit;
        Unit expected;
    } const units[] = {
        {Kernel::Unit::Percent, Unit::Percent}, {Kernel::Unit::Pixels, Unit::Pixels},
        {Kernel::Unit::Inches, Unit::Inch},     {Kernel::Unit::Points, Unit::Points},
        {Kernel::Unit::Millimetres, Unit::MM},  {Kernel::Unit::Centimetres, Unit::CM}};
    for (auto const& u : units) {
        Descriptor one(DescriptorKey(Key("null")));
        ASSERT_TRUE(EncodeUnit(one, Key("w   "), Kernel::UnitValue(2.5, u.unit)));
        auto item = one.Get<DescriptorItemUnitFloat>(Key("w   "));
        ASSERT_TRUE(item);
        EXPECT_EQ(item->m_unit, u.expected);
        EXPECT_EQ(item->m_value, 2.5);
    }
    size_t before = d.m_items.size();
    for (int host : {0, 2, 3, 4, 10})
        EXPECT_FALSE(EncodeUnit(d, Key("w   "), Kernel::UnitValue(1, Kernel::Unit(host))));
    EXPECT_EQ(d.m_items.size(), before);

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(desctest::SaveBody(d, bytes));
    ParseData pd;
    Descriptor back;
    ASSERT_TRUE(desctest::ParseBody(bytes, back, pd));
    ASSERT_EQ(back.m_items.size(), 6u);
    EXPECT_EQ(back.Get<DescriptorItemInteger>(Key("long"))->m_value, -5);
    EXPECT_EQ(back.Get<DescriptorItemUnitFloat>(Key("UntF"))->m_unit, Unit::Density);
    EXPECT_EQ(back.Get<DescriptorItemEnum>(Key("enum"))->m_value.m_value.m_code, Key("Trgt"));
}

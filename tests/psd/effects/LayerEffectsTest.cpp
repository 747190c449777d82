// Layer effects: legacy records (sizes, versions, fixed-point forms), the two block forms and how
// they combine, multi-effect lists, enumerations, gradients and contours, and the blocks a save
// writes.
#include <gtest/gtest.h>

#include <functional>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "tests/psd/layer/LayerBytes.h"
#include "tests/support/ChangeSets.h"
#include "tests/support/RoundTrip.h"

namespace {

using namespace PSD;
using testsupport::Bytes;
using UnitType = DescriptorItemUnitFloat::UnitType;

Bytes Colour(uint16_t r, uint16_t g, uint16_t b) {
    return Bytes().U16(0).U16(r).U16(g).U16(b).U16(0);
}

// A legacy record body of the given layout: n a 32-bit number, c a colour, b a blend mode, 1 a
// byte; numbers count up from 1 so that each field is told apart.
Bytes Fields(std::string const& layout) {
    Bytes b;
    uint32_t n = 0;
    for (char f : layout) {
        if (f == 'n') b.U32(++n << 16);
        if (f == 'c') b.Append(Colour(0x1111, 0x2222, 0x3333));
        if (f == 'b') b.Str("8BIMnorm");
        if (f == '1') b.U8(1);
    }
    return b;
}

Bytes Record(std::string const& key, uint32_t size, uint32_t version, Bytes const& fields) {
    return Bytes().Str("8BIM").Str(key).U32(size).U32(version).Append(fields);
}

Bytes Common() {
    return Bytes().Str("8BIMcmnS").U32(7).U32(0).U8(1).U16(0);
}

struct Read {
    bool ok;
    Kernel::Counted<PSDLayerEffects> fx;
    ParseData pd;
};

Read ReadLegacy(uint16_t count, Bytes const& records) {
    Read r{false, Kernel::Counted<PSDLayerEffects>(new PSDLayerEffects), {}};
    r.pd.m_report.m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    Bytes body = Bytes().U16(0).U16(count).Append(records);
    auto s = Kernel::MemoryInStream::Create(body);
    r.ok = r.fx->ParseLayerEffects(*s, r.pd);
    return r;
}

// The body of an object block holding the descriptor.
Bytes ObjectBody(Descriptor const& d) {
    auto m = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_TRUE(WriteValue<uint32_t>(*m, 0, ByteOrderFixer{true}) && d.Save(*m, ByteOrderFixer{true}));
    Bytes b;
    b.Append(m->GetData());
    return b;
}

bool ReadObject(PSDLayerEffects& fx, Bytes const& body, ParseData& pd) {
    auto s = Kernel::MemoryInStream::Create(body);
    return fx.ParseObjectEffects(*s, pd);
}

std::string WarningText(ParseData const& pd) {
    return pd.m_report.m_warnings ? std::string(pd.m_report.m_warnings->Report()) : "";
}

std::string ErrorText(ParseData const& pd) {
    return pd.m_report.m_error ? std::string(pd.m_report.m_error->Report()) : "";
}

// Four characters make a code key, anything else a name key.
DescriptorKey K(std::string const& s) {
    if (s.size() != 4) return DescriptorKey::Name(s);
    return DescriptorKey(uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
                         uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3])));
}

Kernel::Counted<DescriptorItemDescriptor> Object(char const (&classID)[5]) {
    return Kernel::Counted<DescriptorItemDescriptor>(
        new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key(classID)))));
}

TEST(LegacyEffects, RecordSizesAndVersions) {
    struct Case {
        char const* key;
        uint32_t size, version;
        std::string layout;
        char const* error;  // "" when the record reads
    };
    Case const cases[] = {
        {"dsdw", 41, 0, "nnnncb111", ""},
        {"isdw", 51, 2, "nnnncb111c", ""},
        {"dsdw", 45, 0, "nnnncb111", "Shadow: Bad data"},
        {"dsdw", 51, 1, "", "Unknown Shadow version : 1"},
        {"oglw", 32, 0, "nncb11", ""},
        {"oglw", 42, 2, "nncb11c", ""},
        {"oglw", 43, 2, "", "Glow: Bad data"},
        {"iglw", 43, 2, "nncb111c", ""},
        {"iglw", 42, 2, "", "Glow: Bad data"},
        {"iglw", 33, 3, "", "Unknown Glow version : 3"},
        {"bevl", 58, 0, "nnnbbcc111111", ""},
        {"bevl", 78, 2, "nnnbbcc111111cc", ""},
        {"bevl", 60, 2, "", "Bevel: Bad data"},
        {"bevl", 78, 1, "", "Unknown Bevel version : 1"},
        {"sofi", 34, 2, "bc11c", ""},
        {"sofi", 34, 0, "", "Unknown Solid Fill version : 0"},
        {"sofi", 30, 2, "", "Solid Fill: Bad data"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.size));
        // A record read to its end leaves the common state after it in place.
        Read r = ReadLegacy(2, Record(c.key, c.size, c.version, Fields(c.layout)).Append(Common()));
        EXPECT_EQ(r.ok, !*c.error) << ErrorText(r.pd);
        if (*c.error) {
            EXPECT_EQ(ErrorText(r.pd), c.error);
        } else {
            EXPECT_EQ(r.fx->m_effects.size(), 1u);
        }
    }
}

// A version 0 shadow: blur 7, intensity 50, angle 30, distance 4, red, multiply, enabled, local
// angle, opacity 51.
Bytes ShadowV0() {
    Bytes v0 = Bytes().U32(7).U32(50).U32(30).U32(4).Append(Colour(0xFFFF, 0, 0)).Str("8BIMmul ");
    return v0.U8(1).U8(0).U8(51);
}

TEST(LegacyEffects, ShadowForms) {
    // Version 0: whole values; version 2: integer and fraction, then 16.16 values.
    Bytes v0 = ShadowV0();
    Bytes v2 = Bytes().U16(7).U16(0x8000).U32(50 << 16).U32(uint32_t(-30 * 65536)).U32(uint32_t(-2 * 65536));
    v2.Append(Colour(0, 0xFFFF, 0)).Str("8BIMscrn").U8(0).U8(1).U8(255).Append(Colour(0, 0, 0xFFFF));
    Read a = ReadLegacy(1, Record("dsdw", 41, 0, v0));
    Read b = ReadLegacy(1, Record("isdw", 51, 2, v2));
    ASSERT_TRUE(a.ok && b.ok) << ErrorText(a.pd) << ErrorText(b.pd);
    auto const& s0 = static_cast<PSDEffectShadow const&>(*a.fx->m_effects[0]);
    auto const& s2 = static_cast<PSDEffectShadow const&>(*b.fx->m_effects[0]);
    EXPECT_EQ(std::tuple(s0.m_blur, s0.m_intensity, s0.m_angle, s0.m_distance, s0.m_inner),
              std::tuple(7, 0.5, 30, 4, false));
    EXPECT_EQ(std::tuple(s0.m_enabled, s0.m_useGlobalAngle, s0.m_opacity, s0.m_blendMode),
              std::tuple(true, false, 0.2, BlendMode::Multiply));
    EXPECT_FALSE(s0.m_nativeColour);
    EXPECT_EQ(std::tuple(s2.m_blur, s2.m_intensity, s2.m_angle, s2.m_distance, s2.m_inner),
              std::tuple(7, 0.5, -30, 0, true));
    EXPECT_EQ(std::tuple(s2.m_enabled, s2.m_useGlobalAngle, s2.m_opacity, s2.m_blendMode),
              std::tuple(false, true, 1.0, BlendMode::Screen));
    ASSERT_TRUE(s2.m_nativeColour);
    EXPECT_EQ(s2.m_nativeColour->ToRGBAF().b, 1.0f);
    // Legacy shadows have no anti-alias, conceal the layer, and have no noise.
    EXPECT_EQ(std::tuple(s0.m_antiAlias, s0.m_layerConceals, s0.m_noise), std::tuple(false, true, 0.0));
}

TEST(LegacyEffects, InnerGlowInvertBeforeNativeColour) {
    Bytes g = Bytes().U16(3).U16(0).U32(0).Append(Colour(0, 0, 0)).Str("8BIMnorm").U8(1).U8(255);
    Read r = ReadLegacy(1, Record("iglw", 43, 2, Bytes(g).U8(1).Append(Colour(0xFFFF, 0, 0))));
    ASSERT_TRUE(r.ok) << ErrorText(r.pd);
    auto const& glow = static_cast<PSDEffectGlow const&>(*r.fx->m_effects[0]);
    EXPECT_TRUE(glow.m_invert);
    ASSERT_TRUE(glow.m_nativeColour);
    EXPECT_EQ(glow.m_nativeColour->ToRGBAF().r, 1.0f);
}

TEST(LegacyEffects, UnknownKeySkipsNothing) {
    Read r = ReadLegacy(3, Bytes().Str("8BIMzzzz").Append(Common()).Append(
                               Record("sofi", 34, 2, Fields("bc11c"))));
    ASSERT_TRUE(r.ok) << ErrorText(r.pd);
    EXPECT_EQ(r.fx->m_effects.size(), 1u);
    EXPECT_EQ(WarningText(r.pd), "Unknown layers effect type : zzzz\n");
    Read bad = ReadLegacy(1, Bytes().Str("8BIXcmnS"));
    EXPECT_EQ(ErrorText(bad.pd), "Unknown signature : 8BIX [3]");
}

// A descriptor holding one drop shadow, and a list of three.
Descriptor ShadowDescriptor(std::vector<int> const& distances, bool multi) {
    Descriptor d(DescriptorKey(Key("null")));
    EncodeUnit(d, Key("Scl "), UnitType::Percent, 50.0);
    Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
    for (int dist : distances) {
        auto s = Object("DrSh");
        EncodeBool(s->m_descriptor, Key("enab"), true);
        EncodeUnit(s->m_descriptor, Key("Dstn"), UnitType::Pixels, dist);
        EncodeBool(s->m_descriptor, DescriptorKey::Name("present"), true);
        if (multi) list->m_items.push_back(s);
        else d.AddItem(Key("DrSh"), s);
    }
    if (multi) d.AddItem(DescriptorKey::Name("dropShadowMulti"), list);
    return d;
}

TEST(ObjectEffects, MultiListsKeepTheirOrderBothWays) {
    PSDLayerEffects fx;
    ParseData pd;
    ASSERT_TRUE(ReadObject(fx, ObjectBody(ShadowDescriptor({3, 1, 2}, true)), pd)) << ErrorText(pd);
    ASSERT_EQ(fx.m_effects.size(), 3u);
    EXPECT_EQ(fx.m_scale, 0.5);
    int const order[] = {3, 1, 2};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<PSDEffectShadow const&>(*fx.m_effects[i]).m_distance, order[i]);
    fx.m_effects.push_back(Kernel::Counted<PSDEffect>(new PSDEffectShadow(true)));
    Descriptor saved;
    ASSERT_TRUE(fx.BuildDescriptor(saved));
    auto list = saved.Get<DescriptorItemList>("dropShadowMulti");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->m_items.size(), 3u);
    EXPECT_TRUE(saved.GetItem(Key("IrSh")));
    EXPECT_FALSE(saved.GetItem(Key("DrSh")));
    auto scale = saved.Get<DescriptorItemUnitFloat>(Key("Scl "));
    ASSERT_TRUE(scale);
    EXPECT_EQ(std::tuple(scale->m_unit, scale->m_value), std::tuple(UnitType::Percent, 50.0));
    // Read back, the three shadows come in the same order.
    PSDLayerEffects back;
    ParseData pd2;
    ASSERT_TRUE(ReadObject(back, ObjectBody(saved), pd2)) << ErrorText(pd2);
    ASSERT_EQ(back.m_effects.size(), 4u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<PSDEffectShadow const&>(*back.m_effects[i]).m_distance,
                  static_cast<PSDEffectShadow const&>(*fx.m_effects[i]).m_distance);
}

TEST(ObjectEffects, ListKeyThatIsNotAList) {
    Descriptor d(DescriptorKey(Key("null")));
    EncodeDouble(d, DescriptorKey::Name("frameFXMulti"), 1.0);
    PSDLayerEffects fx;
    ParseData pd;
    EXPECT_FALSE(ReadObject(fx, ObjectBody(d), pd));
    EXPECT_EQ(ErrorText(pd), "Descriptor: Expected a List : LayerEffects,MultiFrameFX > Double");
}

TEST(ObjectEffects, LegacyBlockAfterDescriptorBlockIsIgnored) {
    Bytes legacy = Bytes().U16(0).U16(2).Append(Common()).Append(Record("sofi", 34, 2, Fields("bc11c")));
    for (bool descriptorFirst : {true, false}) {
        PSDLayerEffects fx;
        ParseData pd;
        auto s = Kernel::MemoryInStream::Create(legacy);
        Bytes object = ObjectBody(ShadowDescriptor({1}, false));
        if (descriptorFirst) {
            ASSERT_TRUE(ReadObject(fx, object, pd));
        }
        ASSERT_TRUE(fx.ParseLayerEffects(*s, pd)) << ErrorText(pd);
        if (!descriptorFirst) {
            ASSERT_TRUE(ReadObject(fx, object, pd));
        }
        // Legacy first: the descriptor's effects are added to the legacy ones.
        ASSERT_EQ(fx.m_effects.size(), descriptorFirst ? 1u : 2u);
        EXPECT_EQ(fx.m_effects.back()->GetType(), PSDEffect::kShadow);
    }
}

TEST(ObjectEffects, EnumerationsOutOfTheirLists) {
    struct Case {
        char const* effect;  // top-level key, also the class
        char const* key;
        char const* type;
        char const* value;
        char const* text;  // warning, or error when the type is wrong
    };
    Case const cases[] = {
        {"OrGl", "GlwT", "BETE", "zzzz", "Unknown Glow technique : zzzz\n"},
        {"IrGl", "glwS", "IGSr", "zzzz", "Unknown Glow source type : zzzz\n"},
        {"ebbl", "bvlT", "bvlT", "zzzz", "Unknown Bevel technique : zzzz\n"},
        {"ebbl", "bvlS", "BESl", "zzzz", "Unknown Bevel style : zzzz\n"},
        {"ebbl", "bvlD", "BESs", "zzzz", "Unknown Bevel direction : zzzz\n"},
        {"FrFX", "PntT", "FrFl", "zzzz", "Unknown Stroke fill type : zzzz\n"},
        {"FrFX", "Styl", "FStl", "zzzz", "Unknown Stroke style : zzzz\n"},
        {"FrFX", "Styl", "FrFl", "OutF", "Descriptor: Unexpected enum type : EffectStroke,Styl - FStl > FrFl [13]"},
        {"ebbl", "bvlD", "BESl", "In  ", "Descriptor: Unexpected enum type : EffectBevel,bvlD - BESs > BESl [11]"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.effect) + " " + c.key + " " + c.type);
        Descriptor d(DescriptorKey(Key("null")));
        auto e = Object("null");
        e->m_descriptor.m_classID = K(c.effect);
        EncodeEnum(e->m_descriptor, K(c.key), K(c.type), K(c.value));
        d.AddItem(K(c.effect), e);
        PSDLayerEffects fx;
        ParseData pd;
        pd.m_report.m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
        bool ok = ReadObject(fx, ObjectBody(d), pd);
        bool wrongType = std::string(c.value) != "zzzz";
        EXPECT_EQ(ok, !wrongType);
        EXPECT_EQ(wrongType ? ErrorText(pd) : WarningText(pd), c.text);
    }
}

TEST(ObjectEffects, UnexpectedClassAndIgnoredKeys) {
    Descriptor d(DescriptorKey(Key("null")));
    auto s = Object("xxxx");
    EncodeBool(s->m_descriptor, DescriptorKey::Name("showInDialog"), true);
    EncodeBool(s->m_descriptor, Key("qqqq"), true);
    d.AddItem(Key("DrSh"), s);
    EncodeInteger(d, DescriptorKey::Name("numModifyingFX"), 1);
    EncodeInteger(d, Key("wxyz"), 1);
    PSDLayerEffects fx;
    ParseData pd;
    pd.m_report.m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    ASSERT_TRUE(ReadObject(fx, ObjectBody(d), pd)) << ErrorText(pd);
    EXPECT_EQ(WarningText(pd),
              "Unexpected key : EffectShadow - DrSh > xxxx\nUnknown property : EffectShadow,qqqq\n"
              "Unknown layers effect type : wxyz\n");
    // What the model does not read is written back.
    Descriptor saved;
    ASSERT_TRUE(fx.BuildDescriptor(saved));
    EXPECT_TRUE(saved.GetItem("numModifyingFX"));
    auto shadow = saved.Get<DescriptorItemDescriptor>(Key("DrSh"));
    ASSERT_TRUE(shadow);
    EXPECT_TRUE(shadow->m_descriptor.GetItem("showInDialog"));
    EXPECT_TRUE(shadow->m_descriptor.GetItem(Key("qqqq")));
}

TEST(Gradients, NoiseGradientIsReadAndKept) {
    auto g = Object("Grdn");
    EncodeEnum(g->m_descriptor, Key("GrdF"), Key("GrdF"), Key("ClNs"));
    EncodeInteger(g->m_descriptor, Key("RndS"), 1234);
    auto stops = Kernel::Counted<DescriptorItemList>(new DescriptorItemList);
    auto stop = Object("Clrt");
    EncodeInteger(stop->m_descriptor, Key("Lctn"), 2048);
    EncodeEnum(stop->m_descriptor, Key("Type"), Key("Clry"), Key("BckC"));
    stops->m_items.push_back(stop);
    g->m_descriptor.AddItem(Key("Clrs"), stops);
    PSDGradient grad;
    PSDLoadData ld(true);
    ld.m_report.m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    ASSERT_TRUE(grad.Parse(*g, ld));
    EXPECT_EQ(std::string(ld.m_report.m_warnings->Report()),
              "Unsupported Gradient format : Noise\n"
              "Unknown Gradient colour type : Gradient,Colours,Type:BckC\n");
    ASSERT_EQ(grad.m_colours.size(), 1u);
    EXPECT_EQ(grad.m_colours[0].location, 2048);
    EXPECT_TRUE(grad.IsNoise());
    Descriptor out;
    ASSERT_TRUE(grad.Save(out, Key("Grad")));
    PSDGradient back;
    PSDLoadData ld2(true);
    ASSERT_TRUE(back.Parse(*out.GetItem(Key("Grad")), ld2));
    EXPECT_TRUE(back.IsNoise());
    ASSERT_EQ(back.m_noise.size(), 1u);
    EXPECT_EQ(back.m_colours[0].type, "BckC");

    // Its own fields are taken back, its stops cannot change, and it can become a custom ramp.
    using nlohmann::json;
    std::string why;
    json own = json::parse(GradientJson(grad).dump());
    EXPECT_TRUE(GradientWithChanges(grad, own, why)) << why;
    json ramp = json::parse(R"([{"location": 0, "color": {"model": "rgb", "values": [0, 0, 0]}},
                                 {"location": 9, "color": {"model": "rgb", "values": [9, 9, 9]}}])");
    json alpha = json::parse(R"([{"location": 0, "opacity": 101}, {"location": 4096}])");
    for (json const& bad : {json({{"color_stops", ramp}}), json({{"noise", false}})})
        EXPECT_FALSE(GradientWithChanges(grad, bad, why)) << bad;
    EXPECT_TRUE(grad.IsNoise());
    json custom = {{"noise", false}, {"color_stops", ramp}, {"transparency_stops", alpha}};
    EXPECT_FALSE(GradientWithChanges(grad, custom, why));
    EXPECT_NE(why.find("\"opacity\" of transparency stop 1"), std::string::npos) << why;
    alpha[0].erase("opacity");  // opaque unless given
    custom["transparency_stops"] = alpha;
    ASSERT_TRUE(GradientWithChanges(grad, custom, why)) << why;
    EXPECT_FALSE(grad.IsNoise());
    EXPECT_TRUE(grad.m_noise.empty());
    EXPECT_EQ(grad.m_colours[1].location, 9);
}

// The interpolation method of newer editors is read and written back; unstated, none is written.
TEST(Gradients, InterpolationMethodIsReadAndWritten) {
    Descriptor d;
    ASSERT_TRUE(EncodeEnum(d, Key("gs99"), DescriptorKey::Name("gradientInterpolationMethodType"),
                           DescriptorKey(Key("Perc"))));
    PSDGradientDesc g, plain;
    PSDLoadData ld(true);
    ASSERT_TRUE(g.Parse(DescriptorKey(Key("gs99")), *d.GetItem(Key("gs99")), ld));
    EXPECT_EQ(g.m_interpolation.m_code, Key("Perc"));
    Descriptor out, none;
    ASSERT_TRUE(g.Save(out) && plain.Save(none));
    auto e = out.Get<DescriptorItemEnum>(Key("gs99"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->m_value.m_value.m_code, Key("Perc"));
    EXPECT_FALSE(none.GetItem(Key("gs99")));
    EXPECT_FALSE(g.Parse(DescriptorKey(Key("gs99")), *out.GetItem(Key("Angl")), ld));
}

TEST(Gradients, BinaryFormAndItsTrailer) {
    PSDGradient g;
    g.m_name = "ramp";
    g.SetGradientSingleColour(Renderer::ColourRGB::Create(Renderer::RGBA8{10, 20, 30, 255}, 1, 1, ""));
    g.m_transparency[1].opacity = 0;
    auto m = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(g.Save(*m, SaveData{}));
    Bytes bytes;
    bytes.Append(m->GetData());
    EXPECT_EQ(bytes.size(), 4 + 8 + 2 + 2 * 20 + 2 + 2 * 10 + 40u);
    PSDGradient back;
    PSDLoadData ld(true);
    auto s = Kernel::MemoryInStream::Create(bytes);
    ASSERT_TRUE(back.Parse(*s, ld));
    EXPECT_EQ(std::tuple(back.m_name, back.m_colours.size(), back.m_transparency[1].opacity,
                         back.m_colours[1].location),
              std::tuple(String("ramp"), size_t(2), uint8_t(0), 4096));
    EXPECT_FALSE(back.IsFullyTransparent());
    bytes[bytes.size() - 39] = 3;  // the trailer's first word
    PSDLoadData bad(true);
    auto s2 = Kernel::MemoryInStream::Create(bytes);
    EXPECT_FALSE(back.Parse(*s2, bad));
    EXPECT_EQ(bad.m_report.m_error->GetCode(), PSDError::kGradientBadData);
}

TEST(Contours, DefaultAndSavedAsIdentity) {
    PSDContour c;
    EXPECT_TRUE(c.IsDefault());
    Descriptor d;
    ASSERT_TRUE(c.Save(d, Key("TrnS")));
    PSDContour back;
    PSDReport r;
    ASSERT_TRUE(back.Parse(*d.GetItem(Key("TrnS")), r));
    ASSERT_EQ(back.m_points.size(), 2u);
    EXPECT_EQ(std::tuple(back.m_points[1].horizontal, back.m_points[1].vertical), std::tuple(255, 255));
    back.m_points.insert(back.m_points.begin() + 1, PSDContour::Pt{128, 200});
    EXPECT_FALSE(back.IsDefault());
}

// The tagged blocks of a save of the effects, as key and body.
std::vector<std::pair<std::string, Bytes>> SavedBlocks(PSDLayerEffects const& fx) {
    auto m = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_TRUE(fx.Save(*m, SaveData{}));
    std::vector<std::pair<std::string, Bytes>> out;
    auto const& b = m->GetData();
    for (size_t i = 0; i + 12 <= b.size();) {
        uint32_t n = uint32_t(b[i + 8]) << 24 | b[i + 9] << 16 | b[i + 10] << 8 | b[i + 11];
        Bytes body;
        body.insert(body.end(), b.begin() + i + 12, b.begin() + i + 12 + n);
        out.push_back({std::string(b.begin() + i + 4, b.begin() + i + 8), body});
        i += 12 + n;
    }
    return out;
}

TEST(SaveEffects, DescriptorBlockFirstAndLegacyRecords) {
    PSDLayerEffects fx;
    EXPECT_FALSE(fx.HasEnabledEffects());
    fx.m_effects.push_back(Kernel::Counted<PSDEffect>(new PSDEffectGradientFill));
    fx.m_effects.back()->m_enabled = false;
    EXPECT_FALSE(fx.HasEnabledEffects());
    fx.m_effects.push_back(Kernel::Counted<PSDEffect>(new PSDEffectSatin));
    EXPECT_TRUE(fx.HasEnabledEffects());
    auto blocks = SavedBlocks(fx);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].first, "lfx2");
    EXPECT_EQ(blocks[1].first, "lrFX");
    // Only the common state: neither effect has a legacy record.
    EXPECT_EQ(blocks[1].second[3], 1);
    // A shadow read from a version 0 record is written as 51 bytes of version 2.
    Read r = ReadLegacy(1, Record("dsdw", 41, 0, ShadowV0()));
    ASSERT_TRUE(r.ok);
    auto legacy = SavedBlocks(*r.fx)[1].second;
    Bytes want = Bytes().U16(0).U16(2).Append(Common()).Str("8BIMdsdw").U32(51).U32(2);
    ASSERT_GE(legacy.size(), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), legacy.begin()));
    PSDLayerEffects back;
    ParseData pd;
    auto s = Kernel::MemoryInStream::Create(legacy);
    ASSERT_TRUE(back.ParseLayerEffects(*s, pd)) << ErrorText(pd);
    auto const& a = static_cast<PSDEffectShadow const&>(*r.fx->m_effects[0]);
    auto const& b = static_cast<PSDEffectShadow const&>(*back.m_effects[0]);
    EXPECT_EQ(std::tuple(a.m_blur, a.m_angle, a.m_distance, a.m_intensity, a.m_opacity),
              std::tuple(b.m_blur, b.m_angle, b.m_distance, b.m_intensity, b.m_opacity));
}

TEST(SaveEffects, LegacyOnlyLayerIsSavedWithBothBlocksInOrder) {
    layertest::Record rec;
    rec.channels = {{-1, 8}, {0, 8}, {1, 8}, {2, 8}};  // raw, 3 x 2 pixels
    rec.blocks = layertest::Block(
        "lrFX", Bytes().U16(0).U16(2).Append(Common()).Append(Record("sofi", 34, 2, Fields("bc11c"))));
    testsupport::Header h;
    Bytes doc = testsupport::Document(h, {}, {}, layertest::Section(layertest::LayerInfo(1, {rec})),
                                      Bytes().U16(0).Zeros(60));
    PSDReport r;
    auto file = testsupport::OpenBytes(doc, r);
    ASSERT_TRUE(file) << testsupport::ReportText(r);
    for (bool psb : {false, true}) {
        auto m = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(file->Save(*m, {.psb = psb, .compress = false}));
        PSDReport r2;
        auto back = testsupport::OpenBytes(m->TakeData(), r2);
        ASSERT_TRUE(back) << testsupport::ReportText(r2);
        std::vector<std::string> keys;
        for (auto const& b : back->m_layers[0]->m_blocks) {
            std::string k = std::string(KeyToString(b.key));
            if (k == "lfx2" || k == "lrFX") keys.push_back(k);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"lfx2", "lrFX"}));
        // Read again, the fill is there once.
        EXPECT_EQ(back->m_layers[0]->GetEffects()->m_effects.size(), 1u);
        EXPECT_EQ(PSD::CompareStoredData(*file, *back), std::vector<std::string>());
    }
}

}  // namespace

// Changes in the names and units of the effects' JSON: set on a copy, read back the same from
// the descriptor block a save writes, and refused whole when a field is unknown or out of range.
TEST(EffectChanges, SetInTheirUnitsAndSavedSo) {
    using nlohmann::json;
    auto shadow = [] { return Kernel::Counted<PSDEffect>(new PSDEffectShadow(false)); };
    auto inner = [] { return Kernel::Counted<PSDEffect>(new PSDEffectShadow(true)); };
    auto glow = [] { return Kernel::Counted<PSDEffect>(new PSDEffectGlow(true)); };
    auto bevel = [] { return Kernel::Counted<PSDEffect>(new PSDEffectBevel); };
    auto fill = [] { return Kernel::Counted<PSDEffect>(new PSDEffectSolidFill); };
    auto gradient = [] { return Kernel::Counted<PSDEffect>(new PSDEffectGradientFill); };
    auto stroke = [] { return Kernel::Counted<PSDEffect>(new PSDEffectStroke); };
    auto satin = [] { return Kernel::Counted<PSDEffect>(new PSDEffectSatin); };
    auto pattern = [] { return NewEffect("PatternOverlay"); };
    struct Case {
        std::function<Kernel::Counted<PSDEffect>()> make;
        char const* changes;
        char const* fault;  // null: accepted
    } const cases[] = {
        {shadow, R"({"opacity": 40, "distance": 9, "size": 12, "spread": 25, "angle": -30,
                     "blend_mode": "scrn", "use_global_light": false,
                     "color": {"model": "rgb", "values": [10, 20, 30]}})",
         nullptr},
        {inner, R"({"choke": 50, "noise": 10, "type": "InnerShadow",
                    "color": {"model": "cmyk", "values": [10, 20, 30, 40]}})",
         nullptr},
        {inner, R"({"spread": 50})", "\"spread\" of InnerShadow is not a field that can be set"},
        {glow, R"({"technique": "precise", "source": "center", "range": 30, "jitter": 5,
                   "color": {"model": "grayscale", "values": [25]}})",
         nullptr},
        {glow, R"({"technique": "sharp"})", "must be one of \"softer\", \"precise\""},
        {bevel, R"({"style": "emboss", "technique": "chisel_soft", "direction": "down",
                    "depth": 250, "altitude": 45, "soften": 3, "highlight_opacity": 60,
                    "highlight_color": {"model": "hsb", "values": [120, 50, 80]},
                    "shadow_color": {"model": "lab", "values": [40, 10, -20]}})",
         nullptr},
        {fill, R"({"opacity": 55, "blend_mode": "mul ",
                   "color": {"model": "rgb", "values": [255, 128, 0]}})",
         nullptr},
        {fill, R"({"opacity": 100.5})", "must be a number from 0 to 100"},
        {fill, R"({"color": {"model": "rgb", "values": [300, 0, 0]}})", "from 0 to 255"},
        {gradient, R"({"gradient_type": "radial", "scale": 120, "reverse": true,
                       "offset": [10, -5], "angle": 45})",
         nullptr},
        {gradient, R"({"offset": [10]})", "must be [x, y]"},
        {stroke, R"({"size": 7, "position": "center", "opacity": 80,
                     "color": {"model": "rgb", "values": [0, 0, 0]}})",
         nullptr},
        {stroke, R"({"fill_type": "pattern"})", "can only become"},
        {satin, R"({"distance": 20, "size": 8, "invert": false, "enabled": false,
                    "color": {"model": "rgb", "values": [1, 2, 3]}})",
         nullptr},
        {satin, R"({"size": 3, "blend_mode": "nope"})", "must be a blend mode key"},
        {gradient,
         R"({"gradient": {"name": "Three", "noise": false, "smoothness": 50, "color_stops": [
             {"location": 0, "midpoint": 50, "color": {"model": "rgb", "values": [0, 0, 0]},
              "type": "UsrS"},
             {"location": 2048, "midpoint": 30, "color": null, "type": "FrgC"},
             {"location": 4096, "midpoint": 50, "color": {"model": "rgb", "values": [255, 0, 0]},
              "type": "UsrS"}],
             "transparency_stops": [{"location": 0, "midpoint": 50, "opacity": 100},
                                    {"location": 4096, "midpoint": 50, "opacity": 0}]}})",
         nullptr},
        {gradient, R"({"gradient": {"color_stops": [{"location": 0,
             "color": {"model": "rgb", "values": [0, 0, 0]}}, {"location": 5000}]}})",
         "\"location\" of color stop 2 must be a whole number from 0 to 4096"},
        {gradient, R"({"gradient": {"color_stops": [{"location": 0}, {"location": 1}]}})",
         "\"color\" of color stop 1 must be given"},
        {gradient, R"({"gradient": {"noise": true}})", "can only become false"},
        {gradient, R"({"gradient": {"sharpness": 3}})",
         "\"sharpness\" of the gradient is not a field"},
        {glow, R"({"gradient": {"transparency_stops": [{"location": 0, "opacity": 5}]}})",
         "must be a list of at least two transparency stops"},
        {stroke, R"({"fill_type": "gradient", "gradient_type": "reflected"})", nullptr},
        {shadow, R"({"contour": {"name": "Cone", "points": [[0, 0], [128, 255], [255, 0]],
                                 "default": false}})",
         nullptr},
        {bevel, R"({"contour": {"name": "Ring", "points": [[0, 0], [64, 255], [192, 0], [255, 255]],
                                "default": false},
                    "gloss_contour": {"name": "Linear", "points": [[0, 0], [255, 255]],
                                      "default": true}})",
         nullptr},
        {glow, R"({"contour": {"points": [[0, 0], [0, 255]]}})", "inputs all different"},
        {satin, R"({"contour": {"points": [[0, 0], [255, 255]], "default": false}})",
         "\"default\" follows from the points"},
        {shadow, R"({"contour": {"shape": 1}})", "\"shape\" is not a field of a contour"},
        {pattern, R"({"pattern": {"name": "Grid", "id": "8f632baf"}, "scale": 50, "opacity": 40})",
         nullptr},
        {pattern, R"({"pattern": {"name": "Grid"}})", "must be {\"id\": a pattern's identifier"},
        {shadow, R"({"size": 4.5})", "must be a whole number from 0 to 250"},
        {shadow, R"([1, 2])", "must be an object"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.changes);
        auto e = c.make();
        json changes = json::parse(c.changes);
        auto changed =
            testsupport::ApplyChangeSet(*e, changes, c.fault, EffectJson, EffectWithChanges);
        if (!changed) continue;
        auto after = EffectJson(*changed);
        for (auto const& [key, value] : changes.items()) {
            json const& got =
                key == "color" || key.ends_with("_color") ? after[key]["values"] : after[key];
            json const& want = value.contains("values") ? value["values"] : value;
            if (want.is_array()) {
                ASSERT_EQ(got.size(), want.size()) << key;
                for (size_t i = 0; i < want.size(); ++i)
                    EXPECT_NEAR(got[i].get<double>(), want[i].get<double>(), 0.4)
                        << key;  // 8-bit steps
            } else if (want.is_number()) {
                EXPECT_NEAR(got.get<double>(), want.get<double>(), 1e-6) << key;
            } else {
                EXPECT_EQ(got, want) << key;
            }
        }
        PSDLayerEffects fx;
        fx.m_effects.push_back(changed);
        auto blocks = SavedBlocks(fx);
        ASSERT_FALSE(blocks.empty());
        PSDLayerEffects back;
        ParseData pd;
        ASSERT_TRUE(ReadObject(back, blocks[0].second, pd)) << ErrorText(pd);
        ASSERT_EQ(back.m_effects.size(), 1u);
        auto read = EffectJson(*back.m_effects[0]);
        for (auto const& [key, value] : changes.items()) EXPECT_EQ(read[key], after[key]) << key;
    }
}

// Effects inserted in any order stand where a save and a read put them.
TEST(EffectChanges, InsertedWhereASaveReadsThemBack) {
    PSDLayerEffects fx;
    for (char const* type : {"Satin", "Stroke", "OuterGlow", "DropShadow", "ColorOverlay",
                             "BevelEmboss", "InnerShadow", "DropShadow", "InnerGlow"})
        fx.Insert(NewEffect(type));
    fx.Insert(NewEffect("GradientOverlay"));
    fx.Insert(NewEffect("PatternOverlay"));
    EXPECT_FALSE(NewEffect("Sparkle"));
    PSDLayerEffects back;
    ParseData pd;
    ASSERT_TRUE(ReadObject(back, SavedBlocks(fx)[0].second, pd)) << ErrorText(pd);
    EXPECT_EQ(EffectsJson(back).dump(), EffectsJson(fx).dump());
}

#include "psd/descriptor/DescriptorCodecs.h"

#include <cmath>

#include "host/raster/ICC.h"
#include "psd/io/PSDColourRecord.h"

namespace PSD {

namespace {

using UnitType = DescriptorItemUnitFloat::UnitType;

void Mismatch(PSDReport& report, PSDError::Code code, unsigned number,
              String const& detail = String()) {
    report.SetError(code, detail, number);
}

// Blend modes in descriptors: codes for the classic modes, names for the later ones.
struct BlendEntry {
    uint32_t code;     // 0 when the value is a name
    char const* name;  // null when the value is a code
};

constexpr BlendEntry kBlendKeys[kBlendModeCount] = {
    {Key("Nrml"), nullptr}, {Key("Drkn"), nullptr}, {Key("Lghn"), nullptr},  {Key("H   "), nullptr},
    {Key("Strt"), nullptr}, {Key("Clr "), nullptr}, {Key("Lmns"), nullptr},  {Key("Mltp"), nullptr},
    {Key("Scrn"), nullptr}, {Key("Dslv"), nullptr}, {Key("Ovrl"), nullptr},  {Key("HrdL"), nullptr},
    {Key("SftL"), nullptr}, {Key("Dfrn"), nullptr}, {Key("Xclu"), nullptr},  {Key("CDdg"), nullptr},
    {Key("CBrn"), nullptr}, {0, "linearBurn"},      {0, "linearDodge"},      {0, "vividLight"},
    {0, "linearLight"},     {0, "pinLight"},        {0, "hardMix"},          {Key("pass"), nullptr},
    {0, "darkerColor"},     {0, "lighterColor"},    {0, "blendSubtraction"}, {0, "blendDivide"},
};

class BlendDictionary : public DictionaryBase<BlendMode> {
public:
    static BlendDictionary const& Instance() {
        static BlendDictionary const instance;
        return instance;
    }

private:
    BlendDictionary() {
        for (uint32_t m = 0; m < kBlendModeCount; ++m)
            if (kBlendKeys[m].name) Add(kBlendKeys[m].name, BlendMode(m));
    }
};

// Truncated toward zero; the low 8 bits make the channel (no clamping, so 256 wraps to 0).
uint8_t LowByteOfTruncated(double v) {
    if (!(std::fabs(v) < 9.2e18)) return 0;  // NaN and values beyond any integer
    return uint8_t(uint64_t(int64_t(v)) & 0xFF);
}

double Clamp01(double v) {
    return v < 0 ? 0 : (v > 1 ? 1 : v);
}

enum class Model { RGB, CMYK, HSL, Grey, Lab, Unsupported };

// The model a colour is written in; a wrapping colour is written as the colour it wraps.
Model ModelOf(Kernel::Consolidated<Renderer::Colour>& colour) {
    if (!colour) return Model::Unsupported;
    if (colour->GetModel() == Renderer::ColourModel::Wrapped) {
        colour = colour->GetWrapped();
        if (!colour) return Model::Unsupported;
    }
    switch (colour->GetModel()) {
        case Renderer::ColourModel::RGB:
            return Model::RGB;
        case Renderer::ColourModel::CMYK:
        case Renderer::ColourModel::CMYKAlt:
            return Model::CMYK;
        case Renderer::ColourModel::HSL:
            return Model::HSL;
        case Renderer::ColourModel::Grayscale:
            return Model::Grey;
        case Renderer::ColourModel::LAB:
            return Model::Lab;
        default:
            return Model::Unsupported;
    }
}

// HSL to the brightness and saturation of HSB (both 0..1).
void HSLtoHSB(double s, double l, double& sv, double& v) {
    s = Clamp01(s);
    l = Clamp01(l);
    double t = 2 * l <= 1 ? 2 * l : 2 - 2 * l;
    double sum = 2 * l + s * t;
    sv = sum <= 0.000001 ? 0.0 : 2 * s * t / sum;
    v = sum / 2;
}

Kernel::Counted<DescriptorItem> MakeDouble(double v) {
    return Kernel::MakeCounted<DescriptorItemDouble>(v);
}

}  // namespace

// ---- Dictionaries

LineCapDictionary const& LineCapDictionary::Instance() {
    static LineCapDictionary const instance;
    return instance;
}
LineCapDictionary::LineCapDictionary() {
    Add("strokeStyleButtCap", PSDVectorStroke::LineCapType::Butt);
    Add("strokeStyleRoundCap", PSDVectorStroke::LineCapType::Round);
    Add("strokeStyleSquareCap", PSDVectorStroke::LineCapType::Square);
}

LineJoinDictionary const& LineJoinDictionary::Instance() {
    static LineJoinDictionary const instance;
    return instance;
}
LineJoinDictionary::LineJoinDictionary() {
    Add("strokeStyleMiterJoin", PSDVectorStroke::LineJoinStyle::Miter);
    Add("strokeStyleRoundJoin", PSDVectorStroke::LineJoinStyle::Round);
    Add("strokeStyleBevelJoin", PSDVectorStroke::LineJoinStyle::Bevel);
}

LineAlignmentDictionary const& LineAlignmentDictionary::Instance() {
    static LineAlignmentDictionary const instance;
    return instance;
}
LineAlignmentDictionary::LineAlignmentDictionary() {
    Add("strokeStyleAlignInside", PSDVectorStroke::LineAlignment::Inside);
    Add("strokeStyleAlignCenter", PSDVectorStroke::LineAlignment::Center);
    Add("strokeStyleAlignOutside", PSDVectorStroke::LineAlignment::Outside);
}

// ---- Scalar decoders

bool DecodeDouble(DescriptorItem const& item, double& out, PSDReport& report) {
    auto const* d = dynamic_cast<DescriptorItemDouble const*>(&item);
    if (!d) return Mismatch(report, PSDError::kDescriptorExpectedDouble, 0), false;
    out = d->m_value;
    return true;
}

bool DecodeBool(DescriptorItem const& item, bool& out, PSDReport& report) {
    auto const* b = dynamic_cast<DescriptorItemBool const*>(&item);
    if (!b) return Mismatch(report, PSDError::kDescriptorExpectedBool, 0), false;
    out = b->m_value;
    return true;
}

bool DecodeInteger(DescriptorItem const& item, int& out, PSDReport& report) {
    auto const* i = dynamic_cast<DescriptorItemInteger const*>(&item);
    if (!i) return Mismatch(report, PSDError::kDescriptorExpectedInteger, 0), false;
    out = i->m_value;
    return true;
}

bool DecodeString(DescriptorItem const& item, String& out, PSDReport& report) {
    auto const* s = dynamic_cast<DescriptorItemString const*>(&item);
    if (!s) return Mismatch(report, PSDError::kDescriptorExpectedString, 0), false;
    out = s->m_value;
    return true;
}

bool DecodeUnitType(DescriptorItem const& item, UnitType& out, PSDReport& report) {
    auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(&item);
    if (!u) return Mismatch(report, PSDError::kDescriptorExpectedUnitFloat, 1), false;
    out = u->m_unit;
    return true;
}

bool DecodeUnitAndType(DescriptorItem const& item, UnitType& unit, double& value,
                       PSDReport& report) {
    auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(&item);
    if (!u) return Mismatch(report, PSDError::kDescriptorExpectedUnitFloat, 2), false;
    unit = u->m_unit;
    value = u->m_value;
    return true;
}

bool DecodeUnit(DescriptorItem const& item, UnitType expected, double& value, PSDReport& report) {
    auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(&item);
    if (!u) return Mismatch(report, PSDError::kDescriptorExpectedUnitFloat, 2), false;
    if (u->m_unit != expected)
        return Mismatch(report, PSDError::kDescriptorUnexpectedUnitType, 1), false;
    value = u->m_value;
    return true;
}

// ---- Enumerations

namespace detail {

bool CheckEnum(DescriptorItem const& item, char const* typeName, String& valueName,
               PSDReport& report) {
    auto const* e = dynamic_cast<DescriptorItemEnum const*>(&item);
    if (!e) return Mismatch(report, PSDError::kDescriptorExpectedEnum, 2, typeName), false;
    DescriptorKey const& type = e->m_value.m_type;
    if (type.m_code != 0 || type.m_name != typeName) {
        Mismatch(report, PSDError::kDescriptorUnexpectedEnumType, 2,
                 Kernel::FormatString("%1:%2", {typeName, type.ToString()}));
        return false;
    }
    DescriptorKey const& value = e->m_value.m_value;
    if (value.m_code != 0) {
        Mismatch(report, PSDError::kDescriptorUnexpectedEnumValue, 2,
                 Kernel::FormatString("%1:%2", {type.ToString(), value.ToString()}));
        return false;
    }
    valueName = value.m_name;
    return true;
}

void WarnUnknownEnumValue(char const* typeName, String const& valueName, PSDReport& report) {
    report.AddWarning(PSDLoadWarning::kUnknownEnumValue,
                      Kernel::FormatString("%1:%2", {typeName, valueName}));
}

}  // namespace detail

bool DecodeBlendMode(DescriptorItem const& item, BlendMode& out, PSDReport& report) {
    auto const* e = dynamic_cast<DescriptorItemEnum const*>(&item);
    if (!e) {
        Mismatch(
            report, PSDError::kDescriptorExpectedEnum, 3,
            Kernel::FormatString("BlendMode > %1", {DescriptorItem::TypeToString(item.GetType())}));
        return false;
    }
    DescriptorKey const& type = e->m_value.m_type;
    if (type.m_code != Key("BlnM")) {
        Mismatch(report, PSDError::kDescriptorUnexpectedEnumType, 3,
                 Kernel::FormatString("BlendMode - BlnM > %1", {type.ToString()}));
        return false;
    }
    DescriptorKey const& value = e->m_value.m_value;
    if (value.m_code != 0) {
        // "pass" is written but never read back as a descriptor blend mode.
        for (uint32_t m = 0; m < kBlendModeCount; ++m) {
            if (kBlendKeys[m].code == value.m_code && value.m_code != Key("pass")) {
                out = BlendMode(m);
                return true;
            }
        }
        out = BlendMode::Normal;
        report.AddWarning(PSDLoadWarning::kUnknownBlendMode, value.ToString());
        return true;
    }
    if (BlendDictionary::Instance().Lookup(value.m_name, out)) return true;
    out = BlendMode::Normal;
    report.AddWarning(PSDLoadWarning::kUnknownBlendMode, value.m_name);
    return true;
}

// ---- Colours and points

void HSBtoHSL(double h, double s, double v, double& h2, double& s2, double& l) {
    // Clamping lets NaN through unchanged.
    h = h < 0 ? 0 : (h > 1 ? 1 : h);
    s = s < 0 ? 0 : (s > 1 ? 1 : s);
    v = v < 0 ? 0 : (v > 1 ? 1 : v);
    h2 = h;
    double t = (2 - s) * v;
    l = t / 2;
    double denominator = t <= 1 ? t : 2 - t;
    // Without brightness (or at full lightness) the saturation is undefined: call it 0.
    s2 = (s <= 0.000001 || !(denominator > 0)) ? 0.0 : s * v / denominator;
}

bool DecodeColor(DescriptorItem const& item, Kernel::Consolidated<Renderer::Colour>& out,
                 PSDReport& report) {
    auto const* object = dynamic_cast<DescriptorItemDescriptor const*>(&item);
    if (!object)
        return Mismatch(report, PSDError::kDescriptorExpectedDescriptor, 0, "colour"), false;
    Descriptor const& d = object->m_descriptor;

    struct ColourClass {
        uint32_t classID;
        char const* context;  // detail prefix of "Unknown property"
        uint32_t keys[4];     // the components, in order
    };
    static constexpr ColourClass kClasses[] = {
        {Key("RGBC"), "colour:RGBC,%1", {Key("Rd  "), Key("Grn "), Key("Bl  "), 0}},
        {Key("CMYC"), "colour:CMYC,%1", {Key("Cyn "), Key("Mgnt"), Key("Ylw "), Key("Blck")}},
        {Key("HSBC"), "colour:HSBC,%1", {Key("H   "), Key("Strt"), Key("Brgh"), 0}},
        {Key("Grsc"), "colour:Grsc,%1", {Key("Gry "), 0, 0, 0}},
        {Key("LbCl"), "LbCl,%1", {Key("Lmnc"), Key("A   "), Key("B   "), 0}},
        {Key("UnsC"), nullptr, {0, 0, 0, 0}},
    };
    ColourClass const* model = nullptr;
    if (d.m_classID.m_code != 0)
        for (auto const& m : kClasses)
            if (m.classID == d.m_classID.m_code) model = &m;
    if (!model)
        return Mismatch(report, PSDError::kDescriptorUnknownColourType, 0, d.m_classID.ToString()),
               false;

    bool const isRGB = model->classID == Key("RGBC"), isHSB = model->classID == Key("HSBC");
    double v[4] = {0, 0, 0, 0};  // missing components count as 0
    double fractions[3] = {0, 0, 0};
    bool hasFractions = false, hasBytes = false;
    if (model->context) {
        for (auto const& entry : d.m_items) {
            DescriptorKey const& key = entry.m_key;
            int slot = -1;
            for (int i = 0; i < 4 && key.m_code != 0; ++i)
                if (model->keys[i] == key.m_code) slot = i;
            if (slot >= 0) {
                bool ok =
                    (isHSB && slot == 0)
                        ? DecodeUnit(*entry.m_item, DescriptorItemUnitFloat::Angle, v[0], report)
                        : DecodeDouble(*entry.m_item, v[slot], report);
                if (!ok) return false;
                hasBytes = true;
                continue;
            }
            // Newer editors write RGB colours as fractions ("redFloat"...), often alone.
            if (isRGB && key.m_code == 0) {
                static char const* const kFloats[3] = {"redFloat", "greenFloat", "blueFloat"};
                int f = -1;
                for (int i = 0; i < 3; ++i)
                    if (key.m_name == kFloats[i]) f = i;
                if (f >= 0) {
                    if (!DecodeDouble(*entry.m_item, fractions[f], report)) return false;
                    hasFractions = true;
                    continue;
                }
            }
            // Swatch-book references of RGB colours carry no colour value.
            if (isRGB && ((key.m_code == Key("Nm  ") || key.m_code == Key("Bk  ")) ||
                          (key.m_code == 0 && (key.m_name == "bookID" || key.m_name == "bookKey"))))
                continue;
            report.AddWarning(PSDLoadWarning::kUnknownProperty,
                              Kernel::FormatString(model->context, {key.ToString()}));
        }
    }

    Kernel::Consolidated<Renderer::Colour> colour;
    switch (model->classID) {
        case Key("RGBC"):
            // The 0-255 components rule when both forms are given.
            if (hasFractions && !hasBytes)
                for (int i = 0; i < 3; ++i) v[i] = std::round(Clamp01(fractions[i]) * 255);
            colour = Renderer::ColourRGB::Create(
                Renderer::RGBA8{LowByteOfTruncated(v[0]), LowByteOfTruncated(v[1]),
                                LowByteOfTruncated(v[2]), 255},
                1.0f, 1.0f, "");
            break;
        case Key("CMYC"):
            // Percent x 2.55 taken as x 255 / 100: 100 x 2.55 falls just below 255 in doubles,
            // and a full ink would truncate to 254.
            colour = Renderer::ColourCMYK::Create(
                Renderer::CMYKA8{LowByteOfTruncated(v[0] * 255 / 100), LowByteOfTruncated(v[1] * 255 / 100),
                                 LowByteOfTruncated(v[2] * 255 / 100), LowByteOfTruncated(v[3] * 255 / 100),
                                 255},
                1.0f, 1.0f, "");
            break;
        case Key("HSBC"): {
            double h, s, l;
            HSBtoHSL(v[0] / 360, v[1] / 100, v[2] / 100, h, s, l);
            colour = Renderer::ColourHSL::Create(float(h), float(s), float(l), 1.0f, 1.0f, "");
            break;
        }
        case Key("Grsc"): {
            double g = Clamp01(v[0] * 0.01);
            colour = Renderer::ColourGrayscale::Create(float(1 - g), 1.0f, 1.0f, "");
            break;
        }
        case Key("LbCl"): {
            uint16_t px[4];
            Raster::CIELabToRasterLABA16(float(v[0]), float(v[1]), float(v[2]), px);
            colour = Renderer::ColourLAB::Create(Renderer::LABA16{px[0], px[1], px[2], px[3]}, 1.0f,
                                                 1.0f, "");
            break;
        }
        default:  // "UnsC": no colour given, opaque white stands in
            colour =
                Renderer::ColourRGB::Create(Renderer::RGBA8{255, 255, 255, 255}, 1.0f, 1.0f, "");
            break;
    }
    out = colour;
    return true;
}

bool DecodePoint(DescriptorItem const& item, Kernel::PointT<double>& out, PSDReport& report) {
    auto const* object = dynamic_cast<DescriptorItemDescriptor const*>(&item);
    if (!object) return Mismatch(report, PSDError::kDescriptorExpectedDescriptor, 0, "Pnt "), false;
    Descriptor const& d = object->m_descriptor;
    if (d.m_classID.m_code != Key("Pnt ")) {
        Mismatch(report, PSDError::kDescriptorUnexpectedKey, 0,
                 Kernel::FormatString("Pnt > %1", {d.m_classID.ToString()}));
        return false;
    }
    Kernel::PointT<double> p = out;
    for (auto const& entry : d.m_items) {
        if (entry.m_key.m_code == Key("Hrzn")) {
            if (!DecodeDouble(*entry.m_item, p.x, report)) return false;
        } else if (entry.m_key.m_code == Key("Vrtc")) {
            if (!DecodeDouble(*entry.m_item, p.y, report)) return false;
        } else {
            report.AddWarning(PSDLoadWarning::kUnknownProperty,
                              Kernel::FormatString("Pnt,%1", {entry.m_key.ToString()}));
        }
    }
    out = p;
    return true;
}

// ---- Encoders

bool EncodeInteger(Descriptor& desc, DescriptorKey const& key, int value) {
    desc.AddItem(key, Kernel::MakeCounted<DescriptorItemInteger>(value));
    return true;
}

bool EncodeBool(Descriptor& desc, DescriptorKey const& key, bool value) {
    desc.AddItem(key, Kernel::MakeCounted<DescriptorItemBool>(value));
    return true;
}

bool EncodeDouble(Descriptor& desc, DescriptorKey const& key, double value) {
    desc.AddItem(key, MakeDouble(value));
    return true;
}

bool EncodeString(Descriptor& desc, DescriptorKey const& key, String const& value) {
    desc.AddItem(key, Kernel::MakeCounted<DescriptorItemString>(value));
    return true;
}

bool EncodeUnit(Descriptor& desc, DescriptorKey const& key, UnitType unit, double value) {
    desc.AddItem(key, Kernel::MakeCounted<DescriptorItemUnitFloat>(unit, value));
    return true;
}

bool EncodeUnit(Descriptor& desc, DescriptorKey const& key, Kernel::UnitValue const& value) {
    UnitType unit;
    switch (value.unit) {
        case Kernel::Unit::Percent:
            unit = DescriptorItemUnitFloat::Percent;
            break;
        case Kernel::Unit::Pixels:
            unit = DescriptorItemUnitFloat::Pixels;
            break;
        case Kernel::Unit::Inches:
            unit = DescriptorItemUnitFloat::Inch;
            break;
        case Kernel::Unit::Points:
            unit = DescriptorItemUnitFloat::Points;
            break;
        case Kernel::Unit::Millimetres:
            unit = DescriptorItemUnitFloat::MM;
            break;
        case Kernel::Unit::Centimetres:
            unit = DescriptorItemUnitFloat::CM;
            break;
        default:
            return false;
    }
    return EncodeUnit(desc, key, unit, value.value);
}

bool EncodeEnum(Descriptor& desc, DescriptorKey const& key, DescriptorKey const& type,
                DescriptorKey const& value) {
    desc.AddItem(key, Kernel::MakeCounted<DescriptorItemEnum>(type, value));
    return true;
}

bool EncodeBlendMode(Descriptor& desc, DescriptorKey const& key, BlendMode mode) {
    uint32_t m = uint32_t(mode);
    if (m >= kBlendModeCount) return false;
    DescriptorKey value = kBlendKeys[m].name ? DescriptorKey::Name(kBlendKeys[m].name)
                                             : DescriptorKey(kBlendKeys[m].code);
    return EncodeEnum(desc, key, DescriptorKey(Key("BlnM")), value);
}

Kernel::Counted<DescriptorItemDescriptor> EncodeColor(
    Kernel::Consolidated<Renderer::Colour> colour) {
    Model model = ModelOf(colour);
    if (model == Model::Unsupported) return nullptr;
    Kernel::Counted<DescriptorItemDescriptor> item(new DescriptorItemDescriptor);
    Descriptor& d = item->m_descriptor;
    d.m_name.clear();
    switch (model) {
        case Model::RGB: {
            Renderer::RGBAF c = colour->ToRGBAF();
            d.m_classID.Set(Key("RGBC"));
            EncodeDouble(d, Key("Rd  "), double(c.r) * 255);
            EncodeDouble(d, Key("Grn "), double(c.g) * 255);
            EncodeDouble(d, Key("Bl  "), double(c.b) * 255);
            break;
        }
        case Model::CMYK: {
            Renderer::CMYKAF c = colour->ToCMYKAF();
            d.m_classID.Set(Key("CMYC"));
            EncodeDouble(d, Key("Cyn "), double(c.c) * 100);
            EncodeDouble(d, Key("Mgnt"), double(c.m) * 100);
            EncodeDouble(d, Key("Ylw "), double(c.y) * 100);
            EncodeDouble(d, Key("Blck"), double(c.k) * 100);
            break;
        }
        case Model::HSL: {
            Renderer::HSLAF c = colour->ToHSLAF();
            double sv, v;
            HSLtoHSB(c.s, c.l, sv, v);
            d.m_classID.Set(Key("HSBC"));
            EncodeUnit(d, Key("H   "), DescriptorItemUnitFloat::Angle, double(c.h) * 360);
            EncodeDouble(d, Key("Strt"), sv * 100);
            EncodeDouble(d, Key("Brgh"), v * 100);
            break;
        }
        case Model::Grey: {
            uint16_t g = colour->ToGray16();
            d.m_classID.Set(Key("Grsc"));
            EncodeDouble(d, Key("Gry "), double(65535 - g) * 100 / 65535);
            break;
        }
        case Model::Lab: {
            Renderer::LABA16 c = colour->ToLABA16();
            d.m_classID.Set(Key("LbCl"));
            EncodeDouble(d, Key("Lmnc"), float(c.l) / 65535.0f * 100.0f);
            EncodeDouble(d, Key("A   "), float(c.a) / 256.0f - 128.0f);
            EncodeDouble(d, Key("B   "), float(c.b) / 256.0f - 128.0f);
            break;
        }
        case Model::Unsupported:
            return nullptr;
    }
    return item;
}

bool EncodeColor(Descriptor& desc, DescriptorKey const& key,
                 Kernel::Consolidated<Renderer::Colour> const& colour) {
    Kernel::Counted<DescriptorItemDescriptor> item = EncodeColor(colour);
    if (!item) return false;
    desc.AddItem(key, item);
    return true;
}

bool EncodePoint(Descriptor& desc, DescriptorKey const& key, Kernel::PointT<double> const& point) {
    Kernel::Counted<DescriptorItemDescriptor> item(
        new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("Pnt ")))));
    EncodeDouble(item->m_descriptor, Key("Hrzn"), point.x);
    EncodeDouble(item->m_descriptor, Key("Vrtc"), point.y);
    desc.AddItem(key, item);
    return true;
}

bool WriteColor(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                Kernel::Consolidated<Renderer::Colour> colour) {
    // The record that the reader turns back into the same colour, rounded: truncating float
    // channels lost a step on each save (HSB near full brightness), and Lab must be written in the
    // record's own units (lightness 0..10000, a and b in hundredths), not as 16-bit pixel values.
    ColourRecord r;
    if (ModelOf(colour) == Model::Unsupported || !EncodeColourRecord(*colour, r)) return false;
    if (!WriteValue(stream, r.space, fixer)) return false;
    for (uint16_t v : r.c)
        if (!WriteValue(stream, v, fixer)) return false;
    return true;
}

}  // namespace PSD

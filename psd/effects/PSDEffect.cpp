#include "psd/effects/PSDEffect.h"

#include <algorithm>
#include <cmath>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectSupport.h"
#include "psd/io/PSDColourRecord.h"
#include "psd/io/PSDResourceIO.h"

namespace PSD {

namespace {

using UnitType = DescriptorItemUnitFloat::UnitType;

Kernel::Consolidated<Renderer::Colour> Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return Renderer::ColourRGB::Create(Renderer::RGBA8{r, g, b, 255}, 1.0f, 1.0f, "");
}

// ---- Legacy record pieces

// "8BIM" and a blend key.
[[nodiscard]] bool ReadEffectBlendMode(Kernel::InStreamSeekable& stream, BlendMode& mode,
                                       ParseData& pd) {
    uint32_t signature, key;
    if (!ReadKey(stream, signature, pd)) return false;
    if (signature != Key("8BIM")) {
        pd.m_report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 4);
        return false;
    }
    return ReadKey(stream, key, pd) && DecodeBlendMode(key, mode, pd.m_report);
}

[[nodiscard]] bool WriteEffectBlendMode(Kernel::OutStreamSeekable& stream,
                                        ByteOrderFixer const& fixer, BlendMode mode) {
    uint32_t key;
    if (uint32_t(mode) >= kBlendModeCount || !EncodeBlendMode(mode, key)) return false;
    return WriteKey(stream, Key("8BIM"), fixer) && WriteKey(stream, key, fixer);
}

// Version 2: integer and fraction halves (unsigned); version 0: a whole 32-bit value.
[[nodiscard]] bool ReadSplit(Kernel::InStreamSeekable& s, uint32_t version, double& out,
                             ParseData& pd) {
    if (version == 2) {
        uint16_t whole, fraction;
        if (!ReadValue(s, whole, pd) || !ReadValue(s, fraction, pd)) return false;
        out = whole + fraction / 65536.0;
        return true;
    }
    uint32_t v;
    if (!ReadValue(s, v, pd)) return false;
    out = v;
    return true;
}

// Version 2: signed 16.16; version 0: a whole 32-bit value.
[[nodiscard]] bool ReadFixedOrWhole(Kernel::InStreamSeekable& s, uint32_t version, double& out,
                                    ParseData& pd) {
    if (version == 2) {
        float f;
        if (!ReadFixedValue(s, f, pd)) return false;
        out = f;
        return true;
    }
    uint32_t v;
    if (!ReadValue(s, v, pd)) return false;
    out = int32_t(v);
    return true;
}

bool WriteSplit(Kernel::OutStream& s, ByteOrderFixer const& f, double v) {
    if (!(v >= 0)) v = 0;
    if (v > 65535.0) v = 65535.0;
    double whole = std::floor(v);
    return WriteValue(s, uint16_t(whole), f) &&
           WriteValue(s, uint16_t(std::min((v - whole) * 65536.0, 65535.0)), f);
}

bool ReadFlagByte(Kernel::InStreamSeekable& s, bool& out, ParseData& pd) {
    uint8_t b;
    if (!ReadValue(s, b, pd)) return false;
    out = b != 0;
    return true;
}

// Size and version of a record; the accepted pairs are the callers'.
[[nodiscard]] bool ReadSizeVersion(Kernel::InStreamSeekable& s, uint32_t& size, uint32_t& version,
                                   ParseData& pd) {
    return ReadValue(s, size, pd) && ReadValue(s, version, pd);
}

bool CheckRecord(uint32_t size, uint32_t version, std::initializer_list<uint32_t> sizes,
                 std::initializer_list<uint32_t> versions, PSDError::Code badSize,
                 PSDError::Code badVersion, PSDReport& report) {
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) {
        report.SetError(badSize);
        return false;
    }
    if (std::find(versions.begin(), versions.end(), version) == versions.end()) {
        report.SetError(badVersion, Kernel::ToString(unsigned(version)));
        return false;
    }
    return true;
}

bool WriteHeader(Kernel::OutStream& s, ByteOrderFixer const& f, uint32_t key, uint32_t size) {
    return WriteKey(s, Key("8BIM"), f) && WriteKey(s, key, f) && WriteValue(s, size, f) &&
           WriteValue<uint32_t>(s, 2, f);
}

uint8_t ToByte(double v) {
    if (!(v > 0)) return 0;
    return v >= 255.0 ? 255 : uint8_t(v);
}

Kernel::Consolidated<Renderer::Colour> OrColour(Kernel::Consolidated<Renderer::Colour> const& a,
                                                Kernel::Consolidated<Renderer::Colour> const& b) {
    return a ? a : b;
}

// ---- Descriptor pieces

bool IsName(DescriptorKey const& key, char const* name) {
    return key.m_code == 0 && key.m_name == name;
}

// A value of a fixed enumeration: values[i] is the text of value i. An unknown value keeps out
// and adds the warning with the value's text.
bool ParseEnumKey(DescriptorItem const& item, char const* type, char const* notEnum,
                  char const* wrongType, unsigned number, std::initializer_list<char const*> values,
                  PSDLoadWarning::Code unknown, int& out, PSDReport& report) {
    String text;
    if (!CheckEffectEnum(item, type, notEnum, wrongType, number, text, report)) return false;
    int i = 0;
    for (char const* v : values) {
        if (text == v) {
            out = i;
            return true;
        }
        ++i;
    }
    report.AddWarning(unknown, text);
    return true;
}

bool SaveEnumKey(Descriptor& d, uint32_t key, char const* type,
                 std::initializer_list<char const*> values, int value) {
    if (value < 0 || size_t(value) >= values.size()) return false;
    String text = values.begin()[value];
    String typeText = type;
    return EncodeEnum(d, key, EnumValueKey(typeText), EnumValueKey(text));
}

// Unit float into a whole number.
bool DecodeWhole(DescriptorItem const& item, UnitType unit, int32_t& out, PSDReport& report) {
    double v = 0;
    if (!DecodeUnit(item, unit, v, report)) return false;
    out = TruncateInt(v);
    return true;
}

// Unit float scaled into the stored form.
bool DecodeScaled(DescriptorItem const& item, UnitType unit, double factor, double& out,
                  PSDReport& report) {
    double v = 0;
    if (!DecodeUnit(item, unit, v, report)) return false;
    out = v * factor;
    return true;
}

// A "Pnt " object whose coordinates are doubles or unit floats.
bool ParsePhase(DescriptorItem const& item, PSDEffectPhase& out, PSDReport& report) {
    Descriptor const* d = ExpectDescriptor(item, "phase > %1", 0, report);
    if (!d) return false;
    for (auto const& [key, value] : d->m_items) {
        double* target = key.m_code == Key("Hrzn") ? &out.m_point.x
                         : key.m_code == Key("Vrtc") ? &out.m_point.y
                                                      : nullptr;
        if (!target) continue;
        if (auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(value.Get()))
            *target = u->m_value;
        else if (!DecodeDouble(*value, *target, report))
            return false;
    }
    out.m_read = out.m_point;
    out.m_item = Kernel::Counted<DescriptorItem const>(&item);
    out.m_present = true;
    return true;
}

bool SavePhase(Descriptor& d, PSDEffectPhase const& phase) {
    if (!phase.m_present) return true;
    if (phase.m_item && phase.m_point == phase.m_read) {
        d.AddItem(DescriptorKey::Name("phase"), phase.m_item);
        return true;
    }
    return EncodePoint(d, DescriptorKey::Name("phase"), phase.m_point);
}

constexpr std::initializer_list<char const*> kGlowTechniques = {"SfBL", "PrBL"};
constexpr std::initializer_list<char const*> kGlowSources = {"SrcC", "SrcE"};
constexpr std::initializer_list<char const*> kBevelTechniques = {"SfBL", "PrBL", "Slmt"};
// Index + 1 is the style's number.
constexpr std::initializer_list<char const*> kBevelStyles = {"OtrB", "InrB", "Embs", "PlEb",
                                                            "strokeEmboss"};
constexpr std::initializer_list<char const*> kBevelDirections = {"In  ", "Out "};
constexpr std::initializer_list<char const*> kStrokeStyles = {"OutF", "InsF", "CtrF"};
constexpr std::initializer_list<char const*> kStrokeFills = {"SClr", "GrFl", "Ptrn"};

}  // namespace

// ---- PSDEffect

bool PSDEffect::Parse(Kernel::InStreamSeekable&, ParseData& pd) {
    pd.m_report.ErrorParsing();
    return false;
}

bool PSDEffect::Save(Kernel::OutStreamSeekable&, SaveData const&) const {
    return false;
}

bool PSDEffect::Parse(DescriptorItem const& item, PSDLoadData& ld) {
    PSDReport& report = ld.m_report;
    std::string name = GetName();
    Descriptor const* d = ExpectDescriptor(item, (name + " > %1").c_str(), 0, report);
    if (!d) return false;
    DescriptorKey key = GetKey();
    if (!(d->m_classID == key))
        report.AddWarning(PSDLoadWarning::kUnexpectedKey,
                          Kernel::FormatString(name + " - " + std::string(key.ToString()) + " > %1",
                                               {d->m_classID.ToString()}));
    bool pattern = GetType() == kPatternOverlay;
    for (auto const& entry : d->m_items) {
        if (IsName(entry.m_key, "present") || IsName(entry.m_key, "showInDialog")) {
            m_kept.push_back(entry);
            continue;
        }
        bool known = true;
        if (!ParseKey(entry.m_key, *entry.m_item, ld, known)) return false;
        if (known) continue;
        // Pattern overlays are kept whole: their other keys are not unknown, only unread.
        if (!pattern)
            report.AddWarning(PSDLoadWarning::kUnknownProperty,
                              Kernel::FormatString(name + ",%1", {entry.m_key.ToString()}));
        m_kept.push_back(entry);
    }
    return true;
}

Kernel::Counted<DescriptorItemDescriptor> PSDEffect::BuildDescriptor() const {
    Kernel::Counted<DescriptorItemDescriptor> item(
        new DescriptorItemDescriptor(Descriptor(GetKey())));
    if (!SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor>(item.Get()))) return nullptr;
    for (auto const& k : m_kept) item->m_descriptor.AddItem(k.m_key, k.m_item);
    return item;
}

bool PSDEffect::Save(Descriptor& desc) const {
    auto item = BuildDescriptor();
    if (!item) return false;
    desc.AddItem(GetKey(), item);
    return true;
}

bool PSDEffect::Save(Kernel::NonCounted<DescriptorItemList>) const {
    return false;
}

namespace {

// The list form shared by the effects that have one.
bool AppendTo(Kernel::Counted<DescriptorItemDescriptor> const& item,
              Kernel::NonCounted<DescriptorItemList> list) {
    if (!item || !list.Get()) return false;
    list->m_items.push_back(item);
    return true;
}

}  // namespace

// ---- Shadow

PSDEffectShadow::PSDEffectShadow(bool inner) : m_inner(inner), m_colour(Rgb(0, 0, 0)) {}

bool PSDEffectShadow::Parse(Kernel::InStreamSeekable& s, ParseData& pd) {
    m_antiAlias = false;
    m_layerConceals = true;
    m_noise = 0.0;
    m_fromLegacy = true;
    uint32_t size, version;
    if (!ReadSizeVersion(s, size, version, pd) ||
        !CheckRecord(size, version, {41, 51}, {0, 2}, PSDError::kShadowBadData,
                     PSDError::kUnknownShadowVersion, pd.m_report))
        return false;
    double blur, intensity, angle, distance;
    if (!ReadSplit(s, version, blur, pd) || !ReadFixedOrWhole(s, version, intensity, pd) ||
        !ReadFixedOrWhole(s, version, angle, pd) || !ReadFixedOrWhole(s, version, distance, pd))
        return false;
    if (version == 0) {
        // Whole values are unsigned in this form.
        intensity = uint32_t(int32_t(intensity));
        distance = uint32_t(int32_t(distance));
    }
    m_blur = TruncateInt(blur);
    m_intensity = intensity * 0.01;
    m_angle = TruncateInt(angle);
    m_distance = TruncateInt(distance < 0 ? 0 : distance);
    uint8_t opacity;
    if (!ReadColor(s, m_colour, pd) || !ReadEffectBlendMode(s, m_blendMode, pd) ||
        !ReadFlagByte(s, m_enabled, pd) || !ReadFlagByte(s, m_useGlobalAngle, pd) ||
        !ReadValue(s, opacity, pd))
        return false;
    m_opacity = opacity / 255.0;
    if (size == 51 && !ReadColor(s, m_nativeColour, pd)) return false;
    return true;
}

bool PSDEffectShadow::Save(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    uint8_t flags[3] = {uint8_t(m_enabled ? 1 : 0), uint8_t(m_useGlobalAngle ? 1 : 0),
                        ToByte(m_opacity * 255.0)};
    return WriteHeader(s, f, m_inner ? Key("isdw") : Key("dsdw"), 51) &&
           WriteSplit(s, f, m_blur) && WriteSplit(s, f, m_intensity * 100.0) &&
           WriteFixedValue(s, f, m_angle) && WriteFixedValue(s, f, m_distance) &&
           WriteColor(s, f, m_colour) && WriteEffectBlendMode(s, f, m_blendMode) &&
           s.Write(flags, 3) && WriteColor(s, f, OrColour(m_nativeColour, m_colour));
}

bool PSDEffectShadow::Save(Kernel::NonCounted<DescriptorItemList> list) const {
    return AppendTo(BuildDescriptor(), list);
}

bool PSDEffectShadow::ParseKey(DescriptorKey const& key, DescriptorItem const& v, PSDLoadData& ld,
                               bool& known) {
    PSDReport& r = ld.m_report;
    if (IsName(key, "layerConceals")) return DecodeBool(v, m_layerConceals, r);
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Clr "): return DecodeColor(v, m_colour, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 0.01, m_opacity, r);
        case Key("uglg"): return DecodeBool(v, m_useGlobalAngle, r);
        case Key("lagl"): return DecodeWhole(v, UnitType::Angle, m_angle, r);
        case Key("Dstn"): return DecodeWhole(v, UnitType::Pixels, m_distance, r);
        case Key("Ckmt"): return DecodeScaled(v, UnitType::Pixels, 0.01, m_intensity, r);
        case Key("blur"): return DecodeWhole(v, UnitType::Pixels, m_blur, r);
        case Key("Nose"): return DecodeScaled(v, UnitType::Percent, 0.01, m_noise, r);
        case Key("AntA"): return DecodeBool(v, m_antiAlias, r);
        case Key("TrnS"): return m_contour.Parse(v, r);
        default: known = false; return true;
    }
}

bool PSDEffectShadow::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    return EncodeBool(d, Key("enab"), m_enabled) && EncodeBlendMode(d, Key("Md  "), m_blendMode) &&
           EncodeColor(d, Key("Clr "), m_colour) &&
           EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity * 100.0) &&
           EncodeBool(d, Key("uglg"), m_useGlobalAngle) &&
           EncodeUnit(d, Key("lagl"), UnitType::Angle, m_angle) &&
           EncodeUnit(d, Key("Dstn"), UnitType::Pixels, m_distance) &&
           EncodeUnit(d, Key("Ckmt"), UnitType::Pixels, m_intensity * 100.0) &&
           EncodeUnit(d, Key("blur"), UnitType::Pixels, m_blur) &&
           EncodeUnit(d, Key("Nose"), UnitType::Percent, m_noise * 100.0) &&
           EncodeBool(d, Key("AntA"), m_antiAlias) && m_contour.Save(d, Key("TrnS")) &&
           EncodeBool(d, DescriptorKey::Name("layerConceals"), m_layerConceals);
}

// ---- Glow

PSDEffectGlow::PSDEffectGlow(bool inner) : m_inner(inner), m_colour(Rgb(255, 255, 190)) {}

bool PSDEffectGlow::Parse(Kernel::InStreamSeekable& s, ParseData& pd) {
    m_fromLegacy = true;
    uint32_t size, version;
    if (!ReadSizeVersion(s, size, version, pd)) return false;
    // The inner glow's invert byte makes its records one byte longer.
    bool sized = m_inner ? CheckRecord(size, version, {33, 43}, {0, 2}, PSDError::kGlowBadData,
                                       PSDError::kUnknownGlowVersion, pd.m_report)
                         : CheckRecord(size, version, {32, 42}, {0, 2}, PSDError::kGlowBadData,
                                       PSDError::kUnknownGlowVersion, pd.m_report);
    if (!sized) return false;
    double blur, intensity;
    uint8_t opacity;
    if (!ReadSplit(s, version, blur, pd) || !ReadFixedOrWhole(s, version, intensity, pd) ||
        !ReadColor(s, m_colour, pd) || !ReadEffectBlendMode(s, m_blendMode, pd) ||
        !ReadFlagByte(s, m_enabled, pd) || !ReadValue(s, opacity, pd))
        return false;
    if (version == 0) intensity = uint32_t(int32_t(intensity));
    m_blur = TruncateInt(blur);
    m_intensity = intensity * 0.01;
    m_opacity = opacity / 255.0;
    if (version == 2) {
        if (m_inner && !ReadFlagByte(s, m_invert, pd)) return false;
        if (!ReadColor(s, m_nativeColour, pd)) return false;
    }
    return true;
}

bool PSDEffectGlow::Save(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    uint8_t bytes[2] = {uint8_t(m_enabled ? 1 : 0), ToByte(m_opacity * 255.0)};
    uint8_t invert = m_invert ? 1 : 0;
    return WriteHeader(s, f, m_inner ? Key("iglw") : Key("oglw"), m_inner ? 43 : 42) &&
           WriteSplit(s, f, m_blur) && WriteSplit(s, f, m_intensity * 100.0) &&
           WriteColor(s, f, m_colour) && WriteEffectBlendMode(s, f, m_blendMode) &&
           s.Write(bytes, 2) && (!m_inner || s.Write(&invert, 1)) &&
           WriteColor(s, f, OrColour(m_nativeColour, m_colour));
}

bool PSDEffectGlow::ParseKey(DescriptorKey const& key, DescriptorItem const& v, PSDLoadData& ld,
                             bool& known) {
    PSDReport& r = ld.m_report;
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Clr "): return DecodeColor(v, m_colour, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 0.01, m_opacity, r);
        case Key("blur"): return DecodeWhole(v, UnitType::Pixels, m_blur, r);
        case Key("Ckmt"): return DecodeScaled(v, UnitType::Pixels, 0.01, m_intensity, r);
        case Key("Nose"): return DecodeScaled(v, UnitType::Percent, 0.01, m_noise, r);
        case Key("ShdN"): return DecodeScaled(v, UnitType::Percent, 0.01, m_jitter, r);
        case Key("Inpr"): return DecodeScaled(v, UnitType::Percent, 0.01, m_range, r);
        case Key("AntA"): return DecodeBool(v, m_antiAlias, r);
        case Key("TrnS"): return m_contour.Parse(v, r);
        case Key("Grad"):
            m_gradient = PSDGradient();
            m_hasGradient = true;
            return m_gradient.Parse(v, ld);
        case Key("GlwT"):
            return ParseEnumKey(v, "BETE", "EffectGlow,GlwT > %1", "EffectGlow,GlwT - BETE > %1", 7,
                                kGlowTechniques, PSDLoadWarning::kUnknownGlowTechnique,
                                m_technique, r);
        case Key("glwS"):
            return ParseEnumKey(v, "IGSr", "EffectGlow,glwS > %1", "EffectGlow,glwS - IGSr > %1", 8,
                                kGlowSources, PSDLoadWarning::kUnknownGlowSourceType, m_source, r);
        default: known = false; return true;
    }
}

bool PSDEffectGlow::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    if (!EncodeBool(d, Key("enab"), m_enabled) || !EncodeBlendMode(d, Key("Md  "), m_blendMode) ||
        !EncodeColor(d, Key("Clr "), m_colour) ||
        !EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity * 100.0) ||
        !SaveEnumKey(d, Key("GlwT"), "BETE", kGlowTechniques, m_technique) ||
        !EncodeUnit(d, Key("Ckmt"), UnitType::Pixels, m_intensity * 100.0) ||
        !EncodeUnit(d, Key("blur"), UnitType::Pixels, m_blur) ||
        !EncodeUnit(d, Key("Nose"), UnitType::Percent, m_noise * 100.0) ||
        !EncodeUnit(d, Key("ShdN"), UnitType::Percent, m_jitter * 100.0) ||
        !EncodeBool(d, Key("AntA"), m_antiAlias) || !m_contour.Save(d, Key("TrnS")) ||
        !EncodeUnit(d, Key("Inpr"), UnitType::Percent, m_range * 100.0))
        return false;
    if (m_inner && !SaveEnumKey(d, Key("glwS"), "IGSr", kGlowSources, m_source)) return false;
    return !m_hasGradient || m_gradient.Save(d, Key("Grad"));
}

// ---- Bevel

PSDEffectBevel::PSDEffectBevel()
    : m_highlightColour(Rgb(255, 255, 255)), m_shadowColour(Rgb(0, 0, 0)) {}

bool PSDEffectBevel::Parse(Kernel::InStreamSeekable& s, ParseData& pd) {
    m_fromLegacy = true;
    uint32_t size, version;
    if (!ReadSizeVersion(s, size, version, pd) ||
        !CheckRecord(size, version, {58, 78}, {0, 2}, PSDError::kBevelBadData,
                     PSDError::kUnknownBevelVersion, pd.m_report))
        return false;
    double angle, strength, blur;
    if (!ReadFixedOrWhole(s, version, angle, pd) || !ReadSplit(s, version, strength, pd) ||
        !ReadSplit(s, version, blur, pd))
        return false;
    m_angle = TruncateInt(angle);
    m_strength = TruncateInt(strength);
    m_blur = TruncateInt(blur);
    uint8_t six[6];
    if (!ReadEffectBlendMode(s, m_highlightBlendMode, pd) ||
        !ReadEffectBlendMode(s, m_shadowBlendMode, pd) || !ReadColor(s, m_highlightColour, pd) ||
        !ReadColor(s, m_shadowColour, pd) || !ReadBytes(s, six, 6, pd))
        return false;
    m_style = six[0];
    m_highlightOpacity = six[1] / 255.0;
    m_shadowOpacity = six[2] / 255.0;
    m_enabled = six[3] != 0;
    m_useGlobalAngle = six[4] != 0;
    m_down = six[5] != 0;
    if (version == 2 &&
        (!ReadColor(s, m_realHighlightColour, pd) || !ReadColor(s, m_realShadowColour, pd)))
        return false;
    return true;
}

bool PSDEffectBevel::Save(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    uint8_t six[6] = {uint8_t(m_style),       ToByte(m_highlightOpacity * 255.0),
                      ToByte(m_shadowOpacity * 255.0), uint8_t(m_enabled ? 1 : 0),
                      uint8_t(m_useGlobalAngle ? 1 : 0), uint8_t(m_down ? 1 : 0)};
    return WriteHeader(s, f, Key("bevl"), 78) && WriteFixedValue(s, f, m_angle) &&
           WriteSplit(s, f, m_strength) && WriteSplit(s, f, m_blur) &&
           WriteEffectBlendMode(s, f, m_highlightBlendMode) &&
           WriteEffectBlendMode(s, f, m_shadowBlendMode) && WriteColor(s, f, m_highlightColour) &&
           WriteColor(s, f, m_shadowColour) && s.Write(six, 6) &&
           WriteColor(s, f, OrColour(m_realHighlightColour, m_highlightColour)) &&
           WriteColor(s, f, OrColour(m_realShadowColour, m_shadowColour));
}

bool PSDEffectBevel::ParseKey(DescriptorKey const& key, DescriptorItem const& v, PSDLoadData& ld,
                              bool& known) {
    PSDReport& r = ld.m_report;
    if (IsName(key, "antialiasGloss")) return DecodeBool(v, m_antialiasGloss, r);
    if (IsName(key, "useShape")) return DecodeBool(v, m_useShape, r);
    if (IsName(key, "useTexture")) return DecodeBool(v, m_useTexture, r);
    if (IsName(key, "textureDepth")) return DecodeUnit(v, UnitType::Percent, m_textureDepth, r);
    if (IsName(key, "phase")) return ParsePhase(v, m_phase, r);
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("hglM"): return DecodeBlendMode(v, m_highlightBlendMode, r);
        case Key("sdwM"): return DecodeBlendMode(v, m_shadowBlendMode, r);
        case Key("hglC"): return DecodeColor(v, m_highlightColour, r);
        case Key("sdwC"): return DecodeColor(v, m_shadowColour, r);
        case Key("hglO"): return DecodeScaled(v, UnitType::Percent, 0.01, m_highlightOpacity, r);
        case Key("sdwO"): return DecodeScaled(v, UnitType::Percent, 0.01, m_shadowOpacity, r);
        case Key("bvlT"):
            return ParseEnumKey(v, "bvlT", "EffectBevel,bvlT > %1", "EffectBevel,bvlT - bvlT > %1",
                                9, kBevelTechniques, PSDLoadWarning::kUnknownBevelTechnique,
                                m_technique, r);
        case Key("bvlS"): {
            int style = m_style - 1;
            if (!ParseEnumKey(v, "BESl", "EffectBevel,bvlS > %1", "EffectBevel,bvlS - BESl > %1",
                              10, kBevelStyles, PSDLoadWarning::kUnknownBevelStyle, style, r))
                return false;
            m_style = style + 1;
            return true;
        }
        case Key("bvlD"): {
            int down = m_down ? 1 : 0;
            if (!ParseEnumKey(v, "BESs", "EffectBevel,bvlD > %1", "EffectBevel,bvlD - BESs > %1",
                              11, kBevelDirections, PSDLoadWarning::kUnknownBevelDirection, down,
                              r))
                return false;
            m_down = down == 1;
            return true;
        }
        case Key("uglg"): return DecodeBool(v, m_useGlobalAngle, r);
        case Key("lagl"): return DecodeWhole(v, UnitType::Angle, m_angle, r);
        case Key("Lald"): return DecodeUnit(v, UnitType::Angle, m_altitude, r);
        case Key("srgR"): return DecodeWhole(v, UnitType::Percent, m_strength, r);
        case Key("blur"): return DecodeWhole(v, UnitType::Pixels, m_blur, r);
        case Key("Sftn"): return DecodeUnit(v, UnitType::Pixels, m_soften, r);
        case Key("TrnS"): return m_glossContour.Parse(v, r);
        case Key("MpgS"): return m_contour.Parse(v, r);
        case Key("AntA"): return DecodeBool(v, m_antiAlias, r);
        case Key("Inpr"): return DecodeScaled(v, UnitType::Percent, 0.01, m_range, r);
        case Key("Algn"): return DecodeBool(v, m_align, r);
        case Key("InvT"): return DecodeBool(v, m_invertTexture, r);
        case Key("Scl "): return DecodeScaled(v, UnitType::Percent, 0.01, m_textureScale, r);
        default: known = false; return true;
    }
}

bool PSDEffectBevel::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    int style = m_style >= kOuterBevel && m_style <= kStrokeEmboss ? m_style - 1 : 1;
    if (!EncodeBool(d, Key("enab"), m_enabled) ||
        !EncodeBlendMode(d, Key("hglM"), m_highlightBlendMode) ||
        !EncodeColor(d, Key("hglC"), m_highlightColour) ||
        !EncodeUnit(d, Key("hglO"), UnitType::Percent, m_highlightOpacity * 100.0) ||
        !EncodeBlendMode(d, Key("sdwM"), m_shadowBlendMode) ||
        !EncodeColor(d, Key("sdwC"), m_shadowColour) ||
        !EncodeUnit(d, Key("sdwO"), UnitType::Percent, m_shadowOpacity * 100.0) ||
        !SaveEnumKey(d, Key("bvlT"), "bvlT", kBevelTechniques, m_technique) ||
        !SaveEnumKey(d, Key("bvlS"), "BESl", kBevelStyles, style) ||
        !EncodeBool(d, Key("uglg"), m_useGlobalAngle) ||
        !EncodeUnit(d, Key("lagl"), UnitType::Angle, m_angle) ||
        !EncodeUnit(d, Key("Lald"), UnitType::Angle, m_altitude) ||
        !EncodeUnit(d, Key("srgR"), UnitType::Percent, m_strength) ||
        !EncodeUnit(d, Key("blur"), UnitType::Pixels, m_blur) ||
        !SaveEnumKey(d, Key("bvlD"), "BESs", kBevelDirections, m_down ? 1 : 0) ||
        !m_glossContour.Save(d, Key("TrnS")) ||
        !EncodeBool(d, DescriptorKey::Name("antialiasGloss"), m_antialiasGloss) ||
        !EncodeUnit(d, Key("Sftn"), UnitType::Pixels, m_soften) ||
        !EncodeBool(d, DescriptorKey::Name("useShape"), m_useShape) ||
        !m_contour.Save(d, Key("MpgS")) || !EncodeBool(d, Key("AntA"), m_antiAlias) ||
        !EncodeUnit(d, Key("Inpr"), UnitType::Percent, m_range * 100.0) ||
        !EncodeBool(d, DescriptorKey::Name("useTexture"), m_useTexture) ||
        !EncodeBool(d, Key("InvT"), m_invertTexture) || !EncodeBool(d, Key("Algn"), m_align) ||
        !EncodeUnit(d, Key("Scl "), UnitType::Percent, m_textureScale * 100.0) ||
        !EncodeUnit(d, DescriptorKey::Name("textureDepth"), UnitType::Percent, m_textureDepth))
        return false;
    return SavePhase(d, m_phase);
}

// ---- Solid fill

PSDEffectSolidFill::PSDEffectSolidFill() : m_colour(Rgb(0, 0, 0)) {}

bool PSDEffectSolidFill::Parse(Kernel::InStreamSeekable& s, ParseData& pd) {
    m_fromLegacy = true;
    uint32_t size, version;
    if (!ReadSizeVersion(s, size, version, pd) ||
        !CheckRecord(size, version, {34}, {2}, PSDError::kSolidFillBadData,
                     PSDError::kUnknownSolidFillVersion, pd.m_report))
        return false;
    uint8_t opacity;
    if (!ReadEffectBlendMode(s, m_blendMode, pd) || !ReadColor(s, m_colour, pd) ||
        !ReadValue(s, opacity, pd) || !ReadFlagByte(s, m_enabled, pd) ||
        !ReadColor(s, m_nativeColour, pd))
        return false;
    m_opacity = opacity;
    return true;
}

bool PSDEffectSolidFill::Save(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    uint8_t bytes[2] = {ToByte(m_opacity), uint8_t(m_enabled ? 1 : 0)};
    return WriteHeader(s, f, Key("sofi"), 34) && WriteEffectBlendMode(s, f, m_blendMode) &&
           WriteColor(s, f, m_colour) && s.Write(bytes, 2) &&
           WriteColor(s, f, OrColour(m_nativeColour, m_colour));
}

bool PSDEffectSolidFill::Save(Kernel::NonCounted<DescriptorItemList> list) const {
    return AppendTo(BuildDescriptor(), list);
}

bool PSDEffectSolidFill::ParseKey(DescriptorKey const& key, DescriptorItem const& v,
                                  PSDLoadData& ld, bool& known) {
    PSDReport& r = ld.m_report;
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Clr "): return DecodeColor(v, m_colour, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 2.55, m_opacity, r);
        default: known = false; return true;
    }
}

bool PSDEffectSolidFill::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    return EncodeBool(d, Key("enab"), m_enabled) && EncodeBlendMode(d, Key("Md  "), m_blendMode) &&
           EncodeColor(d, Key("Clr "), m_colour) &&
           EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity / 2.55);
}

// ---- Gradient fill

bool PSDEffectGradientFill::Save(Kernel::NonCounted<DescriptorItemList> list) const {
    return AppendTo(BuildDescriptor(), list);
}

bool PSDEffectGradientFill::ParseKey(DescriptorKey const& key, DescriptorItem const& v,
                                     PSDLoadData& ld, bool& known) {
    PSDReport& r = ld.m_report;
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 2.55, m_opacity, r);
        default:
            if (!PSDGradientDesc::IsPlacementKey(key)) {
                known = false;
                return true;
            }
            return m_gradient.Parse(key, v, ld);
    }
}

bool PSDEffectGradientFill::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    return EncodeBool(d, Key("enab"), m_enabled) && EncodeBlendMode(d, Key("Md  "), m_blendMode) &&
           EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity / 2.55) && m_gradient.Save(d);
}

// ---- Stroke

PSDEffectStroke::PSDEffectStroke() : m_colour(Rgb(0, 0, 0)) {}

bool PSDEffectStroke::Save(Kernel::NonCounted<DescriptorItemList> list) const {
    return AppendTo(BuildDescriptor(), list);
}

bool PSDEffectStroke::ParseKey(DescriptorKey const& key, DescriptorItem const& v, PSDLoadData& ld,
                               bool& known) {
    PSDReport& r = ld.m_report;
    if (IsName(key, "phase")) return ParsePhase(v, m_phase, r);
    if (IsName(key, "overprint")) return DecodeBool(v, m_overprint, r);
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 2.55, m_opacity, r);
        case Key("Sz  "): return DecodeUnit(v, UnitType::Pixels, m_size, r);
        case Key("Lnkd"): return DecodeBool(v, m_linked, r);
        case Key("Clr "): return DecodeColor(v, m_colour, r);
        case Key("Styl"):
            return ParseEnumKey(v, "FStl", "EffectStroke,Styl > %1", "EffectStroke,Styl - FStl > %1",
                                13, kStrokeStyles, PSDLoadWarning::kUnknownStrokeStyle, m_style, r);
        case Key("PntT"):
            return ParseEnumKey(v, "FrFl", "EffectStroke,PntT > %1", "EffectStroke,PntT - FrFl > %1",
                                12, kStrokeFills, PSDLoadWarning::kUnknownStrokeFillType,
                                m_fillType, r);
        default:
            if (!PSDGradientDesc::IsPlacementKey(key)) {
                known = false;
                return true;
            }
            m_gradient.m_placementRead = true;
            return m_gradient.Parse(key, v, ld);
    }
}

bool PSDEffectStroke::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    if (!EncodeBool(d, Key("enab"), m_enabled) ||
        !SaveEnumKey(d, Key("Styl"), "FStl", kStrokeStyles, m_style) ||
        !SaveEnumKey(d, Key("PntT"), "FrFl", kStrokeFills, m_fillType) ||
        !EncodeBlendMode(d, Key("Md  "), m_blendMode) ||
        !EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity / 2.55) ||
        !EncodeUnit(d, Key("Sz  "), UnitType::Pixels, m_size) ||
        !EncodeColor(d, Key("Clr "), m_colour) || !EncodeBool(d, Key("Lnkd"), m_linked) ||
        !EncodeBool(d, DescriptorKey::Name("overprint"), m_overprint))
        return false;
    if (!SavePhase(d, m_phase)) return false;
    bool placement = m_gradient.m_placementRead || m_gradient.m_hasGradient ||
                     m_fillType == kGradient;
    return !placement || m_gradient.Save(d);
}

// ---- Satin

PSDEffectSatin::PSDEffectSatin() : m_colour(Rgb(0, 0, 0)) {}

bool PSDEffectSatin::ParseKey(DescriptorKey const& key, DescriptorItem const& v, PSDLoadData& ld,
                              bool& known) {
    PSDReport& r = ld.m_report;
    if (IsName(key, "overprint")) return DecodeBool(v, m_overprint, r);
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Clr "): return DecodeColor(v, m_colour, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 2.55, m_opacity, r);
        case Key("lagl"): return DecodeUnit(v, UnitType::Angle, m_angle, r);
        case Key("Dstn"): return DecodeUnit(v, UnitType::Pixels, m_distance, r);
        case Key("blur"): return DecodeUnit(v, UnitType::Pixels, m_blur, r);
        case Key("Invr"): return DecodeBool(v, m_invert, r);
        case Key("AntA"): return DecodeBool(v, m_antiAlias, r);
        case Key("MpgS"): return m_contour.Parse(v, r);
        default: known = false; return true;
    }
}

bool PSDEffectSatin::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    return EncodeBool(d, Key("enab"), m_enabled) && EncodeBlendMode(d, Key("Md  "), m_blendMode) &&
           EncodeColor(d, Key("Clr "), m_colour) && EncodeBool(d, Key("AntA"), m_antiAlias) &&
           EncodeBool(d, Key("Invr"), m_invert) &&
           EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity / 2.55) &&
           EncodeUnit(d, Key("lagl"), UnitType::Angle, m_angle) &&
           EncodeUnit(d, Key("Dstn"), UnitType::Pixels, m_distance) &&
           EncodeUnit(d, Key("blur"), UnitType::Pixels, m_blur) && m_contour.Save(d, Key("MpgS")) &&
           EncodeBool(d, DescriptorKey::Name("overprint"), m_overprint);
}

// ---- Pattern overlay

bool PSDEffectPatternOverlay::ParseKey(DescriptorKey const& key, DescriptorItem const& v,
                                       PSDLoadData& ld, bool& known) {
    PSDReport& r = ld.m_report;
    if (IsName(key, "phase")) return ParsePhase(v, m_phase, r);
    switch (key.m_code) {
        case Key("enab"): return DecodeBool(v, m_enabled, r);
        case Key("Md  "): return DecodeBlendMode(v, m_blendMode, r);
        case Key("Opct"): return DecodeScaled(v, UnitType::Percent, 2.55, m_opacity, r);
        case Key("Scl "): return DecodeScaled(v, UnitType::Percent, 0.01, m_scale, r);
        case Key("Angl"): return m_hasAngle = true, DecodeUnit(v, UnitType::Angle, m_angle, r);
        case Key("Lnkd"): return DecodeBool(v, m_linked, r);
        case Key("Ptrn"): {
            Descriptor const* d = ExpectDescriptor(v, "EffectPatternOverlay,Ptrn > %1", 0, r);
            if (!d) return false;
            m_pattern = *d;
            for (auto const& [k, item] : d->m_items) {
                if (k.m_code == Key("Nm  ") && !DecodeString(*item, m_patternName, r)) return false;
                if (k.m_code == Key("Idnt") && !DecodeString(*item, m_patternId, r)) return false;
            }
            return true;
        }
        default: known = false; return true;
    }
}

bool PSDEffectPatternOverlay::SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const {
    Descriptor& d = item->m_descriptor;
    if (!EncodeBool(d, Key("enab"), m_enabled) || !EncodeBlendMode(d, Key("Md  "), m_blendMode) ||
        !EncodeUnit(d, Key("Opct"), UnitType::Percent, m_opacity / 2.55))
        return false;
    // The pattern object as read, with its name and identifier from the fields.
    Descriptor pattern(m_pattern.m_classID);
    pattern.m_name = m_pattern.m_name;
    bool name = false, id = false;
    for (auto const& entry : m_pattern.m_items) {
        if (entry.m_key.m_code == Key("Nm  ")) {
            name = EncodeString(pattern, Key("Nm  "), m_patternName);
        } else if (entry.m_key.m_code == Key("Idnt")) {
            id = EncodeString(pattern, Key("Idnt"), m_patternId);
        } else {
            pattern.AddItem(entry.m_key, entry.m_item);
        }
    }
    if (!name && !EncodeString(pattern, Key("Nm  "), m_patternName)) return false;
    if (!id && !EncodeString(pattern, Key("Idnt"), m_patternId)) return false;
    d.AddItem(Key("Ptrn"), Kernel::Counted<DescriptorItem const>(
                               new DescriptorItemDescriptor(std::move(pattern))));
    if (!EncodeUnit(d, Key("Scl "), UnitType::Percent, m_scale * 100.0) ||
        !EncodeBool(d, Key("Lnkd"), m_linked))
        return false;
    if (m_hasAngle && !EncodeUnit(d, Key("Angl"), UnitType::Angle, m_angle)) return false;
    return SavePhase(d, m_phase);
}

}  // namespace PSD

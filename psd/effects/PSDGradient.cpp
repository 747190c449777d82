#include "psd/effects/PSDGradient.h"

#include <cmath>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectSupport.h"
#include "psd/io/PSDColourRecord.h"
#include "psd/io/PSDResourceIO.h"

namespace PSD {

namespace {

using UnitType = DescriptorItemUnitFloat::UnitType;

// Keys of noise gradients: not interpreted, kept for the save.
constexpr uint32_t kNoiseKeys[] = {Key("ShTr"), Key("VctC"), Key("ClrS"), Key("RndS"),
                                   Key("Smth"), Key("Mnm "), Key("Mxm ")};

bool IsNoiseKey(DescriptorKey const& key) {
    for (uint32_t k : kNoiseKeys)
        if (key.m_code == k) return true;
    return false;
}

// The trailer of the binary gradient: 16-bit words at even offsets.
constexpr size_t kTrailerSize = 40;

// The descriptor of a list element, or null after storing code 29 with context + type.
Descriptor const* ElementDescriptor(Kernel::Counted<DescriptorItem> const& element,
                                    char const* context, PSDReport& report) {
    if (!element) {
        report.SetError(PSDError::kDescriptorExpectedDescriptor,
                        Kernel::FormatString("%1 > void", {context}));
        return nullptr;
    }
    auto const* d = dynamic_cast<DescriptorItemDescriptor const*>(element.Get());
    if (!d) {
        report.SetError(PSDError::kDescriptorExpectedDescriptor,
                        Kernel::FormatString("%1 > %2", {context, TypeText(*element)}));
        return nullptr;
    }
    return &d->m_descriptor;
}

}  // namespace

// ---- PSDGradient

bool PSDGradient::Parse(DescriptorItem const& item, PSDLoadData& ld) {
    PSDReport& report = ld.m_report;
    Descriptor const* d = ExpectDescriptor(item, "Gradient > %1", 0, report);
    if (!d) return false;
    WarnClass(*d, Key("Grdn"), "Gradient - Grdn > %1", report);
    m_descriptorName = d->m_name;
    for (auto const& [key, value] : d->m_items) {
        DescriptorItem const& v = *value;
        bool ok = true;
        switch (key.m_code) {
            case Key("Nm  "):
                ok = DecodeString(v, m_name, report);
                break;
            case Key("Intr"): {
                double intr = 0;
                ok = DecodeDouble(v, intr, report);
                if (ok) m_smoothness = intr / 4096.0;
                break;
            }
            case Key("Clrs"):
                ok = ParseColours(v, report);
                break;
            case Key("Trns"):
                ok = ParseTransparency(v, report);
                break;
            case Key("GrdF"): {
                String name;
                if (!CheckEffectEnum(v, "GrdF", "Gradient,GrdF > %1", "Gradient,GrdF > %1", 5,
                                     name, report))
                    return false;
                m_form = name;
                if (name == "ClNs")
                    report.AddWarning(PSDLoadWarning::kUnsupportedGradientFormat, "Noise");
                else if (name != "CstS")
                    report.AddWarning(PSDLoadWarning::kUnknownGradientFormat,
                                      Kernel::FormatString("Gradient,GrdF:%1", {name}));
                break;
            }
            default:
                if (IsNoiseKey(key)) {
                    m_noise.push_back({key, value});
                } else {
                    report.AddWarning(PSDLoadWarning::kUnknownProperty,
                                      Kernel::FormatString("Gradient,%1", {key.ToString()}));
                }
                break;
        }
        if (!ok) return false;
    }
    return true;
}

bool PSDGradient::ParseColours(DescriptorItem const& item, PSDReport& report) {
    auto const* list = ExpectList(item, "Gradient,Colours > %1", 0, report);
    if (!list) return false;
    for (auto const& element : list->m_items) {
        Descriptor const* d = ElementDescriptor(element, "Gradient,Colours", report);
        if (!d) return false;
        WarnClass(*d, Key("Clrt"), "Gradient,Colours - Clrt > %1", report);
        GradPoint p;
        for (auto const& [key, value] : d->m_items) {
            DescriptorItem const& v = *value;
            bool ok = true;
            switch (key.m_code) {
                case Key("Clr "):
                    ok = DecodeColor(v, p.colour, report);
                    break;
                case Key("Lctn"):
                    ok = DecodeInteger(v, p.location, report);
                    break;
                case Key("Mdpn"):
                    ok = DecodeInteger(v, p.midpoint, report);
                    break;
                case Key("Type"): {
                    String name;
                    if (!CheckEffectEnum(v, "Clry", "Clry > %1", "Clry > %1", 6, name, report))
                        return false;
                    p.type = name;
                    if (name != "UsrS")
                        report.AddWarning(PSDLoadWarning::kUnknownGradientColourType,
                                          Kernel::FormatString("Gradient,Colours,Type:%1", {name}));
                    break;
                }
                default:
                    report.AddWarning(PSDLoadWarning::kUnknownProperty,
                                      Kernel::FormatString("Gradient,Clrt,%1", {key.ToString()}));
                    break;
            }
            if (!ok) return false;
        }
        m_colours.push_back(std::move(p));
    }
    return true;
}

bool PSDGradient::ParseTransparency(DescriptorItem const& item, PSDReport& report) {
    auto const* list = ExpectList(item, "Gradient,Transparency > %1", 0, report);
    if (!list) return false;
    for (auto const& element : list->m_items) {
        Descriptor const* d = ElementDescriptor(element, "Gradient,Transparency", report);
        if (!d) return false;
        WarnClass(*d, Key("TrnS"), "Gradient,Transparency - TrnS > %1", report);
        TransparencyPoint p;
        for (auto const& [key, value] : d->m_items) {
            DescriptorItem const& v = *value;
            bool ok = true;
            switch (key.m_code) {
                case Key("Opct"): {
                    double o = 0;
                    ok = DecodeUnit(v, UnitType::Percent, o, report);
                    if (ok) p.opacity = uint8_t(TruncateInt(o));
                    break;
                }
                case Key("Lctn"):
                    ok = DecodeInteger(v, p.location, report);
                    break;
                case Key("Mdpn"):
                    ok = DecodeInteger(v, p.midpoint, report);
                    break;
                default:
                    report.AddWarning(PSDLoadWarning::kUnknownProperty,
                                      Kernel::FormatString("Gradient,TrnS,%1", {key.ToString()}));
                    break;
            }
            if (!ok) return false;
        }
        m_transparency.push_back(p);
    }
    return true;
}

bool PSDGradient::SaveColours(Descriptor& desc) const {
    Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
    for (auto const& p : m_colours) {
        Kernel::Counted<DescriptorItemDescriptor> stop(
            new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("Clrt")))));
        Descriptor& s = stop->m_descriptor;
        // A stop read without a colour (a foreground or background stop may lack one) has none.
        if ((p.colour && !EncodeColor(s, Key("Clr "), p.colour)) ||
            !EncodeEnum(s, Key("Type"), Key("Clry"), EnumValueKey(p.type)) ||
            !EncodeInteger(s, Key("Lctn"), p.location) ||
            !EncodeInteger(s, Key("Mdpn"), p.midpoint))
            return false;
        list->m_items.push_back(stop);
    }
    desc.AddItem(Key("Clrs"), list);
    return true;
}

bool PSDGradient::SaveTransparency(Descriptor& desc) const {
    Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
    for (auto const& p : m_transparency) {
        Kernel::Counted<DescriptorItemDescriptor> stop(
            new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("TrnS")))));
        Descriptor& s = stop->m_descriptor;
        if (!EncodeUnit(s, Key("Opct"), UnitType::Percent, p.opacity) ||
            !EncodeInteger(s, Key("Lctn"), p.location) ||
            !EncodeInteger(s, Key("Mdpn"), p.midpoint))
            return false;
        list->m_items.push_back(stop);
    }
    desc.AddItem(Key("Trns"), list);
    return true;
}

bool PSDGradient::Save(Descriptor& desc, unsigned int key) const {
    Kernel::Counted<DescriptorItemDescriptor> item(
        new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("Grdn")))));
    Descriptor& g = item->m_descriptor;
    g.m_name = m_descriptorName;
    if (!EncodeString(g, Key("Nm  "), m_name) ||
        !EncodeEnum(g, Key("GrdF"), Key("GrdF"), EnumValueKey(m_form)))
        return false;
    if (!IsNoise()) {
        if (!EncodeDouble(g, Key("Intr"), m_smoothness * 4096.0)) return false;
    }
    for (auto const& n : m_noise) g.AddItem(n.m_key, n.m_item);
    if (!m_colours.empty() || !IsNoise()) {
        if (!SaveColours(g) || !SaveTransparency(g)) return false;
    }
    desc.AddItem(DescriptorKey(key), item);
    return true;
}

bool PSDGradient::Parse(Kernel::InStreamSeekable& stream, PSDLoadData& ld) {
    if (!ReadUnicodeString(stream, m_name, ld)) return false;
    uint16_t count;
    if (!ReadValue(stream, count, ld)) return false;
    m_colours.clear();
    for (uint16_t i = 0; i < count; ++i) {
        GradPoint p;
        uint16_t type;
        if (!ReadValue(stream, p.location, ld) || !ReadValue(stream, p.midpoint, ld) ||
            !ReadColor(stream, p.colour, ld) || !ReadValue(stream, type, ld))
            return false;
        m_colours.push_back(std::move(p));
    }
    if (!ReadValue(stream, count, ld)) return false;
    m_transparency.clear();
    for (uint16_t i = 0; i < count; ++i) {
        TransparencyPoint p;
        uint16_t opacity;
        if (!ReadValue(stream, p.location, ld) || !ReadValue(stream, p.midpoint, ld) ||
            !ReadValue(stream, opacity, ld))
            return false;
        p.opacity = uint8_t(opacity);
        m_transparency.push_back(p);
    }
    uint8_t trailer[kTrailerSize];
    if (!ReadBytes(stream, trailer, kTrailerSize, ld)) return false;
    auto word = [&](size_t at) { return uint16_t(trailer[at] << 8 | trailer[at + 1]); };
    if (word(0) != 2 || word(4) != 32 || word(6) != 0) {
        ld.m_report.SetError(PSDError::kGradientBadData);
        return false;
    }
    return true;
}

bool PSDGradient::Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (m_colours.size() > 0xFFFF || m_transparency.size() > 0xFFFF) return false;
    if (!WriteUnicodeString(stream, f, m_name) ||
        !WriteValue(stream, uint16_t(m_colours.size()), f))
        return false;
    for (auto const& p : m_colours)
        if (!WriteValue(stream, p.location, f) || !WriteValue(stream, p.midpoint, f) ||
            !WriteColor(stream, f, p.colour) || !WriteValue<uint16_t>(stream, 0, f))
            return false;
    if (!WriteValue(stream, uint16_t(m_transparency.size()), f)) return false;
    for (auto const& p : m_transparency)
        if (!WriteValue(stream, p.location, f) || !WriteValue(stream, p.midpoint, f) ||
            !WriteValue(stream, uint16_t(p.opacity), f))
            return false;
    uint8_t trailer[kTrailerSize] = {};
    auto put = [&](size_t at, uint16_t v) {
        trailer[at] = uint8_t(v >> 8);
        trailer[at + 1] = uint8_t(v);
    };
    put(0, 2), put(2, 16), put(4, 32), put(16, 50);
    for (size_t i = 30; i < 38; ++i) trailer[i] = 0xFF;
    return stream.Write(trailer, kTrailerSize);
}

bool PSDGradient::IsFullyTransparent() const {
    for (auto const& p : m_transparency)
        if (p.opacity != 0) return false;
    return true;
}

void PSDGradient::SetGradientSingleColour(Kernel::Consolidated<Renderer::Colour> const& colour) {
    m_form = "CstS";
    m_noise.clear();
    m_colours = {GradPoint{0, 50, colour, "UsrS"}, GradPoint{4096, 50, colour, "UsrS"}};
    m_transparency = {TransparencyPoint{100, 0, 50}, TransparencyPoint{100, 4096, 50}};
}

// ---- PSDGradientDesc

namespace {

struct KindName {
    int32_t kind;
    uint32_t code;     // 0: the value is a name
    char const* name;
};
constexpr KindName kKinds[] = {
    {PSDGradientDesc::kLinear, Key("Lnr "), nullptr},   {PSDGradientDesc::kRadial, Key("Rdl "), nullptr},
    {PSDGradientDesc::kAngle, Key("Angl"), nullptr},    {PSDGradientDesc::kReflected, Key("Rflc"), nullptr},
    {PSDGradientDesc::kDiamond, Key("Dmnd"), nullptr},  {PSDGradientDesc::kShapeBurst, 0, "shapeburst"},
};

constexpr uint32_t kPlacementKeys[] = {Key("Grad"), Key("Type"), Key("Angl"), Key("Scl "),
                                       Key("Rvrs"), Key("Dthr"), Key("Algn"), Key("Ofst"),
                                       Key("gs99")};

}  // namespace

bool PSDGradientDesc::IsPlacementKey(DescriptorKey const& key) {
    for (uint32_t k : kPlacementKeys)
        if (key.m_code == k) return true;
    return false;
}

bool PSDGradientDesc::Parse(DescriptorKey const& key, DescriptorItem const& item,
                            PSDLoadData& ld) {
    PSDReport& report = ld.m_report;
    if (IsPlacementKey(key)) m_placementRead = true;
    // The style and the interpolation method are enumerations.
    auto enumerated = [&]() -> DescriptorItemEnum const* {
        auto const* e = dynamic_cast<DescriptorItemEnum const*>(&item);
        if (!e)
            report.SetError(PSDError::kDescriptorExpectedEnum,
                            Kernel::FormatString("Gradient > %1", {TypeText(item)}), 4);
        return e;
    };
    switch (key.m_code) {
        case Key("Grad"):
            m_gradient = PSDGradient();
            m_hasGradient = true;
            return m_gradient.Parse(item, ld);
        case Key("Type"): {
            auto const* e = enumerated();
            if (!e) return false;
            if (e->m_value.m_type.m_code != Key("GrdT")) {
                report.SetError(PSDError::kDescriptorUnexpectedEnumType,
                                Kernel::FormatString("Gradient - GrdT > %1",
                                                     {e->m_value.m_type.ToString()}),
                                4);
                return false;
            }
            DescriptorKey const& v = e->m_value.m_value;
            for (auto const& k : kKinds) {
                if ((k.code && v.m_code == k.code) || (!k.code && !v.m_code && v.m_name == k.name)) {
                    m_kind = k.kind;
                    return true;
                }
            }
            m_kind = kLinear;
            report.AddWarning(PSDLoadWarning::kUnknownGradientType, v.ToString());
            return true;
        }
        case Key("Angl"):
            return DecodeUnit(item, UnitType::Angle, m_angle, report);
        case Key("Scl "): {
            double s = 0;
            if (!DecodeUnit(item, UnitType::Percent, s, report)) return false;
            m_scale = s / 100.0;
            return true;
        }
        case Key("Rvrs"):
            return DecodeBool(item, m_reverse, report);
        case Key("Dthr"):
            return DecodeBool(item, m_dither, report);
        case Key("Algn"):
            return DecodeBool(item, m_alignWithLayer, report);
        case Key("gs99"): {
            auto const* e = enumerated();
            if (e) m_interpolation = e->m_value.m_value;
            return e != nullptr;
        }
        case Key("Ofst"): {
            auto const* d = dynamic_cast<DescriptorItemDescriptor const*>(&item);
            if (!d) {
                report.SetError(PSDError::kDescriptorExpectedDescriptor, "Pnt ");
                return false;
            }
            if (d->m_descriptor.m_classID.m_code != Key("Pnt ")) {
                report.SetError(PSDError::kDescriptorUnexpectedKey,
                                Kernel::FormatString("Pnt > %1",
                                                     {d->m_descriptor.m_classID.ToString()}));
                return false;
            }
            for (auto const& [k, v] : d->m_descriptor.m_items) {
                if (k.m_code == Key("Hrzn")) {
                    if (!DecodeUnit(*v, UnitType::Percent, m_offset.x, report)) return false;
                } else if (k.m_code == Key("Vrtc")) {
                    if (!DecodeUnit(*v, UnitType::Percent, m_offset.y, report)) return false;
                } else {
                    report.AddWarning(PSDLoadWarning::kUnknownProperty,
                                      Kernel::FormatString("Pnt,%1", {k.ToString()}));
                }
            }
            return true;
        }
        default:
            return true;
    }
}

bool PSDGradientDesc::Save(Descriptor& desc) const {
    if (m_hasGradient && !m_gradient.Save(desc, Key("Grad"))) return false;
    DescriptorKey kind;
    for (auto const& k : kKinds)
        if (k.kind == m_kind) kind = k.code ? DescriptorKey(k.code) : DescriptorKey::Name(k.name);
    if (!kind.m_code && kind.m_name.empty()) kind = DescriptorKey(Key("Lnr "));
    if (!EncodeEnum(desc, Key("Type"), Key("GrdT"), kind) ||
        !EncodeUnit(desc, Key("Angl"), UnitType::Angle, m_angle) ||
        !EncodeUnit(desc, Key("Scl "), UnitType::Percent, m_scale * 100.0) ||
        !EncodeBool(desc, Key("Rvrs"), m_reverse) || !EncodeBool(desc, Key("Dthr"), m_dither) ||
        !EncodeBool(desc, Key("Algn"), m_alignWithLayer))
        return false;
    if ((m_interpolation.m_code || !m_interpolation.m_name.empty()) &&
        !EncodeEnum(desc, Key("gs99"), DescriptorKey::Name("gradientInterpolationMethodType"),
                    m_interpolation))
        return false;
    Kernel::Counted<DescriptorItemDescriptor> offset(
        new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("Pnt ")))));
    if (!EncodeUnit(offset->m_descriptor, Key("Hrzn"), UnitType::Percent, m_offset.x) ||
        !EncodeUnit(offset->m_descriptor, Key("Vrtc"), UnitType::Percent, m_offset.y))
        return false;
    desc.AddItem(Key("Ofst"), offset);
    return true;
}

// ---- PSDContour

bool PSDContour::Parse(DescriptorItem const& item, PSDReport& report) {
    Descriptor const* d = ExpectDescriptor(item, "Contour > %1", 0, report);
    if (!d) return false;
    WarnClass(*d, Key("ShpC"), "Contour - ShpC > %1", report);
    m_points.clear();
    for (auto const& [key, value] : d->m_items) {
        bool ok = true;
        if (key.m_code == Key("Nm  "))
            ok = DecodeString(*value, m_name, report);
        else if (key.m_code == Key("Crv "))
            ok = ParseCurve(*value, report);
        else
            report.AddWarning(PSDLoadWarning::kUnknownProperty,
                              Kernel::FormatString("Contour,%1", {key.ToString()}));
        if (!ok) return false;
    }
    return true;
}

bool PSDContour::ParseCurve(DescriptorItem const& item, PSDReport& report) {
    auto const* list = ExpectList(item, "Contour,Curve > %1", 0, report);
    if (!list) return false;
    for (auto const& element : list->m_items) {
        Descriptor const* d = ElementDescriptor(element, "Contour,Curve", report);
        if (!d) return false;
        WarnClass(*d, Key("CrPt"), "Contour,Curve - CrPt > %1", report);
        double h = 0, v = 0;
        for (auto const& [key, value] : d->m_items) {
            bool ok = true;
            if (key.m_code == Key("Hrzn"))
                ok = DecodeDouble(*value, h, report);
            else if (key.m_code == Key("Vrtc"))
                ok = DecodeDouble(*value, v, report);
            else if (key.m_code != Key("Cnty"))
                report.AddWarning(PSDLoadWarning::kUnknownProperty,
                                  Kernel::FormatString("Contour,Curve,%1", {key.ToString()}));
            if (!ok) return false;
        }
        m_points.push_back({uint16_t(TruncateInt(h)), uint16_t(TruncateInt(v))});
    }
    return true;
}

bool PSDContour::SaveCurve(Descriptor& desc) const {
    static constexpr Pt kIdentity[2] = {{0, 0}, {255, 255}};
    std::vector<Pt> points = m_points;
    if (points.size() < 2) points.assign(kIdentity, kIdentity + 2);
    Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
    for (auto const& p : points) {
        Kernel::Counted<DescriptorItemDescriptor> pt(
            new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("CrPt")))));
        if (!EncodeDouble(pt->m_descriptor, Key("Hrzn"), p.horizontal) ||
            !EncodeDouble(pt->m_descriptor, Key("Vrtc"), p.vertical))
            return false;
        list->m_items.push_back(pt);
    }
    desc.AddItem(Key("Crv "), list);
    return true;
}

bool PSDContour::Save(Descriptor& desc, unsigned int key) const {
    Kernel::Counted<DescriptorItemDescriptor> item(
        new DescriptorItemDescriptor(Descriptor(DescriptorKey(Key("ShpC")))));
    if (!EncodeString(item->m_descriptor, Key("Nm  "), m_name) || !SaveCurve(item->m_descriptor))
        return false;
    desc.AddItem(DescriptorKey(key), item);
    return true;
}

bool PSDContour::IsDefault() const {
    if (m_points.size() < 2) return true;
    return m_points.size() == 2 && m_points[0].horizontal == 0 && m_points[0].vertical == 0 &&
           m_points[1].horizontal == 255 && m_points[1].vertical == 255;
}

}  // namespace PSD

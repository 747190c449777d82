#include "psd/adjustments/PSDFillLayer.h"

#include "psd/adjustments/PSDAdjustmentSupport.h"

namespace PSD {

// ---- Solid colour

bool PSDAdjustmentSolidColor::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    Descriptor d;
    return d.Parse(stream, pd) && ParseDescriptor(d, pd.m_report);
}

bool PSDAdjustmentSolidColor::ParseDescriptor(Descriptor const& d, PSDReport& report) {
    for (auto const& item : d.GetItems()) {
        if (item.m_key.ToString() == "Clr ") {
            if (!DecodeColor(*item.m_item, m_colour, report)) return false;
            continue;
        }
        WarnUnknownProperty("AdjustmentSolidColor,%1", item.m_key, report);
    }
    return true;
}

bool PSDAdjustmentSolidColor::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor d(DKey("null"));
    return m_colour && EncodeColor(d, DKey("Clr "), m_colour) && d.Save(stream, sd.m_fixer);
}

bool PSDAdjustmentSolidColor::SaveShortDefault(Kernel::OutStreamSeekable& stream, SaveData const& sd) {
    PSDAdjustmentSolidColor white;
    white.m_colour = Renderer::ColourRGB::Create(Renderer::RGBA8{255, 255, 255, 255}, 1.0f, 1.0f, {});
    return white.SaveShort(stream, sd);
}

// ---- Gradient fill

bool PSDAdjustmentGradientFill::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    Descriptor d;
    return d.Parse(stream, pd) && ParseDescriptor(d, pd);
}

bool PSDAdjustmentGradientFill::ParseDescriptor(Descriptor const& d, PSDLoadData& ld) {
    for (auto const& item : d.GetItems()) {
        if (PSDGradientDesc::IsPlacementKey(item.m_key)) {
            if (!m_gradient.Parse(item.m_key, *item.m_item, ld)) return false;
            continue;
        }
        WarnUnknownProperty("AdjustmentGradientFill,%1", item.m_key, ld.m_report);
    }
    return true;
}

bool PSDAdjustmentGradientFill::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor d(DKey("null"));
    return m_gradient.Save(d) && d.Save(stream, sd.m_fixer);
}

// ---- Pattern fill

bool PSDAdjustmentPatternFill::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    if (!m_descriptor.Parse(stream, pd)) return false;
    for (auto const& item : m_descriptor.GetItems()) {
        String key = item.m_key.ToString();
        DescriptorItem const& v = *item.m_item;
        if (key == "Ptrn") {
            if (auto const* p = dynamic_cast<DescriptorItemDescriptor const*>(&v))
                for (auto const& in : p->m_descriptor.GetItems()) {
                    String k = in.m_key.ToString();
                    if (k == "Nm  ") (void)StringOf(*in.m_item, m_patternName);
                    else if (k == "Idnt") (void)StringOf(*in.m_item, m_patternId);
                }
        } else if (key == "Scl ") {
            if (auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(&v)) m_scale = u->m_value;
        } else if (key == "phase") {
            m_hasPhase = DecodePoint(v, m_phase, pd.m_report) || m_hasPhase;
        } else if (key == "Algn") {
            (void)BoolOf(v, m_linked);
        }
    }
    return true;
}

bool PSDAdjustmentPatternFill::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor values(DKey("null"));
    // The pattern object as read, its name and identifier from the fields.
    Descriptor stored(DKey("Ptrn"));
    if (auto p = m_descriptor.Get<DescriptorItemDescriptor>(Key("Ptrn"))) stored = p->m_descriptor;
    Descriptor named(DKey("null"));
    if (!EncodeString(named, DKey("Nm  "), m_patternName) ||
        !EncodeString(named, DKey("Idnt"), m_patternId))
        return false;
    values.AddItem(DKey("Ptrn"),
                   Kernel::MakeCounted<DescriptorItemDescriptor>(ReplaceItems(stored, named)));
    if (!EncodeUnit(values, DKey("Scl "), DescriptorItemUnitFloat::Percent, m_scale) ||
        !EncodeBool(values, DKey("Algn"), m_linked) ||
        (m_hasPhase && !EncodePoint(values, DKey("phase"), m_phase)))
        return false;
    Descriptor kept = m_descriptor.m_items.empty() ? Descriptor(DKey("null")) : m_descriptor;
    return ReplaceItems(kept, values).Save(stream, sd.m_fixer);
}

}  // namespace PSD

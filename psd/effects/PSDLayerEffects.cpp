#include "psd/effects/PSDLayerEffects.h"

#include <new>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectSupport.h"

namespace PSD {

namespace {

using UnitType = DescriptorItemUnitFloat::UnitType;

// Makes an effect, reporting a failed allocation as the out-of-memory error.
template <class T, class... A>
Kernel::Counted<PSDEffect> MakeEffect(PSDReport& report, A... args) {
    T* e = new (std::nothrow) T(args...);
    if (!e) report.ErrorAlloc();
    return Kernel::Counted<PSDEffect>(e);
}

// One list of a multi-effect key: each element becomes one effect made by make().
template <class Make>
bool ParseMulti(DescriptorItem const& item, char const* context, PSDLoadData& ld,
                std::vector<Kernel::Counted<PSDEffect>>& out, Make make) {
    auto const* list = ExpectList(item, context, 0, ld.m_report);
    if (!list) return false;
    for (auto const& element : list->m_items) {
        if (!element) {
            ld.m_report.SetError(PSDError::kDescriptorExpectedDescriptor, "void");
            return false;
        }
        Kernel::Counted<PSDEffect> e = make();
        if (!e || !e->Parse(*element, ld)) return false;
        out.push_back(e);
    }
    return true;
}

}  // namespace

bool PSDLayerEffects::ParseLayerEffects(Kernel::InStreamSeekable& s, ParseData& pd) {
    // The descriptor block, read first, already holds these effects.
    if (m_objectEffectsRead) return true;
    PSDReport& report = pd.m_report;
    uint16_t version, count;
    if (!ReadValue(s, version, pd)) return false;
    if (version != 0) {
        report.SetError(PSDError::kUnknownLayerEffectVersion, Kernel::ToString(unsigned(version)));
        return false;
    }
    if (!ReadValue(s, count, pd)) return false;
    for (uint16_t i = 0; i < count; ++i) {
        uint32_t signature, key;
        if (!ReadKey(s, signature, pd)) return false;
        if (signature != Key("8BIM")) {
            report.SetError(PSDError::kUnknownSignature, KeyToString(signature), 3);
            return false;
        }
        if (!ReadKey(s, key, pd)) return false;
        Kernel::Counted<PSDEffect> e;
        switch (key) {
            case Key("cmnS"): {
                uint32_t size, v;
                if (!ReadValue(s, size, pd) || !ReadValue(s, v, pd)) return false;
                if (size != 7 || v != 0) {
                    report.SetError(PSDError::kUnknownLayerEffectVersion,
                                    Kernel::FormatString("cmnS %1 %2",
                                                         {Kernel::ToString(unsigned(size)),
                                                          Kernel::ToString(unsigned(v))}));
                    return false;
                }
                if (!SkipBytes(s, 3, pd)) return false;
                continue;
            }
            case Key("dsdw"): e = MakeEffect<PSDEffectShadow>(report, false); break;
            case Key("isdw"): e = MakeEffect<PSDEffectShadow>(report, true); break;
            case Key("oglw"): e = MakeEffect<PSDEffectGlow>(report, false); break;
            case Key("iglw"): e = MakeEffect<PSDEffectGlow>(report, true); break;
            case Key("bevl"): e = MakeEffect<PSDEffectBevel>(report); break;
            case Key("sofi"): e = MakeEffect<PSDEffectSolidFill>(report); break;
            default:
                // Nothing is skipped: the next record is read from the bytes after the key.
                report.AddWarning(PSDLoadWarning::kUnknownLayersEffectType, KeyToString(key));
                continue;
        }
        if (!e || !e->Parse(s, pd)) return false;
        m_effects.push_back(e);
    }
    return true;
}

bool PSDLayerEffects::ParseObjectEffects(Kernel::InStreamSeekable& s, ParseData& pd) {
    PSDReport& report = pd.m_report;
    uint32_t version;
    if (!ReadValue(s, version, pd)) return false;
    if (version != 0) {
        report.SetError(PSDError::kUnknownLayerEffectVersion, Kernel::ToString(unsigned(version)));
        return false;
    }
    Descriptor d;
    if (!d.Parse(s, pd)) {
        if (!report.m_error) report.ErrorParsing();
        return false;
    }
    for (auto const& entry : d.m_items) {
        DescriptorKey const& key = entry.m_key;
        DescriptorItem const& v = *entry.m_item;
        bool ok = true, single = false;
        Kernel::Counted<PSDEffect> e;
        if (key.m_code == 0) {
            if (key.m_name == "masterFXSwitch") {
                ok = DecodeBool(v, m_masterSwitch, report);
            } else if (key.m_name == "dropShadowMulti") {
                ok = ParseMultiShadow(v, false, pd);
            } else if (key.m_name == "innerShadowMulti") {
                ok = ParseMultiShadow(v, true, pd);
            } else if (key.m_name == "solidFillMulti") {
                ok = ParseMultiSolidFill(v, pd);
            } else if (key.m_name == "gradientFillMulti") {
                ok = ParseMultiGradientFill(v, pd);
            } else if (key.m_name == "frameFXMulti") {
                ok = ParseMultiFrameFX(v, pd);
            } else if (key.m_name == "patternFill") {
                single = true;
                e = MakeEffect<PSDEffectPatternOverlay>(report);
            } else {
                if (key.m_name != "numModifyingFX")
                    report.AddWarning(PSDLoadWarning::kUnknownLayersEffectType, key.ToString());
                m_kept.push_back(entry);
            }
        } else {
            single = true;
            switch (key.m_code) {
                case Key("Scl "):
                    single = false;
                    ok = DecodeUnit(v, UnitType::Percent, m_scale, report);
                    if (ok) m_scale /= 100.0;
                    break;
                case Key("DrSh"): e = MakeEffect<PSDEffectShadow>(report, false); break;
                case Key("IrSh"): e = MakeEffect<PSDEffectShadow>(report, true); break;
                case Key("OrGl"): e = MakeEffect<PSDEffectGlow>(report, false); break;
                case Key("IrGl"): e = MakeEffect<PSDEffectGlow>(report, true); break;
                case Key("ebbl"): e = MakeEffect<PSDEffectBevel>(report); break;
                case Key("SoFi"): e = MakeEffect<PSDEffectSolidFill>(report); break;
                case Key("GrFl"): e = MakeEffect<PSDEffectGradientFill>(report); break;
                case Key("FrFX"): e = MakeEffect<PSDEffectStroke>(report); break;
                case Key("ChFX"): e = MakeEffect<PSDEffectSatin>(report); break;
                default:
                    single = false;
                    report.AddWarning(PSDLoadWarning::kUnknownLayersEffectType, key.ToString());
                    m_kept.push_back(entry);
                    break;
            }
        }
        if (!ok) return false;
        if (!single) continue;
        if (!e || !e->Parse(v, pd)) return false;
        m_effects.push_back(e);
    }
    m_objectEffectsRead = true;
    return true;
}

bool PSDLayerEffects::ParseMultiShadow(DescriptorItem const& item, bool inner, PSDLoadData& ld) {
    return ParseMulti(item, "LayerEffects,MultiShadow > %1", ld, m_effects,
                      [&] { return MakeEffect<PSDEffectShadow>(ld.m_report, inner); });
}

bool PSDLayerEffects::ParseMultiSolidFill(DescriptorItem const& item, PSDLoadData& ld) {
    return ParseMulti(item, "LayerEffects,MultiSolidFill > %1", ld, m_effects,
                      [&] { return MakeEffect<PSDEffectSolidFill>(ld.m_report); });
}

bool PSDLayerEffects::ParseMultiGradientFill(DescriptorItem const& item, PSDLoadData& ld) {
    return ParseMulti(item, "LayerEffects,MultiGradientFill > %1", ld, m_effects,
                      [&] { return MakeEffect<PSDEffectGradientFill>(ld.m_report); });
}

bool PSDLayerEffects::ParseMultiFrameFX(DescriptorItem const& item, PSDLoadData& ld) {
    return ParseMulti(item, "LayerEffects,MultiFrameFX > %1", ld, m_effects,
                      [&] { return MakeEffect<PSDEffectStroke>(ld.m_report); });
}

bool PSDLayerEffects::HasEnabledEffects() const {
    for (auto const& e : m_effects)
        if (e && e->m_enabled) return true;
    return false;
}

namespace {

// The descriptor's order of the kinds with a list form; the others follow in their list order.
int SaveRank(PSDEffect const& e) {
    switch (e.GetType()) {
        case PSDEffect::kShadow:
            return static_cast<PSDEffectShadow const&>(e).m_inner ? 1 : 0;
        case PSDEffect::kSolidFill:
            return 2;
        case PSDEffect::kGradientFill:
            return 3;
        case PSDEffect::kStroke:
            return 4;
        default:
            return 5;
    }
}

}  // namespace

void PSDLayerEffects::Insert(Kernel::Counted<PSDEffect> effect) {
    if (!effect) return;
    int rank = SaveRank(*effect);
    auto at = m_effects.end();
    while (at != m_effects.begin() && *(at - 1) && SaveRank(**(at - 1)) > rank) --at;
    m_effects.insert(at, std::move(effect));
}

bool PSDLayerEffects::BuildDescriptor(Descriptor& d) const {
    d = Descriptor(DescriptorKey(Key("null")));
    if (!EncodeBool(d, DescriptorKey::Name("masterFXSwitch"), m_masterSwitch) ||
        !EncodeUnit(d, Key("Scl "), UnitType::Percent, m_scale * 100.0))
        return false;
    // Groups that have a list form, in the order they are written.
    struct Group {
        char const* multiKey;
        bool (*member)(PSDEffect const&);
    };
    static constexpr Group kGroups[] = {
        {"dropShadowMulti",
         [](PSDEffect const& e) {
             return e.GetType() == PSDEffect::kShadow &&
                    !static_cast<PSDEffectShadow const&>(e).m_inner;
         }},
        {"innerShadowMulti",
         [](PSDEffect const& e) {
             return e.GetType() == PSDEffect::kShadow &&
                    static_cast<PSDEffectShadow const&>(e).m_inner;
         }},
        {"solidFillMulti", [](PSDEffect const& e) { return e.GetType() == PSDEffect::kSolidFill; }},
        {"gradientFillMulti",
         [](PSDEffect const& e) { return e.GetType() == PSDEffect::kGradientFill; }},
        {"frameFXMulti", [](PSDEffect const& e) { return e.GetType() == PSDEffect::kStroke; }},
    };
    for (auto const& g : kGroups) {
        std::vector<PSDEffect const*> members;
        for (auto const& e : m_effects)
            if (e && g.member(*e)) members.push_back(e.Get());
        if (members.size() == 1) {
            if (!members[0]->Save(d)) return false;
        } else if (members.size() > 1) {
            Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
            for (auto const* e : members)
                if (!e->Save(Kernel::NonCounted<DescriptorItemList>(list.Get()))) return false;
            d.AddItem(DescriptorKey::Name(g.multiKey), list);
        }
    }
    for (auto const& e : m_effects) {
        if (!e) continue;
        bool grouped = false;
        for (auto const& g : kGroups) grouped = grouped || g.member(*e);
        if (!grouped && !e->Save(d)) return false;
    }
    for (auto const& k : m_kept) d.AddItem(k.m_key, k.m_item);
    return true;
}

bool PSDLayerEffects::Save(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    Descriptor d;
    if (!BuildDescriptor(d)) return false;
    if (!WriteKey(s, Key("8BIM"), f) || !WriteKey(s, m_objectKey, f)) return false;
    SectionSizer object;
    if (!object.Begin(s, f, false) || !WriteValue<uint32_t>(s, 0, f) || !d.Save(s, f) ||
        !object.End(4, true))
        return false;

    uint16_t count = 1;
    for (auto const& e : m_effects)
        if (e && e->LegacySupported()) ++count;
    if (!WriteKey(s, Key("8BIM"), f) || !WriteKey(s, Key("lrFX"), f)) return false;
    SectionSizer legacy;
    uint8_t common[3] = {1, 0, 0};
    if (!legacy.Begin(s, f, false) || !WriteValue<uint16_t>(s, 0, f) ||
        !WriteValue(s, count, f) || !WriteKey(s, Key("8BIM"), f) || !WriteKey(s, Key("cmnS"), f) ||
        !WriteValue<uint32_t>(s, 7, f) || !WriteValue<uint32_t>(s, 0, f) || !s.Write(common, 3))
        return false;
    for (auto const& e : m_effects)
        if (e && e->LegacySupported() && !e->Save(s, sd)) return false;
    return legacy.End(4, true);
}

}  // namespace PSD

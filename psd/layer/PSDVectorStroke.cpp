// The vector fill ("vscg") and stroke ("vstk") blocks of shape layers. They live beside the layer
// because they are made of descriptors and fill objects, which sit above the vector model.
#include "psd/vector/PSDVectorStroke.h"

#include "psd/adjustments/PSDAdjustmentSupport.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectSupport.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

namespace {

using Unit = DescriptorItemUnitFloat;

// A length in points: pixels through the resolution, points as they are. False (with the
// warning) for other units.
bool ReadLength(DescriptorItem const& item, double resolution, double& out, PSDReport& report) {
    Unit::UnitType unit;
    double value;
    if (!DecodeUnitAndType(item, unit, value, report)) return false;
    if (unit == Unit::Pixels) {
        out = value * 72.0 / resolution;
    } else if (unit == Unit::Points) {
        out = value;
    } else {
        report.AddWarning(PSDLoadWarning::kUnexpectedVectorStrokeLineUnitType, Unit::UnitTypeToString(unit));
    }
    return true;
}

// Content descriptors are written back under their own class names.
Kernel::Counted<DescriptorItemDescriptor> DescriptorOf(PSDAdjustment const& fill, char const* className,
                                                       SaveData const& sd) {
    auto memory = Kernel::MemoryInOutStreamBase::Create();
    if (!fill.SaveI(*memory, sd)) return nullptr;
    auto in = Kernel::MemoryInStream::Create(memory->GetData());
    ParseData pd(sd.m_fixer.m_swap, true, CreateOptions{}, Kernel::MakeCounted<PSDWarnings>());
    Kernel::Counted<DescriptorItemDescriptor> item(new DescriptorItemDescriptor);
    if (!item->GetDescriptor().Parse(*in, pd)) return nullptr;
    item->GetDescriptor().m_classID = DKey(className);
    return item;
}

}  // namespace

PSDVectorStroke::PSDVectorStroke() = default;
PSDVectorStroke::~PSDVectorStroke() = default;

bool PSDVectorStroke::ParseFill(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t key;
    if (!ReadKey(stream, key, pd)) return false;
    if (key != Key("SoCo") && key != Key("GdFl") && key != Key("PtFl")) {
        pd.m_report.AddWarning(PSDLoadWarning::kUnexpectedVectorStrokeFillAdjustment, KeyToString(key));
        return true;
    }
    auto fill = PSDAdjustment::Create(key);
    if (!fill) {
        pd.m_report.ErrorAlloc();
        return false;
    }
    if (!fill->Parse(stream, pd)) return false;
    m_fill = fill;
    return true;
}

bool PSDVectorStroke::ParseStroke(Kernel::InStreamSeekable& stream, ParseData& pd) {
    Descriptor d;
    if (!d.Parse(stream, pd)) return false;
    PSDReport& report = pd.m_report;
    m_resolution = 72.0;
    // The resolution governs every length, wherever it stands.
    for (auto const& item : d.GetItems())
        if (item.m_key.ToString() == "strokeStyleResolution" && !DecodeDouble(*item.m_item, m_resolution, report))
            return false;
    if (!(m_resolution > 0)) m_resolution = 72.0;
    m_lineWidth = 72.0 / m_resolution;
    m_dashOffset = 0.0;
    for (auto const& entry : d.GetItems()) {
        String key = entry.m_key.ToString();
        DescriptorItem const& item = *entry.m_item;
        bool ok = true;
        if (key == "strokeStyleVersion" || key == "strokeStyleResolution") {
            continue;
        } else if (key == "strokeEnabled") {
            ok = DecodeBool(item, m_strokeEnabled, report);
        } else if (key == "fillEnabled") {
            ok = DecodeBool(item, m_fillEnabled, report);
        } else if (key == "strokeStyleLineWidth") {
            ok = ReadLength(item, m_resolution, m_lineWidth, report);
        } else if (key == "strokeStyleLineDashOffset") {
            ok = ReadLength(item, m_resolution, m_dashOffset, report);
        } else if (key == "strokeStyleMiterLimit") {
            ok = DecodeDouble(item, m_miterLimit, report);
        } else if (key == "strokeStyleLineCapType") {
            ok = DecodeEnum(item, LineCapDictionary::Instance(), "strokeStyleLineCapType", m_lineCap,
                            LineCapType::Butt, report);
        } else if (key == "strokeStyleLineJoinType") {
            ok = DecodeEnum(item, LineJoinDictionary::Instance(), "strokeStyleLineJoinType", m_lineJoin,
                            LineJoinStyle::Miter, report);
        } else if (key == "strokeStyleLineAlignment") {
            ok = DecodeEnum(item, LineAlignmentDictionary::Instance(), "strokeStyleLineAlignment",
                            m_lineAlignment, LineAlignment::Inside, report);
        } else if (key == "strokeStyleScaleLock") {
            ok = DecodeBool(item, m_scaleLock, report);
        } else if (key == "strokeStyleStrokeAdjust") {
            ok = DecodeBool(item, m_strokeAdjust, report);
        } else if (key == "strokeStyleLineDashSet") {
            ok = ParseLineDashSet(item, pd);
        } else if (key == "strokeStyleBlendMode") {
            ok = DecodeBlendMode(item, m_blendMode, report);
        } else if (key == "strokeStyleOpacity") {
            double percent = m_opacity * 100.0;
            ok = DecodeUnit(item, Unit::Percent, percent, report);
            m_opacity = percent * 0.01;
        } else if (key == "strokeStyleContent") {
            ok = ParseContent(item, pd);
        } else {
            WarnUnknownProperty("VectorStroke,%1", entry.m_key, report);
        }
        if (!ok) return false;
    }
    return true;
}

bool PSDVectorStroke::ParseLineDashSet(DescriptorItem const& item, PSDLoadData& ld) {
    auto const* list = ExpectList(item, "VectorStroke,LineDashSet > %1", 2, ld.m_report);
    if (!list) return false;
    m_dashSet.clear();
    for (auto const& element : list->m_items) {
        auto const* u = dynamic_cast<Unit const*>(element.Get());
        if (!u) {
            ld.m_report.AddWarning(PSDLoadWarning::kUnexpectedItemType,
                                   Kernel::FormatString("VectorStroke,LineDashSet,Items - %1", {TypeText(*element)}));
        } else if (u->m_unit != Unit::None) {
            ld.m_report.AddWarning(
                PSDLoadWarning::kUnexpectedUnitFloatType,
                Kernel::FormatString("VectorStroke,LineDashSet,Item - None > %1", {Unit::UnitTypeToString(u->m_unit)}));
        } else {
            m_dashSet.push_back(u->m_value);
        }
    }
    return true;
}

bool PSDVectorStroke::ParseContent(DescriptorItem const& item, PSDLoadData& ld) {
    Descriptor const* d = ExpectDescriptor(item, "VectorStroke,Content > %1", 2, ld.m_report);
    if (!d) return false;
    String cls = d->GetClassID().ToString();
    if (cls == "solidColorLayer") {
        Kernel::Counted<PSDAdjustmentSolidColor> c(new PSDAdjustmentSolidColor);
        if (!c->ParseDescriptor(*d, ld.m_report)) return false;
        m_content = c;
    } else if (cls == "gradientLayer") {
        Kernel::Counted<PSDAdjustmentGradientFill> g(new PSDAdjustmentGradientFill);
        if (!g->ParseDescriptor(*d, ld)) return false;
        m_content = g;
    } else {
        ld.m_report.AddWarning(PSDLoadWarning::kUnexpectedVectorStrokeLineFillType, cls);
    }
    return true;
}

bool PSDVectorStroke::SaveFill(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    if (!WriteKey(stream, Key("8BIM"), sd.m_fixer) || !WriteKey(stream, Key("vscg"), sd.m_fixer)) return false;
    SectionSizer body;
    if (!body.Begin(stream, sd.m_fixer, false)) return false;
    bool ok = m_fill ? m_fill->SaveShort(stream, sd) : PSDAdjustmentSolidColor::SaveShortDefault(stream, sd);
    return ok && body.End(4, true);
}

bool PSDVectorStroke::SaveLineDashSet(Descriptor& d) const {
    Kernel::Counted<DescriptorItemList> list(new DescriptorItemList);
    for (double v : m_dashSet) list->m_items.push_back(Kernel::Counted<DescriptorItem>(new Unit(Unit::None, v)));
    d.AddItem(DKey("strokeStyleLineDashSet"), list);
    return true;
}

bool PSDVectorStroke::SaveContent(Descriptor& d, SaveData const& sd) const {
    if (!m_content) return true;
    char const* cls = m_content->GetKey() == Key("GdFl") ? "gradientLayer" : "solidColorLayer";
    auto item = DescriptorOf(*m_content, cls, sd);
    if (!item) return false;
    d.AddItem(DKey("strokeStyleContent"), item);
    return true;
}

bool PSDVectorStroke::SaveStroke(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor d(DKey("Strk"));
    bool ok = EncodeInteger(d, DKey("strokeStyleVersion"), 2) && EncodeBool(d, DKey("strokeEnabled"), m_strokeEnabled) &&
              EncodeBool(d, DKey("fillEnabled"), m_fillEnabled) &&
              EncodeUnit(d, DKey("strokeStyleLineWidth"), Unit::Points, m_lineWidth) &&
              EncodeUnit(d, DKey("strokeStyleLineDashOffset"), Unit::Points, m_dashOffset) &&
              EncodeDouble(d, DKey("strokeStyleMiterLimit"), m_miterLimit) &&
              EncodeEnum(d, DKey("strokeStyleLineCapType"), DKey("strokeStyleLineCapType"),
                         LineCapDictionary::Instance(), m_lineCap) &&
              EncodeEnum(d, DKey("strokeStyleLineJoinType"), DKey("strokeStyleLineJoinType"),
                         LineJoinDictionary::Instance(), m_lineJoin) &&
              EncodeEnum(d, DKey("strokeStyleLineAlignment"), DKey("strokeStyleLineAlignment"),
                         LineAlignmentDictionary::Instance(), m_lineAlignment) &&
              EncodeBool(d, DKey("strokeStyleScaleLock"), m_scaleLock) &&
              EncodeBool(d, DKey("strokeStyleStrokeAdjust"), m_strokeAdjust) &&
              EncodeBlendMode(d, DKey("strokeStyleBlendMode"), m_blendMode) &&
              EncodeUnit(d, DKey("strokeStyleOpacity"), Unit::Percent, m_opacity * 100.0) &&
              EncodeDouble(d, DKey("strokeStyleResolution"), m_resolution) && SaveLineDashSet(d) &&
              SaveContent(d, sd);
    return ok && SaveDescriptorBlock(stream, sd, Key("vstk"), d);
}

}  // namespace PSD

// The origination block ("vogk") of live shapes. It lives beside the layer because it is made of
// descriptors, which sit above the vector model.
#include "psd/vector/PSDVectorOrigination.h"

#include "psd/adjustments/PSDAdjustmentSupport.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffectSupport.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

namespace {

using Unit = DescriptorItemUnitFloat;

void Warn(PSDReport& report, PSDLoadWarning::Code code, char const* context, String const& text) {
    report.AddWarning(code, Kernel::FormatString(context, {text}));
}

// A 'Pnt ' descriptor of two doubles; unlike the descriptor codec, problems are warnings.
bool DecodeLinePoint(DescriptorItem const& item, Kernel::PointT<double>& out, PSDReport& report) {
    auto const* d = dynamic_cast<DescriptorItemDescriptor const*>(&item);
    if (!d) {
        Warn(report, PSDLoadWarning::kUnexpectedItemType, "PSDVectorOriginationDataLine > %1", TypeText(item));
        return true;
    }
    if (d->m_descriptor.m_classID.m_code != Key("Pnt ")) {
        Warn(report, PSDLoadWarning::kUnexpectedKey, "Pnt > %1", d->m_descriptor.m_classID.ToString());
        return true;
    }
    for (auto const& e : d->m_descriptor.m_items) {
        auto const* v = dynamic_cast<DescriptorItemDouble const*>(e.m_item.Get());
        if (v && e.m_key.m_code == Key("Hrzn"))
            out.x = v->m_value;
        else if (v && e.m_key.m_code == Key("Vrtc"))
            out.y = v->m_value;
        else
            Warn(report, PSDLoadWarning::kUnknownProperty, "Pnt,%1", e.m_key.ToString());
    }
    return true;
}

template <class T, class Item>
bool Take(DescriptorItem const& item, T& out, PSDReport& report) {
    auto const* v = dynamic_cast<Item const*>(&item);
    if (!v) {
        Warn(report, PSDLoadWarning::kUnexpectedItemType, "PSDVectorOriginationDataLine > %1", TypeText(item));
        return true;
    }
    out = T(v->m_value);
    return true;
}

// The bounding box: doubles are pixels, unit floats go through the resolution. An unknown unit
// fails the item (its edge is left as it was).
void ParseBounds(Descriptor const& d, double resolution, Kernel::RectT<double>& r, PSDReport& report) {
    String cls = d.m_classID.ToString();
    if (cls != "unitRect" && cls != "classFloatRect")
        Warn(report, PSDLoadWarning::kUnexpectedKey, "unitRect,%1", cls);
    for (auto const& e : d.m_items) {
        String key = e.m_key.ToString();
        if (key == "unitValueQuadVersion") {
            auto const* v = dynamic_cast<DescriptorItemInteger const*>(e.m_item.Get());
            if (!v || v->m_value != 1)
                Warn(report, PSDLoadWarning::kUnknownUnitRectVersion, "unitRect,%1", key);
            continue;
        }
        double* edge = key == "Top " ? &r.top : key == "Left" ? &r.left : key == "Btom" ? &r.bottom
                     : key == "Rght" ? &r.right : nullptr;
        if (!edge) {
            Warn(report, PSDLoadWarning::kUnknownProperty, "unitRect,%1", key);
            continue;
        }
        if (auto const* v = dynamic_cast<DescriptorItemDouble const*>(e.m_item.Get())) {
            *edge = v->m_value;
        } else if (auto const* u = dynamic_cast<Unit const*>(e.m_item.Get())) {
            switch (u->m_unit) {
                case Unit::Pixels: *edge = u->m_value; break;
                case Unit::Points: *edge = u->m_value * resolution / 72.0; break;
                case Unit::MM: *edge = u->m_value * resolution / 25.4; break;
                case Unit::CM: *edge = u->m_value * resolution / 2.54; break;
                case Unit::Inch: *edge = u->m_value * resolution; break;
                default: Warn(report, PSDLoadWarning::kUnexpectedUnitFloatType, "unitRect,%1", key); break;
            }
        } else {
            Warn(report, PSDLoadWarning::kUnexpectedItemType, "unitRect,%1", key);
        }
    }
}

bool IsLineKey(String const& key) {
    return key.rfind("keyOriginLine", 0) == 0;
}

}  // namespace

bool PSDVectorOriginationData::Parse(Kernel::InStreamSeekable& stream, List& out, ParseData& pd) {
    uint32_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1) {
        pd.m_report.SetError(PSDError::kUnknownVectorOriginationVersion);
        return false;
    }
    Descriptor d;
    if (!d.Parse(stream, pd)) return false;
    for (auto const& e : d.GetItems()) {
        if (e.m_key.ToString() == "keyDescriptorList") {
            if (!ParseDescriptors(*e.m_item, out, pd)) return false;
        } else {
            WarnUnknownProperty("VectorOriginationData,%1", e.m_key, pd.m_report);
        }
    }
    return true;
}

bool PSDVectorOriginationData::ParseDescriptors(DescriptorItem const& item, List& out, ParseData& pd) {
    PSDReport& report = pd.m_report;
    auto const* list = dynamic_cast<DescriptorItemList const*>(&item);
    if (!list) {
        Warn(report, PSDLoadWarning::kUnexpectedItemType, "VectorOriginationData > %1", TypeText(item));
        return true;
    }
    for (auto const& element : list->m_items) {
        auto const* desc = dynamic_cast<DescriptorItemDescriptor const*>(element.Get());
        if (!desc) {
            Warn(report, PSDLoadWarning::kUnexpectedItemType, "VectorOriginationData - null > %1",
                 element ? TypeText(*element) : String("null"));
            continue;
        }
        Kernel::Counted<PSDVectorOriginationData> shape(new PSDVectorOriginationData);
        PSDVectorOriginationDataRRect* rrect = nullptr;
        PSDVectorOriginationDataLine* line = nullptr;
        for (auto const& e : desc->m_descriptor.m_items) {
            String key = e.m_key.ToString();
            DescriptorItem const& v = *e.m_item;
            if (key == "keyOriginType") {
                int32_t kind = 0;
                Take<int32_t, DescriptorItemInteger>(v, kind, report);
                if (kind == 1 || kind == 2 || kind == 4)
                    shape->m_kind = kind;
                else if (kind == 5)
                    shape->m_kind = kEllipse;
                else
                    Warn(report, PSDLoadWarning::kUnknownProperty, "VectorOriginationData - keyOriginType > %1",
                         String(std::to_string(kind)));
            } else if (key == "keyOriginShapeBBox") {
                if (auto const* b = dynamic_cast<DescriptorItemDescriptor const*>(&v))
                    ParseBounds(b->m_descriptor, pd.m_resolution, shape->m_bounds, report);
                else
                    Warn(report, PSDLoadWarning::kUnexpectedItemType, "VectorOriginationData,Item > %1", TypeText(v));
            } else if (key == "keyShapeInvalidated") {
                Take<bool, DescriptorItemBool>(v, shape->m_invalidated, report);
            } else if (key == "keyOriginIndex") {
                Take<int32_t, DescriptorItemInteger>(v, shape->m_index, report);
            } else if (key == "keyOriginResolution") {
                Take<double, DescriptorItemDouble>(v, shape->m_resolution, report);
            } else if (key == "keyOriginRRectRadii") {
                if (!rrect) {
                    rrect = new PSDVectorOriginationDataRRect(*shape);
                    shape = Kernel::Counted<PSDVectorOriginationData>(rrect);
                    line = nullptr;
                }
                if (!rrect->ParseRadii(v, report)) return false;
            } else if (IsLineKey(key)) {
                if (!line) {
                    line = new PSDVectorOriginationDataLine(*shape);
                    shape = Kernel::Counted<PSDVectorOriginationData>(line);
                    rrect = nullptr;
                }
                bool ok = key == "keyOriginLineStart"      ? line->ParseStartPoint(v, report)
                          : key == "keyOriginLineEnd"      ? line->ParseEndPoint(v, report)
                          : key == "keyOriginLineWeight"   ? line->ParseLineWeight(v, report)
                          : key == "keyOriginLineArrWdth"  ? line->ParseArrowWidth(v, report)
                          : key == "keyOriginLineArrLngth" ? line->ParseArrowLength(v, report)
                          : key == "keyOriginLineArrConc"  ? line->ParseArrowConcavity(v, report)
                          : key == "keyOriginLineArrowSt"  ? line->ParseArrowStart(v, report)
                          : key == "keyOriginLineArrowEnd" ? line->ParseArrowEnd(v, report)
                                                           : (WarnUnknownProperty("VectorOriginationData,%1", e.m_key, report), true);
                if (!ok) return false;
            } else {
                WarnUnknownProperty("VectorOriginationData,%1", e.m_key, report);
                auto kept = shape->m_unmodelled ? std::make_shared<Descriptor>(*shape->m_unmodelled)
                                                : std::make_shared<Descriptor>();
                kept->m_items.push_back(e);
                shape->m_unmodelled = std::move(kept);
            }
        }
        out.push_back(shape);
    }
    return true;
}

bool PSDVectorOriginationDataRRect::ParseRadii(DescriptorItem const& item, PSDReport& report) {
    auto const* d = dynamic_cast<DescriptorItemDescriptor const*>(&item);
    if (!d) {
        Warn(report, PSDLoadWarning::kUnexpectedItemType, "VectorOriginationDataRRect - radii > %1", TypeText(item));
        return true;
    }
    if (d->m_descriptor.m_classID.ToString() != "radii")
        Warn(report, PSDLoadWarning::kUnexpectedKey, "VectorOriginationDataRRect - radii > %1",
             d->m_descriptor.m_classID.ToString());
    for (auto const& e : d->m_descriptor.m_items) {
        String key = e.m_key.ToString();
        Kernel::UnitValue* r = key == "topRight"     ? &m_topRight
                               : key == "topLeft"    ? &m_topLeft
                               : key == "bottomLeft" ? &m_bottomLeft
                               : key == "bottomRight" ? &m_bottomRight
                                                      : nullptr;
        auto const* u = dynamic_cast<Unit const*>(e.m_item.Get());
        if (key == "unitValueQuadVersion") continue;
        if (!r || !u) {
            WarnUnknownProperty("VectorOriginationDataRRect,%1", e.m_key, report);
            continue;
        }
        Kernel::Unit unit = Kernel::Unit::Pixels;
        switch (u->m_unit) {
            case Unit::Percent: unit = Kernel::Unit::Percent; break;
            case Unit::Points: unit = Kernel::Unit::Points; break;
            case Unit::MM: unit = Kernel::Unit::Millimetres; break;
            case Unit::CM: unit = Kernel::Unit::Centimetres; break;
            case Unit::Inch: unit = Kernel::Unit::Inches; break;
            case Unit::None: unit = Kernel::Unit::None; break;
            default: break;
        }
        *r = Kernel::UnitValue(u->m_value, unit);
    }
    return true;
}

bool PSDVectorOriginationDataLine::ParseStartPoint(DescriptorItem const& item, PSDReport& report) {
    return DecodeLinePoint(item, m_start, report);
}
bool PSDVectorOriginationDataLine::ParseEndPoint(DescriptorItem const& item, PSDReport& report) {
    return DecodeLinePoint(item, m_end, report);
}
bool PSDVectorOriginationDataLine::ParseLineWeight(DescriptorItem const& item, PSDReport& report) {
    return Take<double, DescriptorItemDouble>(item, m_weight, report);
}
bool PSDVectorOriginationDataLine::ParseArrowWidth(DescriptorItem const& item, PSDReport& report) {
    return Take<double, DescriptorItemDouble>(item, m_arrowWidth, report);
}
bool PSDVectorOriginationDataLine::ParseArrowLength(DescriptorItem const& item, PSDReport& report) {
    return Take<double, DescriptorItemDouble>(item, m_arrowLength, report);
}
bool PSDVectorOriginationDataLine::ParseArrowConcavity(DescriptorItem const& item, PSDReport& report) {
    return Take<int32_t, DescriptorItemInteger>(item, m_arrowConcavity, report);
}
bool PSDVectorOriginationDataLine::ParseArrowStart(DescriptorItem const& item, PSDReport& report) {
    return Take<bool, DescriptorItemBool>(item, m_arrowStart, report);
}
bool PSDVectorOriginationDataLine::ParseArrowEnd(DescriptorItem const& item, PSDReport& report) {
    return Take<bool, DescriptorItemBool>(item, m_arrowEnd, report);
}

bool PSDVectorOriginationData::SaveItems(Descriptor& d) const {
    int32_t kind = m_kind == kEllipse ? 5 : (m_kind == 1 || m_kind == 2 || m_kind == 4) ? m_kind : 0;
    Kernel::Counted<DescriptorItemDescriptor> box(new DescriptorItemDescriptor(Descriptor(DKey("unitRect"))));
    Descriptor& b = box->GetDescriptor();
    EncodeInteger(b, DKey("unitValueQuadVersion"), 1);
    EncodeUnit(b, DKey("Top "), Unit::Pixels, m_bounds.top);
    EncodeUnit(b, DKey("Btom"), Unit::Pixels, m_bounds.bottom);
    EncodeUnit(b, DKey("Left"), Unit::Pixels, m_bounds.left);
    EncodeUnit(b, DKey("Rght"), Unit::Pixels, m_bounds.right);
    EncodeInteger(d, DKey("keyOriginType"), kind);
    d.AddItem(DKey("keyOriginShapeBBox"), box);
    EncodeBool(d, DKey("keyShapeInvalidated"), m_invalidated);
    return true;
}

bool PSDVectorOriginationDataRRect::SaveItems(Descriptor& d) const {
    if (!PSDVectorOriginationData::SaveItems(d)) return false;
    Kernel::Counted<DescriptorItemDescriptor> radii(new DescriptorItemDescriptor(Descriptor(DKey("radii"))));
    Descriptor& r = radii->GetDescriptor();
    EncodeInteger(r, DKey("unitValueQuadVersion"), 1);
    if (!EncodeUnit(r, DKey("topRight"), m_topRight) || !EncodeUnit(r, DKey("topLeft"), m_topLeft) ||
        !EncodeUnit(r, DKey("bottomLeft"), m_bottomLeft) || !EncodeUnit(r, DKey("bottomRight"), m_bottomRight))
        return false;
    d.AddItem(DKey("keyOriginRRectRadii"), radii);
    return true;
}

bool PSDVectorOriginationDataLine::SaveItems(Descriptor& d) const {
    return PSDVectorOriginationData::SaveItems(d) && EncodePoint(d, DKey("keyOriginLineEnd"), m_end) &&
           EncodePoint(d, DKey("keyOriginLineStart"), m_start) && EncodeDouble(d, DKey("keyOriginLineWeight"), m_weight) &&
           EncodeDouble(d, DKey("keyOriginLineArrWdth"), m_arrowWidth) &&
           EncodeDouble(d, DKey("keyOriginLineArrLngth"), m_arrowLength) &&
           EncodeInteger(d, DKey("keyOriginLineArrConc"), m_arrowConcavity) &&
           EncodeBool(d, DKey("keyOriginLineArrowSt"), m_arrowStart) && EncodeBool(d, DKey("keyOriginLineArrowEnd"), m_arrowEnd);
}

namespace {

void Shift(Kernel::RectT<double>& r, double dx, double dy) {
    r.left += dx, r.right += dx, r.top += dy, r.bottom += dy;
}

String Trimmed(DescriptorKey const& key) {
    String k = key.ToString();
    while (!k.empty() && k.back() == ' ') k.pop_back();
    return k;
}

// An item with its points (Hrzn and Vrtc) and the offset of a transform (tx and ty of a "Trnf")
// moved; the item itself when nothing in it moves.
Kernel::Counted<DescriptorItem const> MovedItem(Kernel::Counted<DescriptorItem const> const& item,
                                                double dx, double dy, bool inTransform,
                                                String const& key) {
    if (auto const* d = dynamic_cast<DescriptorItemDouble const*>(item.Get())) {
        bool x = key == (inTransform ? "tx" : "Hrzn"), y = key == (inTransform ? "ty" : "Vrtc");
        return x || y ? Kernel::MakeCounted<DescriptorItemDouble>(d->m_value + (x ? dx : dy))
                      : item;
    }
    auto const* desc = dynamic_cast<DescriptorItemDescriptor const*>(item.Get());
    if (!desc) return item;
    Descriptor copy = desc->GetDescriptor();
    bool transform = key == "Trnf" || Trimmed(copy.m_classID) == "Trnf";
    for (auto& e : copy.m_items)
        e.m_item = MovedItem(e.m_item, dx, dy, transform, Trimmed(e.m_key));
    return Kernel::MakeCounted<DescriptorItemDescriptor>(std::move(copy));
}

// A copy of a shape, its box and the unmodelled items moved.
template <class Shape>
Kernel::Counted<Shape> MovedCopy(Shape const& shape, double dx, double dy) {
    Kernel::Counted<Shape> out(new Shape(shape));
    Shift(out->m_bounds, dx, dy);
    if (shape.m_unmodelled) {
        auto moved = std::make_shared<Descriptor>(*shape.m_unmodelled);
        for (auto& e : moved->m_items)
            e.m_item = MovedItem(e.m_item, dx, dy, false, Trimmed(e.m_key));
        out->m_unmodelled = std::move(moved);
    }
    return out;
}

}  // namespace

Kernel::Counted<PSDVectorOriginationData const> PSDVectorOriginationData::Translated(
    double dx, double dy) const {
    return MovedCopy(*this, dx, dy);
}

Kernel::Counted<PSDVectorOriginationData const> PSDVectorOriginationDataRRect::Translated(
    double dx, double dy) const {
    return MovedCopy(*this, dx, dy);
}

Kernel::Counted<PSDVectorOriginationData const> PSDVectorOriginationDataLine::Translated(
    double dx, double dy) const {
    auto out = MovedCopy(*this, dx, dy);
    out->m_start = {m_start.x + dx, m_start.y + dy};
    out->m_end = {m_end.x + dx, m_end.y + dy};
    return out;
}

bool PSDVectorOriginationData::Save(Kernel::OutStreamSeekable& stream, SaveData const& sd, List const& list) {
    Descriptor top(DKey("null"));
    Kernel::Counted<DescriptorItemList> items(new DescriptorItemList);
    for (auto const& shape : list) {
        Kernel::Counted<DescriptorItemDescriptor> one(new DescriptorItemDescriptor);
        if (!shape->SaveItems(one->GetDescriptor())) return false;
        EncodeInteger(one->GetDescriptor(), DKey("keyOriginIndex"), shape->m_index);
        // The resolution the shape was drawn at, and what the fields do not hold, as read.
        if (shape->m_resolution != 0)
            EncodeDouble(one->GetDescriptor(), DKey("keyOriginResolution"), shape->m_resolution);
        if (shape->m_unmodelled)
            for (auto const& e : shape->m_unmodelled->m_items)
                one->GetDescriptor().AddItem(e.m_key, e.m_item);
        items->m_items.push_back(one);
    }
    top.AddItem(DKey("keyDescriptorList"), items);
    if (!WriteKey(stream, Key("8BIM"), sd.m_fixer) || !WriteKey(stream, Key("vogk"), sd.m_fixer)) return false;
    SectionSizer body;
    return body.Begin(stream, sd.m_fixer, false) && WriteValue(stream, uint32_t(1), sd.m_fixer) &&
           top.Save(stream, sd.m_fixer) && body.End(4, true);
}

}  // namespace PSD

// Layer kinds from the section type and the tagged blocks a record carries.
#include "psd/layer/PSDLayerKind.h"

#include "psd/adjustments/PSDAdjustment.h"

namespace PSD {

namespace {

struct KindOfKey {
    uint32_t key;
    char const* kind;
};

// Adjustment blocks; brightness/contrast comes last so that any other adjustment wins over it.
constexpr KindOfKey kAdjustments[] = {
    {Key("levl"), "levels"},         {Key("curv"), "curves"},
    {Key("hue "), "huesaturation"},  {Key("hue2"), "huesaturation"},
    {Key("blnc"), "colorbalance"},   {Key("blwh"), "blackandwhite"},
    {Key("phfl"), "photofilter"},    {Key("mixr"), "channelmixer"},
    {Key("clrL"), "colorlookup"},    {Key("nvrt"), "invert"},
    {Key("post"), "posterize"},      {Key("thrs"), "threshold"},
    {Key("selc"), "selectivecolor"}, {Key("grdm"), "gradientmap"},
    {Key("expA"), "exposure"},       {Key("vibA"), "vibrance"},
    {Key("brit"), "brightnesscontrast"}, {Key("CgEd"), "brightnesscontrast"},
};

constexpr KindOfKey kFills[] = {
    {Key("SoCo"), "solidcolorfill"},
    {Key("GdFl"), "gradientfill"},
    {Key("PtFl"), "patternfill"},
};

bool HasAny(PSDLayer const& layer, std::initializer_list<uint32_t> keys) {
    for (uint32_t k : keys)
        if (layer.FindBlock(k)) return true;
    return false;
}

// A layer made here holds its adjustment in the model until it is saved and read again.
template <size_t N>
char const* FirstOf(PSDLayer const& layer, KindOfKey const (&table)[N]) {
    for (auto const& entry : table)
        if (layer.FindBlock(entry.key) ||
            (layer.m_adjustment && layer.m_adjustment->GetKey() == entry.key))
            return entry.kind;
    return nullptr;
}

}  // namespace

char const* LayerKind(PSDLayer const& layer) {
    if (layer.IsGroupEnd()) return nullptr;
    if (layer.IsGroupStart())
        return HasAny(layer, {Key("artb"), Key("artd"), Key("abdd")}) ? "artboard" : "group";
    if (HasAny(layer, {Key("TySh"), Key("tySh")})) return "type";
    // The placed-layer record ("PlLd", or "SoLE" for linked files) makes a placed layer;
    // smart-object settings ("SoLd") without it do not.
    if (HasAny(layer, {Key("PlLd"), Key("plLd"), Key("SoLE")})) return "smartobject";
    if (char const* adjustment = FirstOf(layer, kAdjustments)) return adjustment;
    char const* fill = FirstOf(layer, kFills);
    bool vectorMask = HasAny(layer, {Key("vmsk"), Key("vsms")});
    if (vectorMask && (fill || layer.FindBlock(Key("vscg")))) return "shape";
    if (fill) return fill;
    return "pixel";
}

}  // namespace PSD

#include "psd/adjustments/PSDAdjustment.h"

#include <new>
#include <string>

#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/io/PSDKeyTable.h"

namespace PSD {

bool PSDAdjustment::ParseExtraData(Kernel::InStreamSeekable&, ParseData&) {
    return true;
}

bool PSDAdjustment::SaveExtraDataI(Kernel::OutStreamSeekable&, SaveData const&) const {
    return true;
}

bool PSDAdjustment::Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    if (!WriteKey(stream, Key("8BIM"), sd.m_fixer) || !WriteKey(stream, GetKey(), sd.m_fixer)) return false;
    SectionSizer body;
    return body.Begin(stream, sd.m_fixer, false) && SaveI(stream, sd) && body.End(4, true) &&
           SaveExtraDataI(stream, sd);
}

bool PSDAdjustment::SaveShort(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    return WriteKey(stream, GetKey(), sd.m_fixer) && SaveI(stream, sd);
}

bool PSDAdjustment::UnknownVersion(PSDLoadWarning::Code code, unsigned version, ParseData& pd) {
    pd.m_report.AddWarning(code, String(std::to_string(version)));
    m_read = false;
    return true;
}

namespace {

using Maker = PSDAdjustment* (*)();

template <class T>
PSDAdjustment* Make() {
    return new (std::nothrow) T;
}
PSDAdjustment* MakeOldHSL() {
    auto* a = new (std::nothrow) PSDAdjustmentHSLShift;
    if (a) a->m_oldForm = true;
    return a;
}

constexpr KeyHandler<uint32_t, Maker> kMakers[] = {
    {Key("SoCo"), Make<PSDAdjustmentSolidColor>},
    {Key("GdFl"), Make<PSDAdjustmentGradientFill>},
    {Key("PtFl"), Make<PSDAdjustmentPatternFill>},
    {Key("levl"), Make<PSDAdjustmentLevels>},
    {Key("curv"), Make<PSDAdjustmentCurves>},
    {Key("brit"), Make<PSDAdjustmentBrightnessContrast>},
    {Key("thrs"), Make<PSDAdjustmentThreshold>},
    {Key("nvrt"), Make<PSDAdjustmentInvert>},
    {Key("expA"), Make<PSDAdjustmentExposure>},
    {Key("post"), Make<PSDAdjustmentPosterize>},
    {Key("vibA"), Make<PSDAdjustmentVibrance>},
    {Key("blwh"), Make<PSDAdjustmentBlackAndWhite>},
    {Key("mixr"), Make<PSDAdjustmentChannelMixer>},
    {Key("hue "), MakeOldHSL},
    {Key("hue2"), Make<PSDAdjustmentHSLShift>},
    {Key("blnc"), Make<PSDAdjustmentColourBalance>},
    {Key("grdm"), Make<PSDAdjustmentGradientMap>},
    {Key("selc"), Make<PSDAdjustmentSelectiveColour>},
    {Key("phfl"), Make<PSDAdjustmentPhotoFilter>},
    {Key("clrL"), Make<PSDAdjustmentColourLookup>},
    {Key("TySh"), Make<PSDAdjustmentTypeTool>},
};

}  // namespace

Kernel::Counted<PSDAdjustment> PSDAdjustment::Create(uint32_t key) {
    Maker make = FindKeyHandler(kMakers, key);
    return make ? Kernel::Counted<PSDAdjustment>(make()) : nullptr;
}

bool PSDAdjustment::IsAdjustmentKey(uint32_t key) {
    return FindKeyHandler(kMakers, key) != nullptr;
}

char const* AdjustmentKindName(PSDAdjustment::Kind kind) {
    static char const* const kNames[] = {
        "solidcolorfill", "gradientfill", "patternfill", "levels",        "curves",
        "brightnesscontrast", "threshold", "invert",     "exposure",      "type",
        "posterize",      "vibrance",     "blackandwhite", "channelmixer", "huesaturation",
        "colorbalance",   "gradientmap",  "selectivecolor", "photofilter", "colorlookup",
    };
    return uint32_t(kind) < std::size(kNames) ? kNames[kind] : "";
}

}  // namespace PSD

#include "psd/adjustments/PSDAdjustmentTone.h"

#include <algorithm>
#include <cstring>

#include "psd/adjustments/PSDAdjustmentSupport.h"

namespace PSD {

// ---- Levels

bool PSDAdjustmentLevels::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 2) return UnknownVersion(PSDLoadWarning::kUnknownLevelsVersion, version, pd);
    for (auto& r : m_records)
        for (auto& v : r)
            if (!ReadValue(stream, v, pd)) return false;
    return ReadRest(stream, m_extension, pd);
}

bool PSDAdjustmentLevels::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    if (!m_read || !WriteValue<uint16_t>(stream, 2, sd.m_fixer)) return false;
    for (auto const& r : m_records)
        for (auto v : r)
            if (!WriteValue(stream, v, sd.m_fixer)) return false;
    return m_extension.empty() || stream.Write(m_extension.data(), m_extension.size());
}

// ---- Curves

namespace {

// Curves per colour mode: the composite and one per colour channel; 0 for other modes.
size_t CurveCount(uint32_t mode) {
    switch (ColourMode(mode)) {
        case ColourMode::Grayscale:
            return 2;
        case ColourMode::RGB:
        case ColourMode::Lab:
            return 4;
        case ColourMode::CMYK:
            return 5;
        default:
            return 0;
    }
}

bool ReadPoints(Kernel::InStreamSeekable& stream, PSDAdjustmentCurves::Curve& curve, ParseData& pd) {
    uint16_t count;
    if (!ReadValue(stream, count, pd)) return false;
    if (!CheckAvailable(stream, uint64_t(count) * 4, pd)) return false;
    curve.present = true;
    curve.points.resize(count);
    for (auto& p : curve.points)
        if (!ReadValue(stream, p.output, pd) || !ReadValue(stream, p.input, pd)) return false;
    return true;
}

// A lookup table as the points where its slope changes, both ends included: the same
// piecewise-linear map, in a few points for the usual smooth or straight curves.
bool ReadMap(Kernel::InStreamSeekable& stream, PSDAdjustmentCurves::Curve& curve, ParseData& pd) {
    uint8_t map[256];
    if (!ReadBytes(stream, map, sizeof map, pd)) return false;
    curve.present = true;
    curve.points.clear();
    for (int i = 0; i < 256; ++i) {
        bool bend = i == 0 || i == 255 || (map[i] - map[i - 1]) != (map[i + 1] - map[i]);
        if (bend) curve.points.push_back({int16_t(map[i]), int16_t(i)});
    }
    return true;
}

}  // namespace

bool PSDAdjustmentCurves::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint8_t map;
    uint16_t version;
    if (!ReadValue(stream, map, pd) || !ReadValue(stream, version, pd)) return false;
    m_map = map == 1;
    if (version != 1 && version != 4)
        return UnknownVersion(PSDLoadWarning::kUnknownCurvesVersion, version, pd);
    m_version = version;
    size_t count = CurveCount(pd.m_colourMode);
    if (count == 0) {
        pd.m_report.ErrorParsing();
        return false;
    }
    m_curves.assign(count, {});
    if (version == 1) {
        uint16_t high, bits;
        if (!ReadValue(stream, high, pd) || !ReadValue(stream, bits, pd)) return false;
        for (size_t i = 0; i < count; ++i) {
            if (!(bits & (1u << i))) continue;
            if (!(m_map ? ReadMap(stream, m_curves[i], pd) : ReadPoints(stream, m_curves[i], pd)))
                return false;
        }
        return true;
    }
    uint16_t unused, records;
    if (!ReadValue(stream, unused, pd) || !ReadValue(stream, records, pd)) return false;
    for (uint16_t r = 0; r < records; ++r) {
        uint16_t index;
        if (!ReadValue(stream, index, pd)) return false;
        if (index >= count) {
            pd.m_report.ErrorParsing();
            return false;
        }
        if (!ReadPoints(stream, m_curves[index], pd)) return false;
    }
    return true;
}

bool PSDAdjustmentCurves::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (!m_read) return false;
    uint16_t bits = 0;
    std::vector<std::vector<Point>> sorted(m_curves.size());
    for (size_t i = 0; i < m_curves.size() && i < 16; ++i) {
        if (!m_curves[i].present) continue;
        bits |= uint16_t(1u << i);
        sorted[i] = m_curves[i].points;
        std::stable_sort(sorted[i].begin(), sorted[i].end(),
                         [](Point const& a, Point const& b) { return a.input < b.input; });
    }
    auto writePoints = [&](std::vector<Point> const& points) {
        if (points.size() > 0xFFFF || !WriteValue<uint16_t>(stream, uint16_t(points.size()), f))
            return false;
        for (auto const& p : points)
            if (!WriteValue(stream, p.output, f) || !WriteValue(stream, p.input, f)) return false;
        return true;
    };
    if (!WriteValue<uint8_t>(stream, 0, f) || !WriteValue<uint16_t>(stream, 1, f) ||
        !WriteValue<uint16_t>(stream, 0, f) || !WriteValue(stream, bits, f))
        return false;
    uint32_t present = 0;
    for (size_t i = 0; i < sorted.size(); ++i)
        if (bits & (1u << i)) {
            if (!writePoints(sorted[i])) return false;
            ++present;
        }
    // The same curves again with their channel index, in the form newer readers take.
    if (!WriteKey(stream, Key("Crv "), f) || !WriteValue<uint16_t>(stream, 4, f) ||
        !WriteValue(stream, present, f))
        return false;
    for (size_t i = 0; i < sorted.size(); ++i)
        if (bits & (1u << i))
            if (!WriteValue<uint16_t>(stream, uint16_t(i), f) || !writePoints(sorted[i])) return false;
    return true;
}

// ---- Brightness/contrast

bool PSDAdjustmentBrightnessContrast::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint8_t lab;
    if (!ReadValue(stream, m_brightness, pd) || !ReadValue(stream, m_contrast, pd) ||
        !ReadValue(stream, m_mean, pd) || !ReadValue(stream, lab, pd))
        return false;
    m_labOnly = lab != 0;
    m_useLegacy = true;
    return true;
}

bool PSDAdjustmentBrightnessContrast::ParseExtraData(Kernel::InStreamSeekable& stream,
                                                     ParseData& pd) {
    Descriptor d;
    if (!d.Parse(stream, pd)) return false;
    for (auto const& item : d.GetItems()) {
        String name = item.m_key.ToString();
        int32_t n;
        bool b;
        if (name == "Vrsn" && NumberOf(*item.m_item, n)) m_descriptorVersion = n;
        else if (name == "Brgh" && NumberOf(*item.m_item, n)) m_brightness = Clamp16(n);
        else if (name == "Cntr" && NumberOf(*item.m_item, n)) m_contrast = Clamp16(n);
        else if (name == "means" && NumberOf(*item.m_item, n)) m_mean = Clamp16(n);
        else if (name == "Lab " && BoolOf(*item.m_item, b)) m_labOnly = b;
        else if (name == "useLegacy" && BoolOf(*item.m_item, b)) m_useLegacy = b;
        else if (name == "Auto" && BoolOf(*item.m_item, b)) m_auto = b;
        else WarnUnknownProperty("AdjustmentBrightnessContrast,%1", item.m_key, pd.m_report);
    }
    return true;
}

bool PSDAdjustmentBrightnessContrast::SaveI(Kernel::OutStreamSeekable& stream,
                                            SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    return WriteValue(stream, m_brightness, f) && WriteValue(stream, m_contrast, f) &&
           WriteValue(stream, m_mean, f) && WriteValue<uint8_t>(stream, m_labOnly ? 1 : 0, f);
}

bool PSDAdjustmentBrightnessContrast::SaveExtraDataI(Kernel::OutStreamSeekable& stream,
                                                     SaveData const& sd) const {
    Descriptor d(DKey("null"));
    if (!EncodeInteger(d, DKey("Vrsn"), m_descriptorVersion) ||
        !EncodeInteger(d, DKey("Brgh"), m_brightness) ||
        !EncodeInteger(d, DKey("Cntr"), m_contrast) ||
        !EncodeInteger(d, DKey("means"), m_mean) ||
        !EncodeBool(d, DKey("Lab "), m_labOnly) ||
        !EncodeBool(d, DKey("useLegacy"), m_useLegacy) ||
        !EncodeBool(d, DKey("Auto"), m_auto))
        return false;
    return SaveDescriptorBlock(stream, sd, Key("CgEd"), d);
}

// ---- Threshold, posterize, exposure

bool PSDAdjustmentThreshold::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadValue(stream, m_level, pd);
}
bool PSDAdjustmentThreshold::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    return WriteValue(stream, m_level, sd.m_fixer);
}
bool PSDAdjustmentPosterize::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadValue(stream, m_levels, pd);
}
bool PSDAdjustmentPosterize::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    return WriteValue(stream, m_levels, sd.m_fixer);
}

bool PSDAdjustmentExposure::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1) return UnknownVersion(PSDLoadWarning::kUnknownExposureVersion, version, pd);
    return ReadFloat(stream, m_exposure, pd) && ReadFloat(stream, m_offset, pd) &&
           ReadFloat(stream, m_gamma, pd);
}

bool PSDAdjustmentExposure::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    return m_read && WriteValue<uint16_t>(stream, 1, sd.m_fixer) &&
           WriteFloat(stream, m_exposure, sd.m_fixer) && WriteFloat(stream, m_offset, sd.m_fixer) &&
           WriteFloat(stream, m_gamma, sd.m_fixer);
}

}  // namespace PSD

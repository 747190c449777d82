#include "psd/adjustments/PSDAdjustmentColour.h"

#include <lcms2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "host/raster/ICC.h"
#include "psd/adjustments/PSDAdjustmentSupport.h"
#include "psd/io/PSDColourRecord.h"

namespace PSD {

namespace {

template <size_t N>
[[nodiscard]] bool ReadArray(Kernel::InStream& s, std::array<int16_t, N>& a, PSDLoadData& ld) {
    for (auto& v : a)
        if (!ReadValue(s, v, ld)) return false;
    return true;
}
template <size_t N>
[[nodiscard]] bool WriteArray(Kernel::OutStream& s, std::array<int16_t, N> const& a,
                              ByteOrderFixer const& f) {
    for (auto v : a)
        if (!WriteValue(s, v, f)) return false;
    return true;
}

// Two bytes of which any non-zero one sets the flag; written as the flag byte and a zero.
[[nodiscard]] bool ReadFlag2(Kernel::InStream& s, bool& out, PSDLoadData& ld) {
    uint8_t b[2];
    if (!ReadBytes(s, b, 2, ld)) return false;
    out = b[0] != 0 || b[1] != 0;
    return true;
}
[[nodiscard]] bool WriteFlag2(Kernel::OutStream& s, bool v) {
    uint8_t b[2] = {uint8_t(v ? 1 : 0), 0};
    return s.Write(b, 2);
}

// Preset settings beside hue/saturation and the channel mixer: only the keys listed are expected.
[[nodiscard]] bool ParsePresetData(Kernel::InStreamSeekable& stream, ParseData& pd,
                                   std::initializer_list<char const*> keys, char const* context) {
    Descriptor d;
    if (!d.Parse(stream, pd)) return false;
    for (auto const& item : d.GetItems()) {
        bool known = false;
        for (char const* k : keys) known |= item.m_key.ToString() == k;
        if (!known) WarnUnknownProperty(context, item.m_key, pd.m_report);
    }
    return true;
}

}  // namespace

// ---- Colour balance

bool PSDAdjustmentColourBalance::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadArray(stream, m_shadows, pd) && ReadArray(stream, m_midtones, pd) &&
           ReadArray(stream, m_highlights, pd) && ReadFlag2(stream, m_preserveLuminosity, pd);
}

bool PSDAdjustmentColourBalance::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    return WriteArray(stream, m_shadows, sd.m_fixer) && WriteArray(stream, m_midtones, sd.m_fixer) &&
           WriteArray(stream, m_highlights, sd.m_fixer) && WriteFlag2(stream, m_preserveLuminosity);
}

// ---- Hue/saturation

bool PSDAdjustmentHSLShift::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 2) return UnknownVersion(PSDLoadWarning::kUnknownHSLShiftVersion, version, pd);
    uint8_t colourise, filler;
    if (!ReadValue(stream, colourise, pd) || !ReadValue(stream, filler, pd)) return false;
    m_colourise = colourise == 1;
    if (!ReadArray(stream, m_colourisation, pd) || !ReadArray(stream, m_master, pd)) return false;
    for (auto& r : m_ranges)
        if (!ReadArray(stream, r, pd)) return false;
    return ReadRest(stream, m_extension, pd);
}

bool PSDAdjustmentHSLShift::ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ParsePresetData(stream, pd, {"Vrsn", "presetKind", "presetFileName"},
                           "AdjustmentHSLShift,%1");
}

bool PSDAdjustmentHSLShift::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (!m_read || !WriteValue<uint16_t>(stream, 2, f) ||
        !WriteValue<uint8_t>(stream, m_colourise ? 1 : 0, f) || !WriteValue<uint8_t>(stream, 0, f) ||
        !WriteArray(stream, m_colourisation, f) || !WriteArray(stream, m_master, f))
        return false;
    for (auto const& r : m_ranges)
        if (!WriteArray(stream, r, f)) return false;
    return m_extension.empty() || stream.Write(m_extension.data(), m_extension.size());
}

// ---- Channel mixer

bool PSDAdjustmentChannelMixer::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1)
        return UnknownVersion(PSDLoadWarning::kUnknownChannelMixerVersion, version, pd);
    if (!ReadFlag2(stream, m_monochrome, pd)) return false;
    for (auto& o : m_outputs)
        if (!ReadArray(stream, o, pd)) return false;
    return ReadRest(stream, m_extension, pd);
}

bool PSDAdjustmentChannelMixer::ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ParsePresetData(stream, pd, {"Vrsn", "mixerPresetKind", "mixerPresetFileName"},
                           "AdjustmentChannelMixer,%1");
}

bool PSDAdjustmentChannelMixer::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    // Unlike colour balance's flag, this one is a 16-bit number.
    if (!m_read || !WriteValue<uint16_t>(stream, 1, sd.m_fixer) ||
        !WriteValue<uint16_t>(stream, m_monochrome ? 1 : 0, sd.m_fixer))
        return false;
    for (auto const& o : m_outputs)
        if (!WriteArray(stream, o, sd.m_fixer)) return false;
    return m_extension.empty() || stream.Write(m_extension.data(), m_extension.size());
}

// ---- Selective colour

bool PSDAdjustmentSelectiveColour::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1)
        return UnknownVersion(PSDLoadWarning::kUnknownSelectiveColourVersion, version, pd);
    if (!ReadValue(stream, m_method, pd)) return false;
    for (auto& r : m_records)
        if (!ReadArray(stream, r, pd)) return false;
    return true;
}

bool PSDAdjustmentSelectiveColour::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    if (!m_read || !WriteValue<uint16_t>(stream, 1, sd.m_fixer) ||
        !WriteValue(stream, m_method, sd.m_fixer))
        return false;
    for (auto const& r : m_records)
        if (!WriteArray(stream, r, sd.m_fixer)) return false;
    return true;
}

// ---- Photo filter

namespace {

Kernel::Consolidated<Renderer::Colour> LabOf(std::array<float, 3> const& stored) {
    cmsCIEXYZ xyz{stored[0], stored[1], stored[2]};
    cmsCIELab lab;
    cmsXYZ2Lab(nullptr, &lab, &xyz);
    uint16_t px[4];
    Raster::CIELabToRasterLABA16(float(lab.L), float(lab.a), float(lab.b), px);
    return Renderer::ColourLAB::Create(Renderer::LABA16{px[0], px[1], px[2], 65535}, 1.0f, 1.0f,
                                       {});
}

}  // namespace

void PSDAdjustmentPhotoFilter::SetColour(Kernel::Consolidated<Renderer::Colour> const& colour) {
    if (m_version != 3) {
        m_colour = colour;
        return;
    }
    auto lab = colour->ToLABA16();
    cmsCIELab in{lab.l / 65535.0 * 100.0, lab.a / 256.0 - 128.0, lab.b / 256.0 - 128.0};
    cmsCIEXYZ xyz;
    cmsLab2XYZ(nullptr, &xyz, &in);
    m_xyz = {float(xyz.X), float(xyz.Y), float(xyz.Z)};
    m_colour = LabOf(m_xyz);
}

bool PSDAdjustmentPhotoFilter::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    if (!ReadValue(stream, m_version, pd)) return false;
    if (m_version == 3) {
        for (auto& v : m_xyz)
            if (!ReadFloat(stream, v, pd)) return false;
        m_colour = LabOf(m_xyz);
    } else if (m_version == 2) {
        if (!ReadColor(stream, m_colour, pd)) return false;
    } else {
        pd.m_report.SetError(PSDError::kUnknownPhotoFilterVersion,
                             String(std::to_string(m_version)));
        return false;
    }
    uint8_t luminosity;
    if (!ReadValue(stream, m_density, pd) || !ReadValue(stream, luminosity, pd)) return false;
    m_preserveLuminosity = luminosity != 0;
    return true;
}

bool PSDAdjustmentPhotoFilter::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (!WriteValue(stream, m_version, f)) return false;
    if (m_version == 3) {
        for (float v : m_xyz)
            if (!WriteFloat(stream, v, f)) return false;
    } else {
        ColourRecord r;
        if (!m_colour || !EncodeColourRecord(*m_colour, r) || !WriteValue(stream, r.space, f))
            return false;
        for (uint16_t c : r.c)
            if (!WriteValue(stream, c, f)) return false;
    }
    return WriteValue(stream, m_density, f) &&
           WriteValue<uint8_t>(stream, m_preserveLuminosity ? 1 : 0, f);
}

// ---- Vibrance

bool PSDAdjustmentVibrance::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    if (!m_descriptor.Parse(stream, pd)) return false;
    for (auto const& item : m_descriptor.GetItems()) {
        String key = item.m_key.ToString();
        if (key == "vibrance" && NumberOf(*item.m_item, m_vibrance)) continue;
        if (key == "Strt" && NumberOf(*item.m_item, m_saturation)) continue;
        WarnUnknownProperty("AdjustmentVibrance,%1", item.m_key, pd.m_report);
    }
    return true;
}

bool PSDAdjustmentVibrance::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor values(DKey("null"));
    if (!EncodeInteger(values, DKey("vibrance"), m_vibrance) ||
        !EncodeInteger(values, DKey("Strt"), m_saturation))
        return false;
    Descriptor kept = m_descriptor.m_items.empty() ? Descriptor(DKey("null")) : m_descriptor;
    return ReplaceItems(kept, values).Save(stream, sd.m_fixer);
}

// ---- Black and white

namespace {
constexpr char const* kWeightKeys[6] = {"Rd  ", "Yllw", "Grn ", "Cyn ", "Bl  ", "Mgnt"};
}

bool PSDAdjustmentBlackAndWhite::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    if (!m_descriptor.Parse(stream, pd)) return false;
    for (auto const& item : m_descriptor.GetItems()) {
        String key = item.m_key.ToString();
        bool done = false;
        for (size_t i = 0; i < 6 && !done; ++i)
            done = key == kWeightKeys[i] && NumberOf(*item.m_item, m_weights[i]);
        if (done) continue;
        if (key == "useTint" && BoolOf(*item.m_item, m_useTint)) continue;
        if (key == "tintColor") {
            if (!DecodeColor(*item.m_item, m_tintColour, pd.m_report)) return false;
            continue;
        }
        if (key == "bwPresetKind" && NumberOf(*item.m_item, m_presetKind)) continue;
        if (key == "blackAndWhitePresetFileName" && StringOf(*item.m_item, m_presetFileName))
            continue;
        WarnUnknownProperty("AdjustmentBlackAndWhite,%1", item.m_key, pd.m_report);
    }
    return true;
}

bool PSDAdjustmentBlackAndWhite::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    Descriptor values(DKey("null"));
    for (size_t i = 0; i < 6; ++i)
        if (!EncodeInteger(values, DKey(kWeightKeys[i]), m_weights[i])) return false;
    if (!EncodeBool(values, DKey("useTint"), m_useTint)) return false;
    if (m_tintColour && !EncodeColor(values, DKey("tintColor"), m_tintColour)) return false;
    if (!EncodeInteger(values, DKey("bwPresetKind"), m_presetKind) ||
        !EncodeString(values, DKey("blackAndWhitePresetFileName"), m_presetFileName))
        return false;
    Descriptor kept = m_descriptor.m_items.empty() ? Descriptor(DKey("null")) : m_descriptor;
    return ReplaceItems(kept, values).Save(stream, sd.m_fixer);
}

// ---- Gradient map

bool PSDAdjustmentGradientMap::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1 && version != 3)
        return UnknownVersion(PSDLoadWarning::kUnknownGradientMapVersion, version, pd);
    m_version = version;
    uint8_t reverse, dither;
    if (!ReadValue(stream, reverse, pd) || !ReadValue(stream, dither, pd)) return false;
    m_reverse = reverse != 0;
    m_dither = dither != 0;
    m_interpolation = 0;
    if (version == 3 && !ReadValue(stream, m_interpolation, pd)) return false;
    return m_gradient.Parse(stream, pd);
}

bool PSDAdjustmentGradientMap::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    // Written in the version read, so that the way colours mix is kept.
    bool v3 = m_version == 3;
    return m_read && WriteValue<uint16_t>(stream, v3 ? 3 : 1, sd.m_fixer) &&
           WriteValue<uint8_t>(stream, m_reverse ? 1 : 0, sd.m_fixer) &&
           WriteValue<uint8_t>(stream, m_dither ? 1 : 0, sd.m_fixer) &&
           (!v3 || WriteValue(stream, m_interpolation, sd.m_fixer)) && m_gradient.Save(stream, sd);
}

// ---- Colour lookup

bool PSDAdjustmentColourLookup::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1)
        return UnknownVersion(PSDLoadWarning::kUnknownColourLookupVersion, version, pd);
    if (!m_descriptor.Parse(stream, pd)) return false;
    for (auto const& item : m_descriptor.GetItems()) {
        String key = item.m_key.ToString();
        DescriptorItem const& v = *item.m_item;
        if (key == "lookupType" && EnumOf(v, "colorLookupType", m_lookupType)) continue;
        if (key == "Nm  " && StringOf(v, m_name)) continue;
        if (key == "Dthr" && BoolOf(v, m_dither)) continue;
        if (key == "LUTFormat" && EnumOf(v, "LUTFormatType", m_lutFormat)) continue;
        if (key == "LUT3DFileName" && StringOf(v, m_lutFileName)) continue;
        if (key == "dataOrder" && EnumOf(v, "colorLookupOrder", m_dataOrder)) continue;
        if (key == "tableOrder" && EnumOf(v, "colorLookupOrder", m_tableOrder)) continue;
        // Profiles and table files are kept with the descriptor, not read.
        if (key == "profile" || key == "LUT3DFileData") continue;
        WarnUnknownProperty("AdjustmentColourLookup,%1", item.m_key, pd.m_report);
    }
    return true;
}

bool PSDAdjustmentColourLookup::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    if (!m_read || !WriteValue<uint16_t>(stream, 1, sd.m_fixer)) return false;
    Descriptor values(DKey("null"));
    auto addEnum = [&](char const* key, char const* type, String const& value) {
        return value.empty() || EncodeEnum(values, DKey(key), DKey(type), DKey(value.c_str()));
    };
    auto addString = [&](char const* key, String const& value) {
        return value.empty() || EncodeString(values, DKey(key), value);
    };
    if (!addEnum("lookupType", "colorLookupType", m_lookupType) || !addString("Nm  ", m_name) ||
        !EncodeBool(values, DKey("Dthr"), m_dither) ||
        !addEnum("LUTFormat", "LUTFormatType", m_lutFormat) ||
        !addString("LUT3DFileName", m_lutFileName) ||
        !addEnum("dataOrder", "colorLookupOrder", m_dataOrder) ||
        !addEnum("tableOrder", "colorLookupOrder", m_tableOrder))
        return false;
    Descriptor kept = m_descriptor.m_items.empty() ? Descriptor(DKey("null")) : m_descriptor;
    return ReplaceItems(kept, values).Save(stream, sd.m_fixer);
}

void PSDLookupTable::At(float const* in, float* out) const {
    auto clamp01 = [](float v) { return std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f); };
    unsigned n = size;
    float d[3];
    size_t base = 0, stride[3] = {3, size_t(n) * 3, size_t(n) * n * 3};
    for (int c = 0; c < 3; ++c) {
        float at = clamp01((in[c] - domainMin[c]) / (domainMax[c] - domainMin[c])) * float(n - 1);
        unsigned i = std::min(unsigned(at), n - 2);
        d[c] = at - float(i);
        base += i * stride[c];
    }
    // The axes by falling fraction: the path from the cell's first corner to its last.
    int o[3] = {0, 1, 2};
    if (d[o[0]] < d[o[1]]) std::swap(o[0], o[1]);
    if (d[o[1]] < d[o[2]]) std::swap(o[1], o[2]);
    if (d[o[0]] < d[o[1]]) std::swap(o[0], o[1]);
    float const* p0 = &rgb[base];
    float const* p1 = p0 + stride[o[0]];
    float const* p2 = p1 + stride[o[1]];
    float const* p3 = p2 + stride[o[2]];
    for (int c = 0; c < 3; ++c)
        out[c] = clamp01(p0[c] + d[o[0]] * (p1[c] - p0[c]) + d[o[1]] * (p2[c] - p1[c]) +
                         d[o[2]] * (p3[c] - p2[c]));
}

std::span<uint8_t const> PSDAdjustmentColourLookup::Profile() const {
    auto item = m_descriptor.Get<DescriptorItemPDFData>("profile");
    if (!item || !item->GetData()) return {};
    return {item->GetData(), size_t(item->GetSize())};
}

namespace {

// The numbers of a line of a table file; false when a word is not a number.
bool Numbers(std::string_view line, std::vector<double>& out) {
    out.clear();
    char const* p = line.data();
    char const* end = p + line.size();
    while (p < end) {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p == end) break;
        if (*p == '+') ++p;  // from_chars takes no plus sign
        double v;
        auto r = std::from_chars(p, end, v);
        if (r.ec != std::errc() || !std::isfinite(v)) return false;
        out.push_back(v);
        p = r.ptr;
        if (p < end && *p != ' ' && *p != '\t') return false;
    }
    return true;
}

// Calls line(text) for each line without its end and surrounding blanks, skipping empty lines
// and comments; stops at the first false.
template <class F>
bool ForEachLine(std::span<uint8_t const> bytes, F line) {
    std::string_view all(reinterpret_cast<char const*>(bytes.data()), bytes.size());
    while (!all.empty()) {
        size_t eol = all.find_first_of("\r\n");
        std::string_view l = all.substr(0, eol);
        all.remove_prefix(eol == std::string_view::npos ? all.size() : eol + 1);
        // Writers may end the file with a NUL.
        size_t a = l.find_first_not_of(" \t"), b = l.find_last_not_of(std::string_view(" \t\0", 3));
        if (a == std::string_view::npos || b == std::string_view::npos || b < a) continue;
        l = l.substr(a, b - a + 1);
        if (l[0] == '#') continue;
        if (!line(l)) return false;
    }
    return true;
}

bool StartsWithWord(std::string_view line, std::string_view word, std::string_view& rest) {
    if (line.substr(0, word.size()) != word ||
        (line.size() > word.size() && line[word.size()] != ' ' && line[word.size()] != '\t'))
        return false;
    rest = line.substr(word.size());
    return true;
}

}  // namespace

bool PSDAdjustmentColourLookup::ReadTable(PSDLookupTable& table, std::string& why) const {
    auto item = m_descriptor.Get<DescriptorItemPDFData>("LUT3DFileData");
    if (!item || !item->GetData()) {
        why = "no table";
        return false;
    }
    std::span<uint8_t const> bytes(item->GetData(), size_t(item->GetSize()));
    bool cube = m_lutFormat == "LUTFormatCUBE", threeDL = m_lutFormat == "LUTFormat3DL";
    if (!cube && !threeDL) {
        why =
            m_lutFormat.empty() ? "a table of no format" : "a table in " + std::string(m_lutFormat);
        return false;
    }
    constexpr unsigned kMaxSize = 256;
    table = {};
    std::vector<double> entries, v;
    double scale = 1;  // of a 3DL file's integers
    unsigned outBits = 0;
    bool ok = ForEachLine(bytes, [&](std::string_view line) {
        std::string_view rest;
        if (cube) {
            if (StartsWithWord(line, "TITLE", rest)) return true;
            if (StartsWithWord(line, "LUT_3D_SIZE", rest)) {
                if (table.size || !Numbers(rest, v) || v.size() != 1 || v[0] < 2 ||
                    v[0] > kMaxSize || v[0] != std::floor(v[0]))
                    return false;
                table.size = unsigned(v[0]);
                return true;
            }
            bool lo = StartsWithWord(line, "DOMAIN_MIN", rest);
            if (lo || StartsWithWord(line, "DOMAIN_MAX", rest)) {
                if (!Numbers(rest, v) || v.size() != 3) return false;
                for (int c = 0; c < 3; ++c)
                    (lo ? table.domainMin : table.domainMax)[c] = float(v[c]);
                return true;
            }
            if (StartsWithWord(line, "LUT_3D_INPUT_RANGE", rest)) {
                if (!Numbers(rest, v) || v.size() != 2) return false;
                table.domainMin.fill(float(v[0])), table.domainMax.fill(float(v[1]));
                return true;
            }
        } else {
            if (StartsWithWord(line, "3DMESH", rest)) return true;
            if (StartsWithWord(line, "Mesh", rest)) {
                if (!Numbers(rest, v) || v.size() != 2 || v[1] < 8 || v[1] > 16) return false;
                outBits = unsigned(v[1]);
                return true;
            }
            if (table.size == 0) {
                // The first numbers are the input steps, one per grid point.
                if (!Numbers(line, v) || v.size() < 2 || v.size() > kMaxSize) return false;
                table.size = unsigned(v.size());
                return true;
            }
        }
        if (table.size == 0 || !Numbers(line, v) || v.size() != 3) return false;
        entries.insert(entries.end(), v.begin(), v.end());
        return entries.size() <= size_t(table.size) * table.size * table.size * 3;
    });
    size_t count = size_t(table.size) * table.size * table.size;
    if (!ok || table.size == 0 || entries.size() != count * 3) {
        why = std::string("a ") + (cube ? "CUBE" : "3DL") + " table that does not read";
        return false;
    }
    for (int c = 0; c < 3; ++c)
        if (!(table.domainMax[c] > table.domainMin[c])) {
            why = "a CUBE table with an empty domain";
            return false;
        }
    if (threeDL) {
        // Integers to the bit depth the file names, or the least that holds the largest.
        double top = *std::max_element(entries.begin(), entries.end());
        if (!outBits) {
            outBits = 8;
            while (outBits < 16 && top > double((1u << outBits) - 1)) outBits += 2;
        }
        scale = 1.0 / double((1u << outBits) - 1);
    }
    // Tables of either format may nest either way; CUBE files vary red fastest, 3DL blue.
    bool blueFastest = m_tableOrder.empty() ? threeDL : m_tableOrder == "rgbOrder";
    bool bgrColumns = m_dataOrder == "bgrOrder";
    unsigned n = table.size;
    table.rgb.resize(count * 3);
    for (size_t i = 0; i < count; ++i) {
        size_t at = blueFastest ? (i / (n * n)) + (i / n % n) * n + (i % n) * n * n : i;
        for (int c = 0; c < 3; ++c)
            table.rgb[at * 3 + c] = float(entries[i * 3 + (bgrColumns ? 2 - c : c)] * scale);
    }
    return true;
}

bool PSDAdjustmentColourLookup::SetTable(std::string_view format, std::string_view text,
                                         String const& name, std::string& why) {
    bool cube = format == "cube";
    if (!cube && format != "3dl") {
        why = "a format other than \"cube\" or \"3dl\"";
        return false;
    }
    PSDAdjustmentColourLookup next = *this;
    next.m_lookupType = "3DLUT";
    next.m_lutFormat = cube ? "LUTFormatCUBE" : "LUTFormat3DL";
    // The nesting and columns each format is written in.
    next.m_dataOrder = "rgbOrder";
    next.m_tableOrder = cube ? "bgrOrder" : "rgbOrder";
    next.m_name = next.m_lutFileName = name;
    auto data = Kernel::MakeCounted<DescriptorItemPDFData>();
    data->SetData(text.data(), text.size());
    Descriptor items(DKey("null"));
    items.AddItem(DescriptorKey::Name(String("LUT3DFileData")), data);
    next.m_descriptor =
        ReplaceItems(m_descriptor.m_items.empty() ? Descriptor(DKey("null")) : m_descriptor, items);
    PSDLookupTable table;
    if (!next.ReadTable(table, why)) return false;
    // At the table's own points when it spans 0..1, as the editor's links do; else on 33.
    bool unit = table.domainMin == std::array<float, 3>{0, 0, 0} &&
                table.domainMax == std::array<float, 3>{1, 1, 1};
    unsigned grid = unit && table.size <= 65 ? table.size : 33;
    auto link = Raster::ICCManager::GetInstance().MakeLookupDeviceLink(
        grid, [&](float const* in, float* out) { table.At(in, out); }, std::string(name));
    if (link.empty()) {
        why = "a table whose device link could not be made";
        return false;
    }
    auto profile = Kernel::MakeCounted<DescriptorItemPDFData>();
    profile->SetData(link.data(), link.size());
    items = Descriptor(DKey("null"));
    items.AddItem(DescriptorKey::Name(String("profile")), profile);
    next.m_descriptor = ReplaceItems(next.m_descriptor, items);
    *this = std::move(next);
    return true;
}

}  // namespace PSD

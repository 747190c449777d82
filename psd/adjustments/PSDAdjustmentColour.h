// Adjustments of colour: colour balance, hue/saturation, channel mixer, selective colour, photo
// filter, vibrance, black and white, gradient map and colour lookup.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/renderer/Colour.h"
#include "psd/adjustments/PSDAdjustment.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/effects/PSDGradient.h"

namespace PSD {

class PSDAdjustmentColourBalance : public PSDAdjustment {
public:
    // Cyan-red, magenta-green, yellow-blue.
    using Shift = std::array<int16_t, 3>;
    Kind GetType() const override { return kColourBalance; }
    uint32_t GetKey() const override { return Key("blnc"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    Shift m_shadows{}, m_midtones{}, m_highlights{};
    bool m_preserveLuminosity = true;
};

class PSDAdjustmentHSLShift : public PSDAdjustment {
public:
    // Four range values, then hue, saturation and lightness.
    using Range = std::array<int16_t, 7>;
    using HSL = std::array<int16_t, 3>;
    Kind GetType() const override { return kHSLShift; }
    // "hue " for the older form, "hue2" otherwise.
    uint32_t GetKey() const override { return m_oldForm ? Key("hue ") : Key("hue2"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    bool m_oldForm = false;
    bool m_colourise = false;
    HSL m_colourisation{};
    HSL m_master{};
    std::array<Range, 6> m_ranges{};
    std::vector<uint8_t> m_extension;  // what follows the six ranges, as read
};

class PSDAdjustmentChannelMixer : public PSDAdjustment {
public:
    // Four source weights and a constant, per output channel.
    using Output = std::array<int16_t, 5>;
    Kind GetType() const override { return kChannelMixer; }
    uint32_t GetKey() const override { return Key("mixr"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    bool m_monochrome = false;
    std::array<Output, 4> m_outputs{};
    std::vector<uint8_t> m_extension;  // what follows the four outputs, as read
};

class PSDAdjustmentSelectiveColour : public PSDAdjustment {
public:
    // Cyan, magenta, yellow, black.
    using Record = std::array<int16_t, 4>;
    Kind GetType() const override { return kSelectiveColour; }
    uint32_t GetKey() const override { return Key("selc"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    uint16_t m_method = 0;  // 0 relative, 1 absolute
    std::array<Record, 10> m_records{};
};

class PSDAdjustmentPhotoFilter : public PSDAdjustment {
public:
    Kind GetType() const override { return kPhotoFilter; }
    uint32_t GetKey() const override { return Key("phfl"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    // Sets the colour; version 3 stores it as XYZ, and the colour becomes what that XYZ reads as.
    void SetColour(Kernel::Consolidated<Renderer::Colour> const& colour);

    uint16_t m_version = 3;
    // Version 3 stores XYZ, kept as read; the colour is its Lab equivalent.
    std::array<float, 3> m_xyz{};
    Kernel::Consolidated<Renderer::Colour> m_colour;
    uint32_t m_density = 25;  // percent
    bool m_preserveLuminosity = true;
};

// Vibrance, black and white and colour lookup keep their descriptor: keys this library does not
// model are written back with it.
class PSDAdjustmentVibrance : public PSDAdjustment {
public:
    Kind GetType() const override { return kVibrance; }
    uint32_t GetKey() const override { return Key("vibA"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    int32_t m_vibrance = 0;
    int32_t m_saturation = 0;
    Descriptor m_descriptor;
};

class PSDAdjustmentBlackAndWhite : public PSDAdjustment {
public:
    Kind GetType() const override { return kBlackAndWhite; }
    uint32_t GetKey() const override { return Key("blwh"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    // Red, yellow, green, cyan, blue, magenta, in percent.
    std::array<int32_t, 6> m_weights{40, 60, 40, 60, 20, 80};
    bool m_useTint = false;
    Kernel::Consolidated<Renderer::Colour> m_tintColour;
    int32_t m_presetKind = 0;
    String m_presetFileName;
    Descriptor m_descriptor;
};

class PSDAdjustmentGradientMap : public PSDAdjustment {
public:
    Kind GetType() const override { return kGradientMap; }
    uint32_t GetKey() const override { return Key("grdm"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    bool m_reverse = false;
    bool m_dither = false;
    // Version 3 (newer editors) adds how colours mix between stops: "Gcls" classic, "Perc"
    // perceptual, "Lnr " linear; 0 in version 1, which mixes them the classic way.
    uint16_t m_version = 1;
    uint32_t m_interpolation = 0;
    PSDGradient m_gradient;
};

// A colour lookup's three-dimensional table: size^3 output colours (RGB, 0..1) for inputs evenly
// spaced over the domain, red varying fastest, then green, then blue.
struct PSDLookupTable {
    unsigned size = 0;
    std::array<float, 3> domainMin{0, 0, 0}, domainMax{1, 1, 1};
    std::vector<float> rgb;

    // The colour for an input (out may be in), interpolated in tetrahedra as colour engines do,
    // limited to 0..1.
    void At(float const* in, float* out) const;
};

class PSDAdjustmentColourLookup : public PSDAdjustment {
public:
    Kind GetType() const override { return kColourLookup; }
    uint32_t GetKey() const override { return Key("clrL"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    // Written with its version and descriptor, so that such documents can be saved.
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    String m_lookupType;  // "3DLUT", "abstractProfile", "deviceLinkProfile"
    String m_name;
    bool m_dither = false;
    String m_lutFormat;   // "LUTFormat3DL", "LUTFormatCUBE", "LUTFormatLOOK"
    String m_lutFileName;
    String m_dataOrder, m_tableOrder;  // "rgbOrder", "bgrOrder"
    Descriptor m_descriptor;

    // The embedded ICC profile: the editor's device link made from a table, or the abstract or
    // device-link profile chosen. Empty without one.
    std::span<uint8_t const> Profile() const;
    // Reads the embedded table file (CUBE or 3DL by m_lutFormat, in the orders named); false,
    // with the reason in why, when there is none or it does not read.
    bool ReadTable(PSDLookupTable& table, std::string& why) const;
    // Makes the lookup apply a table file: "cube" or "3dl" text, named after its file. The file
    // is embedded with the device link the table makes, so that readers of either find it. False,
    // with the reason, when the text does not read as such a table; nothing changes then.
    bool SetTable(std::string_view format, std::string_view text, String const& name,
                  std::string& why);
};

}  // namespace PSD

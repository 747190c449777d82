// Adjustments of tone: levels, curves, brightness/contrast, threshold, posterize, invert, exposure.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "psd/adjustments/PSDAdjustment.h"

namespace PSD {

class PSDAdjustmentLevels : public PSDAdjustment {
public:
    // Input floor, input ceiling, output floor, output ceiling, gamma x 100.
    using Record = std::array<int16_t, 5>;
    static constexpr size_t kRecords = 29;

    Kind GetType() const override { return kLevels; }
    uint32_t GetKey() const override { return Key("levl"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;

    // The composite first, then one per channel; the rest as stored.
    std::array<Record, kRecords> m_records{};
    // What follows the records (the editor's extended records), written back as read.
    std::vector<uint8_t> m_extension;
};

class PSDAdjustmentCurves : public PSDAdjustment {
public:
    struct Point {
        int16_t output = 0;
        int16_t input = 0;
    };
    struct Curve {
        bool present = false;
        std::vector<Point> points;
    };

    Kind GetType() const override { return kCurves; }
    uint32_t GetKey() const override { return Key("curv"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;

    bool m_map = false;      // stored as 256-entry tables (read into points)
    uint16_t m_version = 1;  // as read: 1 or 4
    // The composite curve, then one per colour channel of the document's mode.
    std::vector<Curve> m_curves;
};

class PSDAdjustmentBrightnessContrast : public PSDAdjustment {
public:
    Kind GetType() const override { return kBrightnessContrast; }
    uint32_t GetKey() const override { return Key("brit"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    // The settings descriptor of a following "CgEd" block; its values replace the record's.
    [[nodiscard]] bool ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    [[nodiscard]] bool SaveExtraDataI(Kernel::OutStreamSeekable& stream,
                                      SaveData const& sd) const override;

    int16_t m_brightness = 0;
    int16_t m_contrast = 0;
    int16_t m_mean = 127;
    bool m_labOnly = false;
    bool m_useLegacy = true;
    bool m_auto = false;
    int32_t m_descriptorVersion = 1;
};

// Threshold and posterize: one 16-bit value.
class PSDAdjustmentThreshold : public PSDAdjustment {
public:
    Kind GetType() const override { return kThreshold; }
    uint32_t GetKey() const override { return Key("thrs"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    uint16_t m_level = 128;
};

class PSDAdjustmentPosterize : public PSDAdjustment {
public:
    Kind GetType() const override { return kPosterize; }
    uint32_t GetKey() const override { return Key("post"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    uint16_t m_levels = 4;
};

class PSDAdjustmentInvert : public PSDAdjustment {
public:
    Kind GetType() const override { return kInvert; }
    uint32_t GetKey() const override { return Key("nvrt"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable&, ParseData&) override { return true; }
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable&, SaveData const&) const override {
        return true;
    }
};

class PSDAdjustmentExposure : public PSDAdjustment {
public:
    Kind GetType() const override { return kExposure; }
    uint32_t GetKey() const override { return Key("expA"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;

    // Floats, kept bit for bit as stored.
    float m_exposure = 0.0f;
    float m_offset = 0.0f;
    float m_gamma = 1.0f;
};

}  // namespace PSD

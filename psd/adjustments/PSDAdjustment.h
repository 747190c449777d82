// Adjustment and fill layers: the common base that a layer's adjustment or fill block becomes,
// the family of kinds with their block keys, and the framing of the block on save.
#pragma once

#include <cstdint>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

// The settings a layer's adjustment or fill block holds; made by Create from the block's key.
class PSDAdjustment : public Kernel::Countable {
public:
    enum Kind : uint32_t {
        kSolidColor = 0,
        kGradientFill = 1,
        kPatternFill = 2,
        kLevels = 3,
        kCurves = 4,
        kBrightnessContrast = 5,
        kThreshold = 6,
        kInvert = 7,
        kExposure = 8,
        kTypeTool = 9,
        kPosterize = 10,
        kVibrance = 11,
        kBlackAndWhite = 12,
        kChannelMixer = 13,
        kHSLShift = 14,
        kColourBalance = 15,
        kGradientMap = 16,
        kSelectiveColour = 17,
        kPhotoFilter = 18,
        kColourLookup = 19,
    };

    ~PSDAdjustment() override = default;
    virtual Kind GetType() const = 0;
    virtual uint32_t GetKey() const = 0;
    // Reads the block body; false with the error in the report.
    [[nodiscard]] virtual bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) = 0;
    // Reads a "CgEd" block met after this adjustment's block.
    [[nodiscard]] virtual bool ParseExtraData(Kernel::InStreamSeekable& stream, ParseData& pd);
    // Writes the block body.
    [[nodiscard]] virtual bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const = 0;
    // Writes blocks that follow the main block (the brightness/contrast settings descriptor).
    [[nodiscard]] virtual bool SaveExtraDataI(Kernel::OutStreamSeekable& stream,
                                              SaveData const& sd) const;

    // The whole block: "8BIM", key, a 4-byte length (in PSB too), the body padded to 4 within the
    // length; then the extra blocks.
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // The key and the body alone, for containers that frame the body themselves.
    [[nodiscard]] bool SaveShort(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;

    // The object for an adjustment, fill or type tool key; null for other keys.
    static Kernel::Counted<PSDAdjustment> Create(uint32_t key);
    // True for the keys Create makes an object for.
    static bool IsAdjustmentKey(uint32_t key);

    // False while the body was of a version this library does not read: it was left unread, and
    // the model cannot write it (the stored block is copied back instead).
    bool IsRead() const { return m_read; }

protected:
    // A version this library does not read: the warning with the version as its detail, and the
    // body left unread.
    bool UnknownVersion(PSDLoadWarning::Code code, unsigned version, ParseData& pd);
    bool m_read = true;
};

// The kind's name as `info --json` gives it ("levels", "curves", "solidcolorfill", ...).
char const* AdjustmentKindName(PSDAdjustment::Kind kind);

}  // namespace PSD

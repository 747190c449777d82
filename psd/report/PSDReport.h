// Load reports: one fatal error and any number of warnings, each with localisable English text.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/String.h"

namespace PSD {

using String = Kernel::StringT<Kernel::TEncUtf8>;

// What stopped a parse: a code with its message, and a detail.
class PSDError : public Kernel::Countable {
public:
    enum Code : uint32_t {
        kTruncated = 0,
        kOutOfMemory = 1,
        kBadSignature = 2,
        kMisaligned = 3,
        kParsing = 4,
        kUnsupportedVersion = 5,
        kUnsupportedDepth = 6,
        kUnsupportedColourMode = 7,
        kUnsupportedPixelFormat = 8,
        kUnknownColourMode = 9,
        kUnknownSignature = 10,
        kUnknownLayerEffectVersion = 11,
        kUnknownCompression = 12,
        kUnknownColourSpace = 13,
        kUnknownBevelVersion = 14,
        kUnknownBlendMode = 15,
        kUnknownDescriptorType = 16,
        kUnknownDescriptorReferenceType = 17,
        kUnknownDescriptorUnitFloatType = 18,
        kUnknownGlowVersion = 19,
        kUnknownShadowVersion = 20,
        kUnknownVectorMaskVersion = 21,
        kUnknownVectorOriginationVersion = 22,
        kUnknownPhotoFilterVersion = 23,
        kUnknownTypeToolVersion = 24,
        kUnknownSolidFillVersion = 25,
        kUnknownTextVersion = 26,
        kUnknownTextWarpVersion = 27,
        kDescriptorExpectedBool = 28,
        kDescriptorExpectedDescriptor = 29,
        kDescriptorExpectedDouble = 30,
        kDescriptorExpectedEnum = 31,
        kDescriptorExpectedInteger = 32,
        kDescriptorExpectedList = 33,
        kDescriptorExpectedString = 34,
        kDescriptorExpectedUnitFloat = 35,
        kDescriptorUnexpectedKey = 36,
        kDescriptorUnexpectedEnumType = 37,
        kDescriptorUnexpectedEnumValue = 38,
        kDescriptorUnexpectedUnitType = 39,
        kDescriptorUnknownColourType = 40,
        kDescriptorUnknownUnitType = 41,
        kPathsEmpty = 42,
        kPathsSubtractFirst = 43,
        kGradientBadData = 44,
        kShadowBadData = 45,
        kGlowBadData = 46,
        kBevelBadData = 47,
        kSolidFillBadData = 48,
    };

    explicit PSDError(Code code) : m_code(code) {}
    PSDError(Code code, String const& detail) : m_code(code), m_detail(detail) {}
    PSDError(Code code, String const& detail, unsigned int number)
        : m_code(code), m_number(number), m_detail(detail) {}

    Code GetCode() const { return m_code; }
    uint32_t GetNumber() const { return m_number; }
    String const& GetDetail() const { return m_detail; }

    // The localised message, then " : detail" and/or " [number]".
    String Report() const;
    // The English message of a code; empty outside the table.
    static char const* GetMessage(uint32_t code);

    Code m_code;
    uint32_t m_number = 0;
    String m_detail;
};

// Something a parse met and went past; the subclasses carry its kind.
class PSDWarning : public Kernel::Countable {
public:
    virtual bool IsRepeat(Kernel::Counted<PSDWarning const> const& other) const = 0;
    // Appends this warning's text to out.
    virtual void Report(String& out) const = 0;
};

// A warning of a document's load, with its code and detail.
class PSDLoadWarning : public PSDWarning {
public:
    enum Code : uint32_t {
        kText = 0,
        kUnknownBlendMode = 1,
        kUnknownProperty = 2,
        kUnknownEnumValue = 3,
        kUnknownGradientType = 4,
        kUnknownUnitRectVersion = 5,
        kUnexpectedKey = 6,
        kUnexpectedItemType = 7,
        kUnexpectedUnitFloatType = 8,
        kUnknownChannelMixerVersion = 9,
        kUnknownColourLookupVersion = 10,
        kUnknownCurvesVersion = 11,
        kUnknownExposureVersion = 12,
        kUnknownGradientMapVersion = 13,
        kUnknownHSLShiftVersion = 14,
        kUnknownLevelsVersion = 15,
        kUnknownSelectiveColourVersion = 16,
        kUnknownTypeToolVersion = 17,
        kUnknownBevelDirection = 18,
        kUnknownBevelStyle = 19,
        kUnknownBevelTechnique = 20,
        kUnknownGlowSourceType = 21,
        kUnknownGlowTechnique = 22,
        kUnknownGradientFormat = 23,
        kUnknownGradientColourType = 24,
        kUnsupportedGradientFormat = 25,
        kUnknownLayersEffectType = 26,
        kUnknownStrokeFillType = 27,
        kUnknownStrokeStyle = 28,
        kUnexpectedVectorStrokeFillAdjustment = 29,
        kUnexpectedVectorStrokeLineUnitType = 30,
        kUnexpectedVectorStrokeLineFillType = 31,
        kMultipleWorkingPaths = 32,
        kBadTextData = 33,
        kUnexpectedTextData = 34,
        kMissingMaskData = 35,
    };

    PSDLoadWarning(Code code, String const& detail) : m_detail(detail), m_code(code) {}

    bool IsRepeat(Kernel::Counted<PSDWarning const> const& other) const override;
    void Report(String& out) const override;
    // The English title of a code (1-35); empty otherwise.
    static char const* GetTitle(uint32_t code);

    String m_text;
    String m_detail;
    Code m_code;
    uint32_t m_number = 0;
};

// The warnings of a parse, in the order met.
class PSDWarnings : public Kernel::Countable {
public:
    // Ignores null and repeats of a warning already held.
    void Add(Kernel::Counted<PSDWarning const> const& w);
    String Report() const;
    // One line per warning, as Report gives them, without the line ends.
    std::vector<String> Lines() const;
    std::vector<Kernel::Counted<PSDWarning const>> const& GetWarnings() const { return m_warnings; }
    size_t GetCount() const { return m_warnings.size(); }

    std::vector<Kernel::Counted<PSDWarning const>> m_warnings;

private:
    // A hostile document can raise any number of distinct warnings, so load warnings are found
    // by their identity rather than by comparing with every one held. Warnings are not changed
    // once added; the index catches up with elements appended to m_warnings directly.
    void SyncIndex();
    std::unordered_set<std::string> m_index;
    size_t m_indexed = 0;
};

// What a parse reports: at most one error, and its warnings.
class PSDReport {
public:
    PSDReport() = default;

    void ErrorTruncated() { SetError(PSDError::kTruncated); }
    void ErrorAlloc() { SetError(PSDError::kOutOfMemory); }
    void ErrorMisaligned() { SetError(PSDError::kMisaligned); }
    void ErrorParsing() { SetError(PSDError::kParsing); }
    // Replaces any earlier error.
    void SetError(Kernel::Counted<PSDError> e) { m_error = std::move(e); }
    void SetError(PSDError::Code code) { m_error = Kernel::Counted<PSDError>(new PSDError(code)); }
    void SetError(PSDError::Code code, String const& detail, unsigned number = 0) {
        m_error = Kernel::Counted<PSDError>(new PSDError(code, detail, number));
    }
    void AddWarning(Kernel::Counted<PSDWarning> w);
    // Convenience: a load warning with a code and a context detail.
    void AddWarning(PSDLoadWarning::Code code, String const& detail) {
        AddWarning(Kernel::Counted<PSDWarning>(new PSDLoadWarning(code, detail)));
    }

    Kernel::Counted<PSDWarnings> m_warnings;
    Kernel::Counted<PSDError> m_error;
};

// A key's four bytes, most significant first, as text when they form valid UTF-8; otherwise
// "0x" and the key in hexadecimal.
String KeyToString(uint32_t key);
// Sends "Unknown PSD key: <key>\n" to the debug trace; never to a report.
void PrintUnknownKey(uint32_t key);

// Four-character key constant: Key("8BIM").
constexpr uint32_t Key(char const (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

}  // namespace PSD

// One layer effect: shadows, glows, bevel and emboss, colour, gradient and pattern overlays,
// stroke and satin. Each reads itself from its legacy record (where one exists) and from its
// descriptor, and writes both forms.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/Stream.h"
#include "host/renderer/Colour.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/effects/PSDGradient.h"
#include "psd/io/PSDBlendMode.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

// A pattern's phase (offset) as an effect stores it: the point, and the item it was read from,
// which is written back while the point stays as read (its values may be doubles or unit floats).
struct PSDEffectPhase {
    Kernel::PointT<double> m_point{0.0, 0.0};
    Kernel::PointT<double> m_read{0.0, 0.0};
    Kernel::Counted<DescriptorItem const> m_item;
    bool m_present = false;
};

class PSDEffect : public Kernel::Countable {
public:
    enum Type : int {
        kShadow = 0,
        kGlow = 1,
        kBevel = 2,
        kSolidFill = 3,
        kGradientFill = 4,
        kStroke = 5,
        kSatin = 6,
        kPatternOverlay = 7,
    };

    ~PSDEffect() override = default;
    virtual int GetType() const = 0;
    // Legacy record, after its signature and key; the base has none.
    [[nodiscard]] virtual bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    // Descriptor form: checks the item and its class, then reads the keys in order.
    [[nodiscard]] virtual bool Parse(DescriptorItem const& item, PSDLoadData& ld);
    // Legacy record with its "8BIM" and key; the base writes none.
    [[nodiscard]] virtual bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // Adds the effect's descriptor to the effects descriptor under the effect's key.
    [[nodiscard]] virtual bool Save(Descriptor& desc) const;
    // Appends the effect's descriptor to a multi-effect list; only effects with a list form do.
    [[nodiscard]] virtual bool Save(Kernel::NonCounted<DescriptorItemList> list) const;
    virtual bool LegacySupported() const { return true; }

    // The effect's key in the effects descriptor, also its class ID.
    virtual DescriptorKey GetKey() const = 0;
    // The name in message contexts ("EffectShadow").
    virtual char const* GetName() const = 0;
    // The name tools show ("DropShadow", "InnerGlow", ...).
    virtual char const* GetTypeName() const = 0;

    bool m_enabled = true;
    // Read from the legacy block (effects listed by descriptor-only readers leave these out).
    bool m_fromLegacy = false;
    // Keys the model does not read, as read: written back after the model's keys.
    std::vector<Descriptor::Item> m_kept;

protected:
    // Reads one key of the descriptor; known is cleared for keys this effect does not read.
    [[nodiscard]] virtual bool ParseKey(DescriptorKey const& key, DescriptorItem const& value,
                                        PSDLoadData& ld, bool& known) = 0;
    // Fills the effect's descriptor with its keys (shared by the single and the list form).
    [[nodiscard]] virtual bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const = 0;
    // The complete descriptor item of the effect; null when a key cannot be written.
    Kernel::Counted<DescriptorItemDescriptor> BuildDescriptor() const;
};

class PSDEffectShadow : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    explicit PSDEffectShadow(bool inner = false);
    int GetType() const override { return kShadow; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    [[nodiscard]] bool Save(Kernel::NonCounted<DescriptorItemList> list) const override;
    DescriptorKey GetKey() const override { return m_inner ? Key("IrSh") : Key("DrSh"); }
    char const* GetName() const override { return "EffectShadow"; }
    char const* GetTypeName() const override { return m_inner ? "InnerShadow" : "DropShadow"; }

    bool m_inner;
    int32_t m_blur = 5;          // pixels
    double m_opacity = 0.75;     // 0..1
    int32_t m_angle = 120;       // degrees
    int32_t m_distance = 5;      // pixels
    double m_intensity = 0.0;    // 0..1, the choke (spread of a drop shadow)
    double m_noise = 0.0;        // 0..1
    Kernel::Consolidated<Renderer::Colour> m_colour;
    Kernel::Consolidated<Renderer::Colour> m_nativeColour;
    BlendMode m_blendMode = BlendMode::Multiply;
    bool m_useGlobalAngle = true;
    bool m_antiAlias = false;
    bool m_layerConceals = true;
    PSDContour m_contour;

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectGlow : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    enum Technique : int { kSofter = 0, kPrecise = 1 };
    enum Source : int { kCentre = 0, kEdge = 1 };

    explicit PSDEffectGlow(bool inner = false);
    int GetType() const override { return kGlow; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    DescriptorKey GetKey() const override { return m_inner ? Key("IrGl") : Key("OrGl"); }
    char const* GetName() const override { return "EffectGlow"; }
    char const* GetTypeName() const override { return m_inner ? "InnerGlow" : "OuterGlow"; }

    bool m_inner;
    int32_t m_blur = 5;         // pixels
    double m_intensity = 0.0;   // 0..1: the choke of an inner glow, the spread of an outer one
    double m_opacity = 0.75;    // 0..1
    Kernel::Consolidated<Renderer::Colour> m_colour;
    Kernel::Consolidated<Renderer::Colour> m_nativeColour;
    BlendMode m_blendMode = BlendMode::Screen;
    double m_noise = 0.0;       // 0..1
    double m_jitter = 0.0;      // 0..1 ("ShdN")
    double m_range = 0.5;       // 0..1 ("Inpr")
    bool m_antiAlias = false;
    bool m_invert = false;      // legacy inner glows only
    PSDContour m_contour;
    PSDGradient m_gradient;     // a gradient glow's ramp
    bool m_hasGradient = false;
    int m_technique = kSofter;
    int m_source = kEdge;       // inner glows

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectBevel : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    // Styles as the legacy record numbers them.
    enum Style : int { kOuterBevel = 1, kInnerBevel = 2, kEmboss = 3, kPillowEmboss = 4,
                       kStrokeEmboss = 5 };
    enum Technique : int { kSmooth = 0, kChiselHard = 1, kChiselSoft = 2 };

    PSDEffectBevel();
    int GetType() const override { return kBevel; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    DescriptorKey GetKey() const override { return Key("ebbl"); }
    char const* GetName() const override { return "EffectBevel"; }
    char const* GetTypeName() const override { return "BevelEmboss"; }

    int32_t m_angle = 120;       // degrees
    int32_t m_strength = 100;    // depth, percent
    int32_t m_blur = 5;          // size, pixels
    BlendMode m_highlightBlendMode = BlendMode::Screen;
    BlendMode m_shadowBlendMode = BlendMode::Multiply;
    Kernel::Consolidated<Renderer::Colour> m_highlightColour;
    Kernel::Consolidated<Renderer::Colour> m_shadowColour;
    Kernel::Consolidated<Renderer::Colour> m_realHighlightColour;
    Kernel::Consolidated<Renderer::Colour> m_realShadowColour;
    int m_style = kInnerBevel;
    double m_highlightOpacity = 0.75;  // 0..1
    double m_shadowOpacity = 0.75;
    bool m_useGlobalAngle = true;
    bool m_down = false;         // direction: up (false) or down
    int m_technique = kSmooth;
    double m_altitude = 30.0;    // degrees ("Lald")
    double m_soften = 0.0;       // pixels
    PSDContour m_glossContour;   // "TrnS"
    PSDContour m_contour;        // "MpgS"
    bool m_antiAlias = false;
    double m_range = 0.5;        // 0..1 ("Inpr")
    bool m_align = true;
    bool m_invertTexture = false;
    double m_textureScale = 1.0;  // fraction
    bool m_antialiasGloss = false;
    bool m_useShape = false;
    bool m_useTexture = false;
    double m_textureDepth = 100.0;  // percent
    PSDEffectPhase m_phase;

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectSolidFill : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    PSDEffectSolidFill();
    int GetType() const override { return kSolidFill; }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    [[nodiscard]] bool Save(Kernel::NonCounted<DescriptorItemList> list) const override;
    DescriptorKey GetKey() const override { return Key("SoFi"); }
    char const* GetName() const override { return "EffectSolidFill"; }
    char const* GetTypeName() const override { return "ColorOverlay"; }

    BlendMode m_blendMode = BlendMode::Normal;
    Kernel::Consolidated<Renderer::Colour> m_colour;
    Kernel::Consolidated<Renderer::Colour> m_nativeColour;
    double m_opacity = 255.0;  // 0..255

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectGradientFill : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    int GetType() const override { return kGradientFill; }
    [[nodiscard]] bool Save(Kernel::NonCounted<DescriptorItemList> list) const override;
    bool LegacySupported() const override { return false; }
    DescriptorKey GetKey() const override { return Key("GrFl"); }
    char const* GetName() const override { return "EffectGradientFill"; }
    char const* GetTypeName() const override { return "GradientOverlay"; }

    BlendMode m_blendMode = BlendMode::Normal;
    double m_opacity = 255.0;  // 0..255
    PSDGradientDesc m_gradient;

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectStroke : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    enum Style : int { kOutside = 0, kInside = 1, kCentre = 2 };
    enum FillType : int { kColour = 0, kGradient = 1, kPattern = 2 };

    PSDEffectStroke();
    int GetType() const override { return kStroke; }
    [[nodiscard]] bool Save(Kernel::NonCounted<DescriptorItemList> list) const override;
    bool LegacySupported() const override { return false; }
    DescriptorKey GetKey() const override { return Key("FrFX"); }
    char const* GetName() const override { return "EffectStroke"; }
    char const* GetTypeName() const override { return "Stroke"; }

    BlendMode m_blendMode = BlendMode::Normal;
    double m_opacity = 255.0;  // 0..255
    double m_size = 3.0;       // pixels
    bool m_linked = true;
    Kernel::Consolidated<Renderer::Colour> m_colour;
    int m_style = kOutside;
    int m_fillType = kColour;
    PSDGradientDesc m_gradient;  // placement keys, for gradient strokes
    PSDEffectPhase m_phase;
    bool m_overprint = false;

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

class PSDEffectSatin : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    PSDEffectSatin();
    int GetType() const override { return kSatin; }
    bool LegacySupported() const override { return false; }
    DescriptorKey GetKey() const override { return Key("ChFX"); }
    char const* GetName() const override { return "EffectSatin"; }
    char const* GetTypeName() const override { return "Satin"; }

    BlendMode m_blendMode = BlendMode::Multiply;
    Kernel::Consolidated<Renderer::Colour> m_colour;
    double m_opacity = 127.5;  // 0..255
    double m_angle = 19.0;     // degrees
    double m_distance = 11.0;  // pixels
    double m_blur = 14.0;      // pixels
    bool m_invert = true;
    bool m_antiAlias = false;
    PSDContour m_contour;
    bool m_overprint = false;

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

// A pattern overlay ("patternFill" in the effects descriptor): its main settings are read for
// tools; everything else stays as read, so the effect is written back whole.
class PSDEffectPatternOverlay : public PSDEffect {
public:
    using PSDEffect::Parse;
    using PSDEffect::Save;
    int GetType() const override { return kPatternOverlay; }
    bool LegacySupported() const override { return false; }
    DescriptorKey GetKey() const override { return DescriptorKey::Name("patternFill"); }
    char const* GetName() const override { return "EffectPatternOverlay"; }
    char const* GetTypeName() const override { return "PatternOverlay"; }

    BlendMode m_blendMode = BlendMode::Normal;
    double m_opacity = 255.0;  // 0..255
    String m_patternName;
    String m_patternId;
    double m_scale = 1.0;      // fraction
    double m_angle = 0.0;      // degrees
    bool m_linked = true;
    PSDEffectPhase m_phase;
    bool m_hasAngle = false;
    // The pattern object as read ("Ptrn"); its name and identifier are written from the fields.
    Descriptor m_pattern{DescriptorKey(Key("Ptrn"))};

protected:
    bool ParseKey(DescriptorKey const& key, DescriptorItem const& value, PSDLoadData& ld,
                  bool& known) override;
    bool SaveCommon(Kernel::NonCounted<DescriptorItemDescriptor> item) const override;
};

}  // namespace PSD

// Colour values of effects, fills and text, with conversions under the default profiles.
//
// Conversions use the default profile set of Raster::ICCManager: sRGB, the D50 Lab space, a
// grey space with the sRGB tone curve, and the device formula for CMYK (see host/raster/ICC.h).
// Every colour keeps the values it was made from, so a writer can store exactly what was read.
#pragma once

#include <cstdint>
#include <string>

#include "host/kernel/Counted.h"

namespace Renderer {

enum class ColourModel : int {
    RGB = 0,
    CMYK = 1,
    HSL = 2,
    Grayscale = 3,
    LAB = 4,
    Wrapped = 5,
    CMYKAlt = 6,
};

// Models 1 and 6 are both CMYK.
inline bool IsCMYKModel(ColourModel m) {
    return m == ColourModel::CMYK || m == ColourModel::CMYKAlt;
}

// RGBA samples as floats, 0 to 1.
struct RGBAF {
    float r, g, b, a;
};
// RGBA samples of 8 bits.
struct RGBA8 {
    uint8_t r, g, b, a;
};
// RGBA samples of 16 bits.
struct RGBA16 {
    uint16_t r, g, b, a;
};
// CMYK and alpha as floats, 0 to 1.
struct CMYKAF {
    float c, m, y, k, a;
};  // ink 0..1 (0 = no ink)
// CMYK and alpha samples of 8 bits.
struct CMYKA8 {
    uint8_t c, m, y, k, a;
};  // ink 0..255 (0 = no ink)
// Hue, saturation, lightness and alpha as floats.
struct HSLAF {
    float h, s, l, a;
};  // h 0..1 (a full turn), s and l 0..1
// Lab and alpha samples of 16 bits.
struct LABA16 {
    uint16_t l, a, b, alpha;
};  // L 0..65535 = 0..100; a, b: (v + 128) * 256

// Sample depth a colour was made with.
enum class ColourDepth { Bits8, Bits16, Float };

// A colour in the space it was stored in; converted on request.
class Colour : public Kernel::Countable {
public:
    virtual ColourModel GetModel() const = 0;
    virtual RGBAF ToRGBAF() const = 0;
    virtual CMYKAF ToCMYKAF() const;
    virtual HSLAF ToHSLAF() const;
    virtual LABA16 ToLABA16() const;
    // 16-bit grey (0 black .. 65535 white).
    virtual uint16_t ToGray16() const;
    // The colour a wrapping colour stands for; null for every other colour.
    virtual Kernel::Consolidated<Colour> GetWrapped() const { return nullptr; }

    float GetOpacity() const { return m_opacity; }
    float GetTint() const { return m_tint; }
    std::string const& GetName() const { return m_name; }

protected:
    Colour(float opacity, float tint, std::string name)
        : m_opacity(opacity), m_tint(tint), m_name(std::move(name)) {}
    float m_opacity;
    float m_tint;
    std::string m_name;
};

// A colour stored as RGB.
class ColourRGB : public Colour {
public:
    static Kernel::Consolidated<Colour> Create(RGBA8 const& px, float opacity, float tint,
                                               std::string name);
    static Kernel::Consolidated<Colour> Create(RGBA16 const& px, float opacity, float tint,
                                               std::string name);
    static Kernel::Consolidated<Colour> Create(RGBAF const& px, float opacity, float tint,
                                               std::string name);

    ColourModel GetModel() const override { return ColourModel::RGB; }
    RGBAF ToRGBAF() const override { return m_f; }

    ColourDepth GetDepth() const { return m_depth; }
    // The pixel as made; the other depths are derived (8 <-> 16 by 257, float by rounding).
    RGBAF GetRGBAF() const { return m_f; }
    RGBA8 GetRGBA8() const;
    RGBA16 GetRGBA16() const;

private:
    ColourRGB(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    ColourDepth m_depth = ColourDepth::Float;
    RGBAF m_f{};
    RGBA16 m_16{};  // exact for 8- and 16-bit pixels
};

// A colour stored as CMYK.
class ColourCMYK : public Colour {
public:
    static Kernel::Consolidated<Colour> Create(CMYKA8 const& px, float opacity, float tint,
                                               std::string name);
    static Kernel::Consolidated<Colour> Create(CMYKAF const& px, float opacity, float tint,
                                               std::string name);

    ColourModel GetModel() const override { return ColourModel::CMYK; }
    RGBAF ToRGBAF() const override;
    CMYKAF ToCMYKAF() const override { return m_f; }

    ColourDepth GetDepth() const { return m_depth; }
    CMYKAF GetCMYKAF() const { return m_f; }
    // Exact for 8-bit pixels, rounded from float ones.
    CMYKA8 GetCMYKA8() const;

private:
    ColourCMYK(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    ColourDepth m_depth = ColourDepth::Float;
    CMYKAF m_f{};
    CMYKA8 m_8{};
};

// A colour stored as Lab.
class ColourLAB : public Colour {
public:
    static Kernel::Consolidated<Colour> Create(LABA16 const& px, float opacity, float tint,
                                               std::string name);

    ColourModel GetModel() const override { return ColourModel::LAB; }
    RGBAF ToRGBAF() const override;
    LABA16 ToLABA16() const override { return m_px; }
    uint16_t ToGray16() const override;

    LABA16 GetLABA16() const { return m_px; }

private:
    ColourLAB(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    LABA16 m_px{};
};

// A colour stored as one grey value.
class ColourGrayscale : public Colour {
public:
    // gray 0 black .. 1 white.
    static Kernel::Consolidated<Colour> Create(float gray, float opacity, float tint,
                                               std::string name);

    ColourModel GetModel() const override { return ColourModel::Grayscale; }
    RGBAF ToRGBAF() const override;
    LABA16 ToLABA16() const override;
    uint16_t ToGray16() const override;

    float GetGray() const { return m_gray; }

private:
    ColourGrayscale(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    float m_gray = 0.0f;
};

// A colour stored as hue, saturation and lightness.
class ColourHSL : public Colour {
public:
    // h 0..1 (a full turn), s and l 0..1.
    static Kernel::Consolidated<Colour> Create(float h, float s, float l, float opacity, float tint,
                                               std::string name);

    ColourModel GetModel() const override { return ColourModel::HSL; }
    RGBAF ToRGBAF() const override;
    HSLAF ToHSLAF() const override { return m_hsl; }

    HSLAF GetHSLAF() const { return m_hsl; }

private:
    ColourHSL(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    HSLAF m_hsl{};
};

// A named colour (spot, swatch) standing for another colour; conversions are the wrapped one's.
class ColourWrapped : public Colour {
public:
    // Null when inner is null.
    static Kernel::Consolidated<Colour> Create(Kernel::Consolidated<Colour> inner, float opacity,
                                               float tint, std::string name);

    ColourModel GetModel() const override { return ColourModel::Wrapped; }
    RGBAF ToRGBAF() const override { return m_inner->ToRGBAF(); }
    CMYKAF ToCMYKAF() const override { return m_inner->ToCMYKAF(); }
    HSLAF ToHSLAF() const override { return m_inner->ToHSLAF(); }
    LABA16 ToLABA16() const override { return m_inner->ToLABA16(); }
    uint16_t ToGray16() const override { return m_inner->ToGray16(); }
    Kernel::Consolidated<Colour> GetWrapped() const override { return m_inner; }

private:
    ColourWrapped(float opacity, float tint, std::string name)
        : Colour(opacity, tint, std::move(name)) {}
    Kernel::Consolidated<Colour> m_inner;
};

// Plain conversions between the float models (h of HSL in 0..1).
HSLAF RGBToHSL(RGBAF const& rgb);
RGBAF HSLToRGB(HSLAF const& hsl);

}  // namespace Renderer

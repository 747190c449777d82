// Colour values of effects, fills and text, with conversions under the default profiles.
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

struct RGBAF { float r, g, b, a; };
struct CMYKAF { float c, m, y, k, a; };
struct HSLAF { float h, s, l, a; };
struct LABA16 { uint16_t l, a, b, alpha; };

class Colour : public Kernel::Countable {
public:
    virtual ColourModel GetModel() const = 0;
    virtual RGBAF ToRGBAF() const = 0;
    virtual CMYKAF ToCMYKAF() const;
    virtual HSLAF ToHSLAF() const;
    virtual LABA16 ToLABA16() const;
    // 16-bit grey (0 black .. 65535 white).
    virtual uint16_t ToGray16() const;

    float GetOpacity() const { return m_opacity; }
    float GetTint() const { return m_tint; }
    std::string const& GetName() const { return m_name; }

protected:
    Colour(float opacity, float tint, std::string name) : m_opacity(opacity), m_tint(tint), m_name(std::move(name)) {}
    float m_opacity;
    float m_tint;
    std::string m_name;
};

}  // namespace Renderer

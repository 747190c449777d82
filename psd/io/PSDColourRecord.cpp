#include "psd/io/PSDColourRecord.h"

#include <algorithm>
#include <cmath>

namespace PSD {

// The host colour of a record; null for a space outside the five known ones.
Kernel::Consolidated<Renderer::Colour> DecodeColourRecord(ColourRecord const& r) {
    switch (r.space) {
        case kSpaceRGB:
            return Renderer::ColourRGB::Create(Renderer::RGBA16{r.c[0], r.c[1], r.c[2], 65535},
                                               1.0f, 1.0f, {});
        case kSpaceHSB: {
            double h = r.c[0] / 65535.0;
            double s = std::min(r.c[1] / 65535.0, 1.0);
            double b = std::min(r.c[2] / 65535.0, 1.0);
            double l = (2.0 - s) * b / 2.0;
            double sl = 0.0;
            // Black and white have no saturation; the divisors are zero there.
            if (l > 0.0 && l < 1.0) sl = s * b / (l <= 0.5 ? 2.0 * l : 2.0 - 2.0 * l);
            return Renderer::ColourHSL::Create(float(h), float(sl), float(l), 1.0f, 1.0f, {});
        }
        case kSpaceCMYK:
            return Renderer::ColourCMYK::Create(
                Renderer::CMYKA8{uint8_t(r.c[0] >> 8), uint8_t(r.c[1] >> 8), uint8_t(r.c[2] >> 8),
                                 uint8_t(r.c[3] >> 8), 255},
                1.0f, 1.0f, {});
        case kSpaceLab: {
            auto limit = [](double v) { return uint16_t(std::clamp(std::round(v), 0.0, 65535.0)); };
            uint16_t l = limit(r.c[0] * 0.01 / 100.0 * 65535.0);
            uint16_t a = limit((int16_t(r.c[1]) * 0.01 + 128.0) * 256.0);
            uint16_t b = limit((int16_t(r.c[2]) * 0.01 + 128.0) * 256.0);
            return Renderer::ColourLAB::Create(Renderer::LABA16{l, a, b, 65535}, 1.0f, 1.0f, {});
        }
        case kSpaceGrayscale:
            return Renderer::ColourGrayscale::Create(float(r.c[0] / 65535.0), 1.0f, 1.0f, {});
        default:
            return nullptr;
    }
}

bool ReadColor(Kernel::InStream& stream, Kernel::Consolidated<Renderer::Colour>& out,
                             PSDLoadData& ld) {
    ColourRecord r;
    if (!ReadValue(stream, r.space, ld)) return false;
    for (auto& c : r.c)
        if (!ReadValue(stream, c, ld)) return false;
    out = DecodeColourRecord(r);
    if (!out) {
        ld.m_report.SetError(PSDError::kUnknownColourSpace, Kernel::ToString(unsigned(r.space)));
        return false;
    }
    return true;
}

// The record that reads back to the colour (the inverse of DecodeColourRecord); false for a colour the
// record cannot hold.
bool EncodeColourRecord(Renderer::Colour const& colour, ColourRecord& r) {
    using Renderer::ColourModel;
    // A value read as NaN (a damaged descriptor) is written as 0: clamping would keep it NaN.
    auto to16 = [](double v) {
        return std::isnan(v) ? uint16_t(0) : uint16_t(std::clamp(std::round(v), 0.0, 65535.0));
    };
    auto toS16 = [](double v) {
        return std::isnan(v) ? uint16_t(0)
                             : uint16_t(int16_t(std::clamp(std::round(v), -32768.0, 32767.0)));
    };
    if (auto inner = colour.GetWrapped()) return EncodeColourRecord(*inner, r);
    switch (colour.GetModel()) {
        case ColourModel::RGB: {
            auto const* rgb = dynamic_cast<Renderer::ColourRGB const*>(&colour);
            Renderer::RGBA16 px;
            if (rgb) {
                px = rgb->GetRGBA16();
            } else {
                auto f = colour.ToRGBAF();
                px = {to16(f.r * 65535.0), to16(f.g * 65535.0), to16(f.b * 65535.0), 65535};
            }
            r = {kSpaceRGB, {px.r, px.g, px.b, 0}};
            return true;
        }
        case ColourModel::HSL: {
            auto hsl = colour.ToHSLAF();
            double l = hsl.l, sl = hsl.s;
            double b = l + sl * std::min(l, 1.0 - l);
            double s = b > 0.0 ? 2.0 * (1.0 - l / b) : 0.0;
            r = {kSpaceHSB, {to16(hsl.h * 65535.0), to16(s * 65535.0), to16(b * 65535.0), 0}};
            return true;
        }
        case ColourModel::CMYK:
        case ColourModel::CMYKAlt: {
            Renderer::CMYKA8 px;
            if (auto const* cmyk = dynamic_cast<Renderer::ColourCMYK const*>(&colour)) {
                px = cmyk->GetCMYKA8();
            } else {
                auto f = colour.ToCMYKAF();
                auto to8 = [](float v) {
                    return uint8_t(std::clamp(std::lround(v * 255.0f), 0L, 255L));
                };
                px = {to8(f.c), to8(f.m), to8(f.y), to8(f.k), 255};
            }
            // The reader keeps the high byte; repeating the byte keeps full ink at 65535.
            r = {kSpaceCMYK,
                 {uint16_t(px.c * 257), uint16_t(px.m * 257), uint16_t(px.y * 257),
                  uint16_t(px.k * 257)}};
            return true;
        }
        case ColourModel::LAB: {
            auto lab = colour.ToLABA16();
            r = {kSpaceLab,
                 {to16(lab.l / 65535.0 * 10000.0), toS16((lab.a / 256.0 - 128.0) * 100.0),
                  toS16((lab.b / 256.0 - 128.0) * 100.0), 0}};
            return true;
        }
        case ColourModel::Grayscale: {
            auto const* grey = dynamic_cast<Renderer::ColourGrayscale const*>(&colour);
            double g = grey ? grey->GetGray() : colour.ToGray16() / 65535.0;
            r = {kSpaceGrayscale, {to16(g * 65535.0), 0, 0, 0}};
            return true;
        }
        default:
            return false;
    }
}

}  // namespace PSD

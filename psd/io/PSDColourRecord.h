// The 10-byte colour record of resources, legacy effects, gradients and the photo filter: a colour
// space, then four 16-bit components.
#pragma once

#include <cstdint>

#include "host/kernel/Stream.h"
#include "host/renderer/Colour.h"
#include "psd/io/PSDIO.h"

namespace PSD {

// Components of a colour record as stored: space, then four 16-bit values.
struct ColourRecord {
    uint16_t space = 0;
    uint16_t c[4] = {};
};

constexpr uint16_t kSpaceRGB = 0, kSpaceHSB = 1, kSpaceCMYK = 2, kSpaceLab = 7, kSpaceGrayscale = 8;

// The host colour of a record; null for a space outside the five known ones.
Kernel::Consolidated<Renderer::Colour> DecodeColourRecord(ColourRecord const& r);
// Reads a record; an unknown space stores "Unknown colour space" with the space as detail.
[[nodiscard]] bool ReadColor(Kernel::InStream& stream, Kernel::Consolidated<Renderer::Colour>& out,
                             PSDLoadData& ld);
// The record that reads back to the colour (the inverse of DecodeColourRecord); false for a colour
// the record cannot hold.
bool EncodeColourRecord(Renderer::Colour const& colour, ColourRecord& r);

}  // namespace PSD

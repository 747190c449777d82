// TIFF files through libtiff: opening one held in a stream, and reading its image as samples.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"

typedef struct tiff TIFF;

namespace Raster {

// Closes the file when it goes.
struct TIFFCloser {
    void operator()(TIFF* t) const noexcept;
};
using TIFFPtr = std::unique_ptr<TIFF, TIFFCloser>;

// Opens the TIFF file the stream holds (from its start) for reading; the handle keeps the stream
// alive. libtiff's own messages are silenced. Null when the file does not open.
TIFFPtr OpenTIFF(Kernel::Counted<Kernel::InStreamSeekable> const& stream);

// The first image of the file, every sample interleaved, rows top to bottom, samples in host
// byte order (1-bit samples one per byte, 0 or 1). JPEG-compressed YCbCr arrives as RGB.
struct TIFFSamples {
    uint32_t width = 0, height = 0;
    uint16_t samplesPerPixel = 0, bitsPerSample = 0, sampleFormat = 1, photometric = 0;
    std::vector<uint8_t> data;
};
[[nodiscard]] bool ReadTIFFSamples(TIFF* tiff, TIFFSamples& out, std::string* error = nullptr);

}  // namespace Raster

// Bitmaps of a document written as PNG files, shared by export and render.
#pragma once

#include <filesystem>
#include <string>

#include "host/raster/Bitmap.h"
#include "psd/file/PSDFile.h"

namespace zuzodoriv {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// A bitmap in a form PNG takes: RGB and grey as they are, indexed colour through its palette,
// CMYK and Lab through the document's profile to RGB, float clamped to 16 bits, float masks to
// 16-bit grey.
BitmapRef ForPNG(BitmapRef const& bm, PSD::PSDFile const& doc);

// Writes bm (converted as needed) to path; false with the reason in error.
bool WritePNG(BitmapRef const& bm, PSD::PSDFile const& doc, std::filesystem::path const& path,
              std::string& error);

}  // namespace zuzodoriv

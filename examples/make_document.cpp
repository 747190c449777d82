// make_document OUT.psd: builds a 256 x 256 RGB document with two layers (an opaque backdrop and
// a half-transparent disc above it) and saves it.
#include <cstdint>
#include <iostream>
#include <string>

#include "host/raster/Bitmap.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDSaveFile.h"
#include "psd/layer/PSDLayer.h"

namespace {

constexpr uint32_t kSide = 256;

// A layer of the given rectangle whose pixels come from shade(x, y, rgba).
template <class Shade>
Kernel::Counted<PSD::PSDLayer> MakeLayer(char const* name, int32_t left, int32_t top, uint32_t w,
                                         uint32_t h, Shade shade) {
    auto bitmap = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA8);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) shade(x, y, bitmap->GetRow(y) + 4 * size_t(x));
    Kernel::Counted<PSD::PSDLayer> layer(new PSD::PSDLayer(PSD::PSDLayer::kNormal, name));
    layer->m_left = left;
    layer->m_top = top;
    layer->m_right = left + int32_t(w);
    layer->m_bottom = top + int32_t(h);
    layer->m_bitmap = bitmap;
    return layer;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_document OUT.psd\n";
        return 2;
    }
    auto doc = PSD::PSDFile::CreateEmpty(kSide, kSide, false, Raster::Format::RGBA8, nullptr, nullptr);
    // Layers are added bottom first.
    doc->AddLayer(MakeLayer("Backdrop", 0, 0, kSide, kSide, [](uint32_t x, uint32_t y, uint8_t* p) {
        p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = 160, p[3] = 255;
    }));
    doc->AddLayer(MakeLayer("Disc", 64, 64, 128, 128, [](uint32_t x, uint32_t y, uint8_t* p) {
        int dx = int(x) - 64, dy = int(y) - 64;
        bool inside = dx * dx + dy * dy < 64 * 64;
        p[0] = 255, p[1] = 255, p[2] = 255, p[3] = inside ? 128 : 0;
    }));
    std::string message;
    // RLE PSD; a partial file is renamed over the target only once the save succeeded.
    if (PSD::SaveToFile(*doc, argv[1], {}, message) !=
        PSD::SaveFileStatus::Saved) {
        std::cerr << message << "\n";
        return 1;
    }
    return 0;
}

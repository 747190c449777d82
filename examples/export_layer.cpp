// export_layer FILE N OUT.png: layer record N (as `zuzodoriv info --json` numbers them, bottom
// first) as a PNG, converted to RGB with the document's profile when it is CMYK or Lab.
#include <iostream>
#include <string>

#include "host/kernel/Stream.h"
#include "host/raster/ICC.h"
#include "host/raster/PNG.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/layer/PSDLayer.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: export_layer FILE N OUT.png\n";
        return 2;
    }
    std::string message;
    PSD::PSDReport report;
    auto doc = PSD::OpenFile(argv[1], {}, report, message);
    if (!doc) {
        std::cerr << argv[1] << ": " << message << "\n";
        return 1;
    }
    size_t n = std::stoul(argv[2]);
    if (n >= doc->m_layers.size() || !doc->m_layers[n]) {
        std::cerr << argv[1] << ": no layer " << n << "\n";
        return 1;
    }
    // Pixels decode on this first request.
    Kernel::Counted<Raster::DynamicBitmap> bitmap;
    if (!doc->m_layers[n]->GetBitmap(bitmap, report) || !bitmap) {
        std::cerr << argv[1] << ": layer " << n << " has no pixels\n";
        return 1;
    }
    Raster::ConvertToRGBAOptions convert;
    convert.profile = doc->m_iccProfile;
    convert.depth = doc->m_depth == 8 ? 8 : 16;
    auto rgba = Raster::ConvertToRGBA(*bitmap, convert);
    std::string why;
    auto out = Kernel::FileOutStream::Create(argv[3], &why);
    if (!rgba || !out || !Raster::WritePNGBitmap(*out, *rgba, {}, &why) || !out->Close()) {
        std::cerr << argv[3] << ": " << why << "\n";
        return 1;
    }
    return 0;
}

#include "psd/io/PSDParseData.h"

namespace PSD {

char const* ColourModeName(uint32_t mode) {
    switch (mode) {
        case 0: return "Bitmap";
        case 1: return "Grayscale";
        case 2: return "Indexed";
        case 3: return "RGB";
        case 4: return "CMYK";
        case 7: return "Multichannel";
        case 8: return "Duotone";
        case 9: return "LAB";
        default: return "Unknown";
    }
}

namespace {

struct ColourModeKeyEntry {
    uint32_t mode;
    char const* key;
};

constexpr ColourModeKeyEntry kColourModeKeys[] = {
    {0, "bitmap"}, {1, "grayscale"},    {2, "indexed"}, {3, "rgb"},
    {4, "cmyk"},   {7, "multichannel"}, {8, "duotone"}, {9, "lab"},
};

}  // namespace

char const* ColourModeKey(uint32_t mode) {
    for (auto const& e : kColourModeKeys)
        if (e.mode == mode) return e.key;
    return nullptr;
}

bool ColourModeFromKey(std::string const& key, uint32_t& mode) {
    for (auto const& e : kColourModeKeys)
        if (key == e.key) {
            mode = e.mode;
            return true;
        }
    return false;
}

unsigned ColourChannelCount(uint32_t mode, bool withTransparency, bool forQueries) {
    unsigned n;
    switch (mode) {
        case 0:
        case 1:
        case 2:
        case 7: n = 1; break;
        case 3:
        case 9: n = 3; break;
        case 4: n = 4; break;
        case 8: n = (forQueries || withTransparency) ? 1 : 0; break;
        default: n = 0; break;
    }
    return n + (withTransparency ? 1 : 0);
}

}  // namespace PSD

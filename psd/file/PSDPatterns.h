// The document's patterns ("Patt", "Pat2", "Pat3" blocks): each pattern's name, identifier and
// pixels, which pattern fills, overlays and strokes tile their area with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/String.h"
#include "psd/file/PSDFile.h"

namespace PSD {

struct PSDPattern {
    String m_name;
    String m_id;               // what fills and effects name the pattern by
    uint32_t m_colourMode = 0; // the mode its samples are in (an indexed one is expanded to RGB)
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    // Colour samples 0..1, one plane per channel of the mode, rows top down.
    std::vector<std::vector<float>> m_channels;
    std::vector<float> m_alpha;  // empty when the pattern is opaque

    float Sample(size_t channel, uint32_t x, uint32_t y) const {
        return m_channels[channel][size_t(y) * m_width + x];
    }
};

// Reads one patterns block body: every pattern in it, its pixels decoded (without pixels, only
// names, identifiers, sizes and modes, and no channel is checked). False with the reason in error
// when the body is damaged; the patterns read before the damage are kept.
[[nodiscard]] bool ParsePatterns(uint8_t const* data, size_t size, std::vector<PSDPattern>& out,
                                 std::string& error, bool pixels = true);

// Every pattern the document's blocks hold, in file order; reasons for the blocks that could not
// be read land in errors.
std::vector<PSDPattern> ReadDocumentPatterns(PSDFile const& doc, std::vector<std::string>& errors,
                                             bool pixels = true);

}  // namespace PSD

// The document's patterns ("Patt", "Pat2", "Pat3" blocks): each pattern's name, identifier and
// pixels, which pattern fills, overlays and strokes tile their area with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
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

// Decides from a pattern's header (name, identifier, size and mode; no pixels yet) and its place
// in the list being read into whether its pixels are decoded.
using PatternWanted = std::function<bool(size_t index, PSDPattern const& header)>;
inline bool EveryPatternsPixels(size_t, PSDPattern const&) {
    return true;
}
// For listings: names, identifiers, sizes and modes alone.
inline bool NoPatternsPixels(size_t, PSDPattern const&) {
    return false;
}

// Reads one patterns block body: every pattern in it, the pixels of those wanted decoded (the
// others keep only names, identifiers, sizes and modes, and their channels are not checked).
// False with the reason in error when the body is damaged; the patterns read before the damage
// are kept.
[[nodiscard]] bool ParsePatterns(uint8_t const* data, size_t size, std::vector<PSDPattern>& out,
                                 std::string& error,
                                 PatternWanted const& wanted = EveryPatternsPixels);

// Every pattern the document's blocks hold, in file order, the pixels of those wanted decoded;
// reasons for the blocks that could not be read land in errors.
std::vector<PSDPattern> ReadDocumentPatterns(PSDFile const& doc, std::vector<std::string>& errors,
                                             PatternWanted const& wanted = EveryPatternsPixels);

// Checks a change set's {"pattern": {"id": ...}} (of an effect, a fill or a stroke) against the
// document before EffectWithChanges or AdjustmentWithChanges take it, and fills in the pattern's
// name when not given: a fill naming a pattern the document lacks would draw nothing. False, with
// why, when the document holds no pattern of that id; a set without such a field passes as it is.
[[nodiscard]] bool PatternFromDocument(PSDFile const& doc, nlohmann::json& changes,
                                       std::string& why);

}  // namespace PSD

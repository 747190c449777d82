// A layer's effects as JSON, the form `info --json` prints and the Python module returns: one
// field list for both, with the names and units tools rely on (opacity and percentages in
// percent, angles in degrees, lengths in pixels, colours as {"model", "values"}).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "host/kernel/String.h"
#include "host/renderer/Colour.h"
#include "psd/effects/PSDLayerEffects.h"

namespace PSD {

// A stored string as JSON text: without the NUL the editor often ends it with, and with any byte
// that is not UTF-8 shown as U+FFFD (identifiers come from the file as bytes).
std::string JsonText(Kernel::String8 const& s);
// {"model": "rgb"|"cmyk"|"lab"|"grayscale"|"hsb", "values": [...]}; null without a colour.
nlohmann::ordered_json ColourJson(Kernel::Consolidated<Renderer::Colour> const& colour);
nlohmann::ordered_json GradientJson(PSDGradient const& g);
nlohmann::ordered_json ContourJson(PSDContour const& c);
nlohmann::ordered_json EffectJson(PSDEffect const& e);
// The effects list, in the library's order.
nlohmann::ordered_json EffectsJson(PSDLayerEffects const& effects);

}  // namespace PSD

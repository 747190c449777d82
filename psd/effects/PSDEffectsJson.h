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

// The colour of a {"model", "values"} object as ColourJson gives it; null, with why, otherwise.
Kernel::Consolidated<Renderer::Colour> ColourFromJson(nlohmann::json const& j, std::string& why);
// Sets the fields of a gradient's JSON form that changes gives (name, smoothness, color_stops,
// transparency_stops, and noise only to make a noise gradient custom); stop lists are given
// whole, at least two stops each. False, with why and the gradient unchanged, otherwise.
bool GradientWithChanges(PSDGradient& gradient, nlohmann::json const& changes, std::string& why);
// Sets the fields of a contour's JSON form that changes gives: "name" and "points" ([input,
// output] pairs from 0 to 255, two to 64 of them, inputs all different; sorted by input), and
// "default" only as the points make it. False, with why and the contour unchanged, otherwise.
bool ContourWithChanges(PSDContour& contour, nlohmann::json const& changes, std::string& why);
// A new effect of a type as EffectJson names it ("DropShadow", "InnerShadow", "OuterGlow",
// "InnerGlow", "BevelEmboss", "ColorOverlay", "GradientOverlay", "PatternOverlay", "Stroke",
// "Satin"), with the editor's defaults (a gradient overlay's is black to white; a pattern
// overlay names no pattern until one of the document's is set); null for other names.
Kernel::Counted<PSDEffect> NewEffect(std::string const& typeName);
// The editor's first gradient: black to white, opaque from end to end.
void DefaultGradient(PSDGradientDesc& gradient);
// A copy of the effect with the fields of changes set, in the names and units EffectJson gives
// them ("type" may be given when it is the effect's own); a "gradient" as GradientWithChanges
// reads it, a contour as ContourWithChanges does, a "pattern" by its {"id", "name"} (whether the
// document holds it is for PatternFromDocument to check). Null, with why,
// for a field the effect does not have or cannot set and for a value outside the editor's range:
// the effect is then unchanged.
Kernel::Counted<PSDEffect> EffectWithChanges(PSDEffect const& e, nlohmann::json const& changes,
                                             std::string& why);

}  // namespace PSD

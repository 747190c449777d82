// An adjustment or fill as JSON, the form `info --json` prints and the Python module returns.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "psd/adjustments/PSDAdjustment.h"

namespace PSD {

// {"kind": <the layer kind>, ...settings as stored unless named}.
nlohmann::ordered_json AdjustmentJson(PSDAdjustment const& adjustment);
// A copy of the adjustment or fill with the fields of changes set, in the names and units
// AdjustmentJson gives them ("kind" may be given when it is its own; level records and the lists
// of the channel mixer and selective colour replace the first records; a "gradient" as
// GradientWithChanges reads it; curves' "channels" as whole lists of points; a colour lookup's
// "table" as {"format": "cube" or "3dl", "data": the file's text, "name"}). Null, with why, for a
// field it does not have or cannot set, a value outside the editor's range, or a body this
// library did not read: the adjustment is then unchanged.
// An adjustment or fill of a kind as AdjustmentJson names it ("levels", "curves", ...,
// "solidcolorfill", "gradientfill", "patternfill"), with the settings the editor gives a new layer
// of that kind in a document of this many colour channels (a solid fill black, a gradient fill
// and a gradient map black to white; a pattern fill names no pattern until one is set); null for
// another name.
Kernel::Counted<PSDAdjustment> NewAdjustment(std::string const& kind, unsigned colourChannels);
// The kinds NewAdjustment makes, the adjustments first and the fills last.
std::vector<std::string> const& NewAdjustmentKinds();
Kernel::Counted<PSDAdjustment> AdjustmentWithChanges(PSDAdjustment const& adjustment,
                                                     nlohmann::json const& changes,
                                                     std::string& why);

}  // namespace PSD

// An adjustment or fill as JSON, the form `info --json` prints and the Python module returns.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/adjustments/PSDAdjustment.h"

namespace PSD {

// {"kind": <the layer kind>, ...settings as stored unless named}.
nlohmann::ordered_json AdjustmentJson(PSDAdjustment const& adjustment);

}  // namespace PSD

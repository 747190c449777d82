// A type layer's text as JSON, the form `info --json` prints, `export --text` writes and the
// Python module returns: the text, its character and paragraph runs, frame, transform and warp.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/adjustments/PSDAdjustmentTypeTool.h"

namespace PSD {

// Runs count UTF-16 code units of "content"; sizes and lengths are in points as stored.
nlohmann::ordered_json TextJson(PSDAdjustmentTypeTool const& tool);

}  // namespace PSD

// A type layer's text as JSON, the form `info --json` prints, `export --text` writes and the
// Python module returns: the text, its character and paragraph runs, frame, transform and warp.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/adjustments/PSDAdjustmentTypeTool.h"

namespace PSD {

// Runs count UTF-16 code units of "content"; sizes and lengths are in points as stored.
nlohmann::ordered_json TextJson(PSDAdjustmentTypeTool const& tool);

// Sets the fields of a change set, named and scaled as TextJson's runs give them ("font",
// "size", "color", "faux_bold", "faux_italic", "tracking", "leading", "auto_leading",
// "horizontal_scale", "vertical_scale", "baseline_shift", "underline", "strikethrough"), on the
// characters from start for length UTF-16 units of the content (to its end for npos). False,
// with why, when a field is unknown or out of the editor's range, the range lies outside the
// text, or the layer holds no engine data; the layer is then unchanged.
bool SetTextStyle(PSDAdjustmentTypeTool& tool, nlohmann::json const& changes, size_t start,
                  size_t length, ParseData const& options, std::string& why);
// The same for the paragraphs the range touches, with the fields of TextJson's paragraphs
// ("justification" as the engine numbers it, "first_line_indent", "start_indent", "end_indent",
// "space_before", "space_after", "auto_leading").
bool SetParagraphStyle(PSDAdjustmentTypeTool& tool, nlohmann::json const& changes, size_t start,
                       size_t length, ParseData const& options, std::string& why);

}  // namespace PSD

// Paths, vector masks, vector strokes and live shapes as JSON: the form `info --json` prints and
// the Python module returns.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "psd/vector/PSDPath.h"

namespace PSD {

// [{"closed", "operation", "knots": [[[px, py], [ax, ay], [lx, ly]], ...]}, ...] in document pixels.
nlohmann::ordered_json SubpathsJson(PSDPath const& path);
// The document's paths: working, saved and clipping; an empty list when it has none.
nlohmann::ordered_json PathsJson(PSDFile const& doc);
// Null when the layer has no such data.
nlohmann::ordered_json VectorMaskJson(PSDLayer const& layer);
nlohmann::ordered_json VectorStrokeJson(PSDLayer const& layer, double resolution);
nlohmann::ordered_json LiveShapeJson(PSDLayer const& layer);

}  // namespace PSD

// A layer's raster masks and their densities and feathers as JSON: the form `info --json` prints
// and the Python module returns.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/layer/PSDLayer.h"

namespace PSD {

// {"top", "left", "bottom", "right", "default_colour", "relative", "disabled", "invert"}; null
// when the mask is not there.
nlohmann::ordered_json MaskJson(PSDLayerMask const& mask);
// {"user_mask_density", "user_mask_feather", "vector_mask_density", "vector_mask_feather"}: the
// density (0..255) and feather (pixels) of the pixel mask and of the vector mask, each null unless
// the record gives it; null when it gives none.
nlohmann::ordered_json MaskParametersJson(PSDLayer const& layer);

}  // namespace PSD

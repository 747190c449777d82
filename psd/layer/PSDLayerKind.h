// What a layer record is, as a stable lower-case name shared by every view of a document
// (`info --json`, the Python module): pixel, group, type, shape, a fill, an adjustment, ...
#pragma once

#include "psd/layer/PSDLayer.h"

namespace PSD {

// First match wins: a group's end marker gives null; open or closed folders "group" (or
// "artboard" with artboard data); then type, smart-object, adjustment, shape and fill blocks;
// otherwise "pixel". The brightness/contrast settings block ("CgEd") beside another adjustment
// belongs to that adjustment; the legacy "brit" block alone is "brightnesscontrast".
char const* LayerKind(PSDLayer const& layer);

}  // namespace PSD

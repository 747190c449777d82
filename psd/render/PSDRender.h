// Drawing a document from its layers: the layer tree composited bottom to top, as the editor
// would, into a bitmap of the document's colour mode and depth.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Progress.h"
#include "host/raster/Bitmap.h"
#include "psd/file/PSDFile.h"

namespace PSD {

// What to draw and how.
struct PSDRenderOptions {
    std::ptrdiff_t layer = -1;  // only this record of the layer list (a group: its contents)
    String group;               // only the first group of this name
    bool effects = true;        // false: layer effects are left out
    double scale = 1.0;         // output size as a fraction of the document's (area averaged)
    Kernel::Counted<Kernel::ProgressReporter> progress;  // told of each finished band
    bool const* abort = nullptr;  // set to stop; the render then fails
    // ZIP layers inflate fastest whole; once their decoded bytes would pass this, the others
    // inflate a band of rows at a time (slower), so that memory stops growing with their number.
    uint64_t wholeZipBytes = uint64_t(64) << 20;
};

// A render: the bitmap (the document's pixel format with alpha, colour not premultiplied) and
// each feature of the document that was not drawn or only approximated, named once.
struct PSDRenderResult {
    Kernel::Counted<Raster::DynamicBitmap> bitmap;
    std::vector<std::string> undrawn;
};

// Renders the document. False with the reason in `error` for a colour mode the renderer does not
// draw, a layer or group not found, pixels that do not decode, an abort, or memory that cannot be
// held.
[[nodiscard]] bool RenderDocument(PSDFile const& doc, PSDRenderOptions const& options,
                                  PSDRenderResult& result, std::string& error);

// How close a render is to the composite the file stores: the fraction of pixels whose every
// channel lies within `levels` (of 255) of it, the render's colour put over white as the stored
// one is (and its alpha compared when the file stores transparency). Negative when the two
// cannot be compared.
double CompareWithStoredComposite(PSDFile const& doc, Raster::DynamicBitmap const& render,
                                  int levels = 2);

// Whether the stored composite stands for nothing: the file says it is not real (saved without
// "maximise compatibility"), or no resource says it is real while it is all zero (black or
// transparent) and the document has layers: a writer's placeholder. composite: the stored
// composite when the caller has decoded it already.
bool StoredCompositeIsBlank(PSDFile const& doc, Raster::DynamicBitmap const* composite = nullptr);

}  // namespace PSD

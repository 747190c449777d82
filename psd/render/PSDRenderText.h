// Type layers drawn from their text: the glyphs of every item in their fills, placed by the
// layer's transform, as the layer's own pixels. Used once the text has been replaced, when the
// pixels the editor stored show the old text.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/raster/Bitmap.h"

namespace PSD {

class PSDAdjustmentTypeTool;
class PSDFile;
class PSDLayer;
class PSDText;

struct DrawnText {
    // In the layer format of the document's mode and depth; null when no glyph shows.
    Kernel::Counted<Raster::DynamicBitmap> bitmap;
    Kernel::RectT<int32_t> bounds;  // where the bitmap sits in the document
    // Fonts the text asks for that are not installed: drawn with a substitute.
    std::vector<std::string> substituted;
    size_t missingGlyphs = 0;  // characters the fonts used have no glyph for
    // Left, top, right, bottom in the text's own units, before its transform: the glyphs' box,
    // and for point text the box of its lines (from each line's ascent to its descent). Zero
    // when no glyph shows.
    std::array<double, 4> textInk{}, textLayout{};
    bool pointText = false;
};

// The text of the type tool block drawn for a document of this mode, depth and size (glyphs are
// kept within the canvas and as far again around it). False, with why, when the text was not
// converted (warped, unreadable engine data) or the mode has no colour to draw in.
bool DrawTypeText(PSDAdjustmentTypeTool const& tool, uint32_t colourMode, uint16_t depth,
                  uint32_t width, uint32_t height, DrawnText& out, std::string& why);
// The same for converted text whose sizes are in the units its transform maps to pixels; aliased
// text (the layer's anti-aliasing "none") covers whole pixels or none.
bool DrawText(PSDText const& text, uint32_t colourMode, uint16_t depth, uint32_t width,
              uint32_t height, DrawnText& out, std::string& why, bool aliased = false);

// Replaces the type layer's pixels by its text drawn, and its bounds by theirs (a layer without
// visible glyphs becomes empty); the type block's own boxes follow the new text. False, with why,
// when the layer is not a type layer or its text cannot be drawn; the layer is then unchanged.
bool RedrawTypeLayer(PSDFile const& doc, PSDLayer& layer, std::string& why,
                     std::vector<std::string>* substituted = nullptr,
                     size_t* missingGlyphs = nullptr);

}  // namespace PSD

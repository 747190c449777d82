// The glyph outlines of composed text, for drawing type: each style run's glyphs as closed
// contours in the story's coordinates (y down), with the fill the run paints in.
#pragma once

#include <vector>

#include "host/raster/Rasterise.h"
#include "host/story/Compositor.h"

namespace Story {

struct OutlinedRun {
    Kernel::Counted<Renderer::Fill const> fill;
    std::vector<std::vector<Raster::CubicSegment>> contours;  // non-zero winding
    // Where each glyph's (or line's) contours end: each piece is whole on its own, so long runs
    // can be drawn piece by piece.
    std::vector<size_t> pieceEnds;
};

struct OutlinedText {
    std::vector<OutlinedRun> runs;
    // PostScript names (or families) asked for but not installed, drawn with a substitute.
    std::vector<String8> substituted;
    // Characters no font found has a glyph for: drawn as the font's missing-glyph box.
    size_t missingGlyphs = 0;
};

// The outlines of every visible glyph of the column's lines, with underlines and strike-throughs,
// placed where the compositor put each character. Glyphs of a font that cannot be loaded at all
// are left out and the font named among the substitutes.
OutlinedText OutlineColumn(Story const& story, ComposedColumn const& column);

}  // namespace Story

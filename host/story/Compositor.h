// Line layout of a story in its frame: enough to tell where each line and character sits.
// Advances come from the fonts through FreeType and HarfBuzz; a font that is not installed is
// replaced by the closest one fontconfig offers.
#pragma once

#include <vector>

#include "host/story/Story.h"

namespace Story {

// Horizontal metrics of one font at one size, in pixels.
struct FontMetrics {
    double ascent = 0, descent = 0;  // both positive
    double dHeight = 0;              // the top of "d" over the baseline
    String8 file;                    // the font file used; empty when no font could be loaded
    bool exact = false;              // the font asked for, not a substitute
};

// The metrics of the font with this PostScript name, or else of the family (or its fallback),
// at this size, and the advance of each code unit of text (zero for the second unit of a pair
// and for marks).
FontMetrics MeasureText(String8 const& postscriptName, String8 const& family, double size,
                        std::u16string_view text, std::vector<double>& advances, bool kern = true);

// How a character shows under its caps and baseline settings: the code unit drawn, the factor on
// its size, and its rise above the baseline as a fraction of the size (up positive). Small caps
// are capitals at the document's small-cap size, superscript and subscript at theirs, raised or
// lowered by their position.
struct ShownChar {
    char16_t unit;
    double scale = 1.0;
    double rise = 0.0;
};
ShownChar ShowChar(GlyphAtts const& g, char16_t c, ScriptProportions const& p = {});

// Paragraph and line breaks: no advance, nothing drawn.
inline bool IsBreak(char16_t c) {
    return c == kParagraphBreak || c == kLineSeparator || c == u'\n';
}

// Where the run of characters shaped together that starts at i ends (at most at end): the same
// attribute set and shown size, and never between the halves of a pair.
size_t ShapedRunEnd(Story const& story, size_t i, size_t end);

// One laid-out line: the characters from start to end (a break ending the line included).
struct ComposedLine {
    size_t start = 0, end = 0;
    double x = 0, baseline = 0;  // where the line's first character sits on the baseline
    double width = 0;            // of the visible characters
    double ascent = 0, descent = 0, leading = 0;
    double dHeight = 0;            // the tallest "d" of the line's fonts: box text's first baseline
    std::vector<double> advances;  // per character of the line
};

// A position in the composed text.
class ComposedPos {
public:
    ComposedPos() = default;
    explicit ComposedPos(Kernel::PointT<double> base) : m_base(base) {}
    // The point on the baseline where the character starts.
    Kernel::PointT<double> GetBasePosition() const { return m_base; }

private:
    Kernel::PointT<double> m_base;
};

class ComposedColumn {
public:
    ComposedPos GetPos(StoryPos const& pos) const;
    std::vector<ComposedLine> const& GetLines() const { return m_lines; }
    // From the first line's top to the last line's bottom.
    double GetHeight() const;

    std::vector<ComposedLine> m_lines;
};

class Compositor {
public:
    Compositor(Story const& story, Frame const* frame) : m_story(story), m_frame(frame) {}
    // Lays the story out; box text wraps at the frame's width.
    void Compose();
    ComposedColumn const& GetFirstColumn() const { return m_column; }

private:
    Story const& m_story;
    Frame const* m_frame;
    ComposedColumn m_column;
};

}  // namespace Story

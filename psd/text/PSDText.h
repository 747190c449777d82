// A type layer's text in the text model: its placed pieces, and the layer's geometry.
#pragma once

#include <array>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/story/Story.h"

namespace PSD {

// One placed piece of text: a story and the frame it sits in.
class PSDTextItem {
public:
    PSDTextItem() = default;
    PSDTextItem(Kernel::Counted<Story::Story> story, Kernel::Counted<Story::Frame> frame)
        : m_story(std::move(story)), m_frame(std::move(frame)) {}

    // The alignment of the first paragraph (the model's numbering, Story::Alignment).
    int GetTextAlign() const;
    // From the top of the first line to the bottom of the last, as composed in the frame.
    double GetTextHeight() const;

    Kernel::Counted<Story::Story> m_story;
    Kernel::Counted<Story::Frame> m_frame;
};

class PSDText : public Kernel::Countable {
public:
    std::vector<PSDTextItem> m_items;
    std::array<double, 6> m_transform{1, 0, 0, 1, 0, 0};  // xx, xy, yx, yy, tx, ty
    std::array<double, 4> m_bounds{};                      // left, top, right, bottom
    std::array<double, 4> m_boundingBox{};
    std::array<double, 4> m_boundsBox{};
    // The frame the engine data gives (point text keeps it when split into items).
    Kernel::Counted<Story::Frame> m_frame;
    // Pixels per point the sizes and indents were converted with (1 when kept in points).
    double m_scale = 1.0;
    // Box text (a column frame) rather than point text.
    bool IsBox() const;
};

}  // namespace PSD

// A shape layer's vector fill and stroke: one object filled by both blocks, written around the
// layer's vector mask block.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "psd/io/PSDBlendMode.h"

namespace PSD {

struct ParseData;
struct PSDLoadData;
struct SaveData;
class Descriptor;
class DescriptorItem;
class PSDAdjustment;

// The stroke of a shape layer: its settings and the names they have in descriptors.
class PSDVectorStroke : public Kernel::Countable {
public:
    PSDVectorStroke();
    ~PSDVectorStroke() override;

    // Numbers fixed by the descriptor dictionaries of the stroke style.
    enum class LineCapType : uint32_t { Butt = 0, Round = 1, Square = 2 };
    enum class LineJoinStyle : uint32_t { Miter = 0, Round = 1, Bevel = 2 };
    enum class LineAlignment : uint32_t { Inside = 0, Center = 1, Outside = 2 };

    // The fill block: a fill key and that fill's body.
    [[nodiscard]] bool ParseFill(Kernel::InStreamSeekable& stream, ParseData& pd);
    // The stroke block: a descriptor of the stroke style.
    [[nodiscard]] bool ParseStroke(Kernel::InStreamSeekable& stream, ParseData& pd);
    [[nodiscard]] bool ParseLineDashSet(DescriptorItem const& item, PSDLoadData& ld);
    [[nodiscard]] bool ParseContent(DescriptorItem const& item, PSDLoadData& ld);
    // Whole blocks: "8BIM", key, length, body. A stroke without a fill writes a white solid fill.
    [[nodiscard]] bool SaveFill(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    [[nodiscard]] bool SaveStroke(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    [[nodiscard]] bool SaveLineDashSet(Descriptor& d) const;
    [[nodiscard]] bool SaveContent(Descriptor& d, SaveData const& sd) const;

    // Fields, in order.
    bool m_strokeEnabled = false;
    bool m_fillEnabled = false;
    bool m_scaleLock = false;
    bool m_strokeAdjust = false;
    LineCapType m_lineCap = LineCapType::Butt;
    LineAlignment m_lineAlignment = LineAlignment::Center;
    LineJoinStyle m_lineJoin = LineJoinStyle::Round;
    BlendMode m_blendMode = BlendMode::Normal;
    double m_lineWidth = 1.0;   // points
    double m_dashOffset = 0.0;  // points
    double m_miterLimit = 100.0;
    double m_opacity = 1.0;      // 0..1
    double m_resolution = 72.0;  // pixels per inch
    std::vector<double> m_dashSet;
    Kernel::Counted<PSDAdjustment> m_content;  // the stroke's paint: solid colour or gradient
    Kernel::Counted<PSDAdjustment> m_fill;     // the shape's fill: solid colour, gradient or pattern
};

}  // namespace PSD

// Live-shape origination data of a shape layer: how each shape of its vector mask was drawn.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/Stream.h"
#include "host/kernel/Units.h"

namespace PSD {

struct ParseData;
struct SaveData;
class PSDReport;
class Descriptor;
class DescriptorItem;

// One shape's origin: kind, bounding box, and in the subclasses the parameters that made it.
class PSDVectorOriginationData : public Kernel::Countable {
public:
    using List = std::vector<Kernel::Counted<PSDVectorOriginationData const>>;

    // Stored kinds; the file writes kind 3 as 5.
    enum Kind : int32_t { kNone = 0, kRectangle = 1, kRoundedRectangle = 2, kEllipse = 3, kLine = 4 };

    PSDVectorOriginationData() = default;
    PSDVectorOriginationData(PSDVectorOriginationData const&) = default;

    // One block body (version 1, then the descriptor); one object per list element is appended.
    [[nodiscard]] static bool Parse(Kernel::InStreamSeekable& stream, List& out, ParseData& pd);
    [[nodiscard]] static bool ParseDescriptors(DescriptorItem const& item, List& out, ParseData& pd);
    // The whole block for a non-empty list: "8BIM", "vogk", length, body padded to 4.
    [[nodiscard]] static bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd, List const& list);
    [[nodiscard]] virtual bool SaveItems(Descriptor& d) const;
    // A copy moved by (dx, dy) document pixels, with everything it places on the canvas.
    [[nodiscard]] virtual Kernel::Counted<PSDVectorOriginationData const> Translated(
        double dx, double dy) const;

    // Fields, in order.
    int32_t m_kind = kNone;
    Kernel::RectT<double> m_bounds;  // document pixels
    bool m_invalidated = false;
    int32_t m_index = 0;
    double m_resolution = 0.0;
    // The shape's items these fields do not hold (its box corners, its transform), in stored
    // order: written back after them, and moved with the shape. Null when there are none; shared
    // by copies, so replaced rather than changed.
    std::shared_ptr<Descriptor const> m_unmodelled;
};

class PSDVectorOriginationDataRRect : public PSDVectorOriginationData {
public:
    explicit PSDVectorOriginationDataRRect(PSDVectorOriginationData const& base) : PSDVectorOriginationData(base) {}
    [[nodiscard]] bool ParseRadii(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool SaveItems(Descriptor& d) const override;
    [[nodiscard]] Kernel::Counted<PSDVectorOriginationData const> Translated(
        double dx, double dy) const override;

    Kernel::UnitValue m_topRight, m_topLeft, m_bottomLeft, m_bottomRight;
};

class PSDVectorOriginationDataLine : public PSDVectorOriginationData {
public:
    explicit PSDVectorOriginationDataLine(PSDVectorOriginationData const& base) : PSDVectorOriginationData(base) {}
    [[nodiscard]] bool ParseStartPoint(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseEndPoint(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseLineWeight(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseArrowWidth(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseArrowLength(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseArrowConcavity(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseArrowStart(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseArrowEnd(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool SaveItems(Descriptor& d) const override;
    [[nodiscard]] Kernel::Counted<PSDVectorOriginationData const> Translated(
        double dx, double dy) const override;

    Kernel::PointT<double> m_start, m_end;
    double m_weight = 0.0;
    double m_arrowWidth = 0.0;
    double m_arrowLength = 0.0;
    int32_t m_arrowConcavity = 0;
    bool m_arrowStart = false;
    bool m_arrowEnd = false;
};

}  // namespace PSD

// Placed layers: the record a placed layer carries, naming the file embedded in or linked from
// the document by its unique identifier (the document keeps those files, see PSDLinkedData.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/io/PSDParseData.h"

namespace PSD {

// A placed layer's smart object: filled from the placed-layer block ("PlLd") and from the newer
// descriptor blocks ("SoLd", or "SoLE" for a file linked from outside), whichever the layer has.
class PSDSmartObject : public Kernel::Countable {
public:
    PSDSmartObject() = default;
    PSDSmartObject(PSDSmartObject const&) = default;
    PSDSmartObject& operator=(PSDSmartObject const&) = default;

    // A "PlLd" body. False means the block is ignored: wrong type or version, or a missing or
    // mistyped identifier or transform.
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd);
    // A "SoLd" or "SoLE" body (type "soLD", version 4 or 5, then a descriptor). The identifier
    // and transform fill in what a "PlLd" did not give.
    [[nodiscard]] bool ParseLayerData(uint32_t key, Kernel::InStreamSeekable& stream, ParseData& pd);

    // Moves the placed content by (dx, dy) document pixels: the corners held here, and those of
    // the stored blocks when they are written (MovedBody).
    void MoveBy(double dx, double dy);
    bool IsMoved() const { return m_moved.x != 0 || m_moved.y != 0; }
    // The keys of the stored blocks that hold corners: "PlLd", "SoLd" and "SoLE".
    static bool HoldsCorners(uint32_t key);
    // Moves, as MoveBy asked, every corner list a stored body of such a key holds (in fixer's
    // byte order); its other bytes stay.
    void MoveStoredCorners(uint32_t key, ByteOrderFixer const& fixer,
                           std::vector<uint8_t>& body) const;

    // The identifier of the embedded or linked file (PSDFile::GetLinkedLayerData).
    String m_uniqueId;
    // The placed content's four corners, x and y each, in document pixels, in stored order.
    std::array<double, 8> m_transform{};

    // What the blocks hold beside those. Page numbers are -1 where not stored.
    bool m_hasPlaced = false;     // a "PlLd" was read
    uint32_t m_type = 0;          // "plcL" or "soLD"
    uint32_t m_version = 0;       // 3 or 4
    int32_t m_page = -1;
    int32_t m_totalPages = -1;
    int32_t m_antiAlias = 0;      // version 3
    int32_t m_placedLayerType = 0;
    Descriptor m_warp;            // version 3: the warp after the transform (when readable)
    bool m_hasWarp = false;
    Descriptor m_placed;          // version 4: the whole descriptor
    uint32_t m_layerDataKey = 0;  // "SoLd" or "SoLE" when one was read
    uint32_t m_layerDataVersion = 0;
    Descriptor m_layerData;       // its descriptor
    String m_layerDataId;         // its "Idnt"
    std::array<double, 8> m_layerDataTransform{};      // its "Trnf"
    bool m_hasLayerDataTransform = false;
    std::array<double, 8> m_nonAffineTransform{};      // its "nonAffineTransform"
    bool m_hasNonAffineTransform = false;
    double m_width = 0.0;         // the placed content's own size ("Sz  "), 0 when not stored
    double m_height = 0.0;
    int32_t m_crop = -1;          // "Crop", the crop setting of placed pages
    String m_externalFile;        // "SoLE": the outside file's path or name, when stored

private:
    Kernel::PointT<double> m_moved{0, 0};  // since the blocks were read
};

}  // namespace PSD

// The layers of a document as a tree.
//
// A document lists its layers bottom to top, flat: a group is stored as an end marker (section
// type 3), then its children, then the group's own record (section type 1 or 2) above them.
// BuildLayerTree turns that list into nodes ordered top to bottom, each group holding its
// children in the same order. Unbalanced lists still give a tree: an end marker with no group
// open above it is dropped, and a group whose end marker is missing takes every layer below it
// up to the end of its enclosing group.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "host/kernel/Counted.h"
#include "psd/layer/PSDLayer.h"

namespace PSD {

class PSDFile;

// A layer in the tree as an editor shows it; groups have children.
struct PSDLayerNode {
    Kernel::Counted<PSDLayer> layer;  // the layer, or the group's own record
    size_t index = 0;                 // position in the document's layer list (0 = bottom)
    bool isGroup = false;
    // Groups only: the record that closes the group (null when missing), and the children, top
    // first.
    Kernel::Counted<PSDLayer> endMarker;
    size_t endMarkerIndex = 0;
    std::vector<PSDLayerNode> children;

    PSDLayerNode() = default;
    PSDLayerNode(PSDLayerNode&&) = default;
    PSDLayerNode& operator=(PSDLayerNode&&) = default;
    PSDLayerNode(PSDLayerNode const&) = default;
    PSDLayerNode& operator=(PSDLayerNode const&) = default;
    ~PSDLayerNode();
};

// Top-level nodes, top first. Null entries of the list are skipped.
std::vector<PSDLayerNode> BuildLayerTree(std::vector<Kernel::Counted<PSDLayer>> const& layers);
std::vector<PSDLayerNode> BuildLayerTree(PSDFile const& doc);

// Visits every node depth first, top to bottom, a group before its children; depth 0 at the top
// level. Returning false from the visitor skips that group's children.
void WalkLayerTree(std::vector<PSDLayerNode> const& nodes,
                   std::function<bool(PSDLayerNode const& node, unsigned depth)> const& visit);

// For every record of the document's list, the list index of the group it lies in (for an end
// marker, the group it closes); -1 at the top level and for records the tree leaves out.
std::vector<std::ptrdiff_t> LayerParents(PSDFile const& doc);

// The node of a layer record (a group's own record or end marker finds the group), depth first;
// null when the layer is not in the tree. parent, when given, receives the enclosing group's node
// (null at the top level).
PSDLayerNode const* FindLayerNode(std::vector<PSDLayerNode> const& nodes, PSDLayer const* layer,
                                  PSDLayerNode const** parent = nullptr);

}  // namespace PSD

// Building the layer tree from the flat, bottom-to-top layer list.
#include "psd/file/PSDLayerTree.h"

#include "psd/file/PSDFile.h"

namespace PSD {

PSDLayerNode::~PSDLayerNode() {
    // Take nested children apart level by level so a deep tree never recurses deeply.
    std::vector<PSDLayerNode> pending = std::move(children);
    while (!pending.empty()) {
        PSDLayerNode n = std::move(pending.back());
        pending.pop_back();
        for (auto& c : n.children) pending.push_back(std::move(c));
        n.children.clear();
    }
}

std::vector<PSDLayerNode> BuildLayerTree(std::vector<Kernel::Counted<PSDLayer>> const& layers) {
    std::vector<PSDLayerNode> roots;
    // Groups being filled, innermost last; each joins its parent when it closes.
    std::vector<PSDLayerNode> open;
    auto closeInnermost = [&] {
        PSDLayerNode group = std::move(open.back());
        open.pop_back();
        (open.empty() ? roots : open.back().children).push_back(std::move(group));
    };

    // The list is stored bottom first; the tree reads top first.
    for (size_t i = layers.size(); i-- > 0;) {
        auto const& layer = layers[i];
        if (!layer) continue;
        if (layer->IsGroupEnd()) {
            if (open.empty()) continue;  // a marker closing nothing
            open.back().endMarker = layer;
            open.back().endMarkerIndex = i;
            closeInnermost();
            continue;
        }
        PSDLayerNode node;
        node.layer = layer;
        node.index = i;
        node.isGroup = layer->IsGroupStart();
        if (node.isGroup)
            open.push_back(std::move(node));
        else
            (open.empty() ? roots : open.back().children).push_back(std::move(node));
    }
    // Groups whose end marker never came hold everything below them.
    while (!open.empty()) closeInnermost();
    return roots;
}

std::vector<PSDLayerNode> BuildLayerTree(PSDFile const& doc) {
    return BuildLayerTree(doc.m_layers);
}

void WalkLayerTree(std::vector<PSDLayerNode> const& nodes,
                   std::function<bool(PSDLayerNode const& node, unsigned depth)> const& visit) {
    // An explicit stack: a hostile file may nest groups thousands deep.
    struct Level {
        std::vector<PSDLayerNode> const* nodes;
        size_t next;
    };
    std::vector<Level> stack{{&nodes, 0}};
    while (!stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.nodes->size()) {
            stack.pop_back();
            continue;
        }
        PSDLayerNode const& n = (*top.nodes)[top.next++];
        unsigned depth = unsigned(stack.size() - 1);
        if (visit(n, depth) && !n.children.empty()) stack.push_back({&n.children, 0});
    }
}

std::vector<std::ptrdiff_t> LayerParents(PSDFile const& doc) {
    std::vector<std::ptrdiff_t> parents(doc.m_layers.size(), -1);
    auto tree = BuildLayerTree(doc);
    WalkLayerTree(tree, [&](PSDLayerNode const& n, unsigned) {
        if (!n.isGroup) return true;
        for (auto const& child : n.children) parents[child.index] = std::ptrdiff_t(n.index);
        if (n.endMarker) parents[n.endMarkerIndex] = std::ptrdiff_t(n.index);
        return true;
    });
    return parents;
}

namespace {

PSDLayerNode const* FindIn(std::vector<PSDLayerNode> const& nodes, PSDLayer const* layer,
                           PSDLayerNode const* enclosing, PSDLayerNode const** parent) {
    for (auto const& n : nodes) {
        if (n.layer.Get() == layer || (n.isGroup && n.endMarker.Get() == layer)) {
            if (parent) *parent = enclosing;
            return &n;
        }
        if (auto const* found = FindIn(n.children, layer, &n, parent)) return found;
    }
    return nullptr;
}

}  // namespace

PSDLayerNode const* FindLayerNode(std::vector<PSDLayerNode> const& nodes, PSDLayer const* layer,
                                  PSDLayerNode const** parent) {
    return FindIn(nodes, layer, nullptr, parent);
}

}  // namespace PSD

// Building the layer tree from the flat, bottom-to-top layer list.
#include "psd/layer/PSDLayerTree.h"

#include "psd/file/PSDFile.h"

namespace PSD {

std::vector<PSDLayerNode> BuildLayerTree(std::vector<Kernel::Counted<PSDLayer>> const& layers) {
    std::vector<PSDLayerNode> roots;
    // Open groups, innermost last, as paths of child indexes from the roots: nodes move when
    // their parent vector grows, so pointers would not stay valid.
    std::vector<std::vector<size_t>> open;

    auto container = [&]() -> std::vector<PSDLayerNode>& {
        std::vector<PSDLayerNode>* c = &roots;
        if (!open.empty())
            for (size_t k : open.back()) c = &(*c)[k].children;
        return *c;
    };
    auto nodeAt = [&](std::vector<size_t> const& path) -> PSDLayerNode& {
        std::vector<PSDLayerNode>* c = &roots;
        PSDLayerNode* n = nullptr;
        for (size_t k : path) {
            n = &(*c)[k];
            c = &n->children;
        }
        return *n;
    };

    // The list is stored bottom first; the tree reads top first.
    for (size_t i = layers.size(); i-- > 0;) {
        auto const& layer = layers[i];
        if (!layer) continue;
        if (layer->IsGroupEnd()) {
            if (open.empty()) continue;  // a marker closing nothing
            PSDLayerNode& group = nodeAt(open.back());
            group.endMarker = layer;
            group.endMarkerIndex = i;
            open.pop_back();
            continue;
        }
        PSDLayerNode node;
        node.layer = layer;
        node.index = i;
        node.isGroup = layer->IsGroupStart();
        auto& c = container();
        c.push_back(std::move(node));
        if (c.back().isGroup) {
            std::vector<size_t> path = open.empty() ? std::vector<size_t>() : open.back();
            path.push_back(c.size() - 1);
            open.push_back(std::move(path));
        }
    }
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

}  // namespace PSD

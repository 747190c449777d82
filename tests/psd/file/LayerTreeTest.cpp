// The layer tree built from the flat, bottom-first layer list.
#include <gtest/gtest.h>

#include <string>

#include "psd/layer/PSDLayer.h"
#include "psd/file/PSDLayerTree.h"

using namespace PSD;

namespace {

using List = std::vector<Kernel::Counted<PSDLayer>>;

// Builds a bottom-first list from a top-first description: "[name" opens a group, "]" closes
// it (the end marker), anything else is a plain layer.
List FromTopDown(std::vector<std::string> const& topDown) {
    List list;
    for (auto it = topDown.rbegin(); it != topDown.rend(); ++it) {
        std::string const& s = *it;
        if (s == "]")
            list.push_back(
                Kernel::MakeCounted<PSDLayer>(PSDLayer::kGroupEnd, String("</Layer group>")));
        else if (s[0] == '[')
            list.push_back(
                Kernel::MakeCounted<PSDLayer>(PSDLayer::kOpenGroup, String(s.substr(1))));
        else
            list.push_back(Kernel::MakeCounted<PSDLayer>(PSDLayer::kNormal, String(s)));
    }
    return list;
}

// The tree as text: names in visiting order, children in parentheses.
std::string Shape(std::vector<PSDLayerNode> const& nodes) {
    std::string out;
    for (auto const& n : nodes) {
        if (!out.empty()) out += ' ';
        out += std::string(n.layer->m_name);
        if (n.isGroup) out += "(" + Shape(n.children) + ")" + (n.endMarker ? "" : "!");
    }
    return out;
}

}  // namespace

TEST(LayerTree, FlatAndNested) {
    EXPECT_EQ(Shape(BuildLayerTree(List{})), "");
    EXPECT_EQ(Shape(BuildLayerTree(FromTopDown({"top", "middle", "bottom"}))), "top middle bottom");

    List list = FromTopDown({"a", "[G", "b", "[H", "c", "]", "d", "]", "e"});
    auto tree = BuildLayerTree(list);
    EXPECT_EQ(Shape(tree), "a G(b H(c) d) e");
    // Indexes point back into the bottom-first list; groups know their end marker.
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[0].index, 8u);
    EXPECT_EQ(tree[2].index, 0u);
    PSDLayerNode const& g = tree[1];
    EXPECT_TRUE(g.isGroup);
    EXPECT_EQ(g.index, 7u);
    EXPECT_EQ(g.endMarkerIndex, 1u);
    EXPECT_EQ(g.endMarker.Get(), list[1].Get());
    EXPECT_EQ(g.children[1].endMarkerIndex, 3u);

    // Empty groups and closed groups.
    list = FromTopDown({"[E", "]", "x"});
    list[2]->m_sectionType = PSDLayer::kClosedGroup;
    EXPECT_EQ(Shape(BuildLayerTree(list)), "E() x");
}

TEST(LayerTree, UnbalancedMarkers) {
    // An end marker with nothing open is dropped.
    EXPECT_EQ(Shape(BuildLayerTree(FromTopDown({"a", "]", "b"}))), "a b");
    // A group without its end marker takes the rest of its level.
    EXPECT_EQ(Shape(BuildLayerTree(FromTopDown({"[G", "a", "b"}))), "G(a b)!");
    EXPECT_EQ(Shape(BuildLayerTree(FromTopDown({"[G", "[H", "a", "]", "b"}))), "G(H(a) b)!");
    // Only markers.
    EXPECT_EQ(Shape(BuildLayerTree(FromTopDown({"]", "]"}))), "");
    // Null entries are passed over.
    List list = FromTopDown({"a", "b"});
    list.insert(list.begin() + 1, nullptr);
    EXPECT_EQ(Shape(BuildLayerTree(list)), "a b");
}

TEST(LayerTree, WalkOrderDepthAndPruning) {
    auto tree = BuildLayerTree(FromTopDown({"a", "[G", "b", "[H", "c", "]", "]", "d"}));
    std::string seen;
    WalkLayerTree(tree, [&](PSDLayerNode const& n, unsigned depth) {
        seen += std::string(n.layer->m_name) + std::to_string(depth) + " ";
        return true;
    });
    EXPECT_EQ(seen, "a0 G0 b1 H1 c2 d0 ");

    seen.clear();
    WalkLayerTree(tree, [&](PSDLayerNode const& n, unsigned) {
        seen += std::string(n.layer->m_name);
        return std::string(n.layer->m_name) != "H";
    });
    EXPECT_EQ(seen, "aGbHd");
}

TEST(LayerTree, DeepNestingNeedsNoDeepStack) {
    // Thousands of nested groups, as a hostile file may hold.
    constexpr size_t kDepth = 20000;
    List list;
    for (size_t i = 0; i < kDepth; ++i)
        list.push_back(Kernel::MakeCounted<PSDLayer>(PSDLayer::kGroupEnd, String("end")));
    list.push_back(Kernel::MakeCounted<PSDLayer>(PSDLayer::kNormal, String("leaf")));
    for (size_t i = 0; i < kDepth; ++i)
        list.push_back(Kernel::MakeCounted<PSDLayer>(PSDLayer::kOpenGroup, String("g")));
    auto tree = BuildLayerTree(list);
    unsigned deepest = 0;
    size_t count = 0;
    WalkLayerTree(tree, [&](PSDLayerNode const&, unsigned depth) {
        deepest = std::max(deepest, depth);
        ++count;
        return true;
    });
    EXPECT_EQ(deepest, kDepth);
    EXPECT_EQ(count, kDepth + 1);
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "psd/layer/PSDLayerKind.h"

using namespace PSD;

namespace {

struct KindCase {
    PSDLayer::LayerType type;
    std::vector<char const*> keys;  // the record's blocks, in file order
    char const* kind;               // null: an end marker
};

uint32_t KeyOf(char const* k) {
    return uint32_t(uint8_t(k[0])) << 24 | uint32_t(uint8_t(k[1])) << 16 |
           uint32_t(uint8_t(k[2])) << 8 | uint8_t(k[3]);
}

}  // namespace

// The first matching rule names the record, whatever order its blocks come in.
TEST(LayerKind, FirstMatchingRuleWins) {
    using L = PSDLayer;
    KindCase const cases[] = {
        {L::kGroupEnd, {"lsct", "GdFl"}, nullptr},
        {L::kOpenGroup, {"lsct"}, "group"},
        {L::kClosedGroup, {"lsct", "vmsk"}, "group"},
        {L::kOpenGroup, {"artb", "lsct"}, "artboard"},
        {L::kNormal, {"TySh", "lfx2"}, "type"},
        {L::kNormal, {"SoLd", "PlLd"}, "smartobject"},
        {L::kNormal, {"SoLE"}, "smartobject"},
        {L::kNormal, {"SoLd"}, "pixel"},
        {L::kNormal, {"CgEd", "levl"}, "levels"},
        {L::kNormal, {"brit", "CgEd"}, "brightnesscontrast"},
        {L::kNormal, {"brit"}, "brightnesscontrast"},
        {L::kNormal, {"curv", "vmsk", "vogk"}, "curves"},
        {L::kNormal, {"hue "}, "huesaturation"},
        {L::kNormal, {"vibA"}, "vibrance"},
        {L::kNormal, {"SoCo", "vmsk"}, "shape"},
        {L::kNormal, {"vsms", "vscg", "vstk"}, "shape"},
        {L::kNormal, {"vscg"}, "pixel"},
        {L::kNormal, {"SoCo"}, "solidcolorfill"},
        {L::kNormal, {"GdFl", "lyvr"}, "gradientfill"},
        {L::kNormal, {"PtFl"}, "patternfill"},
        {L::kNormal, {"vmsk"}, "pixel"},
        {L::kNormal, {}, "pixel"},
    };
    for (auto const& c : cases) {
        PSDLayer layer(c.type, String("layer"));
        std::string keys;
        for (char const* k : c.keys) {
            layer.m_blocks.push_back({KeyOf(k), KeyOf("8BIM"), 0, 0});
            keys += std::string(k) + " ";
        }
        char const* kind = LayerKind(layer);
        EXPECT_EQ(std::string(kind ? kind : "null"), std::string(c.kind ? c.kind : "null"))
            << "type " << c.type << ", blocks " << keys;
    }
}

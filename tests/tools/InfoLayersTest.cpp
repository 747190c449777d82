// `zuzodoriv info` on a hand-built layered document: the tree text and the "layers" JSON array.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/ToolRun.h"
#include "tests/psd/layer/LayerBytes.h"

using namespace layertest;

namespace {

using testsupport::RunTool;
using testsupport::TempFile;

// Bottom first: a background, a group end marker, a masked layer inside the group, the group.
Bytes GroupedDocument() {
    Record background;
    background.channels = {{0, 2}, {1, 2}, {2, 2}};
    background.name = PascalName("Background");
    background.blocks = Block("lspf", Bytes().U32(4));
    Record end;
    end.name = PascalName("</Layer group>");
    end.blocks = Block("lsct", Bytes().U32(3));
    Record inner;
    inner.name = PascalName("Inner");
    inner.opacity = 128;
    inner.clipping = 1;
    inner.flags = 0x02;
    inner.key = "mul ";
    inner.channels = {{-1, 2}, {0, 2}, {1, 2}, {2, 2}, {-2, 2}};
    // Flag bit 4: a feather of the user mask (2.5) and a density of the vector mask follow.
    uint64_t feather = 0x4004000000000000;
    inner.mask = Bytes().U32(28).U32(1).U32(2).U32(3).U32(4).U8(255).U8(0x15);
    inner.mask.U8(0x06).U64(feather).U8(128);
    inner.blocks = Block("iOpa", Bytes().U8(51).Zeros(3)).Append(Block("zzzz", Bytes().U32(0)));
    Record group;
    group.name = PascalName("Group");
    group.blocks = Block("lsct", Bytes().U32(1).Str("8BIM").Str("pass"));
    testsupport::Header h;
    return testsupport::Document(h, {}, {}, Section(LayerInfo(4, {background, end, inner, group})));
}

}  // namespace

TEST(InfoLayers, TreeText) {
    TempFile f(GroupedDocument());
    std::string out = RunTool("info " + f.path.string());
    for (char const* line :
         {"  layers:       4\n", "    group \"Group\" pass opacity 255 fill 255\n",
          "      pixel \"Inner\" (0,0)-(3,2) mul  opacity 128 fill 51, hidden, clipped, mask "
          "(2,1)-(4,3) colour 255 relative inverted, user mask feather 2.5, vector mask density "
          "128\n",
          "    pixel (background) \"Background\" (0,0)-(3,2) norm opacity 255 fill 255, locked: "
          "position\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    // The end marker is part of the group, not a line of its own.
    EXPECT_EQ(out.find("</Layer group>"), std::string::npos) << out;
}

TEST(InfoLayers, JsonRecordsInFileOrder) {
    TempFile f(GroupedDocument());
    std::string out = RunTool("info --json " + f.path.string());
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    EXPECT_TRUE(j.contains("warnings"));
    auto const& layers = j["layers"];
    ASSERT_EQ(layers.size(), 4u) << out;
    EXPECT_EQ(layers[0]["name"], "Background");
    EXPECT_EQ(layers[1]["section_type"], 3);
    EXPECT_EQ(layers[3]["section_type"], 1);
    EXPECT_EQ(layers[3]["blend_mode"], "pass");
    std::vector<nlohmann::json> kinds;
    for (auto const& l : layers) kinds.push_back(l["kind"]);
    EXPECT_EQ(nlohmann::json(kinds), nlohmann::json::parse(R"(["pixel", null, "pixel", "group"])"));
    auto const want = nlohmann::json::parse(R"({
        "index": 2, "name": "Inner", "top": 0, "left": 0, "bottom": 2, "right": 3,
        "blend_mode": "mul ", "opacity": 128, "fill_opacity": 51, "visible": false,
        "clipping": true, "transparency_protected": false, "real_mask": null,
        "user_mask": {"top": 1, "left": 2, "bottom": 3, "right": 4, "default_colour": 255,
                      "relative": true, "disabled": false, "invert": true},
        "mask_parameters": {"user_mask_density": null, "user_mask_feather": 2.5,
                            "vector_mask_density": 128, "vector_mask_feather": null},
        "blending_range_sets": 1, "block_keys": ["iOpa", "zzzz"], "parent": 3, "layer_id": 3,
        "locks": {"transparency": false, "composite": false, "position": false}})");
    auto const& inner = layers[2];
    for (auto const& [key, value] : want.items())
        EXPECT_EQ(inner.value(key, nlohmann::json("missing")), value) << key;
    ASSERT_EQ(inner["channels"].size(), 5u);
    EXPECT_EQ(inner["channels"][4],
              (nlohmann::json{{"id", -2}, {"length", 2}, {"compression", "raw"}}));
    // Parents: the end marker lies in the group it closes; the background is at the top level.
    EXPECT_EQ(layers[1]["parent"], 3);
    EXPECT_TRUE(layers[0]["parent"].is_null());
    EXPECT_EQ(layers[0]["locks"]["position"], true);
}

TEST(InfoLayers, UnknownKeysGoToTheTrace) {
    TempFile f(GroupedDocument());
    std::string traced;
    if (FILE* p = popen(("ZUZODORIV_TRACE=1 " + std::string(ZUZODORIV_CLI) + " info " +
                         f.path.string() + " 2>&1 >/dev/null")
                            .c_str(),
                        "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) traced.append(buf, n);
        pclose(p);
    }
    // Once for the unknown layer block; known keys ("iOpa", "lsct", "lspf") are not traced.
    EXPECT_NE(traced.find("Unknown PSD key: zzzz\n"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Unknown PSD key: iOpa"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Unknown PSD key: lsct"), std::string::npos) << traced;
    // Without the trace switched on nothing is printed.
    std::string quiet = RunTool("info " + f.path.string() + " >/dev/null");
    EXPECT_EQ(quiet.find("Unknown PSD key"), std::string::npos) << quiet;
}

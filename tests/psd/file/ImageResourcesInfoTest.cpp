// `zuzodoriv info` reports the settings the image resources carry.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "psd/file/ImageResourcesTestSupport.h"
#include "support/ToolRun.h"

using namespace resourcetest;

namespace {

using testsupport::RunTool;
using testsupport::TempFile;

std::vector<uint8_t> DocumentWithResources() {
    Bytes guides;
    guides.U32(1).U32(576).U32(576).U32(3).U32(320).U8(1).U32(96).U8(0).U32(64).U8(1);
    Bytes blocks;
    blocks
        .Append(Block(
            1005, Bytes().U16(150).U16(0x8000).U16(1).U16(2).U16(150).U16(0x8000).U16(1).U16(2)))
        .Append(Block(1006, Pascal("Spot")))
        .Append(Block(1008, Pascal("Sunset")))
        .Append(Block(1010, Bytes().U16(0).U16(1).U16(2).U16(3).U16(0)))
        .Append(Block(1030, Bytes().U16(10).U16(1).U8(0).U8(3).U8(1)))
        .Append(Block(1032, guides))
        .Append(Block(1037, Bytes().U32(45)))
        .Append(Block(1039, SRGBProfileBytes()))
        .Append(Block(1049, Bytes().U32(20)))
        .Append(Block(1057, Bytes().U32(1).U8(0).U32(0).U32(0).U32(1)));
    testsupport::Header h;
    h.channels = 4;
    return testsupport::Document(h, {}, blocks);
}

TEST(ImageResourcesInfo, JsonFieldsAndTextLines) {
    TempFile file(DocumentWithResources());
    std::string out = RunTool("info --json " + file.path.string());
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    EXPECT_EQ(j["resolution"], 150.5);
    EXPECT_EQ(j["horizontal_guides"], nlohmann::json({10.0, 2.0}));
    EXPECT_EQ(j["vertical_guides"], nlohmann::json({3.0}));
    EXPECT_EQ(j["alpha_channel_names"], nlohmann::json({"Spot"}));
    ASSERT_TRUE(j["icc_profile"].is_object());
    EXPECT_EQ(j["icc_profile"]["bytes"], SRGBProfileBytes().size());
    EXPECT_FALSE(j["icc_profile"]["description"].get<std::string>().empty());
    EXPECT_EQ(j["has_real_merged_data"], false);
    EXPECT_EQ(j["global_angle"], 45);
    EXPECT_EQ(j["global_altitude"], 20);
    EXPECT_EQ(j["caption"], "Sunset");
    EXPECT_EQ(j["background_colour"],
              nlohmann::json({{"model", "rgb"}, {"red", 1}, {"green", 2}, {"blue", 3}}));
    EXPECT_EQ(j["jpeg"],
              nlohmann::json({{"quality", 10}, {"method", "baseline optimised"}, {"scans", 3}}));

    out = RunTool("info " + file.path.string());
    for (char const* line :
         {"  resolution:   150.5 ppi\n", "  guides:       horizontal 10, 2; vertical 3\n",
          "  alpha names:  \"Spot\"\n", "  background:   rgb red=1 green=2 blue=3\n",
          "  caption:      \"Sunset\"\n",
          "  JPEG:         quality 10, baseline optimised, 3 scans\n",
          "  global light: angle 45, altitude 20\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
    EXPECT_NE(out.find("  ICC profile:  \""), std::string::npos) << out;
    EXPECT_NE(out.find("  composite:    not real"), std::string::npos) << out;
}

TEST(ImageResourcesInfo, AbsentSettings) {
    testsupport::Header h;
    TempFile file(testsupport::Document(h));
    nlohmann::json j =
        nlohmann::json::parse(RunTool("info --json " + file.path.string()), nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_TRUE(j["resolution"].is_null());
    EXPECT_TRUE(j["icc_profile"].is_null());
    EXPECT_TRUE(j["caption"].is_null());
    EXPECT_TRUE(j["background_colour"].is_null());
    EXPECT_TRUE(j["jpeg"].is_null());
    EXPECT_EQ(j["has_real_merged_data"], true);
    EXPECT_EQ(j["global_angle"], 120);
    EXPECT_EQ(j["global_altitude"], 30);
    EXPECT_EQ(j["horizontal_guides"], nlohmann::json::array());
    EXPECT_EQ(j["alpha_channel_names"], nlohmann::json::array());
}

}  // namespace

// Descriptors found inside tagged-block bodies, and the dump tool that shows them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "psd/descriptor/DescriptorBlocks.h"
#include "tests/psd/descriptor/CorpusPaths.h"
#include "tests/psd/descriptor/DescriptorBytes.h"
#include "tests/support/ToolRun.h"

using namespace PSD;
using desctest::DescBytes;

namespace {

DescBytes SmallDescriptor(char const (&classID)[5], int32_t value) {
    DescBytes b;
    b.U32(16).Body(classID, 1).CodeKey("Vl  ").Code("long").U32(uint32_t(value));
    return b;
}

DescBytes TypeToolBody(uint16_t version = 1, uint16_t textVersion = 50, uint16_t warpVersion = 1) {
    std::string engine = "<< /EngineDict << /Editor << /Text (Hi\\r) >> >> >>";
    DescBytes b;
    b.U16(version);
    for (int i = 0; i < 6; ++i) b.Double(i);
    b.U16(textVersion);
    b.U32(16).Body("TxLr", 2).CodeKey("Txt ").Code("TEXT").Unicode(u"Hi");
    b.NameKey("EngineData").Code("tdta").U32(uint32_t(engine.size())).Str(engine);
    b.U16(warpVersion).Then(SmallDescriptor("warp", 3));
    b.U32(1).U32(2).U32(3).U32(4);
    return b;
}

struct Result {
    BlockDescriptorResult result;
    std::vector<BlockDescriptor> found;
    int code = -1;
};

Result Read(char const (&key)[5], std::vector<uint8_t> const& body, bool swap = true) {
    auto s = Kernel::MemoryInStream::Create(body);
    ParseData pd;
    pd.m_swap = swap;
    Result r;
    r.result = ReadBlockDescriptors(Key(key), *s, pd, r.found);
    r.code = pd.m_report.m_error ? int(pd.m_report.m_error->GetCode()) : -1;
    return r;
}

std::string TempFile(std::string const& name, std::vector<uint8_t> const& bytes) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<char const*>(bytes.data()), long(bytes.size()));
    return path;
}

}  // namespace

TEST(DescriptorBlocks, TypeToolHoldsTextAndWarp) {
    Result r = Read("TySh", TypeToolBody());
    ASSERT_EQ(r.result, BlockDescriptorResult::Parsed) << r.code;
    ASSERT_EQ(r.found.size(), 2u);
    EXPECT_EQ(r.found[0].label, "text");
    EXPECT_EQ(r.found[1].label, "warp");
    EXPECT_EQ(r.found[0].descriptor.m_classID.m_code, Key("TxLr"));
    EXPECT_EQ(r.found[1].descriptor.m_classID.m_code, Key("warp"));
    auto engine = r.found[0].descriptor.Get<DescriptorItemPDFData>("EngineData");
    ASSERT_TRUE(engine);
    auto tree = engine->GetPDFData().DynamicCast<PDFDictionary>();
    ASSERT_TRUE(tree);
    auto editor = tree->GetValue("EngineDict", "Editor").DynamicCast<PDFDictionary>();
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->GetString("Text"), "Hi\r");

    EXPECT_EQ(Read("TySh", TypeToolBody(2)).code, PSDError::kUnknownTypeToolVersion);
    EXPECT_EQ(Read("TySh", TypeToolBody(1, 51)).code, PSDError::kUnknownTextVersion);
    EXPECT_EQ(Read("TySh", TypeToolBody(1, 50, 2)).code, PSDError::kUnknownTextWarpVersion);
    // A text version read the other way round is only accepted in a little-endian container.
    EXPECT_EQ(Read("TySh", TypeToolBody(1, 12800)).code, PSDError::kUnknownTextVersion);

    DescBytes body = TypeToolBody();
    for (size_t cut = 0; cut < body.size(); ++cut) {
        Result c = Read("TySh", std::vector<uint8_t>(body.begin(), body.begin() + long(cut)));
        ASSERT_EQ(c.result, BlockDescriptorResult::Failed) << cut;
        ASSERT_EQ(c.code, PSDError::kTruncated) << cut;
    }
}

TEST(DescriptorBlocks, LayoutsByKey) {
    DescBytes plain = SmallDescriptor("null", 1);
    for (char const* key :
         {"SoCo", "GdFl", "PtFl", "vstk", "vibA", "blwh", "CgEd", "cinf", "extn", "artd"}) {
        SCOPED_TRACE(key);
        char k[5] = {key[0], key[1], key[2], key[3], 0};
        auto s = Kernel::MemoryInStream::Create(plain);
        ParseData pd;
        std::vector<BlockDescriptor> found;
        EXPECT_TRUE(IsDescriptorBlock(Key(k)));
        ASSERT_EQ(ReadBlockDescriptors(Key(k), *s, pd, found), BlockDescriptorResult::Parsed);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].descriptor.Get<DescriptorItemInteger>(Key("Vl  "))->m_value, 1);
    }
    for (char const* key : {"lfx2", "lfxs", "lmfx", "vogk", "CAI "}) {
        SCOPED_TRACE(key);
        char k[5] = {key[0], key[1], key[2], key[3], 0};
        auto s =
            Kernel::MemoryInStream::Create(DescBytes().U32(0).Then(SmallDescriptor("null", 2)));
        ParseData pd;
        std::vector<BlockDescriptor> found;
        ASSERT_EQ(ReadBlockDescriptors(Key(k), *s, pd, found), BlockDescriptorResult::Parsed);
        EXPECT_EQ(found.at(0).descriptor.Get<DescriptorItemInteger>(Key("Vl  "))->m_value, 2);
    }
    Result clrL = Read("clrL", DescBytes().U16(1).Then(SmallDescriptor("null", 3)));
    ASSERT_EQ(clrL.result, BlockDescriptorResult::Parsed);
    EXPECT_EQ(clrL.found.at(0).descriptor.Get<DescriptorItemInteger>(Key("Vl  "))->m_value, 3);

    Result placed4 = Read("PlLd", DescBytes().Code("soLD").U32(4).Then(SmallDescriptor("null", 4)));
    ASSERT_EQ(placed4.result, BlockDescriptorResult::Parsed);
    Result placed3 = Read("PlLd", DescBytes().Code("plcL").U32(3).Zeros(40));
    EXPECT_EQ(placed3.result, BlockDescriptorResult::NotDescriptorBased);
    EXPECT_TRUE(placed3.found.empty());

    EXPECT_FALSE(IsDescriptorBlock(Key("luni")));
    EXPECT_EQ(Read("luni", plain).result, BlockDescriptorResult::NotDescriptorBased);
    Result bad = Read("SoCo", DescBytes().U32(16).Body("null", 1).CodeKey("x   ").Code("what"));
    EXPECT_EQ(bad.result, BlockDescriptorResult::Failed);
    EXPECT_EQ(bad.code, PSDError::kUnknownDescriptorType);
    ASSERT_EQ(bad.found.size(), 1u);  // what was read stays visible
}

TEST(DumpTool, RawDescriptorAsTextAndJson) {
    DescBytes b;
    b.U32(16).Body("Clr ", 2).CodeKey("Rd  ").Code("doub").Double(2.5);
    b.NameKey("list").Code("VlLs").U32(1).Code("enum").CodeKey("BlnM").NameKey("hardMix");
    std::string path = TempFile("dump_raw.bin", b);
    int status = -1;
    std::string text = testsupport::RunTool("dump --raw " + path, &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text,
              "<descritor key='Clr '>\n"
              "\t<descriptoritem type=double key='Rd  ' value=2.5>\n"
              "\t<descriptoritem type=list key='list'>\n"
              "\t\t<enum enumtype='BlnM' enumvalue='hardMix'>\n");
    std::string json = testsupport::RunTool("dump --raw --json " + path, &status);
    EXPECT_EQ(status, 0);
    auto j = nlohmann::json::parse(json);
    auto const& d = j["raw"][0]["descriptor"];
    EXPECT_EQ(d["class"], "Clr ");
    EXPECT_EQ(d["items"][0]["key"], "Rd  ");
    EXPECT_EQ(d["items"][0]["value"], 2.5);
    EXPECT_EQ(d["items"][1]["value"][0]["value"]["value"], "hardMix");

    // A cut descriptor shows what was read and fails.
    std::string cut = TempFile("dump_cut.bin", std::vector<uint8_t>(b.begin(), b.end() - 3));
    text = testsupport::RunTool("dump --raw " + cut, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(text.find("incomplete: The file appears to be truncated"), std::string::npos) << text;
    EXPECT_NE(text.find("key='Rd  ' value=2.5"), std::string::npos) << text;
}

TEST(DumpTool, TypeLayerOfACorpusDocument) {
    auto path = desctest::CorpusRoot() / "ag-psd/test/text-simple.psd";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
    int status = -1;
    auto j = nlohmann::json::parse(
        testsupport::RunTool("dump --json --layer 0 " + path.string(), &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(j.contains("document"));
    auto const& blocks = j["layers"][0]["blocks"];
    std::vector<std::string> keys;
    for (auto const& b : blocks) keys.push_back(b["key"]);
    EXPECT_EQ(keys, (std::vector<std::string>{"lfx2", "TySh", "TySh"}));
    bool sawText = false;
    for (auto const& item : blocks[1]["descriptor"]["items"])
        if (item["key"] == "EngineData") {
            EXPECT_EQ(item["type"], "PDFdata");
            EXPECT_EQ(item["value"]["EngineDict"]["Editor"]["Text"], "a\r");
            sawText = true;
        }
    EXPECT_TRUE(sawText);

    std::string all = testsupport::RunTool("dump " + path.string(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(all.find("block 'Txt2' engine data"), std::string::npos);
    EXPECT_NE(all.find("block 'TySh' warp"), std::string::npos);
    EXPECT_NE(
        all.find(
            "<descriptoritem type=enum key='warpStyle' enumtype='warpStyle' enumvalue='warpNone'>"),
        std::string::npos);

    testsupport::RunTool("dump --layer 99 " + path.string(), &status);
    EXPECT_EQ(status, 1);
}

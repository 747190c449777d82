// Descriptors found inside tagged-block bodies, and the dump tool that shows them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "psd/descriptor/DescriptorBlocks.h"
#include "tests/support/CorpusFiles.h"
#include "tests/psd/descriptor/DescriptorBytes.h"
#include "tests/support/ToolRun.h"
#include "tests/support/Cuts.h"

using namespace PSD;
using desctest::DescBytes;

namespace {

DescBytes SmallDescriptor(char const (&classID)[5], int32_t value) {
    return DescBytes().U32(16).Body(classID, 1).CodeKey("Vl  ").Code("long").U32(uint32_t(value));
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

Result Read(uint32_t key, std::vector<uint8_t> const& body) {
    auto s = Kernel::MemoryInStream::Create(body);
    ParseData pd;
    Result r;
    r.result = ReadBlockDescriptors(key, *s, pd, r.found);
    r.code = pd.m_report.m_error ? int(pd.m_report.m_error->GetCode()) : -1;
    return r;
}

}  // namespace

// Guards the type-layer body: its two descriptors, the version checks, and cuts anywhere.
TEST(DescriptorBlocks, TypeToolHoldsTextAndWarp) {
    Result r = Read(Key("TySh"), TypeToolBody());
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

    EXPECT_EQ(Read(Key("TySh"), TypeToolBody(2)).code, PSDError::kUnknownTypeToolVersion);
    EXPECT_EQ(Read(Key("TySh"), TypeToolBody(1, 51)).code, PSDError::kUnknownTextVersion);
    EXPECT_EQ(Read(Key("TySh"), TypeToolBody(1, 50, 2)).code, PSDError::kUnknownTextWarpVersion);
    // A text version read the other way round is only accepted in a little-endian container.
    EXPECT_EQ(Read(Key("TySh"), TypeToolBody(1, 12800)).code, PSDError::kUnknownTextVersion);

    testsupport::ExpectEveryCutTruncated(TypeToolBody(), [](std::vector<uint8_t> const& part) {
        Result c = Read(Key("TySh"), part);
        return c.result == BlockDescriptorResult::Failed ? int(c.code) : -1;
    });
}

// Guards the header each key puts before its descriptor, and the keys that hold none.
TEST(DescriptorBlocks, LayoutsByKey) {
    DescBytes const plain = SmallDescriptor("null", 7);
    struct Case {
        char const* keys;  // four characters each
        DescBytes body;
        BlockDescriptorResult result;
    } const cases[] = {
        {"SoCoGdFlPtFlvstkvibAblwhCgEdcinfextnartd", plain, BlockDescriptorResult::Parsed},
        {"lfx2lfxslmfxvogkCAI ", DescBytes().U32(0).Then(plain), BlockDescriptorResult::Parsed},
        {"clrL", DescBytes().U16(1).Then(plain), BlockDescriptorResult::Parsed},
        {"PlLd", DescBytes().Code("soLD").U32(4).Then(plain), BlockDescriptorResult::Parsed},
        {"PlLd", DescBytes().Code("plcL").U32(3).Zeros(40),
         BlockDescriptorResult::NotDescriptorBased},
        {"luni", plain, BlockDescriptorResult::NotDescriptorBased},
    };
    for (auto const& c : cases) {
        for (char const* k = c.keys; *k; k += 4) {
            uint32_t key = uint32_t(uint8_t(k[0])) << 24 | uint32_t(uint8_t(k[1])) << 16 |
                           uint32_t(uint8_t(k[2])) << 8 | uint8_t(k[3]);
            SCOPED_TRACE(std::string(k, 4));
            Result r = Read(key, c.body);
            ASSERT_EQ(r.result, c.result);
            EXPECT_EQ(IsDescriptorBlock(key), std::string(k, 4) != "luni");
            if (c.result == BlockDescriptorResult::NotDescriptorBased) {
                EXPECT_TRUE(r.found.empty());
                continue;
            }
            ASSERT_EQ(r.found.size(), 1u);
            EXPECT_EQ(r.found[0].descriptor.Get<DescriptorItemInteger>(Key("Vl  "))->m_value, 7);
        }
    }
    Result bad =
        Read(Key("SoCo"), DescBytes().U32(16).Body("null", 1).CodeKey("x   ").Code("what"));
    EXPECT_EQ(bad.result, BlockDescriptorResult::Failed);
    EXPECT_EQ(bad.code, PSDError::kUnknownDescriptorType);
    ASSERT_EQ(bad.found.size(), 1u);  // what was read stays visible
}

// Guards the dump tool on a raw descriptor file: the text and JSON forms, and a cut file.
TEST(DumpTool, RawDescriptorAsTextAndJson) {
    DescBytes b;
    b.U32(16).Body("Clr ", 2).CodeKey("Rd  ").Code("doub").Double(2.5);
    b.NameKey("list").Code("VlLs").U32(1).Code("enum").CodeKey("BlnM").NameKey("hardMix");
    testsupport::TempFile file(b, "raw"), cut(std::vector<uint8_t>(b.begin(), b.end() - 3), "cut");
    int status = -1;
    std::string text = testsupport::RunTool("dump --raw " + file.path.string(), &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text,
              "<descritor key='Clr '>\n"
              "\t<descriptoritem type=double key='Rd  ' value=2.5>\n"
              "\t<descriptoritem type=list key='list'>\n"
              "\t\t<enum enumtype='BlnM' enumvalue='hardMix'>\n");
    auto j = nlohmann::json::parse(
        testsupport::RunTool("dump --raw --json " + file.path.string(), &status));
    EXPECT_EQ(status, 0);
    auto const& d = j["raw"][0]["descriptor"];
    EXPECT_EQ(d["class"], "Clr ");
    EXPECT_EQ(d["items"][0]["key"], "Rd  ");
    EXPECT_EQ(d["items"][0]["value"], 2.5);
    EXPECT_EQ(d["items"][1]["value"][0]["value"]["value"], "hardMix");

    // A cut descriptor shows what was read and fails.
    text = testsupport::RunTool("dump --raw " + cut.path.string(), &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(text.find("incomplete: The file appears to be truncated"), std::string::npos) << text;
    EXPECT_NE(text.find("key='Rd  ' value=2.5"), std::string::npos) << text;
}

// Guards the dump tool on a real type layer: block order, engine data as JSON, a bad layer.
TEST(DumpTool, TypeLayerOfACorpusDocument) {
    auto path = testsupport::CorpusRoot() / "ag-psd/test/text-simple.psd";
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
    int sawText = 0;
    for (auto const& item : blocks[1]["descriptor"]["items"])
        if (item["key"] == "EngineData") {
            EXPECT_EQ(item["type"], "PDFdata");
            EXPECT_EQ(item["value"]["EngineDict"]["Editor"]["Text"], "a\r");
            ++sawText;
        }
    EXPECT_EQ(sawText, 1);

    std::string all = testsupport::RunTool("dump " + path.string(), &status);
    EXPECT_EQ(status, 0);
    for (char const* line :
         {"block 'Txt2' engine data", "block 'TySh' warp",
          "<descriptoritem type=enum key='warpStyle' enumtype='warpStyle' enumvalue='warpNone'>"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
    testsupport::RunTool("dump --layer 99 " + path.string(), &status);
    EXPECT_EQ(status, 1);
    // Raw data other than engine data (a colour lookup's profile and table file) is sized.
    auto lookup = testsupport::CorpusRoot() / "ag-psd/test/read/adjustment-layers/src.psd";
    all = testsupport::RunTool("dump --layer 11 " + lookup.string(), &status);
    for (char const* line : {"<descriptoritem type=PDFdata key='profile' size=30220>",
                             "<descriptoritem type=PDFdata key='LUT3DFileData' size=137793>"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
}

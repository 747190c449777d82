// Character styles set on a range of a type layer's text: the range's runs take the fields in
// the units the text's JSON gives, the characters around it keep theirs, and a saved block reads
// back the same.
#include <gtest/gtest.h>

#include <filesystem>

#include "psd/adjustments/PSDTextJson.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/layer/PSDLayer.h"
#include "tests/support/CorpusRoot.h"

namespace PSD {
namespace {

using nlohmann::json;

// Each character's run or paragraph fields (start and length left out).
std::vector<json> PerCharacter(json const& text, char const* list = "runs") {
    std::vector<json> out;
    for (auto const& run : text[list]) {
        json fields = json::parse(run.dump());
        fields.erase("start");
        fields.erase("length");
        for (size_t i = 0; i < run["length"].get<size_t>(); ++i) out.push_back(fields);
    }
    return out;
}

// Numbers within half an 8-bit colour step, everything else equal.
bool Near(json const& got, json const& want) {
    if (got.is_number() && want.is_number())
        return std::fabs(got.get<double>() - want.get<double>()) < 0.5;
    if (!got.is_structured() || got.size() != want.size()) return got == want;
    for (auto it = want.begin(); it != want.end(); ++it)
        if (!Near(want.is_array() ? got[size_t(it - want.begin())] : got[it.key()], *it))
            return false;
    return true;
}

TEST(TextStyle, SetOnARangeAndSavedSo) {
    char const* const kSimple = "ag-psd/test/read/text-simple/src.psd";
    char const* const kAlign = "ag-psd/test/read/text-paragraph-align/src.psd";
    struct Case {
        char const* path;
        char const* changes;
        size_t start, length;
        char const* fault;              // null: accepted
        char const* content = nullptr;  // the text replaced first
        bool paragraphs = false;        // paragraph fields, set on whole paragraphs
    } const cases[] = {
        {kSimple, R"({"size": 30, "faux_bold": true})", 1, 3, nullptr},
        {kSimple,
         R"({"font": "DejaVuSans-Bold", "color": {"model": "rgb", "values": [255, 0, 0]},
             "tracking": 50, "leading": 40})",
         0, std::string::npos, nullptr},
        // The last character: the engine's closing paragraph break goes with it.
        {kSimple,
         R"({"horizontal_scale": 150, "vertical_scale": 80, "baseline_shift": -5,
             "underline": true, "strikethrough": true, "faux_italic": true})",
         4, 1, nullptr},
        {kSimple, R"({"auto_leading": true, "size": 12.5})", 2, 1, nullptr},
        // Greyscale documents store grey fills: the colour is kept as the amount of ink.
        {"psd.js/examples/images/example-greyscale.psd",
         R"({"color": {"model": "grayscale", "values": [25]}})", 0, 3, nullptr},
        {kSimple, R"({"size": 0})", 0, 1,
         "\"size\" of text style must be a number from 0.01 to 1296"},
        {kSimple, R"({"tracking": 1.5})", 0, 1, "must be a whole number from -1000 to 10000"},
        {kSimple, R"({"leading": 10, "auto_leading": true})", 0, 1,
         "cannot be set with \"auto_leading\" true"},
        {kSimple, R"({"leading": 10, "auto_leading": 3})", 0, 1, "must be true or false"},
        {kSimple, R"({"font": ""})", 0, 1, "must be a PostScript font name"},
        {kSimple, R"({})", 0, 1, "no field of the text style"},
        {kSimple, R"({"size": 10})", 5, 1, "must lie within the text's 5 characters"},
        {kSimple, R"({"size": 10})", 2, 0, "hold at least one"},
        // The range touches the second and third paragraphs only.
        {kAlign,
         R"({"justification": 2, "start_indent": 12, "first_line_indent": -6, "end_indent": 4,
             "space_before": 3, "space_after": 0, "auto_leading": 1.5})",
         5, 6, nullptr, "one\rtwo\rthree\rfour", true},
        {kAlign, R"({"justification": 7})", 0, 1,
         "\"justification\" of paragraph style must be a whole number from 0 to 6", nullptr, true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.changes + " at " + std::to_string(c.start));
        auto full = testsupport::CorpusRoot() / c.path;
        if (!std::filesystem::exists(full)) GTEST_SKIP() << "no corpus at " << full;
        CreateOptions options;
        options.parseText = true;
        PSDReport report;
        std::string message;
        auto doc = OpenFile(full.string(), options, report, message);
        ASSERT_TRUE(doc) << message;
        Kernel::Counted<PSDAdjustmentTypeTool> tool;
        for (auto const& l : doc->m_layers)
            if (auto t = l->GetAdjustment().DynamicCast<PSDAdjustmentTypeTool>(); t && !tool)
                tool = t;
        ASSERT_TRUE(tool && tool->GetText());
        ParseData pd;
        if (c.content) {
            ASSERT_TRUE(tool->SetContent(String(c.content), pd));
        }
        json before = json::parse(TextJson(*tool).dump());
        json changes = json::parse(c.changes);
        std::string why;
        bool ok = (c.paragraphs ? SetParagraphStyle : SetTextStyle)(*tool, changes, c.start,
                                                                    c.length, pd, why);
        json after = json::parse(TextJson(*tool).dump());
        if (c.fault) {
            EXPECT_FALSE(ok);
            EXPECT_NE(why.find(c.fault), std::string::npos) << why;
            EXPECT_EQ(after, before);
            continue;
        }
        ASSERT_TRUE(ok) << why;
        EXPECT_EQ(after["content"], before["content"]);
        char const* list = c.paragraphs ? "paragraphs" : "runs";
        auto was = PerCharacter(before, list), now = PerCharacter(after, list);
        ASSERT_EQ(now.size(), was.size());
        size_t from = c.start,
               end = c.length == std::string::npos ? now.size() : c.start + c.length;
        if (c.paragraphs) {
            std::string content = after["content"];
            while (from > 0 && content[from - 1] != '\r') --from;
            while (end < content.size() && content[end - 1] != '\r') ++end;
        }
        for (size_t i = 0; i < now.size(); ++i) {
            bool inside = i >= from && i < end;
            if (!inside) {
                EXPECT_EQ(now[i], was[i]) << "character " << i;
                continue;
            }
            for (auto const& [key, want] : changes.items())
                EXPECT_TRUE(Near(now[i][key], want)) << key << ": " << now[i][key];
            if (changes.contains("leading")) {
                EXPECT_EQ(now[i]["auto_leading"], false);
            }
        }
        // Paragraph runs end where paragraphs do, as the editor writes them.
        if (c.paragraphs) {
            auto root = tool->GetEngineData().DynamicCast<PDFDictionary const>();
            auto lengths = root->GetValue("EngineDict", "ParagraphRun", "RunLengthArray")
                               .DynamicCast<PDFArray const>();
            ASSERT_TRUE(lengths);
            std::string content = after["content"].get<std::string>() + "\r";
            size_t at = 0;
            for (auto const& n : lengths->GetItems()) {
                at += size_t(n->GetInt(0));
                ASSERT_LE(at, content.size());
                EXPECT_EQ(content[at - 1], '\r') << "a paragraph run ends at " << at;
            }
        }
        // The block saved reads back as it was set.
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(tool->SaveI(*out, SaveData{}));
        auto in = Kernel::MemoryInStream::Create(out->TakeData());
        PSDAdjustmentTypeTool back;
        ParseData read;
        read.m_parseText = true;
        ASSERT_TRUE(back.Parse(*in, read));
        EXPECT_EQ(json::parse(TextJson(back).dump()), after);
    }
}

}  // namespace
}  // namespace PSD

// Engine-data samples from the corpus: the document-level form parses value after value, and two
// trees match an independent reader's JSON. The engine data of every type layer in the corpus
// documents is held to the reference's text by the corpus runner.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "psd/text/PDFData.h"
#include "psd/text/PSDTextEngineData.h"
#include "psd/text/PSDTextParser.h"
#include "tests/support/CorpusFiles.h"

using namespace PSD;
namespace fs = std::filesystem;

namespace {

Kernel::Counted<PDFData> ParseBytes(std::vector<uint8_t> const& b,
                                    unsigned long* remaining = nullptr) {
    PDFDataParser parser(b.data(), b.size());
    auto v = parser.Parse();
    if (remaining) *remaining = parser.GetRemaining();
    return v;
}

// Our tree as the JSON another reader makes of the same bytes: names carry their slash there,
// nil is null and true/false are booleans. Keys repeated in a dictionary are counted.
nlohmann::json ToJson(PDFData const* v, size_t& repeats) {
    if (auto const* d = dynamic_cast<PDFDictionary const*>(v)) {
        auto j = nlohmann::json::object();
        for (auto const& item : d->m_items) {
            repeats += j.contains(std::string(item.m_key));
            j[std::string(item.m_key)] = ToJson(item.m_value.Get(), repeats);
        }
        return j;
    }
    if (auto const* a = dynamic_cast<PDFArray const*>(v)) {
        auto j = nlohmann::json::array();
        for (auto const& e : a->m_items) j.push_back(ToJson(e.Get(), repeats));
        return j;
    }
    if (auto const* n = dynamic_cast<PDFName const*>(v)) {
        if (n->m_name == "nil") return nullptr;
        if (n->m_name == "true" || n->m_name == "false") return n->m_name == "true";
        return "/" + std::string(n->m_name);
    }
    if (auto const* s = dynamic_cast<PDFString const*>(v)) return std::string(s->GetString());
    if (auto const* i = dynamic_cast<PDFInt const*>(v)) return i->m_value;
    return v->GetDouble(NAN);
}

std::vector<uint8_t> Wrapped(std::vector<uint8_t> const& body) {
    std::vector<uint8_t> w;
    w.reserve(body.size() + 6);  // GCC 12 takes a range insert into the 3-byte vector for an overflow
    for (uint8_t c : {'<', '<', ' '}) w.push_back(c);
    w.insert(w.end(), body.begin(), body.end());
    for (uint8_t c : {' ', '>', '>'}) w.push_back(c);
    return w;
}

// The prefixes of a sample parse or fail, never crash or hang.
void CutEverywhere(std::vector<uint8_t> const& b) {
    size_t step = b.size() <= 4096 ? 1 : b.size() / 1024;
    for (size_t cut = 0; cut < b.size(); cut += step) {
        PDFDataParser parser(b.data(), cut);
        (void)parser.Parse();
        EXPECT_LE(parser.GetRemaining(), cut);
    }
}

// The corpus samples whose names begin with the block key, and the named extra files.
std::vector<fs::path> Samples(char const* key, std::initializer_list<char const*> extra) {
    fs::path root = testsupport::CorpusRoot();
    std::vector<fs::path> files;
    for (auto const& f : testsupport::FilesIn(root / "psd-tools/tests/engine_data"))
        if (f.filename().string().rfind(key, 0) == 0) files.push_back(f);
    for (char const* n : extra)
        if (fs::exists(root / n)) files.push_back(root / n);
    return files;
}

}  // namespace

TEST(EngineDataSamples, DocumentLevelEngineData) {
    auto files = Samples("Txt2", {"ag-psd/test/EngineData2.bin", "ag-psd/test/engineData2b.bin"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (auto const& f : files) {
        SCOPED_TRACE(f.string());
        auto bytes = testsupport::ReadWholeFile(f);
        // A sequence of keys and values without an enclosing dictionary: one value per call
        // until the input is used up.
        PDFDataParser parser(bytes.data(), bytes.size());
        size_t values = 0;
        while (auto v = parser.Parse()) {
            if (values % 2 == 0) {
                EXPECT_TRUE(v.DynamicCast<PDFName>()) << "value " << values;
            }
            ++values;
        }
        EXPECT_EQ(parser.GetRemaining(), 0u);
        EXPECT_GE(values, 2u);
        EXPECT_EQ(values % 2, 0u);
        auto wrapped = Wrapped(bytes);
        auto tree = ParseBytes(wrapped).DynamicCast<PDFDictionary>();
        ASSERT_TRUE(tree);
        EXPECT_TRUE(tree->GetValue("98").DynamicCast<PDFDictionary>());
        EXPECT_EQ(tree->m_items.size() * 2, values);
        // As the document block reader takes it: its frame sets.
        PSDTextEngineData data;
        EXPECT_TRUE(data.Parse(bytes.data(), bytes.size()));
        if (f.filename().string().rfind("Txt2", 0) == 0) {
            EXPECT_FALSE(data.m_frameSets.empty());
        }
        CutEverywhere(bytes);
    }
}

TEST(EngineDataSamples, MatchAnIndependentReader) {
    fs::path dir = testsupport::CorpusRoot() / "ag-psd/test";
    if (!fs::exists(dir / "engineData.json")) GTEST_SKIP() << "no corpus at " << dir;
    struct Pair {
        char const* bin;
        char const* json;
        bool wrap;
    } const pairs[] = {{"engineData.bin", "engineData.json", false},
                       {"EngineData2.bin", "engineData2.json", true}};
    for (auto const& p : pairs) {
        SCOPED_TRACE(p.bin);
        auto bytes = testsupport::ReadWholeFile(dir / p.bin);
        if (p.wrap) bytes = Wrapped(bytes);
        auto tree = ParseBytes(bytes);
        ASSERT_TRUE(tree);
        std::ifstream jf(dir / p.json);
        nlohmann::json j = nlohmann::json::parse(jf);
        size_t repeats = 0;
        auto ours = ToJson(tree.Get(), repeats);
        EXPECT_EQ(repeats, 0u);
        EXPECT_TRUE(ours == j) << nlohmann::json::diff(j, ours).dump().substr(0, 4000);
    }
}

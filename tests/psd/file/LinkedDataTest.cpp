// Linked-data records: which are kept, which win, what a damaged one leaves, what files become.
#include <gtest/gtest.h>

#include "psd/file/PSDFile.h"
#include "psd/file/PSDLinkedData.h"
#include "tests/support/MinimalDocument.h"

namespace {

using testsupport::Bytes;
using Content = PSD::PSDSmartObjectData::Content;

Bytes Record(char const* kind, uint32_t version, std::string const& id, std::vector<uint8_t> const& data) {
    Bytes body;
    body.Str(kind).U32(version).U8(uint8_t(id.size())).Str(id).U32(1).U16('f').Str("png ").Str("8BIM");
    body.U64(data.size()).U8(0).Append(data);
    Bytes r;
    r.U64(body.size()).Append(body);
    r.resize((r.size() + 3) & ~size_t(3), 0);
    return r;
}

// A document without layers whose only document block is a "lnk2" of these records; the last
// record claims longer by more bytes than the block holds.
std::vector<uint8_t> WithLinkedData(std::vector<Bytes> records, uint8_t more = 0) {
    records.back()[7] = uint8_t(records.back()[7] + more);
    Bytes block;
    for (auto const& r : records) block.Append(r);
    Bytes section;
    section.U32(0).U32(0).Str("8BIM").Str("lnk2").U32(uint32_t(block.size())).Append(block);
    return testsupport::Document({}, {}, {}, section, Bytes().U16(0).Zeros(60));
}

Kernel::Counted<PSD::PSDFile> Open(std::vector<uint8_t> const& bytes, PSD::PSDReport& report,
                                   bool smart = true) {
    PSD::CreateOptions options;
    options.parseSmartObjects = smart;
    return PSD::PSDFile::Create(Kernel::MemoryInStream::Create(bytes.data(), bytes.size()), options, report);
}

std::string BytesOf(PSD::PSDFile const& doc, char const* id) {
    auto data = doc.GetLinkedLayerData(id);
    if (!data) return "none";
    auto b = data->GetBytes();
    return std::string(b.begin(), b.end());
}

TEST(LinkedData, RecordsKeptByIdentifier) {
    auto abc = std::vector<uint8_t>{'a', 'b', 'c'};
    auto xy = std::vector<uint8_t>{'x', 'y'};
    struct Case {
        char const* what;
        std::vector<uint8_t> file;
        bool smart;
        std::string one, two;
        size_t warnings;
    } const cases[] = {
        {"two records", WithLinkedData({Record("liFD", 7, "one", abc), Record("liFD", 2, "two", xy)}), true, "abc", "xy", 0},
        {"a later record wins", WithLinkedData({Record("liFD", 7, "one", abc), Record("liFD", 7, "one", xy)}), true, "xy", "none", 0},
        {"unknown kind skipped", WithLinkedData({Record("liXX", 7, "one", abc), Record("liFD", 7, "two", xy)}), true, "none", "xy", 0},
        {"version 9 skipped", WithLinkedData({Record("liFD", 9, "one", abc), Record("liFD", 1, "two", xy)}), true, "none", "xy", 0},
        {"truncated last record", WithLinkedData({Record("liFD", 7, "one", abc), Record("liFD", 7, "two", xy)}, 40), true, "abc", "none", 1},
        {"not asked for", WithLinkedData({Record("liFD", 7, "one", abc)}), false, "none", "none", 0},
    };
    for (auto const& c : cases) {
        PSD::PSDReport report;
        auto doc = Open(c.file, report, c.smart);
        ASSERT_TRUE(doc) << c.what;
        EXPECT_EQ(BytesOf(*doc, "one"), c.one) << c.what;
        EXPECT_EQ(BytesOf(*doc, "two"), c.two) << c.what;
        EXPECT_FALSE(doc->GetLinkedLayerData("three")) << c.what;
        EXPECT_EQ(doc->GetWarnings()->GetCount(), c.warnings) << c.what;
        EXPECT_FALSE(report.m_error) << c.what;
    }
}

// A nested document opens with its own report; a damaged one is kept as bytes with a warning on
// the outer document; other files are kept as bytes with their reason.
TEST(LinkedData, EmbeddedFilesDecodeOnRequest) {
    auto nested = testsupport::Document({}, {}, {}, {}, Bytes().U16(0).Zeros(60));
    auto damaged = nested;
    damaged.resize(20);
    PSD::PSDReport report;
    auto doc = Open(WithLinkedData({Record("liFD", 7, "doc", nested), Record("liFD", 7, "bad", damaged),
                                    Record("liFD", 7, "bin", {1, 2, 3, 4})}),
                    report);
    ASSERT_TRUE(doc);
    auto d = doc->GetLinkedLayerData("doc");
    ASSERT_TRUE(d && d->GetDocument());
    EXPECT_EQ(d->GetContent(), Content::Document);
    EXPECT_EQ(d->GetWidth(), 5u);
    EXPECT_EQ(d->GetExtension(), "psd");
    EXPECT_EQ(doc->GetWarnings()->GetCount(), 0u);
    auto bad = doc->GetLinkedLayerData("bad");
    EXPECT_EQ(bad->GetContent(), Content::Bytes);
    EXPECT_EQ(bad->GetReason().rfind("nested document: ", 0), 0u);
    EXPECT_EQ(doc->GetWarnings()->GetCount(), 1u);
    auto bin = doc->GetLinkedLayerData("bin");
    EXPECT_EQ(bin->GetContent(), Content::Bytes);
    EXPECT_FALSE(bin->GetReason().empty());
    EXPECT_EQ(bin->GetExtension(), "png");
}

}  // namespace

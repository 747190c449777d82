#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "psd/file/PSDOpenFile.h"
#include "psd/file/PSDPatterns.h"
#include "support/CorpusRoot.h"

namespace {

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

// One channel record of a 2 x 2 tile: raw, or PackBits rows (a literal and a run).
std::vector<uint8_t> Channel(std::vector<uint8_t> const& pixels, bool packed) {
    std::vector<uint8_t> data;
    Put32(data, 8);
    for (uint32_t v : {0u, 0u, 2u, 2u}) Put32(data, v);
    Put16(data, 8);
    data.push_back(packed ? 1 : 0);
    if (packed) {
        Put16(data, 3);  // a literal of two
        Put16(data, 2);  // a run of two
        data.insert(data.end(), {1, pixels[0], pixels[1], 0xFF, pixels[2]});
    } else {
        data.insert(data.end(), pixels.begin(), pixels.end());
    }
    std::vector<uint8_t> record;
    Put32(record, 1);
    Put32(record, uint32_t(data.size()));
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

// A patterns block body holding one 2 x 2 RGB pattern "Dots" with transparency.
std::vector<uint8_t> OnePattern() {
    std::vector<uint8_t> p;
    Put32(p, 1);  // version
    Put32(p, 3);  // RGB
    Put16(p, 2), Put16(p, 2);
    Put32(p, 5);
    for (char c : std::string("Dots")) Put16(p, uint16_t(c));
    Put16(p, 0);
    p.push_back(3);
    p.insert(p.end(), {'a', 'b', 'c'});
    std::vector<uint8_t> list;
    for (uint32_t v : {0u, 0u, 2u, 2u}) Put32(list, v);
    Put32(list, 24);
    for (auto const& ch : {Channel({255, 0, 0, 0}, false), Channel({0, 255, 128, 128}, true),
                           Channel({0, 0, 255, 255}, false), Channel({255, 255, 0, 0}, true)})
        list.insert(list.end(), ch.begin(), ch.end());
    Put32(list, 0);  // an unwritten mask
    Put32(p, 3);
    Put32(p, uint32_t(list.size()));
    p.insert(p.end(), list.begin(), list.end());
    std::vector<uint8_t> body;
    Put32(body, uint32_t(p.size()));
    body.insert(body.end(), p.begin(), p.end());
    while (body.size() % 4) body.push_back(0);
    return body;
}

TEST(Patterns, ReadRawAndPackedChannelsWithTransparency) {
    auto body = OnePattern();
    std::vector<PSD::PSDPattern> out;
    std::string error;
    ASSERT_TRUE(PSD::ParsePatterns(body.data(), body.size(), out, error)) << error;
    ASSERT_EQ(out.size(), 1u);
    auto const& p = out[0];
    EXPECT_EQ(p.m_name, PSD::String("Dots"));
    EXPECT_EQ(p.m_id, PSD::String("abc"));
    EXPECT_EQ(p.m_colourMode, 3u);
    ASSERT_EQ(p.m_channels.size(), 3u);
    ASSERT_EQ(p.m_alpha.size(), 4u);
    EXPECT_FLOAT_EQ(p.Sample(0, 0, 0), 1.0f);
    EXPECT_FLOAT_EQ(p.Sample(1, 1, 0), 1.0f);   // the literal
    EXPECT_FLOAT_EQ(p.Sample(1, 1, 1), 128 / 255.0f);  // the run
    EXPECT_FLOAT_EQ(p.Sample(2, 0, 1), 1.0f);
    EXPECT_FLOAT_EQ(p.m_alpha[3], 0.0f);
    EXPECT_FLOAT_EQ(p.m_alpha[1], 1.0f);
    // Names only (for listings): the same header, no pixels decoded.
    std::vector<PSD::PSDPattern> names;
    ASSERT_TRUE(PSD::ParsePatterns(body.data(), body.size(), names, error, PSD::NoPatternsPixels))
        << error;
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].m_id, p.m_id);
    EXPECT_EQ(names[0].m_width, p.m_width);
    EXPECT_EQ(names[0].m_colourMode, p.m_colourMode);
    EXPECT_TRUE(names[0].m_channels.empty());
}

TEST(Patterns, DamagedBodiesFailWithoutReadingPastThem) {
    auto body = OnePattern();
    // Every cut into the pattern fails; the padding alone may go, and fewer bytes than a
    // length are no pattern at all.
    size_t whole = 4 + (size_t(body[2]) << 8 | body[3]);
    for (size_t n = 1; n < body.size(); ++n) {
        std::vector<uint8_t> cut(body.begin(), body.begin() + long(n));
        std::vector<PSD::PSDPattern> out;
        std::string error;
        bool ok = PSD::ParsePatterns(cut.data(), cut.size(), out, error);
        EXPECT_EQ(ok, n < 4 || n >= whole) << n;
        if (!ok) {
            EXPECT_FALSE(error.empty());
        }
    }
    // A packed row that overruns its width, and a channel whose rectangle is another size.
    for (size_t at : {size_t(0), size_t(1)}) {
        auto bad = body;
        std::vector<uint8_t> const needle = at == 0 ? std::vector<uint8_t>{1, 0, 255, 0xFF}
                                                    : std::vector<uint8_t>{0, 0, 0, 2, 0, 0, 0, 2, 0, 8};
        auto it = std::search(bad.begin() + 40, bad.end(), needle.begin(), needle.end());
        ASSERT_NE(it, bad.end());
        if (at == 0)
            it[0] = 5;  // a literal of six in a row of two
        else
            it[3] = 3;
        std::vector<PSD::PSDPattern> out;
        std::string error;
        EXPECT_FALSE(PSD::ParsePatterns(bad.data(), bad.size(), out, error));
        EXPECT_NE(error.find("pattern"), std::string::npos) << error;
        // Decoding only the sound pattern after it reads the whole body; the damaged one keeps
        // its header.
        auto both = bad;
        both.insert(both.end(), body.begin(), body.end());
        std::vector<PSD::PSDPattern> some;
        ASSERT_TRUE(PSD::ParsePatterns(both.data(), both.size(), some, error,
                                       [](size_t i, PSD::PSDPattern const& h) {
                                           return i == 1 && h.m_name == PSD::String("Dots");
                                       }))
            << error;
        ASSERT_EQ(some.size(), 2u);
        EXPECT_TRUE(some[0].m_channels.empty());
        ASSERT_EQ(some[1].m_channels.size(), 3u);
        EXPECT_FLOAT_EQ(some[1].Sample(1, 1, 1), 128 / 255.0f);
    }
}

// Change sets name a pattern by id: the document's own are completed with their name, others
// refused, and sets without a pattern pass untouched.
TEST(Patterns, ChangeSetsNameOnlyTheDocumentsPatterns) {
    auto path = testsupport::CorpusRoot() / "psd-tools/tests/psd_files/patterns.psd";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
    PSD::PSDReport report;
    std::string message, why;
    auto doc = PSD::OpenFile(path.string(), PSD::CreateOptions{}, report, message);
    ASSERT_TRUE(doc) << message;
    std::vector<std::string> errors;
    auto patterns = PSD::ReadDocumentPatterns(*doc, errors, PSD::NoPatternsPixels);
    ASSERT_FALSE(patterns.empty());
    nlohmann::json known = {{"pattern", {{"id", std::string(patterns[0].m_id)}}}};
    ASSERT_TRUE(PSD::PatternFromDocument(*doc, known, why)) << why;
    EXPECT_EQ(known["pattern"]["name"], std::string(patterns[0].m_name));
    nlohmann::json named = {{"pattern", {{"id", std::string(patterns[0].m_id)}, {"name", "mine"}}}};
    ASSERT_TRUE(PSD::PatternFromDocument(*doc, named, why));
    EXPECT_EQ(named["pattern"]["name"], "mine");
    nlohmann::json other = {{"scale", 50}}, unknown = {{"pattern", {{"id", "nope"}}}};
    EXPECT_TRUE(PSD::PatternFromDocument(*doc, other, why));
    EXPECT_EQ(other, nlohmann::json({{"scale", 50}}));
    EXPECT_FALSE(PSD::PatternFromDocument(*doc, unknown, why));
    EXPECT_EQ(why, "the document holds no pattern \"nope\"");
}

}  // namespace

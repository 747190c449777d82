#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "host/kernel/String.h"

using namespace Kernel;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back(static_cast<char>(v));
    return s;
}

std::u16string Units(std::initializer_list<char16_t> u) {
    return std::u16string(u);
}

}  // namespace

// A few bytes of each page (the first and last high ones, and where the two Mac pages differ),
// then every page is one to one over all 256 bytes and gives valid UTF-8.
TEST(Encoding, CodePagesMapKnownBytesAndRoundTrip) {
    struct Spot {
        unsigned codePage;
        uint8_t byte;
        char16_t unit;
    } const spots[] = {
        {10029, 0x41, u'A'},    {10029, 0x80, 0x00C4}, {10029, 0x81, 0x0100}, {10029, 0xA2, 0x0118},
        {10029, 0xFF, 0x02C7},  {10000, 0x81, 0x00C5}, {10000, 0xA2, 0x00A2}, {10000, 0xDB, 0x20AC},
        {10000, 0xF0, 0xF8FF},  {10000, 0xFF, 0x02C7}, {1252, 0x80, 0x20AC},  {28591, 0x80, 0x0080},
    };
    for (auto const& s : spots) {
        auto enc = StringEncoding::Make(s.codePage);
        ASSERT_TRUE(enc);
        EXPECT_EQ(enc->GetCodePage(), s.codePage);
        EXPECT_EQ(enc->Map(s.byte), s.unit) << s.codePage << " " << int(s.byte);
        char c = static_cast<char>(s.byte);
        EXPECT_EQ(ConvertEnc(enc->ToUnicode(&c, 1)), std::u16string(1, s.unit));
    }
    for (unsigned cp : {10029u, 10000u, 1252u, 28591u}) {
        SCOPED_TRACE(cp);
        auto enc = StringEncoding::Make(cp);
        ASSERT_TRUE(enc);
        std::string all;
        for (unsigned b = 0; b < 256; ++b) {
            char c = static_cast<char>(b);
            all.push_back(c);
            EXPECT_EQ(enc->FromUnicode(enc->ToUnicode(&c, 1)), std::string(1, c)) << b;
        }
        String8 text = enc->ToUnicode(all.data(), all.size());
        EXPECT_EQ(CharTraits<TEncUtf8>::GetValidLength(text.data(), text.size()), text.size());
        EXPECT_EQ(enc->FromUnicode(text), all);
    }
}

TEST(Encoding, UnmappableCharactersBecomeOneQuestionMarkEach) {
    auto enc = StringEncoding::Make(10029);
    // U+00E0 (a grave) is not in Central European; an emoji is one character of two units.
    EXPECT_EQ(enc->FromUnicode("x\xC3\xA0y\xF0\x9F\x98\x80z"), "x?y?z");
    // Malformed UTF-8 turns into U+FFFD first, which the code page cannot hold either.
    EXPECT_EQ(enc->FromUnicode("a\xFF"
                               "b"),
              "a?b");
    EXPECT_EQ(enc->ToUnicode("", 0), "");
    EXPECT_FALSE(StringEncoding::Make(12345));
    EXPECT_FALSE(StringEncoding::Make(0));
    // The instances are shared.
    EXPECT_EQ(StringEncoding::Make(10029).Get(), enc.Get());
}

TEST(Utf16To8, SurrogatePairsAndLoneSurrogates) {
    EXPECT_EQ(ConvertEnc(Units({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ConvertEnc(Units({0xDBFF, 0xDFFF})), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(ConvertEnc(Units({0xD800, 0xDC00})), "\xF0\x90\x80\x80");
    EXPECT_EQ(ConvertEnc(Units({u'a', 0xD83D, u'b'})),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ConvertEnc(Units({u'a', 0xDE00, u'b'})),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ConvertEnc(Units({u'a', 0xD83D})), "a\xEF\xBF\xBD");
    // Reversed order is two lone surrogates.
    EXPECT_EQ(ConvertEnc(Units({0xDE00, 0xD83D})), "\xEF\xBF\xBD\xEF\xBF\xBD");
    // A high surrogate followed by another high: the first is lone, the second pairs.
    EXPECT_EQ(ConvertEnc(Units({0xD83D, 0xD83D, 0xDE00})), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(ConvertEnc(Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF})),
              "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(ConvertEnc(std::u16string_view(u"\0x", 2)), std::string("\0x", 2));
    EXPECT_EQ(ConvertEnc(std::u16string_view()), "");
}

TEST(Utf8To16, ValidTextRoundTrips) {
    std::string s = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF";
    std::u16string u = ConvertEnc(std::string_view(s));
    EXPECT_EQ(u, Units({u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xFFFF, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(ConvertEnc(std::u16string_view(u)), s);
    // Every scalar value survives the trip both ways (sampled densely, all boundaries included).
    for (char32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x11000 ? 1 : 97)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string one;
        AppendUtf8(one, cp);
        ASSERT_EQ(CharTraits<TEncUtf8>::GetValidLength(one.data(), one.size()), one.size())
            << std::hex << unsigned(cp);
        ASSERT_EQ(ConvertEnc(std::u16string_view(ConvertEnc(std::string_view(one)))), one)
            << std::hex << unsigned(cp);
    }
}

// Each input: its UTF-16 (malformed parts replaced by maximal subparts: overlongs, surrogates,
// values above U+10FFFF, cut sequences, bytes never in UTF-8) and the length of its valid prefix.
TEST(Utf8To16, MalformedInputUsesMaximalSubpartsAndValidLength) {
    struct Case {
        std::string in;
        std::u16string out;
        size_t valid;
    } const cases[] = {
        {"plain", u"plain", 5},
        {"\x7F\xC2\x80\xDF\xBF", u"\x7F\x80\x7FF", 5},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", u"\x800\xD7FF\xE000", 9},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF", 8},
        // The example of the Unicode standard for maximal subparts.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd", 1},
        {"\x41\xC1\xBF", u"A\uFFFD\uFFFD", 1},
        {"\xC0\x80", u"\uFFFD\uFFFD", 0},
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD", 0},
        {"\xE0\x9F\xBF", u"\uFFFD\uFFFD\uFFFD", 0},
        {"\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", 0},
        {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD", 0},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", 0},
        {"\xED\xBF\xBF\x41", u"\uFFFD\uFFFD\uFFFDA", 0},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", 0},
        {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", 0},
        {"\x41\x42\xE2\x82", u"AB\uFFFD", 2},
        {"\xE2\x82\x41", u"\uFFFDA", 0},
        {"\xE2\x41\x82", u"\uFFFDA\uFFFD", 0},
        {"\xF0\x9F\x98", u"\uFFFD", 0},
        {"\xF0\x9F\x98\x41", u"\uFFFDA", 0},
        {"\xF0\x9F\x98\x80x\xF0\x9F", u"\xD83D\xDE00x\uFFFD", 5},
        {"\xC3", u"\uFFFD", 0},
        {"\x80\xBF", u"\uFFFD\uFFFD", 0},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        EXPECT_EQ(std::u16string(ConvertEnc(std::string_view(c.in))), c.out);
        EXPECT_EQ(CharTraits<TEncUtf8>::GetValidLength(c.in.data(), c.in.size()), c.valid);
    }
    for (int b = 0xF5; b <= 0xFF; ++b)
        EXPECT_EQ(std::u16string(ConvertEnc(std::string_view(Bytes({b, 'z'})))), u"\uFFFDz") << b;
    EXPECT_EQ(CharTraits<TEncUtf8>::GetValidLength(nullptr, 0), 0u);
    // The length limit is honoured: a sequence reaching past n is cut even if bytes follow.
    std::string e = "\xE2\x82\xAC";
    EXPECT_EQ(CharTraits<TEncUtf8>::GetValidLength(e.data(), 2), 0u);
    EXPECT_EQ(CharTraits<TEncUtf8>::GetValidLength(e.data(), 3), 3u);
    // Every cut of a mixed string keeps its complete characters and replaces only the cut tail.
    std::string mixed =
        "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
        "b";
    for (size_t cut = 0; cut <= mixed.size(); ++cut) {
        std::string part = mixed.substr(0, cut);
        size_t valid = CharTraits<TEncUtf8>::GetValidLength(part.data(), part.size());
        std::string back = ConvertEnc(std::u16string_view(ConvertEnc(std::string_view(part))));
        EXPECT_EQ(back, part.substr(0, valid) + (valid < cut ? "\xEF\xBF\xBD" : "")) << cut;
    }
    // Surrogates and values above U+10FFFF are replaced when appended.
    std::string s;
    AppendUtf8(s, 0xD800);
    AppendUtf8(s, 0x110000);
    AppendUtf8(s, 0x10FFFF);
    EXPECT_EQ(s, "\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF");
}

TEST(Format, Placeholders) {
    EXPECT_EQ(FormatString("%1 : %2 [%3]", {"a", "b", "c"}), "a : b [c]");
    EXPECT_EQ(FormatString("%3%2%1", {"a", "b", "c"}), "cba");
    EXPECT_EQ(FormatString("%1%1", {"x"}), "xx");
    EXPECT_EQ(FormatString("%9|%1", {"1", "2", "3", "4", "5", "6", "7", "8", "9"}), "9|1");
    EXPECT_EQ(FormatString("100%% of %1", {"it"}), "100% of it");
    EXPECT_EQ(FormatString("%%1", {"no"}), "%1");
    // Missing arguments are left as written; so are %0, a lone % and a trailing %.
    EXPECT_EQ(FormatString("%1 %2", {"only"}), "only %2");
    EXPECT_EQ(FormatString("%1", {}), "%1");
    EXPECT_EQ(FormatString("%0 %a 50% %", {"x"}), "%0 %a 50% %");
    // Arguments are not expanded again.
    EXPECT_EQ(FormatString("%1-%2", {"%2", "%1"}), "%2-%1");
    EXPECT_EQ(FormatString("[%1]", {"%%"}), "[%%]");
    // %10 is %1 followed by '0'.
    EXPECT_EQ(FormatString("%10", {"a"}), "a0");
    std::string out = "keep ";
    AppendFormatT(out, "%1!", {"more"});
    EXPECT_EQ(out, "keep more!");
    std::vector<String8> owned = {"one", "%1", "three"};
    out = ">";
    AppendFormatVT(out, "%3 %2 %1 %4", owned);
    EXPECT_EQ(out, ">three %1 one %4");
    std::vector<std::string_view> views = {"a", "b"};
    out.clear();
    AppendFormatVT(out, "%2%1%%", views);
    EXPECT_EQ(out, "ba%");
    out.clear();
    AppendFormatVT(out, "%1", std::span<std::string_view const>());
    EXPECT_EQ(out, "%1");
}

TEST(Format, NumbersToText) {
    EXPECT_EQ(ToStringBase(255, 16), "ff");
    EXPECT_EQ(ToStringBase(0, 16), "0");
    EXPECT_EQ(ToStringBase(0xFFFFFFFFFFFFFFFFull, 16), "ffffffffffffffff");
    EXPECT_EQ(ToStringBase(5, 2), "101");
    EXPECT_EQ(ToStringBase(35, 36), "z");
    EXPECT_EQ(ToString(0), "0");
    EXPECT_EQ(ToString(-42), "-42");
    EXPECT_EQ(ToString(4294967295u), "4294967295");
    EXPECT_EQ(ToString(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(ToString(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
    for (double d : {0.1, 1.0 / 3.0, 1e300, -2.5e-300, 72.0})
        EXPECT_EQ(std::strtod(ToString(d).c_str(), nullptr), d);
    EXPECT_EQ(ToString(72.0), "72");
}

TEST(Localised, CatalogueAndFallback) {
    LocalisedString s("Hello", "Ctx");
    EXPECT_EQ(s.Get(), "Hello");
    LocalisedString::SetCatalogue([](char const* ctx, char const* text) -> char const* {
        return std::string_view(ctx) == "Ctx" && std::string_view(text) == "Hello" ? "Hallo"
                                                                                   : nullptr;
    });
    EXPECT_EQ(s.Get(), "Hallo");
    EXPECT_EQ(String8(s), "Hallo");
    EXPECT_EQ(LocalisedString("Hello", "Other").Get(), "Hello");
    LocalisedString::SetCatalogue(nullptr);
    EXPECT_EQ(s.Get(), "Hello");
}

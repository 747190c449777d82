#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "psd/descriptor/DebugTrace.h"
#include "psd/text/PDFData.h"

using namespace PSD;

namespace {

Kernel::Counted<PDFData> ParseText(std::string const& text) {
    PDFDataParser parser(reinterpret_cast<unsigned char const*>(text.data()), text.size());
    return parser.Parse();
}

template <class T>
Kernel::Counted<T> As(Kernel::Counted<PDFData> const& v) {
    return v.DynamicCast<T>();
}

std::string Bytes(Kernel::Counted<PDFData> const& v) {
    auto s = As<PDFString>(v);
    return s ? std::string(s->m_bytes) : std::string("<not a string>");
}

}  // namespace

TEST(PDFDataParser, DictionaryOfEveryScalarKind) {
    auto v = ParseText("<< /A 1 /B 2.5 /C (x) /D [true /E] >>");
    auto d = As<PDFDictionary>(v);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->m_items.size(), 4u);
    EXPECT_EQ(d->m_items[0].m_key, "A");
    ASSERT_TRUE(As<PDFInt>(d->GetValue("A")));
    EXPECT_EQ(As<PDFInt>(d->GetValue("A"))->m_value, 1);
    ASSERT_TRUE(As<PDFDouble>(d->GetValue("B")));
    EXPECT_EQ(As<PDFDouble>(d->GetValue("B"))->m_value, 2.5);
    EXPECT_EQ(Bytes(d->GetValue("C")), "x");
    EXPECT_TRUE(As<PDFString>(d->GetValue("C"))->m_utf16.empty());
    auto a = d->GetArray("D");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetCount(), 2u);
    ASSERT_TRUE(As<PDFName>(a->GetAt(0)));
    EXPECT_EQ(As<PDFName>(a->GetAt(0))->m_name, "true");
    EXPECT_EQ(As<PDFName>(a->GetAt(1))->m_name, "E");
}

TEST(PDFDataParser, KeysWithoutSlashAndDuplicatesKeepSourceOrder) {
    auto d = As<PDFDictionary>(ParseText("<< A 1 /A 2 B 3 >>"));
    ASSERT_TRUE(d);
    ASSERT_EQ(d->m_items.size(), 3u);
    EXPECT_EQ(d->m_items[0].m_key, "A");
    EXPECT_EQ(d->m_items[1].m_key, "A");
    EXPECT_EQ(d->m_items[2].m_key, "B");
    EXPECT_EQ(d->GetInt("A", -1), 1);  // first match wins
    EXPECT_EQ(d->GetInt("B", -1), 3);
}

TEST(PDFDataParser, NumbersAndNames) {
    struct Case {
        char const* text;
        char kind;  // i int, d double, n name
        double value;
        char const* name;
    } const cases[] = {
        {"-0.0", 'd', -0.0, ""},
        {"-0", 'i', 0, ""},
        {"12abc", 'n', 0, "12abc"},
        {"1.5", 'd', 1.5, ""},
        {".5", 'd', 0.5, ""},
        {"-3.", 'd', -3.0, ""},
        {"1e3", 'd', 1000, ""},
        {"+7", 'i', 7, ""},
        {"-", 'i', 0, ""},
        {"+", 'i', 0, ""},
        {"true", 'n', 0, "true"},
        {"false", 'n', 0, "false"},
        {"4294967297", 'i', 1, ""},
        {"-2147483648", 'i', -2147483648.0, ""},
        {"2147483648", 'i', -2147483648.0, ""},
        {"1-2", 'n', 0, "1-2"},
        {"\xC3\xA9t\xC3\xA9", 'n', 0, "\xC3\xA9t\xC3\xA9"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto v = ParseText(c.text);
        ASSERT_TRUE(v);
        if (c.kind == 'i') {
            ASSERT_TRUE(As<PDFInt>(v));
            EXPECT_EQ(As<PDFInt>(v)->m_value, int32_t(c.value));
        } else if (c.kind == 'd') {
            ASSERT_TRUE(As<PDFDouble>(v));
            EXPECT_EQ(As<PDFDouble>(v)->m_value, c.value);
            EXPECT_EQ(std::signbit(As<PDFDouble>(v)->m_value), std::signbit(c.value));
        } else {
            ASSERT_TRUE(As<PDFName>(v));
            EXPECT_EQ(As<PDFName>(v)->m_name, c.name);
        }
    }
}

TEST(PDFDataParser, SlashNamesEndAtDelimiters) {
    auto a = As<PDFArray>(ParseText("[/a/b(c)/]"));
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetCount(), 4u);
    EXPECT_EQ(As<PDFName>(a->GetAt(0))->m_name, "a");
    EXPECT_EQ(As<PDFName>(a->GetAt(1))->m_name, "b");
    EXPECT_EQ(Bytes(a->GetAt(2)), "c");
    EXPECT_EQ(As<PDFName>(a->GetAt(3))->m_name, "");
}

TEST(PDFDataParser, LiteralStrings) {
    EXPECT_EQ(Bytes(ParseText("(a(b)c)")), "a(b)c");
    EXPECT_EQ(Bytes(ParseText("(a\\)b)")), "a)b");
    EXPECT_EQ(Bytes(ParseText("(\\101)")), "A");
    EXPECT_EQ(Bytes(ParseText("(\\1012)")), "A2");  // at most three octal digits
    EXPECT_EQ(Bytes(ParseText("(\\7x)")), "\7x");
    EXPECT_EQ(Bytes(ParseText("(\\777)")), "\xFF");  // modulo 256
    EXPECT_EQ(Bytes(ParseText("(\\b\\f\\n\\r\\t)")), "\b\f\n\r\t");
    EXPECT_EQ(Bytes(ParseText("(a\\\nb)")), "ab");
    EXPECT_EQ(Bytes(ParseText("(a\\\r\nb)")), "ab");
    EXPECT_EQ(Bytes(ParseText("(a\\\rb)")), "ab");
    EXPECT_EQ(Bytes(ParseText("(\\q\\\\)")), "q\\");
    EXPECT_EQ(Bytes(ParseText("(a\\(b)")), "a(b");
    EXPECT_EQ(Bytes(ParseText("(unterminated")), "unterminated");
    EXPECT_EQ(Bytes(ParseText("(ends in backslash\\")), "ends in backslash");
    EXPECT_EQ(Bytes(ParseText(std::string("(a\0b)", 5))), std::string("a\0b", 3));
    EXPECT_EQ(Bytes(ParseText("()")), "");
}

TEST(PDFDataParser, ByteOrderMarksMakeUtf16) {
    auto be = As<PDFString>(ParseText(std::string("(\xFE\xFF\x00\x41)", 6)));
    ASSERT_TRUE(be);
    EXPECT_TRUE(be->m_bytes.empty());
    EXPECT_EQ(be->m_utf16, u"A");
    EXPECT_EQ(be->GetString(), "A");

    auto le = As<PDFString>(ParseText(std::string("(\xFF\xFE\x41\x00\xAC\x20)", 8)));
    ASSERT_TRUE(le);
    EXPECT_EQ(le->m_utf16, u"A\u20AC");
    EXPECT_EQ(le->GetString(), "A\xE2\x82\xAC");

    // A lone mark is an empty UTF-16 text; an odd length stays bytes.
    auto mark = As<PDFString>(ParseText("(\xFE\xFF)"));
    ASSERT_TRUE(mark);
    EXPECT_TRUE(mark->m_bytes.empty() && mark->m_utf16.empty());
    auto odd = As<PDFString>(ParseText(std::string("(\xFE\xFF\x00)", 5)));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->m_bytes, std::string("\xFE\xFF\x00", 3));
    EXPECT_TRUE(odd->m_utf16.empty());
    // An escaped parenthesis inside UTF-16 text is one byte of a unit.
    auto esc = As<PDFString>(ParseText(std::string("(\xFE\xFF\x00\\(\x00\\))", 10)));
    ASSERT_TRUE(esc);
    EXPECT_EQ(esc->m_utf16, u"()");
}

TEST(PDFDataParser, UnterminatedContainersEndAtEndOfInput) {
    auto d = As<PDFDictionary>(ParseText("<< /A [1 2 << /B (x"));
    ASSERT_TRUE(d);
    auto a = d->GetArray("A");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->GetCount(), 3u);
    auto inner = As<PDFDictionary>(a->GetAt(2));
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->GetString("B"), "x");
    // A key with no value fails the dictionary.
    EXPECT_FALSE(ParseText("<< /A 1 /B"));
    EXPECT_FALSE(ParseText(""));
    EXPECT_FALSE(ParseText(" \t\r\n\f"));
    EXPECT_FALSE(ParseText(std::string(4, '\0')));
}

TEST(PDFDataParser, BytesThatBeginNoValueFailWithoutLooping) {
    for (char const* bad : {")", ">", "]", "{", "}", "%", "<", "< 1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseText(bad));
        if (std::string(bad) != "]") {
            EXPECT_FALSE(ParseText(std::string("[1 ") + bad + " 2]"));
        }
        EXPECT_FALSE(ParseText(std::string("<< /A ") + bad + " >>"));
        EXPECT_FALSE(ParseText(std::string("<< /A [ << /B ") + bad + " >> ] >>"));
    }
    EXPECT_FALSE(ParseText("<< /A 1 > >>"));
}

TEST(PDFDataParser, EveryByteAndPairTerminates) {
    for (int a = 0; a < 256; ++a) {
        std::string one(1, char(a));
        (void)ParseText(one);
        (void)ParseText("[" + one + "]");
        (void)ParseText("<<" + one + ">>");
        for (int b = 0; b < 256; b += 7) (void)ParseText("<< /k " + one + std::string(1, char(b)));
    }
    SUCCEED();
}

TEST(PDFDataParser, DeepNestingFailsInsteadOfOverflowing) {
    EXPECT_FALSE(ParseText(std::string(100000, '[')));
    EXPECT_FALSE(ParseText(std::string(200000, '<')));
    std::string fine(100, '[');
    fine += std::string(100, ']');
    EXPECT_TRUE(As<PDFArray>(ParseText(fine)));
}

TEST(PDFDataParser, OneValuePerCall) {
    std::string text = " /98 << /0 7 >> /0 [1]";
    PDFDataParser parser(reinterpret_cast<unsigned char const*>(text.data()), text.size());
    auto a = As<PDFName>(parser.Parse());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->m_name, "98");
    auto b = As<PDFDictionary>(parser.Parse());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->GetInt("0", 0), 7);
    EXPECT_TRUE(As<PDFName>(parser.Parse()));
    EXPECT_TRUE(As<PDFArray>(parser.Parse()));
    EXPECT_FALSE(parser.Parse());
    EXPECT_EQ(parser.GetRemaining(), 0u);
}

TEST(PDFDictionary, LookUps) {
    auto d = As<PDFDictionary>(
        ParseText("<< /N /Name /S (str) /I 4 /R -2.5 /H 2.5 /T true /F false /A [1] "
                  "/D << /E << /G << /X 9 >> >> /L 1 >> >>"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetName("N"), "Name");
    EXPECT_EQ(d->GetName("S"), "");
    EXPECT_EQ(d->GetString("S"), "str");
    EXPECT_EQ(d->GetString("N"), "");
    EXPECT_EQ(d->GetInt("I", 0), 4);
    EXPECT_EQ(d->GetDouble("I", 0), 4.0);
    EXPECT_EQ(d->GetInt("R", 0), -3);
    EXPECT_EQ(d->GetInt("H", 0), 3);
    EXPECT_EQ(d->GetDouble("R", 0), -2.5);
    EXPECT_EQ(d->GetInt("N", 11), 11);       // a name yields the default
    EXPECT_EQ(d->GetDouble("S", 1.5), 1.5);  // so does a string
    EXPECT_EQ(d->GetInt("missing", 5), 5);
    EXPECT_TRUE(d->GetBool("T"));
    EXPECT_FALSE(d->GetBool("F"));
    EXPECT_FALSE(d->GetBool("I"));
    EXPECT_FALSE(d->GetBool("missing"));
    EXPECT_TRUE(d->GetArray("A"));
    EXPECT_FALSE(d->GetArray("D"));
    EXPECT_FALSE(d->GetArray("missing"));
    auto x = d->GetValue("D", "E", "G");
    ASSERT_TRUE(As<PDFDictionary>(x));
    EXPECT_EQ(As<PDFDictionary>(x)->GetInt("X", 0), 9);
    EXPECT_TRUE(As<PDFInt>(d->GetValue("D", "L")));
    EXPECT_FALSE(d->GetValue("D", "L", "Z"));  // an intermediate that is no dictionary
    EXPECT_FALSE(d->GetValue("D", "missing", "G"));
    EXPECT_TRUE(As<PDFDictionary>(d->GetValue("D", nullptr, "ignored")));
}

TEST(PDFDouble, RoundsHalvesAwayFromZeroAndClamps) {
    EXPECT_EQ(PDFDouble(2.5).GetInt(0), 3);
    EXPECT_EQ(PDFDouble(-2.5).GetInt(0), -3);
    EXPECT_EQ(PDFDouble(2.49).GetInt(0), 2);
    EXPECT_EQ(PDFDouble(1e300).GetInt(0), INT32_MAX);
    EXPECT_EQ(PDFDouble(-1e300).GetInt(0), INT32_MIN);
    EXPECT_EQ(PDFInt(-4).GetDouble(0), -4.0);
    EXPECT_FALSE(PDFInt(1).GetBool());
    EXPECT_TRUE(PDFName("true").GetBool());
    EXPECT_FALSE(PDFName("True").GetBool());
}

TEST(PDFData, DumpReadsBackAsTheSameTree) {
    std::string text = "<< /A 1 /B 2.0 /C (p\\(q\\)\\n) /D [/x 1.5 << /E [] >>] /F () >>";
    auto v = ParseText(text);
    ASSERT_TRUE(v);
    Kernel::String8 dump;
    {
        DebugDumpCapture capture(dump);
        v->PrintValue(0);
    }
    auto again = As<PDFDictionary>(ParseText(dump));
    ASSERT_TRUE(again) << dump;
    EXPECT_EQ(again->m_items.size(), 5u);
    EXPECT_TRUE(As<PDFDouble>(again->GetValue("B")));
    EXPECT_EQ(again->GetString("C"), "p(q)\n");
    auto d = again->GetArray("D");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->GetCount(), 3u);
    EXPECT_TRUE(As<PDFDictionary>(d->GetAt(2)));
}

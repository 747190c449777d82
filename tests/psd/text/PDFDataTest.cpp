#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "psd/report/DebugTrace.h"
#include "psd/text/PDFData.h"
#include "psd/text/PDFDataWriter.h"

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

// A tree in one line, every value with its kind: 1 int, 2.5d double, /n name, (s) bytes,
// u(s) UTF-16 text, [..] array, {k=v ..} dictionary in source order.
std::string Show(Kernel::Counted<PDFData> const& v) {
    if (!v) return "null";
    if (auto i = As<PDFInt>(v)) return std::to_string(i->m_value);
    if (auto d = As<PDFDouble>(v)) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17gd", d->m_value);
        return buf;
    }
    if (auto n = As<PDFName>(v)) return "/" + std::string(n->m_name);
    if (auto s = As<PDFString>(v))
        return s->m_utf16.empty() ? "(" + std::string(s->m_bytes) + ")"
                                  : "u(" + std::string(s->GetString()) + ")";
    std::string out;
    if (auto a = As<PDFArray>(v)) {
        for (auto const& e : a->m_items) out += (out.empty() ? "" : " ") + Show(e);
        return "[" + out + "]";
    }
    if (auto d = As<PDFDictionary>(v)) {
        for (auto const& e : d->m_items)
            out += (out.empty() ? "" : " ") + std::string(e.m_key) + "=" + Show(e.m_value);
        return "{" + out + "}";
    }
    return "?";
}

}  // namespace

// Guards the tokenizer: each value's kind and text, keys with or without slash, in source order.
TEST(PDFDataParser, ValuesParseToTheirKinds) {
    std::pair<std::string, std::string> const cases[] = {
        {"<< /A 1 /B 2.5 /C (x) /D [true /E] >>", "{A=1 B=2.5d C=(x) D=[/true /E]}"},
        {"<< A 1 /A 2 B 3 >>", "{A=1 A=2 B=3}"},  // duplicates stay
        {"[/a/b(c)/]", "[/a /b (c) /]"},          // slash names end at delimiters
        {"-0.0", "-0d"},
        {"-0", "0"},
        {"12abc", "/12abc"},
        {"1.5", "1.5d"},
        {".5", "0.5d"},
        {"-3.", "-3d"},
        {"1e3", "1000d"},
        {"+7", "7"},
        {"-", "0"},
        {"+", "0"},
        {"false", "/false"},
        {"4294967297", "1"},
        {"-2147483648", "-2147483648"},
        {"2147483648", "-2147483648"},
        {"1-2", "/1-2"},
        {"\xC3\xA9t\xC3\xA9", "/\xC3\xA9t\xC3\xA9"},
        // Literal strings: nesting, escapes, octal (three digits at most, modulo 256), line
        // continuations, and an unterminated end.
        {"(a(b)c)", "(a(b)c)"},
        {"(a\\)b)", "(a)b)"},
        {"(\\101)", "(A)"},
        {"(\\1012)", "(A2)"},
        {"(\\7x)", "(\7x)"},
        {"(\\777)", "(\xFF)"},
        {"(\\b\\f\\n\\r\\t)", "(\b\f\n\r\t)"},
        {"(a\\\nb)", "(ab)"},
        {"(a\\\r\nb)", "(ab)"},
        {"(a\\\rb)", "(ab)"},
        {"(\\q\\\\)", "(q\\)"},
        {"(a\\(b)", "(a(b)"},
        {"(unterminated", "(unterminated)"},
        {"(ends in backslash\\", "(ends in backslash)"},
        {std::string("(a\0b)", 5), std::string("(a\0b)", 5)},
        {"()", "()"},
        // Byte order marks make UTF-16 text; a lone mark is empty text, an odd length stays bytes.
        {std::string("(\xFE\xFF\x00\x41)", 6), "u(A)"},
        {std::string("(\xFF\xFE\x41\x00\xAC\x20)", 8), "u(A\xE2\x82\xAC)"},
        {"(\xFE\xFF)", "()"},
        {std::string("(\xFE\xFF\x00)", 5), std::string("(\xFE\xFF\x00)", 5)},
        {std::string("(\xFE\xFF\x00\\(\x00\\))", 10), "u(())"},  // an escape is one byte of a unit
        // Unterminated containers end at the end of the input.
        {"<< /A [1 2 << /B (x", "{A=[1 2 {B=(x)}]}"},
    };
    for (auto const& [text, shown] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Show(ParseText(text)), shown);
    }
    EXPECT_EQ(As<PDFString>(ParseText(std::string("(\xFE\xFF\x00\x41)", 6)))->m_bytes, "");
}

// Guards against bytes that begin no value: they fail where they stand, without looping.
TEST(PDFDataParser, MalformedInputFails) {
    for (char const* bad : {")", ">", "]", "{", "}", "%", "<", "< 1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseText(bad));
        if (std::string(bad) != "]") {
            EXPECT_FALSE(ParseText(std::string("[1 ") + bad + " 2]"));
        }
        EXPECT_FALSE(ParseText(std::string("<< /A ") + bad + " >>"));
        EXPECT_FALSE(ParseText(std::string("<< /A [ << /B ") + bad + " >> ] >>"));
    }
    for (std::string bad : {std::string("<< /A 1 > >>"), std::string("<< /A 1 /B"), std::string(),
                            std::string(" \t\r\n\f"), std::string(4, '\0')}) {
        EXPECT_FALSE(ParseText(bad)) << bad;  // a key without value fails the dictionary
    }
    // Every byte, and pairs of bytes, alone and in containers, end without crash or hang.
    for (int a = 0; a < 256; ++a) {
        std::string one(1, char(a));
        (void)ParseText(one);
        (void)ParseText("[" + one + "]");
        (void)ParseText("<<" + one + ">>");
        for (int b = 0; b < 256; b += 7) (void)ParseText("<< /k " + one + std::string(1, char(b)));
    }
}

// Guards the nesting limit: a stack overflow on hostile input.
TEST(PDFDataParser, DeepNestingFailsInsteadOfOverflowing) {
    EXPECT_FALSE(ParseText(std::string(100000, '[')));
    EXPECT_FALSE(ParseText(std::string(200000, '<')));
    EXPECT_EQ(Show(ParseText(std::string(3, '[') + std::string(3, ']'))), "[[[]]]");
    EXPECT_TRUE(As<PDFArray>(ParseText(std::string(100, '[') + std::string(100, ']'))));
}

// Guards the typed look-ups: a value of another kind gives the default, paths stop at non-
// dictionaries.
TEST(PDFDictionary, LookUps) {
    auto d = As<PDFDictionary>(
        ParseText("<< /N /Name /S (str) /I 4 /R -2.5 /H 2.5 /T true /F false /A [1] "
                  "/D << /E << /G << /X 9 >> >> /L 1 >> >>"));
    ASSERT_TRUE(d);
    // Each key read as name|string|int (default 11)|double (default 1.5)|bool|array: a value of
    // another kind gives the default, doubles round halves away from zero.
    auto look = [&d](char const* k) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "|%d|%g|%d|%d", d->GetInt(k, 11), d->GetDouble(k, 1.5),
                      int(d->GetBool(k)), int(bool(d->GetArray(k))));
        return std::string(d->GetName(k)) + "|" + std::string(d->GetString(k)) + buf;
    };
    std::pair<char const*, char const*> const rows[] = {
        {"N", "Name||11|1.5|0|0"},  {"S", "|str|11|1.5|0|0"}, {"I", "||4|4|0|0"},
        {"R", "||-3|-2.5|0|0"},     {"H", "||3|2.5|0|0"},     {"T", "true||11|1.5|1|0"},
        {"F", "false||11|1.5|0|0"}, {"A", "||11|1.5|0|1"},    {"D", "||11|1.5|0|0"},
        {"missing", "||11|1.5|0|0"}};
    for (auto const& [key, shown] : rows) EXPECT_EQ(look(key), shown) << key;
    EXPECT_EQ(Show(d->GetValue("D", "E", "G")), "{X=9}");
    EXPECT_EQ(Show(d->GetValue("D", "L")), "1");
    EXPECT_FALSE(d->GetValue("D", "L", "Z"));  // an intermediate that is no dictionary
    EXPECT_FALSE(d->GetValue("D", "missing", "G"));
    EXPECT_TRUE(As<PDFDictionary>(d->GetValue("D", nullptr, "ignored")));
    // Doubles clamp; only the name "true" is true.
    EXPECT_EQ(PDFDouble(2.49).GetInt(0), 2);
    EXPECT_EQ(PDFDouble(1e300).GetInt(0), INT32_MAX);
    EXPECT_EQ(PDFDouble(-1e300).GetInt(0), INT32_MIN);
    EXPECT_FALSE(PDFInt(1).GetBool());
    EXPECT_FALSE(PDFName("True").GetBool());
}

// Guards the dump: what it prints parses back as the same tree.
TEST(PDFData, DumpReadsBackAsTheSameTree) {
    auto v = ParseText("<< /A 1 /B 2.0 /C (p\\(q\\)\\n) /D [/x 1.5 << /E [] >>] /F () >>");
    ASSERT_EQ(Show(v), "{A=1 B=2d C=(p(q)\n) D=[/x 1.5d {E=[]}] F=()}");
    Kernel::String8 dump;
    {
        DebugDumpCapture capture(dump);
        v->PrintValue(0);
    }
    EXPECT_EQ(Show(ParseText(dump)), Show(v)) << dump;
}

// What the library writes into a type layer reads back as the tree it wrote: byte strings that are
// not UTF-8 keep their bytes, reals keep enough places for an 8-bit colour step, and numbers too
// large for a short buffer are written whole.
TEST(PDFData, WrittenReadsBackAsTheSameTree) {
    static char const kText[] =
        "<< /A (\xFE\xFF\x00P\x00) /B (\xFE\xFF\x00H\x00i) "
        "/C [true false /n] /D [0.5 -2.25 1e30 0] /E (a\\(b\\)c\\\\) >>";
    auto v = ParseText(std::string(kText, sizeof kText - 1));
    auto d = As<PDFDictionary>(v);
    ASSERT_TRUE(d);
    EXPECT_EQ(As<PDFString>(d->GetValue("A"))->m_bytes.size(), 5u);
    std::string before = Show(v);
    d->Append("F", Kernel::MakeCounted<PDFDouble>(128.0 / 255.0));
    auto back = As<PDFDictionary>(ParseText(WritePDFData(*v)));
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->GetValue("F")->GetDouble(0) * 255.0, 128.0, 1e-6);
    back->m_items.pop_back();
    EXPECT_EQ(Show(back), before);
}

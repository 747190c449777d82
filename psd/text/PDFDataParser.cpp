// Tokenizer and recursive parser of engine data.
#include <cerrno>
#include <cstdlib>

#include "psd/text/PDFData.h"

namespace PSD {

using String8 = Kernel::StringT<Kernel::TEncUtf8>;

namespace {

// Real engine data nests a dozen levels; deeper input is hostile and would exhaust the stack.
constexpr int kMaxDepth = 256;

bool IsWhitespace(unsigned char c) {
    return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

bool IsDelimiter(unsigned char c) {
    switch (c) {
        case '%':
        case '(':
        case ')':
        case '/':
        case '<':
        case '>':
        case '[':
        case ']':
        case '{':
        case '}':
            return true;
        default:
            return false;
    }
}

bool IsRegular(unsigned char c) {
    return !IsWhitespace(c) && !IsDelimiter(c);
}

// Optional sign, then decimal digits only; wraps like an unsigned 32-bit accumulator.
bool ParseInteger(String8 const& token, int32_t& out) {
    size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    uint32_t value = 0;
    for (; i < token.size(); ++i) {
        char c = token[i];
        if (c < '0' || c > '9') return false;
        value = value * 10u + uint32_t(c - '0');
    }
    if (negative) value = 0u - value;
    out = int32_t(value);
    return true;
}

// The whole token must be consumed by strtod.
bool ParseReal(String8 const& token, double& out) {
    if (token.empty() || IsWhitespace(static_cast<unsigned char>(token[0]))) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size()) return false;
    out = v;
    return true;
}

class DepthGuard {
public:
    explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    bool TooDeep() const { return m_depth > kMaxDepth; }

private:
    int& m_depth;
};

}  // namespace

void PDFDataParser::Advance(unsigned long n) {
    if (n >= m_remaining) {
        // Past the end: every construct still open ends at once.
        m_offset += m_remaining;
        m_remaining = 0;
        return;
    }
    m_offset += n;
    m_remaining -= n;
}

void PDFDataParser::SkipWhitespace() {
    while (More() && IsWhitespace(Peek())) Advance();
}

String8 PDFDataParser::ReadToken() {
    if (More() && Peek() == '/') Advance();
    unsigned long start = m_offset;
    while (More() && IsRegular(Peek())) Advance();
    return String8(reinterpret_cast<char const*>(m_data + start), m_offset - start);
}

Kernel::Counted<PDFData> PDFDataParser::Parse() {
    SkipWhitespace();
    if (!More()) return nullptr;
    DepthGuard guard(m_depth);
    if (guard.TooDeep()) return nullptr;
    unsigned char c = Peek();
    if (c == '(') {
        Advance();
        return ParseLiteralString();
    }
    if (c == '/') {
        Advance();
        return Kernel::Counted<PDFData>(new PDFName(ReadToken()));
    }
    if (c == '[') {
        Advance();
        return ParseArray();
    }
    if (c == '<' && m_remaining >= 2 && m_data[m_offset + 1] == '<') {
        Advance(2);
        return ParseDictionary();
    }
    return ParseNameOrNumber();
}

Kernel::Counted<PDFData> PDFDataParser::ParseNameOrNumber() {
    String8 token = ReadToken();
    // A byte that can begin no value (")", ">", "]", "{", "}", "%", a lone "<") leaves the token
    // empty and the cursor where it was: fail rather than hand back a value that consumed nothing.
    if (token.empty()) return nullptr;
    int32_t i;
    if (ParseInteger(token, i)) return Kernel::Counted<PDFData>(new PDFInt(i));
    double d;
    if (ParseReal(token, d)) return Kernel::Counted<PDFData>(new PDFDouble(d));
    return Kernel::Counted<PDFData>(new PDFName(std::move(token)));
}

Kernel::Counted<PDFData> PDFDataParser::ParseDictionary() {
    Kernel::Counted<PDFDictionary> dict(new PDFDictionary);
    for (;;) {
        SkipWhitespace();
        if (!More()) break;
        if (Peek() == '>' && m_remaining >= 2 && m_data[m_offset + 1] == '>') {
            Advance(2);
            break;
        }
        String8 key = ReadToken();
        Kernel::Counted<PDFData> value = Parse();
        if (!value) return nullptr;
        dict->Append(std::move(key), std::move(value));
    }
    return dict;
}

Kernel::Counted<PDFData> PDFDataParser::ParseArray() {
    Kernel::Counted<PDFArray> array(new PDFArray);
    for (;;) {
        SkipWhitespace();
        if (!More()) break;
        if (Peek() == ']') {
            Advance();
            break;
        }
        Kernel::Counted<PDFData> value = Parse();
        if (!value) return nullptr;
        array->m_items.push_back(std::move(value));
    }
    return array;
}

Kernel::Counted<PDFData> PDFDataParser::ParseLiteralString() {
    std::string bytes;
    int depth = 1;
    while (More()) {
        unsigned char c = Peek();
        Advance();
        if (c == '(') {
            bytes += char(c);
            ++depth;
        } else if (c == ')') {
            if (depth >= 2) bytes += char(c);
            if (--depth == 0) break;
        } else if (c == '\\') {
            if (!More()) break;
            unsigned char e = Peek();
            switch (e) {
                case '(':
                case ')':
                case '\\':
                    bytes += char(e);
                    Advance();
                    break;
                case 'b':
                    bytes += '\b';
                    Advance();
                    break;
                case 'f':
                    bytes += '\f';
                    Advance();
                    break;
                case 'n':
                    bytes += '\n';
                    Advance();
                    break;
                case 'r':
                    bytes += '\r';
                    Advance();
                    break;
                case 't':
                    bytes += '\t';
                    Advance();
                    break;
                case '\n':
                    Advance();
                    break;  // line continuation
                case '\r':
                    Advance();
                    if (More() && Peek() == '\n') Advance();
                    break;
                default:
                    if (e >= '0' && e <= '7') {
                        unsigned value = 0;
                        for (int digits = 0; digits < 3 && More() && Peek() >= '0' && Peek() <= '7';
                             ++digits) {
                            value = value * 8 + unsigned(Peek() - '0');
                            Advance();
                        }
                        bytes += char(value & 0xFF);
                    }
                    // Any other byte: the backslash is dropped and the byte is read again normally.
                    break;
            }
        } else {
            bytes += char(c);
        }
    }
    return Kernel::Counted<PDFData>(new PDFString(bytes));
}

}  // namespace PSD

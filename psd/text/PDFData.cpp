#include "psd/text/PDFData.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "psd/report/DebugTrace.h"

namespace PSD {

using String8 = Kernel::StringT<Kernel::TEncUtf8>;

namespace {

bool IsScalar(PDFData const* v) {
    return !dynamic_cast<PDFDictionary const*>(v) && !dynamic_cast<PDFArray const*>(v);
}

}  // namespace

// ---- Dictionary

void PDFDictionary::Append(String8 key, Kernel::Counted<PDFData> value) {
    m_items.push_back(PDFDictionaryItem{std::move(key), std::move(value)});
}

Kernel::Counted<PDFData> PDFDictionary::GetValue(char const* key) const {
    if (!key) return nullptr;
    size_t n = std::strlen(key);
    for (auto const& item : m_items)
        if (item.m_key.size() == n && std::memcmp(item.m_key.data(), key, n) == 0)
            return item.m_value;
    return nullptr;
}

Kernel::Counted<PDFData> PDFDictionary::GetValue(char const* key1, char const* key2,
                                                 char const* key3) const {
    Kernel::Counted<PDFData> v = GetValue(key1);
    for (char const* next : {key2, key3}) {
        if (!v || !next) break;
        auto d = v.DynamicCast<PDFDictionary>();
        if (!d) return nullptr;
        v = d->GetValue(next);
    }
    return v;
}

bool PDFDictionary::GetBool(char const* key) const {
    auto v = GetValue(key);
    return v && v->GetBool();
}

int PDFDictionary::GetInt(char const* key, int defaultValue) const {
    auto v = GetValue(key);
    return v ? v->GetInt(defaultValue) : defaultValue;
}

double PDFDictionary::GetDouble(char const* key, double defaultValue) const {
    auto v = GetValue(key);
    return v ? v->GetDouble(defaultValue) : defaultValue;
}

String8 PDFDictionary::GetName(char const* key) const {
    auto v = GetValue(key).DynamicCast<PDFName>();
    return v ? v->m_name : String8();
}

String8 PDFDictionary::GetString(char const* key) const {
    auto v = GetValue(key).DynamicCast<PDFString>();
    return v ? v->GetString() : String8();
}

Kernel::Counted<PDFArray const> PDFDictionary::GetArray(char const* key) const {
    return GetValue(key).DynamicCast<PDFArray const>();
}

void PDFDictionary::PrintValue(int indent) const {
    DebugTrace("<<\n");
    for (auto const& item : m_items) {
        DebugTraceIndent(indent + 1);
        DebugTrace("/");
        DebugTrace(item.m_key);
        DebugTrace(" ");
        if (item.m_value) item.m_value->PrintValue(indent + 1);
        DebugTrace("\n");
    }
    DebugTraceIndent(indent);
    DebugTrace(">>");
}

// ---- Array

void PDFArray::PrintValue(int indent) const {
    bool flat = true;
    for (auto const& v : m_items) flat = flat && v && IsScalar(v.Get());
    if (flat) {
        DebugTrace("[");
        for (size_t i = 0; i < m_items.size(); ++i) {
            if (i) DebugTrace(" ");
            if (m_items[i]) m_items[i]->PrintValue(indent);
        }
        DebugTrace("]");
        return;
    }
    DebugTrace("[\n");
    for (auto const& v : m_items) {
        DebugTraceIndent(indent + 1);
        if (v) v->PrintValue(indent + 1);
        DebugTrace("\n");
    }
    DebugTraceIndent(indent);
    DebugTrace("]");
}

// ---- Scalars

void PDFName::PrintValue(int) const {
    DebugTrace("/");
    DebugTrace(m_name);
}

PDFString::PDFString(std::string_view bytes) {
    size_t n = bytes.size();
    auto const* b = reinterpret_cast<unsigned char const*>(bytes.data());
    bool even = n % 2 == 0 && n >= 2;
    if (even && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) {
        bool bigEndian = b[0] == 0xFE;
        m_utf16.reserve(n / 2 - 1);
        for (size_t i = 2; i < n; i += 2)
            m_utf16.push_back(bigEndian ? char16_t(b[i] << 8 | b[i + 1])
                                        : char16_t(b[i + 1] << 8 | b[i]));
    } else {
        m_bytes.assign(bytes.data(), n);
    }
}

String8 PDFString::GetString() const {
    return m_utf16.empty() ? m_bytes : Kernel::ConvertEnc(m_utf16);
}

Story::GlyphString PDFString::GetGlyphs() const {
    return m_utf16.empty() ? Story::GlyphString::FromUtf8(m_bytes) : Story::GlyphString(m_utf16);
}

void PDFString::PrintValue(int) const {
    // As the literal would be written back: parentheses, backslashes and controls escaped.
    DebugTrace(DebugQuoted(GetString(), '(', ')'));
}

void PDFInt::PrintValue(int) const {
    DebugTrace(Kernel::ToString(int64_t(m_value)));
}

int PDFDouble::GetInt(int) const {
    if (std::isnan(m_value)) return 0;
    double r = std::round(m_value);  // halves away from zero
    if (r >= double(INT_MAX)) return INT_MAX;
    if (r <= double(INT_MIN)) return INT_MIN;
    return int(r);
}

void PDFDouble::PrintValue(int) const {
    String8 text = Kernel::ToString(m_value);
    // Keep reals recognisable as reals in the dump.
    if (text.find_first_of(".eEnN") == String8::npos) text += ".0";
    DebugTrace(text);
}

}  // namespace PSD

// Strings, encodings and message formatting. All text handed to callers is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "host/kernel/Counted.h"

namespace Kernel {

struct TEncUtf8 {};
struct TEncUtf16 {};

template <class Enc>
class StringT;

// UTF-8 text. A std::string underneath, so every standard operation applies.
template <>
class StringT<TEncUtf8> : public std::string {
public:
    using std::string::string;
    StringT() = default;
    StringT(std::string const& s) : std::string(s) {}
    StringT(std::string&& s) noexcept : std::string(std::move(s)) {}
    StringT(std::string_view s) : std::string(s) {}
    bool IsEmpty() const noexcept { return empty(); }
};

// UTF-16 text in host order.
template <>
class StringT<TEncUtf16> : public std::u16string {
public:
    using std::u16string::u16string;
    StringT() = default;
    StringT(std::u16string const& s) : std::u16string(s) {}
    StringT(std::u16string&& s) noexcept : std::u16string(std::move(s)) {}
    StringT(std::u16string_view s) : std::u16string(s) {}
};

using String8 = StringT<TEncUtf8>;
using String16 = StringT<TEncUtf16>;

template <class Enc>
struct CharTraits;

// Code-unit traits of UTF-8 strings.
template <>
struct CharTraits<TEncUtf8> {
    // Length in bytes of the longest prefix of [p, p+n) that is well-formed UTF-8
    // (shortest forms only, no surrogates, nothing above U+10FFFF).
    static size_t GetValidLength(char const* p, size_t n) noexcept;
};

// Conversions survive malformed input: every ill-formed sequence becomes U+FFFD.
String8 ConvertEnc(std::u16string_view in);
String16 ConvertEnc(std::string_view in);
// Appends one code point as UTF-8; invalid scalars become U+FFFD.
void AppendUtf8(std::string& out, char32_t cp);

// A single-byte legacy encoding (Pascal strings of layer names and resources).
class StringEncoding : public Countable {
public:
    // Known code pages: 10029 (Mac Central European), 10000 (Mac Roman), 1252 and 28591 (Latin-1).
    // Unknown code pages give null.
    static Counted<StringEncoding const> Make(unsigned codePage);

    unsigned GetCodePage() const noexcept { return m_codePage; }
    String8 ToUnicode(void const* bytes, size_t n) const;
    // Characters the code page cannot hold become '?'.
    std::string FromUnicode(std::string_view utf8) const;
    char16_t Map(uint8_t byte) const noexcept { return m_table[byte]; }

private:
    StringEncoding(unsigned cp, char16_t const* table) noexcept;
    unsigned m_codePage;
    char16_t m_table[256];
};

String8 ToString(int64_t v);
String8 ToString(uint64_t v);
inline String8 ToString(int v) {
    return ToString(static_cast<int64_t>(v));
}
inline String8 ToString(unsigned v) {
    return ToString(static_cast<uint64_t>(v));
}
inline String8 ToString(long long v) {
    return ToString(static_cast<int64_t>(v));
}
inline String8 ToString(unsigned long long v) {
    return ToString(static_cast<uint64_t>(v));
}
// Shortest text that reads back to the same double.
String8 ToString(double v);
// Unsigned value in a base from 2 to 36, lower-case digits, no leading zeros.
String8 ToStringBase(uint64_t v, unsigned base);

// Fills %1 .. %9 with the arguments; "%%" is a literal percent; a placeholder without an
// argument is left as written.
String8 FormatString(std::string_view format, std::initializer_list<std::string_view> args);
void AppendFormatT(std::string& out, std::string_view format,
                   std::initializer_list<std::string_view> args);
// The same with an argument list built at run time.
void AppendFormatVT(std::string& out, std::string_view format,
                    std::span<std::string_view const> args);
void AppendFormatVT(std::string& out, std::string_view format, std::span<String8 const> args);

// A translatable message: an English default text and the context it belongs to.
class LocalisedString {
public:
    LocalisedString(std::string_view text, std::string_view context)
        : m_text(text), m_context(context) {}
    // The translation from the installed catalogue, or the English text when there is none.
    String8 Get() const;
    operator String8() const { return Get(); }

    // A host installs a catalogue: (context, English text) -> translated text, or null to keep
    // the English. Pass null to remove it.
    using Catalogue = char const* (*)(char const* context, char const* text);
    static void SetCatalogue(Catalogue c) noexcept;

private:
    std::string m_text;
    std::string m_context;
};

// Diagnostic output for developers: silent unless ZUZODORIV_TRACE is set in the environment
// (to "1" for stderr, or to a file path to append to).
void Trace(std::string_view line);
bool TraceEnabled() noexcept;

}  // namespace Kernel

// Strings as keys of unordered containers.
template <>
struct std::hash<Kernel::StringT<Kernel::TEncUtf8>> {
    size_t operator()(Kernel::StringT<Kernel::TEncUtf8> const& s) const noexcept {
        return std::hash<std::string_view>()(s);
    }
};

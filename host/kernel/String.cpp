#include "host/kernel/String.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace Kernel {

size_t CharTraits<TEncUtf8>::GetValidLength(char const* p, size_t n) noexcept {
    auto const* s = reinterpret_cast<unsigned char const*>(p);
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (len > n - i) return i;
        if (s[i + 1] < lo || s[i + 1] > hi) return i;
        for (size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return i;
        i += len;
    }
    return i;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

String8 ConvertEnc(std::u16string_view in) {
    String8 out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;  // lone high surrogate
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;  // lone low surrogate
        }
        AppendUtf8(out, c);
    }
    return out;
}

String16 ConvertEnc(std::string_view in) {
    String16 out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        size_t valid = CharTraits<TEncUtf8>::GetValidLength(in.data() + i, in.size() - i);
        // Decode the valid run.
        size_t end = i + valid;
        while (i < end) {
            auto c = static_cast<unsigned char>(in[i]);
            char32_t cp;
            size_t len;
            if (c < 0x80) {
                cp = c;
                len = 1;
            } else if (c < 0xE0) {
                cp = c & 0x1F;
                len = 2;
            } else if (c < 0xF0) {
                cp = c & 0x0F;
                len = 3;
            } else {
                cp = c & 0x07;
                len = 4;
            }
            for (size_t k = 1; k < len; ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                out.push_back(static_cast<char16_t>(cp));
            }
            i += len;
        }
        if (i >= in.size()) break;
        // One replacement character per maximal ill-formed subpart.
        out.push_back(u'\uFFFD');
        auto c = static_cast<unsigned char>(in[i]);
        size_t skip = 1;
        size_t want = (c >= 0xC2 && c <= 0xDF)   ? 2
                      : (c >= 0xE0 && c <= 0xEF) ? 3
                      : (c >= 0xF0 && c <= 0xF4) ? 4
                                                 : 1;
        while (skip < want && i + skip < in.size()) {
            auto t = static_cast<unsigned char>(in[i + skip]);
            unsigned lo = 0x80, hi = 0xBF;
            if (skip == 1) {
                if (c == 0xE0) lo = 0xA0;
                if (c == 0xED) hi = 0x9F;
                if (c == 0xF0) lo = 0x90;
                if (c == 0xF4) hi = 0x8F;
            }
            if (t < lo || t > hi) break;
            ++skip;
        }
        i += skip;
    }
    return out;
}

namespace {

constexpr char16_t kMacCentralEurope[128] = {
    0x00C4, 0x0100, 0x0101, 0x00C9, 0x0104, 0x00D6, 0x00DC, 0x00E1, 0x0105, 0x010C, 0x00E4, 0x010D,
    0x0106, 0x0107, 0x00E9, 0x0179, 0x017A, 0x010E, 0x00ED, 0x010F, 0x0112, 0x0113, 0x0116, 0x00F3,
    0x0117, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x011A, 0x011B, 0x00FC, 0x2020, 0x00B0, 0x0118, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x0119, 0x00A8, 0x2260, 0x0123, 0x012E,
    0x012F, 0x012A, 0x2264, 0x2265, 0x012B, 0x0136, 0x2202, 0x2211, 0x0142, 0x013B, 0x013C, 0x013D,
    0x013E, 0x0139, 0x013A, 0x0145, 0x0146, 0x0143, 0x00AC, 0x221A, 0x0144, 0x0147, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x0148, 0x0150, 0x00D5, 0x0151, 0x014C, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x014D, 0x0154, 0x0155, 0x0158, 0x2039, 0x203A, 0x0159, 0x0156,
    0x0157, 0x0160, 0x201A, 0x201E, 0x0161, 0x015A, 0x015B, 0x00C1, 0x0164, 0x0165, 0x00CD, 0x017D,
    0x017E, 0x016A, 0x00D3, 0x00D4, 0x016B, 0x016E, 0x00DA, 0x016F, 0x0170, 0x0171, 0x0172, 0x0173,
    0x00DD, 0x00FD, 0x0137, 0x017B, 0x0141, 0x017C, 0x0122, 0x02C7,
};

constexpr char16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

constexpr char16_t kWindows1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
    0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3,
    0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3,
    0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

}  // namespace

StringEncoding::StringEncoding(unsigned cp, char16_t const* high) noexcept : m_codePage(cp) {
    for (unsigned i = 0; i < 128; ++i) m_table[i] = static_cast<char16_t>(i);
    for (unsigned i = 0; i < 128; ++i)
        m_table[128 + i] = high ? high[i] : static_cast<char16_t>(128 + i);
}

Counted<StringEncoding const> StringEncoding::Make(unsigned codePage) {
    // Tables are immutable, so each code page is built once and shared.
    static Counted<StringEncoding const> const s_mce(new StringEncoding(10029, kMacCentralEurope));
    static Counted<StringEncoding const> const s_roman(new StringEncoding(10000, kMacRoman));
    static Counted<StringEncoding const> const s_1252(new StringEncoding(1252, kWindows1252));
    static Counted<StringEncoding const> const s_latin1(new StringEncoding(28591, nullptr));
    switch (codePage) {
        case 10029:
            return s_mce;
        case 10000:
            return s_roman;
        case 1252:
            return s_1252;
        case 28591:
            return s_latin1;
        default:
            return nullptr;
    }
}

String8 StringEncoding::ToUnicode(void const* bytes, size_t n) const {
    String8 out;
    out.reserve(n);
    auto const* b = static_cast<unsigned char const*>(bytes);
    for (size_t i = 0; i < n; ++i) AppendUtf8(out, m_table[b[i]]);
    return out;
}

std::string StringEncoding::FromUnicode(std::string_view utf8) const {
    String16 u = ConvertEnc(utf8);
    std::string out;
    out.reserve(u.size());
    for (size_t k = 0; k < u.size(); ++k) {
        char16_t c = u[k];
        // A character outside the BMP is one character, so one '?', not one per surrogate.
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < u.size() && u[k + 1] >= 0xDC00 &&
            u[k + 1] <= 0xDFFF) {
            out.push_back('?');
            ++k;
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        char found = '?';
        for (unsigned i = 128; i < 256; ++i) {
            if (m_table[i] == c) {
                found = static_cast<char>(i);
                break;
            }
        }
        out.push_back(found);
    }
    return out;
}

String8 ToString(int64_t v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return String8(buf, r.ptr);
}

String8 ToString(uint64_t v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return String8(buf, r.ptr);
}

String8 ToString(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return String8(buf, r.ptr);
}

String8 ToStringBase(uint64_t v, unsigned base) {
    if (base < 2 || base > 36) base = 10;
    char buf[72];
    auto r = std::to_chars(buf, buf + sizeof buf, v, static_cast<int>(base));
    return String8(buf, r.ptr);
}

namespace {

// One pass over the format; arguments are appended as they are, never expanded again.
template <class Args>
void AppendFormatImpl(std::string& out, std::string_view format, Args const& args) {
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            char d = format[i + 1];
            if (d == '%') {
                out.push_back('%');
                ++i;
                continue;
            }
            if (d >= '1' && d <= '9') {
                size_t idx = static_cast<size_t>(d - '1');
                if (idx < args.size()) {
                    out.append(std::string_view(*(args.begin() + idx)));
                    ++i;
                    continue;
                }
            }
        }
        out.push_back(c);
    }
}

}  // namespace

void AppendFormatT(std::string& out, std::string_view format,
                   std::initializer_list<std::string_view> args) {
    AppendFormatImpl(out, format, args);
}

void AppendFormatVT(std::string& out, std::string_view format,
                    std::span<std::string_view const> args) {
    AppendFormatImpl(out, format, args);
}

void AppendFormatVT(std::string& out, std::string_view format, std::span<String8 const> args) {
    AppendFormatImpl(out, format, args);
}

String8 FormatString(std::string_view format, std::initializer_list<std::string_view> args) {
    String8 out;
    AppendFormatT(out, format, args);
    return out;
}

namespace {
std::atomic<LocalisedString::Catalogue> g_catalogue{nullptr};
}

void LocalisedString::SetCatalogue(Catalogue c) noexcept {
    g_catalogue.store(c);
}

String8 LocalisedString::Get() const {
    if (auto cat = g_catalogue.load()) {
        if (char const* t = cat(m_context.c_str(), m_text.c_str())) return String8(t);
    }
    return String8(m_text);
}

namespace {
struct TraceSink {
    std::mutex lock;
    FILE* file = nullptr;
    bool enabled = false;
    TraceSink() {
        char const* v = std::getenv("ZUZODORIV_TRACE");
        if (!v || !*v || std::string_view(v) == "0") return;
        enabled = true;
        if (std::string_view(v) == "1") {
            file = stderr;
        } else {
            file = std::fopen(v, "a");
            if (!file) file = stderr;
        }
    }
};
TraceSink& Sink() {
    static TraceSink s;
    return s;
}
}  // namespace

bool TraceEnabled() noexcept {
    return Sink().enabled;
}

void Trace(std::string_view line) {
    TraceSink& s = Sink();
    if (!s.enabled) return;
    std::lock_guard<std::mutex> g(s.lock);
    std::fwrite(line.data(), 1, line.size(), s.file);
    std::fflush(s.file);
}

}  // namespace Kernel

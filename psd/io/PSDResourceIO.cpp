#include "psd/io/PSDResourceIO.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

namespace PSD {

namespace {
constexpr uint32_t kResourceSignature = Key("8BIM");
// A Pascal string's length byte caps its text.
constexpr size_t kMaxPascalLength = 255;
}  // namespace

bool ReadShortPascal(Kernel::InStream& stream, String& out, PSDLoadData& ld) {
    uint8_t n;
    if (!ReadValue(stream, n, ld)) return false;
    std::string bytes(n, '\0');
    if (n && !ReadBytes(stream, bytes.data(), n, ld)) return false;
    out.clear();
    for (unsigned char c : bytes) Kernel::AppendUtf8(out, c);
    return true;
}

bool ReadUnicodeString(Kernel::InStream& stream, String& out, PSDLoadData& ld) {
    uint32_t count;
    if (!ReadValue(stream, count, ld)) return false;
    Kernel::String16 units;
    ByteOrderFixer fix = ld.Fixer();
    char16_t piece[1024];
    for (uint32_t done = 0; done < count;) {
        uint32_t n = std::min<uint32_t>(count - done, uint32_t(std::size(piece)));
        if (!ReadBytes(stream, piece, n * sizeof(char16_t), ld)) return false;
        for (uint32_t i = 0; i < n; ++i) units.push_back(fix.Fix(piece[i]));
        done += n;
    }
    out = Kernel::ConvertEnc(std::u16string_view(units));
    return true;
}

bool ReadFixedValue(Kernel::InStream& stream, float& out, PSDLoadData& ld) {
    int32_t fixed;
    if (!ReadValue(stream, fixed, ld)) return false;
    out = float(fixed / 65536.0);
    return true;
}

bool WritePascalString(Kernel::OutStream& stream, String const& text, unsigned padding) {
    auto encoding = Kernel::StringEncoding::Make(kResourceCodePage);
    std::string bytes = encoding ? encoding->FromUnicode(text) : std::string(text);
    if (bytes.size() > kMaxPascalLength) return false;
    uint8_t length = static_cast<uint8_t>(bytes.size());
    if (!stream.Write(&length, 1)) return false;
    if (!bytes.empty() && !stream.Write(bytes.data(), bytes.size())) return false;
    if (padding < 2) return true;
    size_t used = 1 + bytes.size();
    size_t rest = used % padding;
    return rest == 0 || WriteZeros(stream, padding - rest);
}

bool WriteUnicodeString(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                        String const& text) {
    Kernel::String16 units = Kernel::ConvertEnc(std::string_view(text));
    if (units.size() > UINT32_MAX) return false;
    if (!WriteValue(stream, static_cast<uint32_t>(units.size()), fixer)) return false;
    for (char16_t u : units)
        if (!WriteValue(stream, static_cast<uint16_t>(u), fixer)) return false;
    return true;
}

bool WriteFixedValue(Kernel::OutStream& stream, ByteOrderFixer const& fixer, double value) {
    double scaled = std::floor(value * 65536.0);
    int32_t fixed;
    if (!(scaled > double(INT32_MIN)))
        fixed = INT32_MIN;  // also NaN
    else if (scaled >= double(INT32_MAX))
        fixed = INT32_MAX;
    else
        fixed = static_cast<int32_t>(scaled);
    return WriteValue(stream, fixed, fixer);
}

namespace {
bool WriteHeaderStart(Kernel::OutStream& stream, ByteOrderFixer const& fixer, uint16_t identifier,
                      String const& name) {
    return WriteKey(stream, kResourceSignature, fixer) && WriteValue(stream, identifier, fixer) &&
           WritePascalString(stream, name, 2);
}
}  // namespace

bool WriteImageResourceHeader(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer,
                              uint16_t identifier, String const& name) {
    return WriteHeaderStart(stream, fixer, identifier, name) &&
           WriteValue(stream, uint32_t(0), fixer);
}

bool WriteImageResourceHeader(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                              uint16_t identifier, String const& name, uint32_t size) {
    return WriteHeaderStart(stream, fixer, identifier, name) && WriteValue(stream, size, fixer);
}

bool EndImageResource(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer,
                      uint64_t dataStart) {
    uint64_t end = stream.GetPosition();
    if (end < dataStart || dataStart < 4) return false;
    uint64_t size = end - dataStart;
    if (size > UINT32_MAX) return false;
    if (!stream.Seek(dataStart - 4) || !WriteValue(stream, static_cast<uint32_t>(size), fixer) ||
        !stream.Seek(end))
        return false;
    return PadImageResource(stream, size);
}

bool PadImageResource(Kernel::OutStream& stream, uint64_t size) {
    return (size & 1) == 0 || WriteZeros(stream, 1);
}

}  // namespace PSD

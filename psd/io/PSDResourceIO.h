// The string and number forms of image resources, and the framing of resource blocks. The path
// writer and the resource writer both frame their blocks with these.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/io/PSDIO.h"
#include "psd/io/PSDTaggedBlock.h"
#include "psd/report/PSDReport.h"

namespace PSD {

// Pascal strings of resources use this single-byte code page.
constexpr unsigned kResourceCodePage = 10029;

// 32-bit count of UTF-16 code units, then the units, into UTF-8. The text grows with the data
// that arrives, so a count the data cannot back fails as truncation without a large allocation.
[[nodiscard]] bool ReadUnicodeString(Kernel::InStream& stream, String& out, PSDLoadData& ld);
// Length byte, then the bytes, without padding: identifiers of placed and linked data. Bytes
// outside ASCII are taken as Latin-1, so the text stays valid UTF-8.
[[nodiscard]] bool ReadShortPascal(Kernel::InStream& stream, String& out, PSDLoadData& ld);
// Signed 16.16 fixed point.
[[nodiscard]] bool ReadFixedValue(Kernel::InStream& stream, float& out, PSDLoadData& ld);

// Length byte and text in the resource code page; with padding unit 2 the length byte plus text is
// zero-padded to an even count (unit 0 or 1: no padding). Text above 255 bytes fails.
[[nodiscard]] bool WritePascalString(Kernel::OutStream& stream, String const& text,
                                     unsigned padding);
// 32-bit count of UTF-16 code units, then the units.
[[nodiscard]] bool WriteUnicodeString(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                      String const& text);
// Signed 16.16 fixed point; the fraction is truncated and values outside the range are limited.
[[nodiscard]] bool WriteFixedValue(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                   double value);

// "8BIM", the identifier, the name padded to even length and a zero data size to be patched by
// EndImageResource once the data is written.
[[nodiscard]] bool WriteImageResourceHeader(Kernel::OutStreamSeekable& stream,
                                            ByteOrderFixer const& fixer, uint16_t identifier,
                                            String const& name);
// The same with the data size known in advance; the caller pads with PadImageResource.
[[nodiscard]] bool WriteImageResourceHeader(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                                            uint16_t identifier, String const& name, uint32_t size);
// Patches the size of the block whose data began at dataStart (the position right after its
// header), returns to the end and pads to even length.
[[nodiscard]] bool EndImageResource(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer,
                                    uint64_t dataStart);
// The zero byte after data of odd size.
[[nodiscard]] bool PadImageResource(Kernel::OutStream& stream, uint64_t size);
// Splits resource blocks written one after the other ("8BIM", identifier, padded name, size,
// data padded to even) into model blocks keyed by identifier.
[[nodiscard]] bool SplitModelResources(std::vector<uint8_t> const& run,
                                       std::vector<PSDModelBlock>& out);

}  // namespace PSD

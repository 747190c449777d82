// Fuzz bodies: ordinary functions that a libFuzzer entry point wraps and that regression tests call
// on kept inputs. Each returns normally on any input; a crash, hang or leak is the bug.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzbodies {

// Lowers the allocation limit so a bogus size fails through the normal error path, not as an
// out-of-memory kill. Idempotent.
void PrepareLimits();

// Opens a document from memory and decodes the composite and every layer bitmap and mask. The
// last input byte chooses the options (text, smart objects, decoding, a save afterwards); decoding
// covers the embedded files of placed layers.
void FuzzOpen(uint8_t const* data, size_t size);
// Parses a descriptor (version and body), saves it back and parses the copy.
void FuzzDescriptor(uint8_t const* data, size_t size);
// Tokenises and parses text engine data.
void FuzzEngineData(uint8_t const* data, size_t size);
// Unpacks one PackBits row; the first two bytes give the row length.
void FuzzPackBits(uint8_t const* data, size_t size);
// Reads a bare adjustment or fill body: four bytes of key, one choosing the colour mode, then the
// body; what reads is written from the model and must read back the same.
void FuzzAdjustment(uint8_t const* data, size_t size);
// Reads a bare effects block body: the first byte chooses the legacy form (even) or the
// descriptor form (odd). What reads is saved, and both saved blocks must read back.
void FuzzEffects(uint8_t const* data, size_t size);
// Reads a bare path record list: the document's width and height (16 bits each), then the
// records. What reads is written from the model and must read back.
void FuzzPaths(uint8_t const* data, size_t size);
// Reads a bare placed-layer body: the first byte chooses "PlLd" (even) or "SoLd" (odd).
void FuzzPlaced(uint8_t const* data, size_t size);
// Reads a bare patterns block body and samples every pattern read.
void FuzzPatterns(uint8_t const* data, size_t size);
// Opens a layered TIFF file from memory and decodes its composite, layers and embedded files.
void FuzzTIFF(uint8_t const* data, size_t size);
// Opens a document, loads every bitmap, saves it (PSD or PSB, compressed or not) and opens the
// copy, which must open.
void FuzzRoundTrip(uint8_t const* data, size_t size);

}  // namespace fuzzbodies

// Corpus aspect "roundtrip": every document that opens and decodes is saved and read back, and
// the header, every stored resource and block with its body, the layer structure and every
// decoded bitmap and mask must come back equal, as PSD and as PSB, with compression (ZIP with prediction where it is
// smaller) and without (RLE and raw); and the layers and pixels, as a little-endian layered TIFF.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "psd/file/PSDOpenFile.h"
#include "psd/io/PSDSaveData.h"
#include "tests/corpus/Corpus.h"
#include "tests/support/RoundTrip.h"

namespace corpus {
namespace {

using testsupport::BitmapRef;

// A save that decodes the layers' stored pixels itself, from a document opened afresh with
// nothing decoded, must give the bytes of a save after every bitmap was decoded, and leave the
// layers' caches empty.
bool CheckStoredPixelsSave(Document const& d, PSD::PSDFile const& loaded, bool psb,
                           std::string& why) {
    std::string reason;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(d.fullPath, &reason));
    PSD::PSDReport r;
    auto fresh = in ? PSD::PSDFile::Create(in, PSD::CreateOptions{true, true, {}}, r) : nullptr;
    if (!fresh) {
        why = "opening again failed";
        return false;
    }
    BitmapRef flat;
    std::vector<BitmapRef> masks;
    if (!fresh->GetBitmap(flat, masks, r)) {
        why = "composite of the document opened again failed";
        return false;
    }
    // Deep documents are saved with ZIP: their 16-bit channels are then taken from the stored
    // blocks rather than from decoded bitmaps.
    bool compress = loaded.m_depth != 8;
    auto expected = Kernel::MemoryInOutStreamBase::Create();
    auto got = Kernel::MemoryInOutStreamBase::Create();
    if (!loaded.Save(*expected, {.psb = psb, .compress = compress, .decodeStored = false}) ||
        !fresh->Save(*got, {.psb = psb, .compress = compress})) {
        why = "stored pixels: save failed";
        return false;
    }
    if (expected->GetData() != got->GetData()) {
        why = "stored pixels: the save differs from the save of decoded bitmaps";
        return false;
    }
    if (testsupport::AnyPixelsCached(*fresh)) {
        why = "stored pixels: a layer bitmap stayed decoded after the save";
        return false;
    }
    return true;
}

// Written as a little-endian layered TIFF and read back: the same layers, pixels and placed
// layers, every number of the layer data turned to that order.
bool CheckLittleEndianTIFF(PSD::PSDFile const& doc, testsupport::DocumentBitmaps const& orig,
                           std::string& why) {
    auto path = std::filesystem::temp_directory_path() /
                ("zuzodoriv-corpus-" + std::to_string(::getpid()) + "-le.tif");
    std::string error;
    if (!doc.SaveTIFF(path.string(), {.littleEndian = true}, error))
        // Modes and sizes without a TIFF form, and composites that do not decode, are refused.
        return error.rfind("no TIFF form", 0) == 0 || error.rfind("too large", 0) == 0 ||
               error.rfind("composite", 0) == 0 || (why = "little-endian TIFF: " + error, false);
    PSD::PSDReport r;
    std::string message;
    PSD::CreateOptions options;
    options.parseSmartObjects = true;
    auto back = PSD::OpenFile(path.string(), options, r, message);
    std::filesystem::remove(path);
    if (!back) return why = "little-endian TIFF: reading back: " + message, false;
    // The TIFF's image is the composite in its own form (Lab at 8 bits loses precision).
    std::string difference = testsupport::LayerPixelsDifference(doc, orig, *back, false);
    if (!difference.empty()) return why = "little-endian TIFF: " + difference, false;
    return true;
}

Outcome CheckRoundTrip(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    PSD::PSDFile const& doc = *d.doc;
    // Damaged documents whose pixels cannot all be decoded have nothing to compare.
    testsupport::DocumentBitmaps orig;
    std::string loadWhy;
    if (!testsupport::LoadAll(doc, orig, loadWhy)) return Outcome::NotApplicable;
    if (doc.m_width > PSD::kMaxSidePSB || doc.m_height > PSD::kMaxSidePSB) {
        // Too large for either version: the save must refuse before writing anything.
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        if (doc.Save(*mem, {.psb = true, .decodeStored = false}) || !mem->GetData().empty()) {
            why = "a document above the PSB size limit was written";
            return Outcome::Mismatch;
        }
        return Outcome::Match;
    }
    // Documents too large for PSD are checked as PSB only.
    bool fitsPSD = doc.m_width <= PSD::kMaxSidePSD && doc.m_height <= PSD::kMaxSidePSD;
    for (bool psb : {false, true}) {
        if (!psb && !fitsPSD) continue;
        for (bool compress : {true, false})
            if (!(why = testsupport::RoundTripDifference(doc, psb, compress, &orig)).empty())
                return Outcome::Mismatch;
    }
    if (!CheckStoredPixelsSave(d, doc, !fitsPSD, why)) return Outcome::Mismatch;
    if (fitsPSD && !CheckLittleEndianTIFF(doc, orig, why)) return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_roundTrip({"roundtrip", 50, CheckRoundTrip});

}  // namespace
}  // namespace corpus

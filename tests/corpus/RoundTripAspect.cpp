// Corpus aspect "roundtrip": every document that opens and decodes is saved and read back, and
// the header, every stored resource and block with its body, the layer structure and every
// decoded bitmap and mask must come back equal, as PSD and as PSB, with compression (ZIP with prediction where it is
// smaller) and without (RLE and raw).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/io/PSDSaveData.h"
#include "psd/file/PSDStoredCompare.h"
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

struct Bitmaps {
    BitmapRef flat;
    std::vector<BitmapRef> masks;
    std::vector<BitmapRef> layers, userMasks, realMasks;
};

bool LoadAll(PSD::PSDFile const& doc, Bitmaps& out, std::string& why) {
    PSD::PSDReport r;
    if (!doc.GetBitmap(out.flat, out.masks, r)) {
        why = "composite: " + (r.m_error ? std::string(r.m_error->Report()) : std::string("?"));
        return false;
    }
    size_t n = doc.m_layers.size();
    out.layers.resize(n);
    out.userMasks.resize(n);
    out.realMasks.resize(n);
    for (size_t i = 0; i < n; ++i) {
        auto const& l = *doc.m_layers[i];
        if (!l.GetBitmap(out.layers[i], r) || !l.GetBitmapUserMask(out.userMasks[i], r) ||
            !l.GetBitmapRealMask(out.realMasks[i], r)) {
            why = "layer " + std::to_string(i) + ": " +
                  (r.m_error ? std::string(r.m_error->Report()) : "?");
            return false;
        }
    }
    return true;
}

bool SameBitmap(Raster::DynamicBitmap const* a, Raster::DynamicBitmap const* b) {
    // A layer without colour channels has no bitmap; written back with empty channels it reads as
    // an empty one.
    bool emptyA = !a || a->IsEmpty(), emptyB = !b || b->IsEmpty();
    if (emptyA || emptyB) return emptyA == emptyB;
    return a->GetWidth() == b->GetWidth() && a->GetHeight() == b->GetHeight() &&
           a->GetFormat() == b->GetFormat() &&
           std::memcmp(a->GetData(), b->GetData(), a->GetDataSize()) == 0;
}

struct Compare {
    std::string& why;
    std::string where;
    template <class A, class B>
    bool Same(char const* field, A const& ours, B const& back) {
        if (ours == back) return true;
        why = where + field + " differs after the round trip";
        return false;
    }
};

bool SameMask(Compare& c, PSD::PSDLayerMask const& a, PSD::PSDLayerMask const& b,
              char const* which) {
    c.where += which;
    bool ok = c.Same(" present", a.m_present, b.m_present);
    if (ok && a.m_present) {
        ok = c.Same(" left", a.m_left, b.m_left) && c.Same(" top", a.m_top, b.m_top) &&
             c.Same(" right", a.m_right, b.m_right) && c.Same(" bottom", a.m_bottom, b.m_bottom) &&
             c.Same(" relative", a.m_relative, b.m_relative) &&
             c.Same(" disabled", a.m_disabled, b.m_disabled) &&
             c.Same(" invert", a.m_invert, b.m_invert) &&
             c.Same(" default colour", a.m_defaultColour, b.m_defaultColour);
    }
    return ok;
}

bool SameLayer(Compare& c, PSD::PSDLayer const& a, PSD::PSDLayer const& b, bool hasPixels) {
    if (!c.Same("name", a.m_name, b.m_name) ||
        !c.Same("section type", a.m_sectionType, b.m_sectionType) ||
        !c.Same("background", a.m_background, b.m_background) ||
        !c.Same("opacity", a.m_opacity, b.m_opacity) ||
        !c.Same("clipping", a.m_clipping != 0, b.m_clipping != 0) ||
        !c.Same("visible", a.m_visible, b.m_visible) ||
        !c.Same("protected", a.m_transparencyProtected, b.m_transparencyProtected) ||
        !c.Same("locks", a.m_lockTransparency + 2 * a.m_lockComposite + 4 * a.m_lockPosition,
                b.m_lockTransparency + 2 * b.m_lockComposite + 4 * b.m_lockPosition) ||
        !c.Same("sheet colour", a.m_sheetColour, b.m_sheetColour))
        return false;
    // A group end is written in the short divider form, which readers take as pass through.
    if (a.m_sectionType != PSD::PSDLayer::kGroupEnd &&
        !c.Same("blend mode", a.m_blendMode, b.m_blendMode))
        return false;
    if (a.IsGroupStart() && !c.Same("scene group", a.m_sceneGroup, b.m_sceneGroup)) return false;
    if (hasPixels &&
        (!c.Same("left", a.m_left, b.m_left) || !c.Same("top", a.m_top, b.m_top) ||
         !c.Same("right", a.m_right, b.m_right) || !c.Same("bottom", a.m_bottom, b.m_bottom)))
        return false;
    if (!a.m_background &&
        (!c.Same("fill opacity", a.m_fillOpacity, b.m_fillOpacity) ||
         !c.Same("knockout", a.m_knockout, b.m_knockout) ||
         !c.Same("blend clipped", a.m_blendClipped, b.m_blendClipped) ||
         !c.Same("blend interior", a.m_blendInterior, b.m_blendInterior) ||
         !c.Same("transparency shapes", a.m_transparencyShapes, b.m_transparencyShapes) ||
         !c.Same("aligned rendering", a.m_alignedRendering, b.m_alignedRendering)))
        return false;
    if (!a.m_background) {
        std::string where = c.where;
        if (!SameMask(c, a.m_userMask, b.m_userMask, "user mask")) return false;
        c.where = where;
        if (!SameMask(c, a.m_realMask, b.m_realMask, "real mask")) return false;
        c.where = where;
    }
    size_t n = std::min<size_t>(a.m_blendRanges.size(), 5);
    if (!c.Same("blending range count", b.m_blendRanges.size(), size_t(5))) return false;
    for (size_t k = 0; k < n; ++k)
        if (std::memcmp(a.m_blendRanges[k].m_bytes, b.m_blendRanges[k].m_bytes, 8) != 0)
            return c.Same("blending ranges", 0, 1);
    return true;
}

// The writer names the merged transparency channel "Transparency" and stores guides in order of
// position; the names of the extra channels and the set of guides are what must survive.
// Channels without a stored name are written with an empty one, so the lists are compared over
// the extra channels.
std::vector<PSD::String> ExtraChannelNames(PSD::PSDFile const& doc, size_t extraChannels) {
    std::vector<PSD::String> names = doc.m_alphaChannelNames;
    if (doc.m_mergedTransparency && !names.empty() && names.front() == "Transparency")
        names.erase(names.begin());
    names.resize(extraChannels);
    return names;
}

std::vector<double> Sorted(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Saves one variant and compares what comes back.
bool CheckVariant(PSD::PSDFile const& doc, Bitmaps const& orig, bool psb, bool compress,
                  std::string& why) {
    std::string name = std::string(psb ? "PSB" : "PSD") + (compress ? "+zip" : "") + ": ";
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!doc.Save(*mem, psb, compress, false, nullptr, nullptr)) {
        why = name + "save failed";
        return false;
    }
    auto in = Kernel::MemoryInStream::Create(mem->TakeData());
    PSD::PSDReport r;
    auto back = PSD::PSDFile::Create(Kernel::Counted<Kernel::InStreamSeekable>(in.Get()),
                                     PSD::CreateOptions{}, r);
    if (!back) {
        why = name + "reading back failed: " + (r.m_error ? std::string(r.m_error->Report()) : "?");
        return false;
    }
    Compare c{why, name};
    if (!c.Same("version", back->IsPSB(), psb) || !c.Same("width", doc.m_width, back->m_width) ||
        !c.Same("height", doc.m_height, back->m_height) ||
        !c.Same("depth", doc.m_depth, back->m_depth) ||
        !c.Same("colour mode", doc.m_colourMode, back->m_colourMode) ||
        !c.Same("channels", doc.m_channelCount, back->m_channelCount) ||
        !c.Same("merged transparency", doc.m_mergedTransparency != 0,
                back->m_mergedTransparency != 0) ||
        !c.Same("colour mode data", doc.m_colourModeData, back->m_colourModeData))
        return false;
    if (!c.Same("alpha channel names", ExtraChannelNames(doc, orig.masks.size()),
                ExtraChannelNames(*back, orig.masks.size())) ||
        !c.Same("horizontal guides", Sorted(doc.m_horizontalGuides),
                Sorted(back->m_horizontalGuides)) ||
        !c.Same("vertical guides", Sorted(doc.m_verticalGuides), Sorted(back->m_verticalGuides)) ||
        !c.Same("global light angle", doc.m_globalLightAngle, back->m_globalLightAngle) ||
        !c.Same("global light altitude", doc.m_globalLightAltitude, back->m_globalLightAltitude) ||
        !c.Same("ICC profile",
                doc.m_iccProfile ? doc.m_iccProfile->GetData() : std::vector<uint8_t>(),
                back->m_iccProfile ? back->m_iccProfile->GetData() : std::vector<uint8_t>()))
        return false;
    if (!c.Same("layer count", doc.m_layers.size(), back->m_layers.size())) return false;
    // Nothing stored is lost: every resource and block comes back with the body it had.
    auto lost = PSD::CompareStoredData(doc, *back);
    if (!lost.empty()) {
        why = name + lost.front() + (lost.size() > 1 ? " (and " + std::to_string(lost.size() - 1) + " more)" : "");
        return false;
    }
    Bitmaps got;
    std::string loadWhy;
    if (!LoadAll(*back, got, loadWhy)) {
        why = name + "decoding back: " + loadWhy;
        return false;
    }
    if (!SameBitmap(orig.flat.Get(), got.flat.Get())) return c.Same("composite", 0, 1);
    if (!c.Same("extra channel count", orig.masks.size(), got.masks.size())) return false;
    for (size_t i = 0; i < orig.masks.size(); ++i)
        if (!SameBitmap(orig.masks[i].Get(), got.masks[i].Get()))
            return c.Same("extra channel", 0, 1);
    for (size_t i = 0; i < doc.m_layers.size(); ++i) {
        c.where = name + "layer " + std::to_string(i) + " ";
        if (!SameLayer(c, *doc.m_layers[i], *back->m_layers[i], bool(orig.layers[i]))) return false;
        if (!SameBitmap(orig.layers[i].Get(), got.layers[i].Get())) return c.Same("bitmap", 0, 1);
        if (!SameBitmap(orig.userMasks[i].Get(), got.userMasks[i].Get()))
            return c.Same("user mask bitmap", 0, 1);
        if (!SameBitmap(orig.realMasks[i].Get(), got.realMasks[i].Get()))
            return c.Same("real mask bitmap", 0, 1);
    }
    return true;
}

bool AnyPixelsCached(PSD::PSDFile const& doc) {
    for (auto const& l : doc.m_layers)
        if (l->m_bitmap || l->m_bitmapUserMask || l->m_bitmapRealMask) return true;
    return false;
}

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
    if (!loaded.Save(*expected, psb, compress, false, nullptr, nullptr) ||
        !fresh->Save(*got, psb, compress, true, nullptr, nullptr)) {
        why = "stored pixels: save failed";
        return false;
    }
    if (expected->GetData() != got->GetData()) {
        why = "stored pixels: the save differs from the save of decoded bitmaps";
        return false;
    }
    if (AnyPixelsCached(*fresh)) {
        why = "stored pixels: a layer bitmap stayed decoded after the save";
        return false;
    }
    return true;
}

Outcome CheckRoundTrip(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    PSD::PSDFile const& doc = *d.doc;
    // Damaged documents whose pixels cannot all be decoded have nothing to compare.
    Bitmaps orig;
    std::string loadWhy;
    if (!LoadAll(doc, orig, loadWhy)) return Outcome::NotApplicable;
    if (doc.m_width > PSD::kMaxSidePSB || doc.m_height > PSD::kMaxSidePSB) {
        // Too large for either version: the save must refuse before writing anything.
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        if (doc.Save(*mem, true, false, false, nullptr, nullptr) || !mem->GetData().empty()) {
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
            if (!CheckVariant(doc, orig, psb, compress, why)) return Outcome::Mismatch;
    }
    if (!CheckStoredPixelsSave(d, doc, !fitsPSD, why)) return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_roundTrip({"roundtrip", 50, CheckRoundTrip});

}  // namespace
}  // namespace corpus

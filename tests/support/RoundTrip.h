// Saving a document to memory and reading it back, and what must then compare equal: the header,
// the settings, every stored resource and block, each layer's record, every decoded bitmap and
// mask. The writer tests and the corpus runner share it; nothing here needs a test framework.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDStoredCompare.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDSmartObject.h"

namespace testsupport {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

struct DocumentBitmaps {
    BitmapRef flat;
    std::vector<BitmapRef> masks;
    std::vector<BitmapRef> layers, userMasks, realMasks;
};

inline std::string ReportText(PSD::PSDReport const& r) {
    return r.m_error ? std::string(r.m_error->Report()) : std::string("(no error)");
}

// Decodes the composite and every layer bitmap and mask; false with the reason on a failure. A
// document or layer built in memory, without a source, has only the bitmaps it was given.
inline bool LoadAll(PSD::PSDFile const& doc, DocumentBitmaps& out, std::string& why) {
    PSD::PSDReport r;
    if (!doc.GetSourceStream()) {
        out.flat = doc.m_flattenedBitmap;
        out.masks = doc.m_masks;
    } else if (!doc.GetBitmap(out.flat, out.masks, r)) {
        why = "composite: " + ReportText(r);
        return false;
    }
    size_t n = doc.m_layers.size();
    out.layers.resize(n);
    out.userMasks.resize(n);
    out.realMasks.resize(n);
    for (size_t i = 0; i < n; ++i) {
        auto const& l = *doc.m_layers[i];
        if (!l.m_stream) {
            out.layers[i] = l.m_bitmap;
            out.userMasks[i] = l.m_bitmapUserMask;
            out.realMasks[i] = l.m_bitmapRealMask;
        } else if (!l.GetBitmap(out.layers[i], r) || !l.GetBitmapUserMask(out.userMasks[i], r) ||
                   !l.GetBitmapRealMask(out.realMasks[i], r)) {
            why = "layer " + std::to_string(i) + ": " + ReportText(r);
            return false;
        }
    }
    return true;
}

// A layer without colour channels has no bitmap; written back with empty channels it reads as an
// empty one, so empty and absent compare equal.
inline bool SameBitmap(Raster::DynamicBitmap const* a, Raster::DynamicBitmap const* b) {
    bool emptyA = !a || a->IsEmpty(), emptyB = !b || b->IsEmpty();
    if (emptyA || emptyB) return emptyA == emptyB;
    return a->GetWidth() == b->GetWidth() && a->GetHeight() == b->GetHeight() &&
           a->GetFormat() == b->GetFormat() &&
           std::memcmp(a->GetData(), b->GetData(), a->GetDataSize()) == 0;
}

// A copy in a form that keeps no stored body as it was (a layered TIFF of either byte order):
// the same layers by name, pixels, masks and placed layers, and the composite when asked; the
// first difference, or empty.
inline std::string LayerPixelsDifference(PSD::PSDFile const& doc, DocumentBitmaps const& orig,
                                         PSD::PSDFile const& back, bool composite) {
    DocumentBitmaps got;
    std::string why;
    if (!LoadAll(back, got, why)) return "reading back: " + why;
    if (back.m_layers.size() != doc.m_layers.size()) return "layer count";
    if (composite && !SameBitmap(orig.flat.Get(), got.flat.Get())) return "composite";
    auto id = [](PSD::PSDLayer const& l) { return l.m_smartObject ? l.m_smartObject->m_uniqueId : PSD::String(); };
    for (size_t i = 0; i < doc.m_layers.size(); ++i) {
        auto const &a = *doc.m_layers[i], &b = *back.m_layers[i];
        char const* field = a.m_name != b.m_name                                           ? "name"
                            : !SameBitmap(orig.layers[i].Get(), got.layers[i].Get())       ? "bitmap"
                            : !SameBitmap(orig.userMasks[i].Get(), got.userMasks[i].Get()) ? "user mask"
                            : !SameBitmap(orig.realMasks[i].Get(), got.realMasks[i].Get()) ? "real mask"
                            : id(a) != id(b)                                                ? "placed layer"
                                                                                            : nullptr;
        if (field) return "layer " + std::to_string(i) + " " + field;
    }
    return {};
}

// Collects the name of the first field that differs.
struct Differ {
    std::string where, what;
    template <class A, class B>
    bool Same(char const* field, A const& a, B const& b) {
        if (what.empty() && !(a == b)) what = where + field;
        return what.empty();
    }
};

inline bool SameMask(Differ& d, PSD::PSDLayerMask const& a, PSD::PSDLayerMask const& b,
                     char const* which) {
    std::string where = d.where;
    d.where += which;
    if (d.Same(" present", a.m_present, b.m_present) && a.m_present)
        d.Same(" bounds", std::tuple(a.m_left, a.m_top, a.m_right, a.m_bottom),
               std::tuple(b.m_left, b.m_top, b.m_right, b.m_bottom)) &&
            d.Same(" flags", std::tuple(a.m_relative, a.m_disabled, a.m_invert),
                   std::tuple(b.m_relative, b.m_disabled, b.m_invert)) &&
            d.Same(" default colour", a.m_defaultColour, b.m_defaultColour);
    d.where = where;
    return d.what.empty();
}

// The first field of the record of a that b does not carry as well; "" when none.
inline std::string LayerDifference(PSD::PSDLayer const& a, PSD::PSDLayer const& b,
                                   bool hasPixels) {
    Differ d;
    auto locks = [](PSD::PSDLayer const& l) {
        return std::tuple(l.m_lockTransparency, l.m_lockComposite, l.m_lockPosition);
    };
    d.Same("name", a.m_name, b.m_name) && d.Same("section type", a.m_sectionType, b.m_sectionType) &&
        d.Same("background", a.m_background, b.m_background) &&
        d.Same("opacity", a.m_opacity, b.m_opacity) &&
        d.Same("clipping", a.m_clipping != 0, b.m_clipping != 0) &&
        d.Same("visible", a.m_visible, b.m_visible) &&
        d.Same("protected", a.m_transparencyProtected, b.m_transparencyProtected) &&
        d.Same("locks", locks(a), locks(b)) && d.Same("sheet colour", a.m_sheetColour, b.m_sheetColour);
    // A group end is written in the short divider form, which readers take as pass through.
    if (a.m_sectionType != PSD::PSDLayer::kGroupEnd) d.Same("blend mode", a.m_blendMode, b.m_blendMode);
    if (a.IsGroupStart()) d.Same("scene group", a.m_sceneGroup, b.m_sceneGroup);
    if (hasPixels)
        d.Same("bounds", std::tuple(a.m_left, a.m_top, a.m_right, a.m_bottom),
               std::tuple(b.m_left, b.m_top, b.m_right, b.m_bottom));
    // A background carries none of the blocks holding these.
    auto blocks = [](PSD::PSDLayer const& l) {
        return std::tuple(l.m_fillOpacity, l.m_knockout, l.m_blendClipped, l.m_blendInterior,
                          l.m_transparencyShapes, l.m_alignedRendering);
    };
    if (!a.m_background && d.Same("blending options", blocks(a), blocks(b)))
        SameMask(d, a.m_userMask, b.m_userMask, "user mask") &&
            SameMask(d, a.m_realMask, b.m_realMask, "real mask") &&
            d.Same("mask parameters",
                   std::tuple(a.m_maskParameters, a.m_pixelMaskDensity, a.m_pixelMaskFeather,
                              a.m_maskDensity, a.m_maskFeather),
                   std::tuple(b.m_maskParameters, b.m_pixelMaskDensity, b.m_pixelMaskFeather,
                              b.m_maskDensity, b.m_maskFeather));
    // Effects, field by field as their JSON form gives them.
    auto effects = [](PSD::PSDLayer const& l) {
        auto e = l.GetEffects();
        return e ? PSD::EffectsJson(*e).dump() + (e->m_masterSwitch ? "on" : "off") +
                       std::to_string(e->m_scale)
                 : std::string();
    };
    if (!a.m_background) d.Same("effects", effects(a), effects(b));
    auto adjustment = [](PSD::PSDLayer const& l) {
        auto adj = l.GetAdjustment();
        return adj ? PSD::AdjustmentJson(*adj).dump() : std::string();
    };
    if (!a.m_background) d.Same("adjustment", adjustment(a), adjustment(b));
    // An unedited record keeps its blocks: none dropped, none added by the model.
    auto keys = [](PSD::PSDLayer const& l) {
        std::vector<uint32_t> k;
        for (auto const& b : l.m_blocks) k.push_back(b.key);
        return k;
    };
    if (a.KeepsStoredBlocks()) d.Same("block keys", keys(a), keys(b));
    if (d.Same("blending range count", b.m_blendRanges.size(), size_t(5)))
        for (size_t k = 0; k < std::min<size_t>(a.m_blendRanges.size(), 5); ++k)
            d.Same("blending ranges",
                   std::memcmp(a.m_blendRanges[k].m_bytes, b.m_blendRanges[k].m_bytes, 8), 0);
    return d.what;
}

// The writer names the merged transparency channel "Transparency" and gives channels without a
// stored name an empty one, so names are compared over the extra channels.
inline std::vector<PSD::String> ExtraChannelNames(PSD::PSDFile const& doc, size_t extraChannels) {
    std::vector<PSD::String> names = doc.m_alphaChannelNames;
    if (doc.m_mergedTransparency && !names.empty() && names.front() == "Transparency")
        names.erase(names.begin());
    names.resize(extraChannels);
    return names;
}

inline Kernel::Counted<PSD::PSDFile> OpenBytes(std::vector<uint8_t> bytes, PSD::PSDReport& r,
                                               PSD::CreateOptions const& options = {}) {
    auto in = Kernel::MemoryInStream::Create(std::move(bytes));
    return PSD::PSDFile::Create(Kernel::Counted<Kernel::InStreamSeekable>(in.Get()), options, r);
}

// What of doc (whose bitmaps orig holds, decoded when null) a save that reads back as back did not
// keep: "" when nothing, else the first difference, prefixed by name.
inline std::string DocumentDifference(PSD::PSDFile const& doc, PSD::PSDFile const& back,
                                      DocumentBitmaps const* orig = nullptr,
                                      std::string const& name = {}) {
    DocumentBitmaps mine, got;
    std::string why;
    if (!orig && !LoadAll(doc, mine, why)) return name + "decoding the source: " + why;
    if (!orig) orig = &mine;
    auto sorted = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    auto profile = [](PSD::PSDFile const& f) {
        return f.m_iccProfile ? f.m_iccProfile->GetData() : std::vector<uint8_t>();
    };
    auto settings = [](PSD::PSDFile const& f) {
        auto const& j = f.m_jpeg;
        return std::tuple(f.m_unitConverter ? f.m_unitConverter->GetResolution() : -1.0,
                          f.m_hasRealMergedData, j.present, j.present ? j.quality : 0,
                          j.present ? int(j.method) : 0, j.present ? j.scans : 0);
    };
    Differ d{name, ""};
    d.Same("size", std::tuple(doc.m_width, doc.m_height, doc.m_depth, doc.m_colourMode),
               std::tuple(back.m_width, back.m_height, back.m_depth, back.m_colourMode)) &&
        // A document built in memory gets its channel count and colour mode data in the save.
        (!doc.GetSourceStream() ||
         (d.Same("channels", doc.m_channelCount, back.m_channelCount) &&
          d.Same("colour mode data", doc.m_colourModeData, back.m_colourModeData))) &&
        d.Same("merged transparency", doc.m_mergedTransparency != 0, back.m_mergedTransparency != 0) &&
        d.Same("alpha channel names", ExtraChannelNames(doc, orig->masks.size()),
               ExtraChannelNames(back, orig->masks.size())) &&
        d.Same("guides", std::tuple(sorted(doc.m_horizontalGuides), sorted(doc.m_verticalGuides)),
               std::tuple(sorted(back.m_horizontalGuides), sorted(back.m_verticalGuides))) &&
        d.Same("global light", std::tuple(doc.m_globalLightAngle, doc.m_globalLightAltitude),
               std::tuple(back.m_globalLightAngle, back.m_globalLightAltitude)) &&
        d.Same("ICC profile", profile(doc), profile(back)) &&
        d.Same("resolution, composite and JPEG settings", settings(doc), settings(back)) &&
        d.Same("layer count", doc.m_layers.size(), back.m_layers.size());
    if (!d.what.empty()) return d.what;
    // Nothing stored is lost: every resource and block comes back with the body it had.
    auto lost = doc.GetSourceStream() ? PSD::CompareStoredData(doc, back) : std::vector<std::string>();
    if (!lost.empty())
        return name + lost.front() +
               (lost.size() > 1 ? " (and " + std::to_string(lost.size() - 1) + " more)" : "");
    if (!LoadAll(back, got, why)) return name + "decoding back: " + why;
    // Without a composite of its own, a built document is saved with a white one.
    (!orig->flat && !doc.GetSourceStream()) ||
        d.Same("composite", SameBitmap(orig->flat.Get(), got.flat.Get()), true);
    d.what.empty() &&
        d.Same("extra channel count", orig->masks.size(), got.masks.size());
    for (size_t i = 0; d.what.empty() && i < orig->masks.size(); ++i)
        d.Same("extra channel", SameBitmap(orig->masks[i].Get(), got.masks[i].Get()), true);
    for (size_t i = 0; d.what.empty() && i < doc.m_layers.size(); ++i) {
        d.where = name + "layer " + std::to_string(i) + " ";
        std::string field =
            LayerDifference(*doc.m_layers[i], *back.m_layers[i], bool(orig->layers[i]));
        if (!field.empty()) return d.where + field;
        d.Same("bitmap", SameBitmap(orig->layers[i].Get(), got.layers[i].Get()), true) &&
            d.Same("user mask bitmap", SameBitmap(orig->userMasks[i].Get(), got.userMasks[i].Get()),
                   true) &&
            d.Same("real mask bitmap", SameBitmap(orig->realMasks[i].Get(), got.realMasks[i].Get()),
                   true) &&
            d.Same("damaged", back.m_layers[i]->IsBitmapDamaged(), false);
    }
    return d.what;
}

// Saves doc (as PSB or PSD, with ZIP or without), reads it back and compares as above.
inline std::string RoundTripDifference(PSD::PSDFile const& doc, bool psb, bool compress,
                                       DocumentBitmaps const* orig = nullptr) {
    std::string name = std::string(psb ? "PSB" : "PSD") + (compress ? "+zip" : "") + ": ";
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!doc.Save(*mem, {.psb = psb, .compress = compress, .decodeStored = false})) return name + "save failed";
    PSD::PSDReport r;
    auto back = OpenBytes(mem->TakeData(), r);
    if (!back) return name + "reading back failed: " + ReportText(r);
    if (back->IsPSB() != psb) return name + "version";
    return DocumentDifference(doc, *back, orig, name);
}

inline bool AnyPixelsCached(PSD::PSDFile const& doc) {
    for (auto const& l : doc.m_layers)
        if (l->m_bitmap || l->m_bitmapUserMask || l->m_bitmapRealMask) return true;
    return false;
}

}  // namespace testsupport

// Corpus aspect "pixels": every layer channel and every composite channel decodes to the samples
// the reference hashed. Decoded bitmaps are turned back into the document's samples (big-endian,
// at the document depth, masks un-inverted, Bitmap rows re-packed) before hashing. Every mode keeps
// its depth, so the full-depth hashes are compared.
#include <cstring>
#include <string>
#include <vector>

#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"
#include "tests/support/Sha256.h"

namespace corpus {
// The samples of one bitmap channel as the document stored them. depth is the document's.
std::string HashChannel(Raster::DynamicBitmap const* bm, unsigned channel, unsigned depth,
                        bool invert) {
    testsupport::Sha256 sha;
    if (!bm || bm->IsEmpty()) return sha.HexDigest();
    uint32_t w = bm->GetWidth();
    size_t stride = bm->GetBytesPerPixel();
    unsigned bps = bm->GetBytesPerSample();
    std::vector<uint8_t> row;
    for (uint32_t y = 0; y < bm->GetHeight(); ++y) {
        uint8_t const* p = bm->GetRow(y) + size_t(channel) * bps;
        row.clear();
        if (depth == 1) {
            row.assign((size_t(w) + 7) / 8, 0);
            for (uint32_t x = 0; x < w; ++x)
                if (p[size_t(x) * stride] == 0) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
        } else {
            for (uint32_t x = 0; x < w; ++x, p += stride) {
                if (bm->GetFormatInfo().isFloat) {
                    float f;
                    std::memcpy(&f, p, 4);
                    if (invert) f = 1.0f - f;
                    uint32_t u;
                    std::memcpy(&u, &f, 4);
                    for (int s = 24; s >= 0; s -= 8) row.push_back(uint8_t(u >> s));
                } else if (bps == 2) {
                    uint16_t v;
                    std::memcpy(&v, p, 2);
                    if (invert) v = uint16_t(0xFFFF - v);
                    if (depth == 8) {
                        row.push_back(uint8_t(v >> 8));  // widened by 257
                    } else {
                        row.push_back(uint8_t(v >> 8));
                        row.push_back(uint8_t(v));
                    }
                } else {
                    uint8_t v = invert ? uint8_t(255 - *p) : *p;
                    row.push_back(v);
                }
            }
        }
        sha.Update(row.data(), row.size());
    }
    return sha.HexDigest();
}

namespace {

using nlohmann::json;
using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// The reference hash to compare with, or null when the reference could not decode the channel.
json const* RefHash(json const& ch) {
    auto it = ch.find("sha256");
    if (it == ch.end() || it->is_null()) return nullptr;
    return &*it;
}

struct Ctx {
    std::string& why;
    unsigned depth;
    bool refused = false;  // the mode and depth have no bitmap format: ErrorParsing is the answer
    size_t compared = 0;
};

// Layer bitmaps exist for every mode but Bitmap and the unknown ones, at 8, 16 and 32 bits, except
// Indexed (8 only) and CMYK and Lab (8 and 16).
bool LayerFormatRefused(uint32_t mode, unsigned depth) {
    switch (mode) {
        case 1:
        case 3:
        case 7:
        case 8:
            return depth != 8 && depth != 16 && depth != 32;
        case 2:
            return depth != 8;
        case 4:
        case 9:
            return depth != 8 && depth != 16;
        default:
            return true;
    }
}

// A channel the reference could not decode must fail for us too, or decode with damaged rows.
std::string ErrorText(PSD::PSDReport const& r) {
    return r.m_error ? std::string(r.m_error->Report()) : std::string("failed");
}

bool Compare(Ctx& c, std::string const& where, json const& ch, bool ok, bool damaged,
             Raster::DynamicBitmap const* bm, unsigned channel, bool invert,
             PSD::PSDReport const& report, std::string const* padded = nullptr) {
    json const* ref = RefHash(ch);
    ++c.compared;
    if (c.refused) {
        if (!ok && report.m_error && report.m_error->GetCode() == PSD::PSDError::kParsing)
            return true;
        c.why = where +
                ": the format has no bitmap for this mode and depth, expected the parsing error";
        return false;
    }
    if (!ref) {
        if (!ok || damaged) return true;
        c.why = where + ": reference could not decode (" +
                ch.value("decode_error", std::string("?")) + ") but we decoded it cleanly";
        return false;
    }
    if (!ok) {
        c.why = where + ": " + ErrorText(report);
        return false;
    }
    std::string ours = padded ? *padded : HashChannel(bm, channel, c.depth, invert);
    if (ours != ref->get<std::string>()) {
        c.why = where + ": hash differs" + (damaged ? " (damaged rows)" : "") + ", bitmap " +
                (bm ? std::to_string(bm->GetWidth()) + "x" + std::to_string(bm->GetHeight())
                    : std::string("none"));
        return false;
    }
    return true;
}

// Bitmap documents: the reference hashes packed rows with their padding bits, which decoding to
// one sample per pixel drops. The stored rows are unpacked here independently; when their hash is
// the reference's, our samples are compared with them (padding aside) and the reference hash stands
// for ours on success.
bool PaddedMonochromeHash(PSD::PSDFile const& doc, Raster::DynamicBitmap const& bm,
                          std::string const& path, std::string& hash) {
    auto in = Kernel::FileInStream::Open(path);
    uint8_t const* p = in ? in->GetMapping() : nullptr;
    if (!p) return false;
    uint64_t size = in->GetSize(), pos = doc.GetImageDataPosition();
    size_t rowBytes = (size_t(doc.m_width) + 7) / 8;
    if (pos + 2 > size) return false;
    unsigned compression = unsigned(p[pos]) << 8 | p[pos + 1];
    pos += 2;
    std::vector<uint8_t> rows;
    if (compression == 0) {
        if (rowBytes * doc.m_height > size - pos) return false;
        rows.assign(p + pos, p + pos + rowBytes * doc.m_height);
    } else if (compression == 1) {
        unsigned cb = doc.m_isPSB ? 4 : 2;
        uint64_t data = pos + uint64_t(cb) * doc.m_height;
        for (uint32_t y = 0; y < doc.m_height; ++y) {
            uint64_t n = 0;
            for (unsigned k = 0; k < cb; ++k) n = n << 8 | p[pos + uint64_t(y) * cb + k];
            std::vector<uint8_t> row;
            for (uint64_t i = data; i < data + n;) {
                int h = int8_t(p[i++]);
                if (h >= 0)
                    row.insert(row.end(), p + i, p + i + h + 1), i += uint64_t(h) + 1;
                else if (h != -128)
                    row.insert(row.end(), size_t(1 - h), p[i++]);
            }
            if (row.size() != rowBytes) return false;
            rows.insert(rows.end(), row.begin(), row.end());
            data += n;
        }
    } else {
        return false;
    }
    testsupport::Sha256 sha;
    sha.Update(rows.data(), rows.size());
    hash = sha.HexDigest();
    uint32_t w = bm.GetWidth();
    for (uint32_t y = 0; y < bm.GetHeight(); ++y)
        for (uint32_t x = 0; x < w; ++x) {
            bool black = rows[y * rowBytes + (x >> 3)] >> (7 - (x & 7)) & 1;
            if ((bm.GetRow(y)[size_t(x) * bm.GetBytesPerPixel()] == 0) != black) {
                hash = "pixel " + std::to_string(x) + "," + std::to_string(y) + " differs";
                return true;
            }
        }
    return true;
}

bool CheckComposite(Ctx& c, PSD::PSDFile const& doc, json const& comp, std::string const& path) {
    static json const kNone;
    auto ci = comp.find("channels");
    auto const& chans = ci != comp.end() ? *ci : kNone;
    PSD::PSDReport report;
    BitmapRef flat;
    std::vector<BitmapRef> masks;
    bool ok = doc.GetBitmap(flat, masks, report);
    if (chans.is_null()) {
        // The reference could not even split the section; we must refuse too or flag damage.
        ++c.compared;
        if (!ok || doc.GetCompositeDamagedRows()) return true;
        c.why = "composite: reference could not split the data but we decoded it";
        return false;
    }
    uint32_t mode = doc.m_colourMode;
    unsigned withAlpha = mode > 9
                             ? doc.m_mergedTransparency
                             : PSD::ColourChannelCount(mode, doc.m_mergedTransparency != 0, true);
    unsigned colour = withAlpha - (doc.m_mergedTransparency ? 1 : 0);
    bool damaged = doc.GetCompositeDamagedRows() > 0;
    for (auto const& ch : chans) {
        unsigned i = ch.value("index", 0u);
        Raster::DynamicBitmap const* bm = nullptr;
        unsigned channel = 0;
        if (ok) {
            if (i < withAlpha) {
                bm = flat.Get();
                channel = i < colour ? i : unsigned(flat->GetFormatInfo().alphaChannel);
            } else if (i - withAlpha < masks.size()) {
                bm = masks[i - withAlpha].Get();
            }
        }
        std::string padded;
        bool usePadded =
            ok && doc.m_depth == 1 && bm && PaddedMonochromeHash(doc, *bm, path, padded);
        if (!Compare(c, "composite channel " + std::to_string(i), ch, ok, damaged, bm, channel,
                     false, report, usePadded ? &padded : nullptr))
            return false;
    }
    return true;
}

unsigned LayerColourChannels(uint32_t mode) {
    switch (mode) {
        case 1:
        case 2:
        case 7:
        case 8:
            return 1;
        case 3:
        case 9:
            return 3;
        case 4:
            return 4;
        default:
            return 0;
    }
}

bool CheckLayer(Ctx& c, PSD::PSDLayer const& layer, json const& ref, size_t index) {
    std::string where = "layer " + std::to_string(index);
    auto ci = ref.find("channels");
    if (ci == ref.end() || !ci->is_array()) return true;
    auto const& chans = *ci;
    unsigned colour = LayerColourChannels(layer.m_colourMode);
    for (auto const& ch : chans) {
        int id = ch.value("id", 0);
        PSD::PSDReport report;
        BitmapRef bm;
        bool ok, damaged, invert = false;
        unsigned channel = 0;
        if (id >= -1) {
            if (id >= int(colour)) continue;  // not a channel the colour bitmap takes
            ok = layer.GetBitmap(bm, report);
            damaged = layer.IsBitmapDamaged();
            if (ok && bm)
                channel = id >= 0 ? unsigned(id) : unsigned(bm->GetFormatInfo().alphaChannel);
        } else if (id == -2) {
            ok = layer.GetBitmapUserMask(bm, report);
            damaged = layer.IsUserMaskDamaged();
            invert = layer.m_userMask.m_invert;
        } else if (id == -3) {
            ok = layer.GetBitmapRealMask(bm, report);
            damaged = layer.IsRealMaskDamaged();
            invert = layer.m_realMask.m_invert;
        } else {
            continue;
        }
        // Masks follow the depth alone, so only the colour bitmap can be refused for its format.
        Ctx mc = c;
        mc.refused = c.refused && id >= -1;
        bool same = Compare(mc, where + " channel " + std::to_string(id), ch, ok, damaged, bm.Get(),
                            channel, invert, report);
        c.compared = mc.compared;
        if (!same) return false;
    }
    return true;
}

Outcome CheckPixels(Document& d, std::string& why) {
    if (!d.doc || !d.ref.value("open_ok", false)) return Outcome::NotApplicable;
    auto const& doc = *d.doc;
    Ctx c{why, doc.m_depth};
    c.refused = LayerFormatRefused(doc.m_colourMode, doc.m_depth);
    static json const kNone;
    auto li = d.ref.find("layers");
    auto const& layers = li != d.ref.end() ? *li : kNone;
    if (layers.is_array() && layers.size() != doc.m_layers.size()) {
        why = "layer count: ours " + std::to_string(doc.m_layers.size()) + ", reference " +
              std::to_string(layers.size());
        return Outcome::Mismatch;
    }
    if (layers.is_array())
        for (size_t i = 0; i < layers.size(); ++i)
            if (!CheckLayer(c, *doc.m_layers[i], layers[i], i)) return Outcome::Mismatch;
    auto comp = d.ref.find("composite");
    // Every mode and depth that opens has a composite bitmap.
    c.refused = false;
    if (comp != d.ref.end() && comp->is_object() && !CheckComposite(c, doc, *comp, d.fullPath))
        return Outcome::Mismatch;
    return c.compared ? Outcome::Match : Outcome::NotApplicable;
}

AspectRegistrar s_pixels({"pixels", 50, CheckPixels});

}  // namespace
}  // namespace corpus

// Corpus aspect "layers": the layer records and tagged-block keys of every document that opens,
// against the reference reader's layer list (file order, bottom first).
#include <string>

#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerKind.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

// Reference keys are the four bytes as Latin-1 characters.
std::string KeyText(uint32_t key) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = uint8_t(key >> shift);
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The mask fields, and the flag bits as the model decoded them.
bool CheckMask(Checker& c, PSD::PSDLayer const& layer, json const& ref) {
    if (ref.is_null()) return c.Same("mask size", layer.m_maskDataSize, 0u);
    auto const& u = layer.m_userMask;
    unsigned flags = layer.m_userMaskFlags;
    if (!c.Same("mask", std::tuple(layer.m_maskDataSize, u.m_present, u.m_top, u.m_left, u.m_bottom,
                                   u.m_right, unsigned(u.m_defaultColour), flags),
                std::tuple(ref.value("size", 0u), true, ref.value("top", 0), ref.value("left", 0),
                           ref.value("bottom", 0), ref.value("right", 0),
                           ref.value("default_colour", 0u), ref.value("flags", 0u))) ||
        !c.Same("mask flag bits", std::tuple(u.m_relative, u.m_disabled, u.m_invert),
                std::tuple((flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0)))
        return false;
    auto const& real = ref.contains("real") ? ref["real"] : json();
    auto const& r = layer.m_realMask;
    if (real.is_null()) return c.Same("real mask present", r.m_present, false);
    unsigned realFlags = layer.m_realMaskFlags;
    return c.Same("real mask",
                  std::tuple(r.m_present, realFlags, unsigned(r.m_defaultColour), r.m_top, r.m_left,
                             r.m_bottom, r.m_right, r.m_invert),
                  std::tuple(true, real.value("flags", 0u), real.value("background", 0u),
                             real.value("top", 0), real.value("left", 0), real.value("bottom", 0),
                             real.value("right", 0), (realFlags & 4) != 0));
}

// The reference's kind, where it and ours are known to differ by design: it calls the legacy
// brightness/contrast layer a pixel layer, and names brightness/contrast where its settings block
// sits beside another adjustment.
bool SameKind(Checker& c, PSD::PSDLayer const& layer, json const& ref) {
    char const* ours = PSD::LayerKind(layer);
    json const& theirs = ref["kind"];
    if (!ours || theirs.is_null()) return c.Same("kind", ours ? json(ours) : json(nullptr), theirs);
    std::string o = ours, t = theirs.get<std::string>();
    if (o == "brightnesscontrast" && t == "pixel" && !layer.FindBlock(PSD::Key("CgEd"))) return true;
    if (t == "brightnesscontrast" && layer.FindBlock(PSD::Key("CgEd"))) return true;
    return c.Same("kind", o, t);
}

bool CheckLayer(Checker& c, PSD::PSDLayer const& layer, json const& ref) {
    if (!SameKind(c, layer, ref)) return false;
    if (!c.Same("pascal name", Hex(layer.m_pascalName),
                ref.value("pascal_name_hex", std::string())))
        return false;
    // The reference gives the "luni" name, else the Pascal bytes as Latin-1; ours decodes those
    // bytes with the Mac code page, so without "luni" the bytes above are the comparison.
    if (layer.FindBlock(PSD::Key("luni")) &&
        !c.Same("name", std::string(layer.m_name), ref.value("name", std::string())))
        return false;
    if (!c.Same("bounds", std::tuple(layer.m_top, layer.m_left, layer.m_bottom, layer.m_right),
                std::tuple(ref.value("top", 0), ref.value("left", 0), ref.value("bottom", 0),
                           ref.value("right", 0))) ||
        !c.Same("blend mode", KeyText(layer.m_recordBlendKey),
                ref.value("blend_mode", std::string())) ||
        !c.Same("opacity", unsigned(layer.m_opacity), ref.value("opacity", 0u)) ||
        !c.Same("clipping", layer.m_clipping, ref.value("clipping", 0) != 0) ||
        !c.Same("flags", unsigned(layer.m_flags), ref.value("flags", 0u)) ||
        !c.Same("visible", layer.m_visible, ref.value("visible", true)))
        return false;

    // Section type: the reference takes "lsct" before "lsdk"; both set ours in file order, so
    // compare against the block that came last in this layer.
    json const& st = ref["section_type"];
    unsigned expected = 0;
    if (!st.is_null()) {
        unsigned t = st.get<unsigned>();
        expected = t >= 1 && t <= 3 ? t : 0;
    }
    if (!c.Same("section type", unsigned(layer.m_sectionType), expected)) return false;
    if (ref.contains("section_blend_key")) {
        uint32_t key = 0;
        if (!PSD::EncodeBlendMode(layer.m_blendMode, key)) key = 0;
        if (!c.Same("section blend key", KeyText(key), ref["section_blend_key"].get<std::string>()))
            return false;
    }

    json const& channels = ref["channels"];
    if (!c.Same("channel count", layer.m_channels.size(), channels.size())) return false;
    for (size_t i = 0; i < channels.size(); ++i) {
        c.where += "channel " + std::to_string(i) + " ";
        if (!c.Same("id and length",
                    std::tuple(int(layer.m_channels[i].m_id), layer.m_channels[i].m_length),
                    std::tuple(channels[i].value("id", 0), channels[i].value("length", uint64_t(0)))))
            return false;
    }
    if (!CheckMask(c, layer, ref["mask"])) return false;
    if (!c.Same("blending range sets", layer.m_blendRanges.size(),
                ref.value("blending_range_sets", size_t(0))))
        return false;
    std::vector<std::string> keys;
    for (auto const& b : layer.m_blocks) keys.push_back(KeyText(b.key));
    return c.Same("block keys", keys, ref.value("block_keys", std::vector<std::string>()));
}

Outcome CheckLayers(Document& d, std::string& why) {
    auto const& ref = d.ref;
    if (!d.doc) {
        // Refusals of the header belong to the header aspect; a damaged file the reference could
        // not read either has nothing to compare.
        if (!ref.value("open_ok", false) || ExpectedHeaderRefusal(ref["header"]) >= 0)
            return Outcome::NotApplicable;
        why = "refused: " +
              (d.report.m_error ? std::string(d.report.m_error->Report()) : std::string("?"));
        return Outcome::Mismatch;
    }
    if (!ref.value("open_ok", false)) return Outcome::NotApplicable;

    auto const& doc = *d.doc;
    Checker c{why, ""};
    json const& layers = ref["layers"];
    if (!c.Same("layer count", doc.m_layers.size(), layers.size())) return Outcome::Mismatch;
    if (!c.Same("merged transparency", doc.m_mergedTransparency != 0,
                ref.value("merged_transparency", false)))
        return Outcome::Mismatch;
    std::vector<std::string> docKeys;
    for (auto const& b : doc.m_documentBlocks) docKeys.push_back(KeyText(b.key));
    if (!c.Same("document block keys", docKeys,
                ref.value("document_block_keys", std::vector<std::string>())))
        return Outcome::Mismatch;
    for (size_t i = 0; i < layers.size(); ++i) {
        c.where = "layer " + std::to_string(i) + " ";
        if (!CheckLayer(c, *doc.m_layers[i], layers[i])) return Outcome::Mismatch;
    }
    return Outcome::Match;
}

AspectRegistrar s_layers({"layers", 20, CheckLayers});

}  // namespace
}  // namespace corpus

// Aspect "tiff": every layered TIFF file of the corpus (either byte order) gives its reference's
// header, layers (names, rectangles, blend keys, opacity) and channel hashes, and its TIFF image
// as the composite; the damaged file fails with the truncation error.
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

bool Damaged(json const& ref) {
    for (auto const& n : ref.value("notes", json::array()))
        if (n.is_string() && n.get<std::string>().find("DAMAGED") != std::string::npos) return true;
    return false;
}

std::string BlendKey(PSD::BlendMode mode) {
    uint32_t key;
    return PSD::EncodeBlendMode(mode, key) ? std::string(PSD::KeyToString(key)) : "?";
}

bool CheckChannels(PSD::PSDLayer const& layer, json const& channels, unsigned depth, Checker& c) {
    unsigned colour = PSD::ColourChannelCount(layer.m_colourMode, false, true);
    for (auto const& ch : channels) {
        int id = ch.value("id", 0);
        if (id >= int(colour) || id < -2 || ch["sha256"].is_null()) continue;
        Kernel::Counted<Raster::DynamicBitmap> bm;
        PSD::PSDReport report;
        bool ok = id == -2 ? layer.GetBitmapUserMask(bm, report) : layer.GetBitmap(bm, report);
        unsigned channel = id >= 0 ? unsigned(id) : id == -1 && bm ? unsigned(bm->GetFormatInfo().alphaChannel) : 0;
        std::string hash = ok ? HashChannel(bm.Get(), channel, depth, id == -2 && layer.m_userMask.m_invert) : "failed";
        if (!c.Same(("channel " + std::to_string(id)).c_str(), hash, ch["sha256"].get<std::string>()))
            return false;
    }
    return true;
}

Outcome CheckTIFF(Document& d, std::string& why) {
    if (Damaged(d.ref)) {
        if (!d.doc && d.report.m_error && d.report.m_error->GetCode() == PSD::PSDError::kTruncated)
            return Outcome::Match;
        why = "the damaged file must fail as truncated";
        return Outcome::Mismatch;
    }
    if (!d.doc) return why = "refused: " + (d.report.m_error ? std::string(d.report.m_error->Report()) : "?"), Outcome::Mismatch;
    auto const& doc = *d.doc;
    auto const& t = d.ref["tiff"];
    Checker c{why, ""};
    if (!c.Same("width", doc.m_width, t["width"]) || !c.Same("height", doc.m_height, t["height"]) ||
        !c.Same("depth", doc.m_depth, t["bits_per_sample"]))
        return Outcome::Mismatch;
    auto const& layers = d.ref["layers"];
    if (!c.Same("layer count", doc.m_layers.size(), layers.size())) return Outcome::Mismatch;
    for (size_t i = 0; i < layers.size(); ++i) {
        auto const& l = *doc.m_layers[i];
        auto const& r = layers[i];
        c.where = "layer " + std::to_string(i) + " ";
        if (!c.Same("name", std::string(l.m_name), r["name"]) || !c.Same("top", l.m_top, r["top"]) ||
            !c.Same("left", l.m_left, r["left"]) || !c.Same("bottom", l.m_bottom, r["bottom"]) ||
            !c.Same("right", l.m_right, r["right"]) || !c.Same("opacity", l.m_opacity, r["opacity"]) ||
            !c.Same("visible", l.m_visible, r["visible"]) ||
            (!l.m_sectionType && !c.Same("blend", BlendKey(l.m_blendMode), r["blend_mode"])) ||
            !CheckChannels(l, r["channels"], doc.m_depth, c))
            return Outcome::Mismatch;
    }
    Kernel::Counted<Raster::DynamicBitmap> composite;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    PSD::PSDReport report;
    c.where = "composite ";
    bool ok = doc.GetBitmap(composite, masks, report);
    if (!c.Same("decoded", ok ? std::string("yes") : std::string(report.m_error ? report.m_error->Report() : "?"), "yes") ||
        !c.Same("width", composite->GetWidth(), doc.m_width))
        return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_tiff({"tiff", 5, CheckTIFF});

}  // namespace
}  // namespace corpus

// Aspect "resources": the document settings read from the image resources against the reference.
// A setting the reference gives as null (its resource absent) must hold the document's default.
#include <set>

#include "psd/io/PSDResourceIO.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

Outcome CheckResources(Document& d, std::string& why) {
    // Nothing to compare when the reference reader could not walk the file.
    if (!d.doc || !d.ref.contains("resources")) return Outcome::NotApplicable;
    auto const& doc = *d.doc;
    auto const& r = d.ref["resources"];
    Checker c{why, ""};
    // Every block is walked: the identifiers seen are the reference's.
    std::set<uint16_t> ids(doc.GetResourceIds().begin(), doc.GetResourceIds().end());
    json resolution = doc.m_unitConverter ? json(doc.m_unitConverter->GetResolution()) : json();
    if (!c.Same("resource ids", std::vector<int>(ids.begin(), ids.end()), r["ids"]) ||
        !c.Same("resolution", resolution, r["resolution"]) ||
        !c.Same("guides", std::tuple(doc.m_horizontalGuides, doc.m_verticalGuides),
                std::tuple(r["horizontal_guides"].get<std::vector<double>>(),
                           r["vertical_guides"].get<std::vector<double>>())))
        return Outcome::Mismatch;

    // Names are compared as the bytes stored: the reference decodes them with another code page.
    auto names = r["alpha_channel_names"].get<std::vector<std::string>>();
    auto hex = r.value("alpha_channel_names_hex", json::array());
    if (!c.Same("alpha channel count", doc.m_alphaChannelNames.size(), names.size()))
        return Outcome::Mismatch;
    auto encoding = Kernel::StringEncoding::Make(PSD::kResourceCodePage);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string bytes = encoding->FromUnicode(doc.m_alphaChannelNames[i]);
        if (!(i < hex.size() ? c.Same("alpha channel name", Hex(bytes), hex[i])
                             : c.Same("alpha channel name", bytes, names[i])))
            return Outcome::Mismatch;
    }

    // Absent settings hold their defaults: a real composite, light at 120 and 30, no caption.
    auto orDefault = [&](char const* key, json fallback) {
        return r.value(key, json()).is_null() ? fallback : r[key];
    };
    json icc = doc.m_iccProfile ? json(doc.m_iccProfile->GetData().size()) : json();
    json refICC = r.value("has_icc_profile", false) ? r["icc_profile_bytes"] : json();
    if (!c.Same("ICC profile", icc, refICC) ||
        !c.Same("has real merged data", json(doc.m_hasRealMergedData),
                orDefault("has_real_merged_data", true)) ||
        !c.Same("global light", json({doc.m_globalLightAngle, doc.m_globalLightAltitude}),
                json({orDefault("global_angle", 120), orDefault("global_altitude", 30)})) ||
        !c.Same("caption", json(std::string(doc.m_caption)), orDefault("caption", "")))
        return Outcome::Mismatch;
    return Outcome::Match;
}

AspectRegistrar s_resources({"resources", 10, CheckResources});

}  // namespace
}  // namespace corpus

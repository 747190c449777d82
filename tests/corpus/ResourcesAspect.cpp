// Aspect "resources": the document settings read from the image resources against the reference.
// A setting the reference gives as null (its resource absent) must hold the document's default.
#include <algorithm>
#include <cstdio>
#include <set>

#include "psd/io/PSDResourceIO.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

std::string Hex(std::string const& bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

std::string List(std::vector<double> const& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + std::to_string(v[i]);
    return out + "]";
}

Outcome CheckResources(Document& d, std::string& why) {
    // Nothing to compare when the reference reader could not walk the file.
    if (!d.doc || !d.ref.contains("resources")) return Outcome::NotApplicable;
    auto const& doc = *d.doc;
    auto const& r = d.ref["resources"];

    // Every block is walked: the identifiers seen are the reference's.
    std::set<uint16_t> ids(doc.m_resourceIds.begin(), doc.m_resourceIds.end());
    std::vector<int> ours(ids.begin(), ids.end());
    if (ours != r["ids"].get<std::vector<int>>()) {
        why = "resource ids differ: ours " + json(ours).dump() + ", reference " + r["ids"].dump();
        return Outcome::Mismatch;
    }

    if (r["resolution"].is_null() != !doc.m_unitConverter ||
        (doc.m_unitConverter &&
         doc.m_unitConverter->GetResolution() != r["resolution"].get<double>())) {
        why = "resolution: ours " +
              (doc.m_unitConverter ? std::to_string(doc.m_unitConverter->GetResolution())
                                   : std::string("none")) +
              ", reference " + r["resolution"].dump();
        return Outcome::Mismatch;
    }

    auto h = r["horizontal_guides"].get<std::vector<double>>();
    auto v = r["vertical_guides"].get<std::vector<double>>();
    if (h != doc.m_horizontalGuides || v != doc.m_verticalGuides) {
        why = "guides: ours h " + List(doc.m_horizontalGuides) + " v " +
              List(doc.m_verticalGuides) + ", reference h " + r["horizontal_guides"].dump() +
              " v " + r["vertical_guides"].dump();
        return Outcome::Mismatch;
    }

    // Names are compared as the bytes stored: the reference decodes them with another code page.
    auto names = r["alpha_channel_names"].get<std::vector<std::string>>();
    auto hex = r.value("alpha_channel_names_hex", json::array());
    if (names.size() != doc.m_alphaChannelNames.size()) {
        why = "alpha channel names: ours " + std::to_string(doc.m_alphaChannelNames.size()) +
              ", reference " + std::to_string(names.size());
        return Outcome::Mismatch;
    }
    auto encoding = Kernel::StringEncoding::Make(PSD::kResourceCodePage);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string bytes = encoding->FromUnicode(doc.m_alphaChannelNames[i]);
        bool same = i < hex.size() ? Hex(bytes) == hex[i].get<std::string>() : bytes == names[i];
        if (!same) {
            why = "alpha channel name " + std::to_string(i) + ": ours " + Hex(bytes) +
                  ", reference " + (i < hex.size() ? hex[i].get<std::string>() : names[i]);
            return Outcome::Mismatch;
        }
    }

    bool hasICC = r.value("has_icc_profile", false);
    if (hasICC != bool(doc.m_iccProfile) ||
        (hasICC && doc.m_iccProfile->GetData().size() != r["icc_profile_bytes"].get<size_t>())) {
        why = "ICC profile: ours " +
              (doc.m_iccProfile ? std::to_string(doc.m_iccProfile->GetData().size()) + " B"
                                : std::string("none")) +
              ", reference " + r["icc_profile_bytes"].dump();
        return Outcome::Mismatch;
    }

    // Without version information the composite counts as real.
    bool real = r["has_real_merged_data"].is_null() ? true : r["has_real_merged_data"].get<bool>();
    if (real != doc.m_hasRealMergedData) {
        why = "has real merged data: ours " + std::to_string(doc.m_hasRealMergedData);
        return Outcome::Mismatch;
    }

    int angle = r["global_angle"].is_null() ? 120 : r["global_angle"].get<int>();
    int altitude = r["global_altitude"].is_null() ? 30 : r["global_altitude"].get<int>();
    if (angle != doc.m_globalLightAngle || altitude != doc.m_globalLightAltitude) {
        why = "global light: ours " + std::to_string(doc.m_globalLightAngle) + "/" +
              std::to_string(doc.m_globalLightAltitude) + ", reference " + std::to_string(angle) +
              "/" + std::to_string(altitude);
        return Outcome::Mismatch;
    }

    std::string caption = r["caption"].is_null() ? std::string() : r["caption"].get<std::string>();
    if (caption != doc.m_caption) {
        why = "caption: ours \"" + std::string(doc.m_caption) + "\"";
        return Outcome::Mismatch;
    }
    return Outcome::Match;
}

AspectRegistrar s_resources({"resources", 10, CheckResources});

}  // namespace
}  // namespace corpus

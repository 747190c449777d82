// `info`: the document settings read from the image resources, and its patterns.
#include <iomanip>
#include <sstream>
#include <utility>
#include <vector>

#include "psd/file/PSDFile.h"
#include "psd/file/PSDPatterns.h"
#include "tools/Command.h"

namespace zuzodoriv {
namespace {

using nlohmann::json;

char const* MethodName(PSD::JPEGMethod m) {
    switch (m) {
        case PSD::JPEGMethod::Baseline:
            return "baseline";
        case PSD::JPEGMethod::BaselineOptimised:
            return "baseline optimised";
        case PSD::JPEGMethod::Progressive:
            return "progressive";
    }
    return "unknown";
}

// The colour in the model it was made in, with the values that model keeps, in display order.
struct ColourFields {
    std::string model;
    std::vector<std::pair<char const*, json>> values;
    std::string name;
};

ColourFields Fields(Renderer::Colour const& c) {
    using Renderer::ColourModel;
    if (auto inner = c.GetWrapped()) {
        ColourFields f = Fields(*inner);
        f.name = c.GetName();
        return f;
    }
    switch (c.GetModel()) {
        case ColourModel::RGB:
            if (auto const* rgb = dynamic_cast<Renderer::ColourRGB const*>(&c)) {
                auto px = rgb->GetRGBA16();
                return {"rgb", {{"red", px.r}, {"green", px.g}, {"blue", px.b}}, {}};
            }
            break;
        case ColourModel::HSL: {
            auto hsl = c.ToHSLAF();
            return {"hsl", {{"hue", hsl.h}, {"saturation", hsl.s}, {"lightness", hsl.l}}, {}};
        }
        case ColourModel::CMYK:
        case ColourModel::CMYKAlt: {
            auto f = c.ToCMYKAF();
            return {"cmyk", {{"cyan", f.c}, {"magenta", f.m}, {"yellow", f.y}, {"black", f.k}}, {}};
        }
        case ColourModel::LAB: {
            auto lab = c.ToLABA16();
            return {"lab", {{"l", lab.l}, {"a", lab.a}, {"b", lab.b}}, {}};
        }
        case ColourModel::Grayscale:
            return {"grayscale", {{"gray", c.ToGray16() / 65535.0}}, {}};
        default:
            break;
    }
    auto f = c.ToRGBAF();
    return {"rgb float", {{"red", f.r}, {"green", f.g}, {"blue", f.b}}, {}};
}

json ColourJson(Renderer::Colour const& c) {
    ColourFields f = Fields(c);
    json j = {{"model", f.model}};
    for (auto const& [key, value] : f.values) j[key] = value;
    if (!f.name.empty()) j["name"] = f.name;
    return j;
}

std::string ColourText(Renderer::Colour const& c) {
    ColourFields f = Fields(c);
    std::ostringstream out;
    out << f.model;
    for (auto const& [key, value] : f.values) out << " " << key << "=" << value.dump();
    if (!f.name.empty()) out << " (" << f.name << ")";
    return out.str();
}

json NullOr(PSD::String const& s) {
    return s.empty() ? json(nullptr) : json(std::string(s));
}

void ResourcesJson(PSD::PSDFile const& doc, json& out) {
    out["resolution"] =
        doc.m_unitConverter ? json(doc.m_unitConverter->GetResolution()) : json(nullptr);
    out["horizontal_guides"] = doc.m_horizontalGuides;
    out["vertical_guides"] = doc.m_verticalGuides;
    json names = json::array();
    for (auto const& n : doc.m_alphaChannelNames) names.push_back(std::string(n));
    out["alpha_channel_names"] = names;
    if (doc.m_iccProfile)
        out["icc_profile"] = {{"bytes", doc.m_iccProfile->GetData().size()},
                              {"description", doc.m_iccProfile->GetDescription()}};
    else
        out["icc_profile"] = nullptr;
    out["has_real_merged_data"] = doc.m_hasRealMergedData;
    out["global_angle"] = doc.m_globalLightAngle;
    out["global_altitude"] = doc.m_globalLightAltitude;
    out["caption"] = NullOr(doc.m_caption);
    out["background_colour"] =
        doc.m_backgroundColour ? ColourJson(*doc.m_backgroundColour) : json(nullptr);
    if (doc.m_jpeg.present)
        out["jpeg"] = {{"quality", doc.m_jpeg.quality},
                       {"method", MethodName(doc.m_jpeg.method)},
                       {"scans", doc.m_jpeg.scans}};
    else
        out["jpeg"] = nullptr;
    out["clipping_path_name"] = NullOr(doc.m_clippingPathName);
    out["resource_ids"] = doc.GetResourceIds();
}

std::string Positions(std::vector<double> const& v) {
    if (v.empty()) return "none";
    std::ostringstream out;
    for (size_t i = 0; i < v.size(); ++i) out << (i ? ", " : "") << v[i];
    return out.str();
}

void ResourcesText(PSD::PSDFile const& doc, std::ostream& out) {
    out << "  resolution:   ";
    if (doc.m_unitConverter)
        out << doc.m_unitConverter->GetResolution() << " ppi\n";
    else
        out << "not stored\n";
    out << "  guides:       horizontal " << Positions(doc.m_horizontalGuides) << "; vertical "
        << Positions(doc.m_verticalGuides) << "\n";
    if (!doc.m_alphaChannelNames.empty()) {
        out << "  alpha names: ";
        for (size_t i = 0; i < doc.m_alphaChannelNames.size(); ++i)
            out << (i ? ", " : " ") << std::quoted(std::string(doc.m_alphaChannelNames[i]));
        out << "\n";
    }
    out << "  ICC profile:  ";
    if (doc.m_iccProfile)
        out << std::quoted(doc.m_iccProfile->GetDescription()) << ", "
            << doc.m_iccProfile->GetData().size() << " B\n";
    else
        out << "none\n";
    if (doc.m_backgroundColour)
        out << "  background:   " << ColourText(*doc.m_backgroundColour) << "\n";
    if (!doc.m_caption.empty())
        out << "  caption:      " << std::quoted(std::string(doc.m_caption)) << "\n";
    if (doc.m_jpeg.present)
        out << "  JPEG:         quality " << doc.m_jpeg.quality << ", "
            << MethodName(doc.m_jpeg.method) << ", " << unsigned(doc.m_jpeg.scans) << " scans\n";
    out << "  global light: angle " << doc.m_globalLightAngle << ", altitude "
        << doc.m_globalLightAltitude << "\n";
    out << "  composite:    "
        << (doc.m_hasRealMergedData ? "real merged data" : "not real (compatibility off)") << "\n";
    std::vector<std::string> errors;
    auto patterns =
        PSD::ReadDocumentPatterns(doc, errors, PSD::NoPatternsPixels);  // names, not pixels
    for (size_t i = 0; i < patterns.size(); ++i)
        out << (i ? "                " : "  patterns:     ") << std::quoted(std::string(patterns[i].m_name))
            << " " << patterns[i].m_width << " x " << patterns[i].m_height << ", id "
            << std::string(patterns[i].m_id) << "\n";
    for (auto const& e : errors) out << "  patterns:     " << e << "\n";
}

InfoSectionRegistrar s_resources({10, ResourcesJson, ResourcesText});

}  // namespace
}  // namespace zuzodoriv

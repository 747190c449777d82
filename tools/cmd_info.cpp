// `zuzodoriv info FILE...`: what a document holds, as text or JSON.
#include <iostream>
#include <memory>

#include "psd/file/PSDFile.h"
#include "tools/Command.h"
#include "tools/OpenDocument.h"

namespace zuzodoriv {
namespace {

using nlohmann::json;

json WarningsJson(PSD::PSDWarnings const* w) {
    json out = json::array();
    if (!w) return out;
    for (auto const& line : w->Lines()) out.push_back(std::string(line));
    return out;
}

void HeaderJson(PSD::PSDFile const& doc, json& out) {
    out["version"] = doc.IsPSB() ? 2 : 1;
    out["width"] = doc.m_width;
    out["height"] = doc.m_height;
    out["depth"] = doc.m_depth;
    out["channels"] = doc.m_channelCount;
    out["colour_mode"] = doc.m_colourMode;
    out["colour_mode_name"] = PSD::ColourModeName(doc.m_colourMode);
    out["sections"] = {{"colour_mode_data", doc.GetSections().colourModeDataLength},
                       {"image_resources", doc.GetSections().imageResourcesLength},
                       {"layer_and_mask", doc.GetSections().layerAndMaskLength},
                       {"image_data_position", doc.GetImageDataPosition()}};
}

void HeaderText(PSD::PSDFile const& doc, std::ostream& out) {
    out << "  format:       " << (doc.IsPSB() ? "PSB (version 2)" : "PSD (version 1)") << "\n"
        << "  size:         " << doc.m_width << " x " << doc.m_height << " px\n"
        << "  depth:        " << doc.m_depth << " bits per channel\n"
        << "  colour mode:  " << PSD::ColourModeName(doc.m_colourMode) << " (" << doc.m_colourMode << ")\n"
        << "  channels:     " << doc.m_channelCount << "\n"
        << "  sections:     colour mode data " << doc.GetSections().colourModeDataLength << " B, image resources "
        << doc.GetSections().imageResourcesLength << " B, layers and masks " << doc.GetSections().layerAndMaskLength
        << " B, image data at " << doc.GetImageDataPosition() << "\n";
}

InfoSectionRegistrar s_header({0, HeaderJson, HeaderText});

struct Options {
    std::vector<std::string> files;
    bool json = false;
    bool parseText = true;
};

int RunInfo(Options const& o) {
    int status = 0;
    for (auto const& path : o.files) {
        PSD::CreateOptions opts = ToolOptions();
        opts.parseText = o.parseText;
        auto opened = OpenDocument(path, opts);
        auto const& doc = opened.doc;
        auto const& report = opened.report;
        std::string const& error = opened.error;
        if (o.json) {
            json j;
            j["file"] = path;
            if (doc) {
                for (auto const& s : InfoSections()) s.json(*doc, j);
            } else {
                j["error"] = error;
            }
            j["warnings"] = WarningsJson(report.m_warnings.Get());
            std::cout << JsonOutput(j) << "\n";
        } else if (doc) {
            std::cout << path << "\n";
            for (auto const& s : InfoSections()) s.text(*doc, std::cout);
            PSD::String w = report.m_warnings ? report.m_warnings->Report() : PSD::String();
            if (!w.empty()) std::cout << "  warnings:\n" << w;
        }
        if (!doc) {
            std::cerr << path << ": " << error << "\n";
            status = 1;
        }
    }
    return status;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("info", "Show what a document holds");
    cmd->add_option("files", opts->files, "Documents to read")->required();
    cmd->add_flag("--json", opts->json, "One JSON object per document");
    cmd->callback([opts] { ExitStatus() = RunInfo(*opts); });
});

}  // namespace
}  // namespace zuzodoriv

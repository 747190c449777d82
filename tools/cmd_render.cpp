// `zuzodoriv render FILE -o OUT.png`: draws the document (or one layer or group) from its layers
// and writes it as PNG; names each feature it could not draw; --compare measures the render
// against the composite the file stores.
#include <iomanip>
#include <iostream>
#include <memory>

#include "psd/render/PSDRender.h"
#include "tools/Command.h"
#include "tools/OpenDocument.h"
#include "tools/SaveOutput.h"
#include "tools/WritePNG.h"

namespace zuzodoriv {
namespace {

struct Options {
    std::string file, output;
    long layer = -1;
    std::string group;
    bool noEffects = false;
    double scale = 1.0;
    bool compare = false;
};

int RunRender(Options const& o) {
    auto opened = OpenDocument(o.file);
    if (!opened.doc) {
        std::cerr << o.file << ": " << opened.error << "\n";
        return 1;
    }
    auto& doc = *opened.doc;
    PSD::PSDRenderOptions ro;
    ro.layer = o.layer;
    ro.group = PSD::String(o.group.c_str());
    ro.effects = !o.noEffects;
    ro.scale = o.scale;
    Kernel::Counted<TerminalSaveProgress> progress(new TerminalSaveProgress("rendering"));
    ro.progress = progress;
    InterruptGuard interrupt;
    ro.abort = &AbortFlag();
    PSD::PSDRenderResult result;
    std::string error;
    bool ok = PSD::RenderDocument(doc, ro, result, error);
    progress->Finish();
    if (!ok) {
        std::cerr << o.file << ": " << error << "\n";
        return AbortFlag() ? 130 : 1;
    }
    for (auto const& u : result.undrawn) std::cerr << o.file << ": not drawn: " << u << "\n";
    if (o.compare) {
        double f = o.layer < 0 && o.group.empty() && o.scale == 1.0
                       ? PSD::CompareWithStoredComposite(doc, *result.bitmap)
                       : -1;
        if (f < 0)
            std::cout << o.file << ": no stored composite to compare with\n";
        else
            std::cout << o.file << ": " << std::fixed << std::setprecision(2) << f * 100
                      << "% of pixels within 2 levels of the stored composite"
                      << (PSD::StoredCompositeIsBlank(doc) ? " (which is not real)" : "") << "\n";
    }
    if (o.output.empty()) return 0;
    if (!WritePNG(result.bitmap, doc, o.output, error)) {
        std::cerr << o.output << ": " << error << "\n";
        return 1;
    }
    return 0;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("render", "Draw a document from its layers and write it as PNG");
    cmd->add_option("file", opts->file, "Document to draw")->required();
    cmd->add_option("-o,--output", opts->output, "PNG file to write");
    auto* l = cmd->add_option("--layer", opts->layer, "Only this layer (index as listed by info)");
    auto* g = cmd->add_option("--group", opts->group, "Only the first group of this name");
    l->excludes(g);
    cmd->add_flag("--no-effects", opts->noEffects, "Leave layer effects out");
    cmd->add_option("--scale", opts->scale, "Output size as a fraction of the document's")
        ->check(CLI::Range(0.001, 16.0));
    cmd->add_flag("--compare", opts->compare,
                  "Print how close the render is to the composite the file stores");
    cmd->callback([opts] {
        if (opts->output.empty() && !opts->compare)
            throw CLI::ValidationError("render", "give -o OUT.png or --compare");
        ExitStatus() = RunRender(*opts);
    });
});

}  // namespace
}  // namespace zuzodoriv

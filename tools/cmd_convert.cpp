// `zuzodoriv convert IN OUT [--psb] [--zip] [--from-model] [--lzw] [--little-endian] [--check]`: reads a document, decodes every bitmap
// (composite, extra channels, layers and their masks) and writes it again as PSD or PSB, or as a
// layered TIFF file when OUT ends in .tif or .tiff.
#include <atomic>
#include <cctype>
#include <iostream>
#include <memory>

#include "host/kernel/Dispatch.h"
#include "psd/file/PSDStoredCompare.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"
#include "tools/OpenDocument.h"
#include "tools/SaveOutput.h"

namespace zuzodoriv {
namespace {

struct Options {
    std::string input;
    std::string output;
    bool psb = false;
    bool zip = false;
    bool fromModel = false;
    bool check = false;
    bool lzw = false;
    bool littleEndian = false;
};

// A target named .tif or .tiff is written as a layered TIFF file.
bool IsTIFFTarget(std::string const& path) {
    auto dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (auto& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return ext == "tif" || ext == "tiff";
}

// Opens the written file and lists what of the original it lacks; 0 when nothing is missing.
int CheckOutput(PSD::PSDFile const& original, Options const& o) {
    auto copy = OpenDocument(o.output);
    if (!copy.doc) {
        std::cerr << o.output << ": does not open again: " << copy.error << "\n";
        return 1;
    }
    auto differences = PSD::CompareStoredData(original, *copy.doc);
    for (auto const& d : differences) std::cout << o.output << ": " << d << "\n";
    if (differences.empty())
        std::cout << o.output << ": every resource and block of " << o.input << " is kept\n";
    return differences.empty() ? 0 : 1;
}

// Decodes every layer bitmap and mask and the composite, naming the first that fails; stops early
// when cancelled.
bool LoadAllBitmaps(PSD::PSDFile const& doc, std::string& error) {
    Kernel::Counted<TerminalSaveProgress> progress(new TerminalSaveProgress("reading"));
    progress->Init(doc.m_layers.size());
    std::vector<std::string> errors(doc.m_layers.size() + 1);
    std::atomic<bool> failed{false};
    // The composite and the layers decode independently, so they are spread over the worker
    // threads; the composite goes first, as its single stream may be the longest piece of work.
    Kernel::Dispatch::DispatchParallelFor(doc.m_layers.size() + 1, [&](size_t k) {
        if (failed || AbortFlag()) return;
        PSD::PSDReport r;
        if (k == 0) {
            Kernel::Counted<Raster::DynamicBitmap> flat;
            std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
            if (!doc.GetBitmap(flat, masks, r)) {
                errors[0] = "composite: " +
                            (r.m_error ? std::string(r.m_error->Report()) : std::string("failed"));
                failed = true;
            }
            return;
        }
        size_t i = k - 1;
        PSD::PSDLayer const& layer = *doc.m_layers[i];
        Kernel::Counted<Raster::DynamicBitmap> bm;
        if (!layer.GetBitmap(bm, r) || !layer.GetBitmapUserMask(bm, r) ||
            !layer.GetBitmapRealMask(bm, r)) {
            errors[k] = "layer " + std::to_string(i) + " \"" + layer.m_name + "\": " +
                        (r.m_error ? std::string(r.m_error->Report()) : std::string("failed"));
            failed = true;
        }
        progress->LayerComplete();
    });
    progress->Finish();
    for (auto const& e : errors) {
        if (!e.empty()) {
            error = e;
            return false;
        }
    }
    return true;
}

// No composite, and one white extra channel for each the document declares, so that every
// alpha channel name keeps its channel. A composite written blank is opaque: without a merged
// image the format has no place for its transparency, so that channel and its name go.
bool BlankComposite(PSD::PSDFile& doc) {
    doc.m_flattenedBitmap = nullptr;
    doc.m_masks.clear();
    doc.m_hasRealMergedData = false;
    unsigned colourPlusAlpha =
        doc.m_colourMode > 9
            ? doc.m_mergedTransparency
            : PSD::ColourChannelCount(doc.m_colourMode, doc.m_mergedTransparency != 0, true);
    if (doc.m_mergedTransparency) {
        doc.m_mergedTransparency = 0;
        unsigned extra = doc.m_channelCount > colourPlusAlpha ? doc.m_channelCount - colourPlusAlpha : 0;
        if (doc.m_alphaChannelNames.size() > extra)
            doc.m_alphaChannelNames.erase(doc.m_alphaChannelNames.begin());
    }
    Raster::Format format = doc.m_depth == 32   ? Raster::Format::AF
                            : doc.m_depth == 16 ? Raster::Format::A16
                                                : Raster::Format::A8;
    try {
        for (unsigned c = colourPlusAlpha; c < doc.m_channelCount; ++c) {
            auto m = Raster::DynamicBitmap::Create(doc.m_width, doc.m_height, format);
            PSD::FillChannel(*m, 0);
            doc.m_masks.push_back(m);
        }
    } catch (std::bad_alloc const&) {
        doc.m_masks.clear();
        return false;
    }
    return true;
}

int RunConvert(Options const& o) {
    InterruptGuard interrupts;
    auto opened = OpenDocument(o.input);
    if (!opened.doc) {
        std::cerr << o.input << ": " << opened.error << "\n";
        return 1;
    }
    auto& doc = opened.doc;
    uint32_t limit = o.psb ? PSD::kMaxSidePSB : PSD::kMaxSidePSD;
    if (doc->m_width > limit || doc->m_height > limit) {
        std::cerr << o.input << ": " << doc->m_width << " x " << doc->m_height
                  << " px is too large for " << (o.psb ? "PSB" : "PSD (use --psb)") << "\n";
        return 1;
    }
    // The composite is decoded now, so that it encodes beside the layers; the layers are decoded
    // by the save, each just before it is encoded and dropped once encoded, which keeps a layer
    // or two's pixels in memory instead of all of them.
    Kernel::Counted<Raster::DynamicBitmap> flat;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    PSD::PSDReport r;
    if (!doc->GetBitmap(flat, masks, r)) {
        // The layers are what matters in a document whose merged image is damaged: it is
        // written blank and marked as not real, so that readers merge the layers instead.
        std::cerr << "warning: " << o.input << ": composite: "
                  << (r.m_error ? std::string(r.m_error->Report()) : std::string("failed"))
                  << "; written blank, marked as not real merged data\n";
        if (!BlankComposite(*doc)) {
            std::cerr << o.input << ": out of memory\n";
            return 1;
        }
    } else if (doc->GetCompositeDamagedRows()) {
        std::cerr << "warning: " << o.input << ": composite: " << doc->GetCompositeDamagedRows()
                  << " damaged rows written as zeros\n";
    }
    if (IsTIFFTarget(o.output)) {
        std::string why;
        // Stored bodies hold numbers in their source's order: what the model cannot rewrite in
        // the other order is left out, and said so.
        for (auto const& lost : doc->BlocksLostInByteOrder(!o.littleEndian))
            std::cerr << "warning: " << o.output << ": " << lost << " not written: stored in the other byte order\n";
        if (!doc->SaveTIFF(o.output, {.lzw = o.lzw, .littleEndian = o.littleEndian}, why)) {
            std::cerr << o.output << ": " << why << "\n";
            return 1;
        }
        return o.check ? CheckOutput(*doc, o) : 0;
    }
    for (auto const& lost : doc->BlocksLostInByteOrder(true))
        std::cerr << "warning: " << o.output << ": " << lost << " not written: stored in the other byte order\n";
    std::string saveError;
    int status = SaveDocumentToFile(*doc, o.output, o.psb, o.zip, true, &saveError, o.fromModel);
    if (status == 0 && o.check) return CheckOutput(*doc, o);
    if (status != 1 || saveError.empty()) return status;
    // A layer that does not decode fails the save without a reason; decoding them all again
    // names it.
    std::string error;
    if (!LoadAllBitmaps(*doc, error)) {
        if (AbortFlag()) {
            std::cerr << "cancelled; " << o.output << " was not written\n";
            return 130;
        }
        std::cerr << o.input << ": " << error << "\n";
        return 1;
    }
    std::cerr << saveError << "\n";
    return 1;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("convert", "Read a document and write it again as PSD or PSB");
    cmd->add_option("input", opts->input, "Document to read")->required();
    cmd->add_option("output", opts->output, "Document to write")->required();
    cmd->add_flag("--psb", opts->psb, "Write the large-document format (version 2)");
    cmd->add_flag("--lzw", opts->lzw, "A .tif target's image in LZW instead of deflate");
    cmd->add_flag("--little-endian", opts->littleEndian,
                  "A .tif target little-endian, its layer data too (big-endian by default)");
    cmd->add_flag("--zip", opts->zip, "ZIP with prediction for 16- and 32-bit layer channels");
    cmd->add_flag("--from-model", opts->fromModel,
                  "Write every layer block the library models from its model, edited or not");
    cmd->add_flag("--check", opts->check,
                  "Open the written file again and list every resource or block of the input it lacks");
    cmd->callback([opts] { ExitStatus() = RunConvert(*opts); });
});

}  // namespace
}  // namespace zuzodoriv

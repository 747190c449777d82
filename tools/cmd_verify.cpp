// `zuzodoriv verify FILE...`: decodes the composite and every layer bitmap and mask of each
// document (layers in parallel), prints one summary line per document and exits non-zero when
// anything fails to open or decode or holds damaged rows.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>

#include "host/kernel/Dispatch.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDStoredCompare.h"
#include "psd/layer/PSDLayer.h"
#include "tools/Command.h"
#include "tools/OpenDocument.h"

namespace zuzodoriv {
namespace {

using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

struct Options {
    std::vector<std::string> files;
    size_t jobs = 0;
    bool quiet = false;
};

struct Tally {
    std::atomic<uint64_t> pixels{0};
    std::atomic<uint64_t> damagedBitmaps{0};
    std::mutex lock;
    std::vector<std::string> failures;

    void Fail(std::string const& what) {
        std::lock_guard<std::mutex> g(lock);
        failures.push_back(what);
    }
};

// Decodes one layer's three bitmaps, counts them and lets them go again so that memory holds only
// the layers being decoded.
void VerifyLayer(PSD::PSDLayer& layer, size_t index, Tally& t) {
    struct Kind {
        char const* name;
        bool (PSD::PSDLayer::*get)(BitmapRef&, PSD::PSDReport&) const;
        BitmapRef PSD::PSDLayer::*cache;
        bool (PSD::PSDLayer::*damaged)() const;
    };
    static Kind const kinds[] = {
        {"bitmap", &PSD::PSDLayer::GetBitmap, &PSD::PSDLayer::m_bitmap,
         &PSD::PSDLayer::IsBitmapDamaged},
        {"user mask", &PSD::PSDLayer::GetBitmapUserMask, &PSD::PSDLayer::m_bitmapUserMask,
         &PSD::PSDLayer::IsUserMaskDamaged},
        {"real mask", &PSD::PSDLayer::GetBitmapRealMask, &PSD::PSDLayer::m_bitmapRealMask,
         &PSD::PSDLayer::IsRealMaskDamaged},
    };
    for (auto const& k : kinds) {
        PSD::PSDReport report;
        BitmapRef bm;
        if (!(layer.*k.get)(bm, report)) {
            t.Fail("layer " + std::to_string(index) + " " + k.name + ": " + ErrorText(report));
        } else if (bm) {
            t.pixels += uint64_t(bm->GetWidth()) * bm->GetHeight();
            if ((layer.*k.damaged)()) t.damagedBitmaps++;
        }
        layer.*k.cache = nullptr;
    }
}

bool VerifyOne(std::string const& path, Options const& o) {
    auto start = std::chrono::steady_clock::now();
    auto opened = OpenDocument(path);
    if (!opened.doc) {
        std::cout << path << ": FAILED " << opened.error << "\n";
        return false;
    }
    auto& doc = opened.doc;
    PSD::PSDReport& report = opened.report;
    Tally t;
    // The composite decodes beside the layers: it reads by position like they do. It goes first,
    // as its single stream may be the longest piece of work.
    auto const& layers = doc->m_layers;
    Kernel::Dispatch::DispatchParallelFor(layers.size() + 1, [&](size_t k) {
        if (k == 0) {
            PSD::PSDReport r;
            BitmapRef flat;
            std::vector<BitmapRef> masks;
            if (!doc->GetBitmap(flat, masks, r)) {
                t.Fail("composite: " + ErrorText(r));
                return;
            }
            if (flat) t.pixels += uint64_t(flat->GetWidth()) * flat->GetHeight();
            for (auto const& m : masks) t.pixels += uint64_t(m->GetWidth()) * m->GetHeight();
            doc->m_flattenedBitmap = nullptr;
            doc->m_masks.clear();
            return;
        }
        VerifyLayer(*layers[k - 1], k - 1, t);
    });
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t damagedRows = doc->GetCompositeDamagedRows();
    size_t warnings = report.m_warnings ? report.m_warnings->GetCount() : 0;
    bool ok = t.failures.empty() && damagedRows == 0 && t.damagedBitmaps == 0;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s: %s  %zu layers, %.3f MP decoded, %llu damaged composite rows, %llu damaged "
                  "layer bitmaps, "
                  "%zu warnings, %.3f s",
                  path.c_str(), ok ? "OK" : "FAILED", layers.size(), double(t.pixels) / 1e6,
                  static_cast<unsigned long long>(damagedRows),
                  static_cast<unsigned long long>(t.damagedBitmaps.load()), warnings, secs);
    std::cout << line << "\n";
    if (!o.quiet)
        for (auto const& f : t.failures) std::cout << "  " << f << "\n";
    // Not a decoding failure, but what a user saving the document would lose.
    for (auto const& loss : PSD::DescribeSaveLosses(*doc))
        std::cout << "  a save would lose data: " << loss << "\n";
    return ok;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd =
        app.add_subcommand("verify", "Decode every pixel of documents and report what fails");
    cmd->add_option("files", opts->files, "Documents to check")->required();
    cmd->add_option("--jobs,-j", opts->jobs, "Threads to decode with (default: all processors)");
    cmd->add_flag("--quiet,-q", opts->quiet, "Only the summary line per document");
    cmd->callback([opts] {
        // Bitmaps come and go layer after layer: keep freed memory in the heap for the next one
        // instead of returning it to the system and faulting fresh zero pages in again.
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
        if (opts->jobs) Kernel::Dispatch::SetConcurrency(opts->jobs);
        int status = 0;
        for (auto const& f : opts->files)
            if (!VerifyOne(f, *opts)) status = 1;
        ExitStatus() = status;
    });
});

}  // namespace
}  // namespace zuzodoriv

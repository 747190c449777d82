// zuzodoriv_bench_write_bound DOC [PASSES]: the physical limit of writing DOC with --zip on this
// machine (the median of PASSES timed passes, 3 by default), printed as JSON for bench/compare:
//   deflate_2threads_s  libdeflate at level 3 over every layer and composite channel of DOC
//                       (samples predicted as the writer predicts them) on two threads
//   channels, bytes     how many channels and bytes that covers
// The channels are decoded and predicted before the clock starts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "host/kernel/Zip.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "psd/layer/PSDLayer.h"

int main(int argc, char** argv) {
    int passCount = argc > 2 ? std::atoi(argv[2]) : 3;
    if (argc < 2 || passCount < 1) {
        std::cerr << "usage: zuzodoriv_bench_write_bound DOC [PASSES]\n";
        return 2;
    }
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(argv[1]));
    PSD::PSDReport report;
    auto doc = in ? PSD::PSDFile::Create(in, PSD::CreateOptions{}, report) : nullptr;
    if (!doc) {
        std::cerr << argv[1] << ": cannot open\n";
        return 1;
    }
    unsigned depth = doc->m_depth;
    if (depth != 8 && depth != 16) {
        std::cerr << argv[1] << ": only 8- and 16-bit documents are measured\n";
        return 1;
    }
    // Every channel the writer compresses, predicted row by row.
    std::vector<std::vector<uint8_t>> channels;
    auto add = [&](Raster::DynamicBitmap const* bm, unsigned channel) {
        if (!bm || bm->IsEmpty()) return;
        size_t rowBytes = size_t(bm->GetWidth()) * depth / 8;
        std::vector<uint8_t> buf(rowBytes * bm->GetHeight());
        for (uint32_t y = 0; y < bm->GetHeight(); ++y)
            PSD::ExtractChannelRow({bm, channel, depth}, y, buf.data() + y * rowBytes);
        Kernel::PredictRows(buf.data(), bm->GetHeight(), rowBytes, depth / 8);
        channels.push_back(std::move(buf));
    };
    for (auto const& layer : doc->m_layers) {
        Kernel::Counted<Raster::DynamicBitmap> bm;
        if (!layer->GetBitmap(bm, report)) return 1;
        if (bm)
            for (unsigned c = 0; c < bm->GetChannelCount(); ++c) add(bm.Get(), c);
    }
    Kernel::Counted<Raster::DynamicBitmap> flat;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    if (!doc->GetBitmap(flat, masks, report)) return 1;
    if (flat) {
        unsigned colour =
            PSD::ColourChannelCount(doc->m_colourMode, doc->m_mergedTransparency != 0);
        for (unsigned c = 0; c < colour && c < flat->GetChannelCount(); ++c) add(flat.Get(), c);
    }
    uint64_t bytes = 0;
    for (auto const& c : channels) bytes += c.size();
    // The median of the passes: one pass is as exposed to a neighbour's load as the runs it
    // bounds, which are medians themselves.
    std::vector<double> passes;
    for (int pass = 0; pass < passCount; ++pass) {
        std::atomic<size_t> next{0};
        auto start = std::chrono::steady_clock::now();
        auto work = [&] {
            std::vector<uint8_t> out;
            for (size_t i; (i = next++) < channels.size();)
                if (!Kernel::ZlibDeflate(channels[i].data(), channels[i].size(), out, 3))
                    std::abort();
        };
        std::thread other(work);
        work();
        other.join();
        passes.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(passes.begin(), passes.end());
    double secs = passes[passes.size() / 2];
    nlohmann::json j;
    j["deflate_2threads_s"] = secs;
    j["channels"] = channels.size();
    j["bytes"] = bytes;
    std::cout << j.dump() << "\n";
    return 0;
}

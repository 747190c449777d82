// Micro-benchmarks: one PackBits row into an interleaved and a planar destination, and a whole
// 16-bit ZIP-with-prediction channel (inflate + un-predict + store) through the channel decoder.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "host/kernel/Zip.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDChannelEncoder.h"

namespace {

// A noisy gradient: flat stretches and noisy stretches, as scanned or painted pixels give.
std::vector<uint8_t> NoisyRow(size_t n, unsigned seed) {
    std::mt19937 rnd(seed);
    std::vector<uint8_t> row(n);
    size_t seg = std::max<size_t>(8, n / 256);
    for (size_t x = 0; x < n; x += seg) {
        uint8_t base = uint8_t(x * 255 / n);
        bool noisy = rnd() & 1;
        for (size_t k = x; k < std::min(n, x + seg); ++k)
            row[k] = noisy ? uint8_t(base + int(rnd() % 5) - 2) : base;
    }
    return row;
}

std::vector<uint8_t> Pack(std::vector<uint8_t> const& p) {
    std::vector<uint8_t> out;
    size_t i = 0, n = p.size();
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 128 && p[i + run] == p[i]) ++run;
        if (run >= 3) {
            out.push_back(uint8_t(257 - run));
            out.push_back(p[i]);
            i += run;
            continue;
        }
        size_t start = i;
        while (i < n && i - start < 128 && !(i + 2 < n && p[i] == p[i + 1] && p[i] == p[i + 2]))
            ++i;
        out.push_back(uint8_t(i - start - 1));
        out.insert(out.end(), p.begin() + long(start), p.begin() + long(i));
    }
    return out;
}

void BM_PackBitsRow(benchmark::State& state) {
    size_t width = 6000, stride = size_t(state.range(0));
    auto packed = Pack(NoisyRow(width, 1));
    std::vector<uint8_t> dst(width * stride);
    for (auto _ : state) {
        bool ok = PSD::UnpackBits(packed.data(), packed.size(), dst.data(), width, stride);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(width));
}
BENCHMARK(BM_PackBitsRow)->Arg(1)->Arg(4);

// Packing noisy-gradient rows, 64 distinct ones as a channel's rows would come.
void BM_PackRow(benchmark::State& state) {
    size_t width = 6000;
    std::vector<std::vector<uint8_t>> rows;
    for (unsigned i = 0; i < 64; ++i) rows.push_back(NoisyRow(width, 10 + i));
    std::vector<uint8_t> out(PSD::RLEPacker::WorstCase(width));
    for (auto _ : state) {
        for (auto const& row : rows) {
            size_t n = PSD::RLEPacker::Pack(row.data(), width, out.data(), out.size());
            benchmark::DoNotOptimize(n);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(width * rows.size()));
}
BENCHMARK(BM_PackRow);

void BM_InflateUnpredict16(benchmark::State& state) {
    const uint32_t w = 4000, h = 3000;
    std::mt19937 rnd(3);
    std::vector<uint8_t> deltas(size_t(w) * h * 2);
    for (size_t i = 0; i < deltas.size(); i += 2) {
        uint16_t d = uint16_t(16 + int(rnd() % 13) - 6);
        deltas[i] = uint8_t(d >> 8);
        deltas[i + 1] = uint8_t(d);
    }
    std::vector<uint8_t> z;
    Kernel::ZlibDeflate(deltas.data(), deltas.size(), z, 1);
    std::vector<uint8_t> block = {0, 3};
    block.insert(block.end(), z.begin(), z.end());
    auto bm = Raster::DynamicBitmap::Create(w, h, Raster::Format::RGBA16);
    for (auto _ : state) {
        std::vector<PSD::ChannelJob> jobs(1);
        jobs[0].target = {bm.Get(), 0, false};
        jobs[0].width = w;
        jobs[0].height = h;
        jobs[0].sampleBytes = 2;
        PSD::PSDLoadData ld;
        bool ok = PSD::PrepareChannelBlock(block.data(), block.size(), false, jobs[0], ld) &&
                  PSD::DecodeChannels(jobs, ld);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(deltas.size()));
}
BENCHMARK(BM_InflateUnpredict16)->Unit(benchmark::kMillisecond);

}  // namespace

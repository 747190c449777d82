// zuzodoriv_bench_bounds DOC: the physical limits of decoding DOC's layer channels on this
// machine, printed as JSON for bench/compare:
//   open_ms        opening the document (structure only), median of 5, file mapping excluded
//   map_ms         mapping the file
//   decoded_bytes  bytes of every layer bitmap and the composite as decoded
//   memcpy_gbps    memory bandwidth (one large memcpy, one thread)
//   packbits_1core_s   a plain PackBits loop over every RLE layer channel, one thread
//   inflate_2threads_s libdeflate inflate + un-predict of every ZIP layer channel on two threads
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "host/kernel/Zip.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a) {
    return std::chrono::duration<double>(Clock::now() - a).count();
}

struct Channel {
    uint8_t const* data;
    uint64_t length;
    uint32_t width, height;
    unsigned sampleBytes;
};

// The plain loop: no bounds bookkeeping beyond the row's end.
size_t PlainUnpack(uint8_t const* src, size_t n, uint8_t* dst, size_t cap) {
    size_t o = 0;
    uint8_t const* end = src + n;
    while (src < end && o < cap) {
        int h = int8_t(*src++);
        if (h >= 0) {
            size_t c = std::min<size_t>(size_t(h) + 1, cap - o);
            std::memcpy(dst + o, src, c);
            src += h + 1;
            o += c;
        } else if (h != -128) {
            size_t c = std::min<size_t>(size_t(1 - h), cap - o);
            std::memset(dst + o, *src++, c);
            o += c;
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: zuzodoriv_bench_bounds DOC\n";
        return 2;
    }
    nlohmann::json out;
    auto t0 = Clock::now();
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(argv[1]));
    out["map_ms"] = Seconds(t0) * 1e3;
    if (!in) return 1;
    std::vector<double> opens;
    Kernel::Counted<PSD::PSDFile> doc;
    for (int i = 0; i < 5; ++i) {
        PSD::PSDReport report;
        if (!in->Seek(0)) return 1;
        auto t = Clock::now();
        doc = PSD::PSDFile::Create(in, PSD::CreateOptions{}, report);
        opens.push_back(Seconds(t) * 1e3);
        if (!doc) return 1;
    }
    std::sort(opens.begin(), opens.end());
    out["open_ms"] = opens[2];
    out["layers"] = doc->m_layers.size();

    uint8_t const* map = in->GetMapping();
    std::vector<Channel> rle, zip;
    uint64_t decoded = uint64_t(doc->m_width) * doc->m_height * 4 * (doc->m_depth / 8);
    for (auto const& l : doc->m_layers) {
        uint64_t pos = l->m_dataPosition;
        uint32_t w = uint32_t(std::max<int64_t>(0, l->GetWidth())),
                 h = uint32_t(std::max<int64_t>(0, l->GetHeight()));
        decoded += uint64_t(w) * h * 4 * (doc->m_depth / 8);
        for (auto const& c : l->m_channels) {
            if (c.m_length >= 2 && c.m_id >= -1) {
                Channel ch{map + pos, c.m_length, w, h, unsigned(doc->m_depth / 8)};
                unsigned comp = unsigned(map[pos]) << 8 | map[pos + 1];
                if (comp == 1) rle.push_back(ch);
                if (comp == 2 || comp == 3) zip.push_back(ch);
            }
            pos += c.m_length;
        }
    }
    out["decoded_bytes"] = decoded;

    {
        size_t n = size_t(512) << 20;
        std::vector<uint8_t> a(n, 1), b(n, 0);
        std::memcpy(b.data(), a.data(), n);  // touch both
        auto t = Clock::now();
        std::memcpy(b.data(), a.data(), n);
        out["memcpy_gbps"] = double(n) / Seconds(t) / 1e9;
    }

    if (!rle.empty()) {
        auto t = Clock::now();
        std::vector<uint8_t> row;
        uint64_t produced = 0;
        for (auto const& c : rle) {
            unsigned cb = doc->m_isPSB ? 4 : 2;
            uint8_t const* counts = c.data + 2;
            uint8_t const* data = counts + uint64_t(c.height) * cb;
            size_t rowBytes = size_t(c.width) * c.sampleBytes;
            row.resize(rowBytes);
            for (uint32_t y = 0; y < c.height; ++y) {
                uint8_t const* p = counts + uint64_t(y) * cb;
                uint64_t n =
                    cb == 4
                        ? (uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3])
                        : (uint64_t(p[0]) << 8 | p[1]);
                produced += PlainUnpack(data, size_t(n), row.data(), rowBytes);
                data += n;
            }
        }
        out["packbits_1core_s"] = Seconds(t);
        out["packbits_bytes"] = produced;
    }

    if (!zip.empty()) {
        auto t = Clock::now();
        std::vector<std::thread> threads;
        for (unsigned k = 0; k < 2; ++k)
            threads.emplace_back([&, k] {
                std::vector<uint8_t> buf;
                for (size_t i = k; i < zip.size(); i += 2) {
                    auto const& c = zip[i];
                    size_t rowBytes = size_t(c.width) * c.sampleBytes;
                    buf.resize(rowBytes * c.height);
                    Kernel::ZlibInflate(c.data + 2, size_t(c.length - 2), buf.data(), buf.size());
                    Kernel::UnpredictRows(buf.data(), c.height, rowBytes, c.sampleBytes);
                }
            });
        for (auto& th : threads) th.join();
        out["inflate_2threads_s"] = Seconds(t);
    }
    std::cout << out.dump() << "\n";
    return 0;
}

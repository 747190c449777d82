// Every corpus document, cut at evenly spaced offsets and with seeded byte flips, is opened and
// fully decoded: no crash, no hang, no leak (the sanitizer build runs this too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>

#include "fuzz/FuzzBodies.h"
#include "host/kernel/Dispatch.h"
#include "support/CorpusFiles.h"

using testsupport::CorpusRoot;

TEST(Mutation, CutAndFlippedCorpusDocumentsFailCleanly) {
    auto docs = testsupport::CorpusFiles({".psd", ".psb"});
    if (docs.empty()) GTEST_SKIP() << "corpus not found at " << CorpusRoot();
    constexpr int kCuts = 32, kFlips = 32;
    // Large documents get fewer variants so the suite stays quick; their structure sits in the
    // first part of the file, where the flips are aimed.
    constexpr size_t kLarge = 1 << 20;
    auto start = std::chrono::steady_clock::now();
    std::atomic<size_t> variants{0};
    // Documents are independent: spread them over the cores.
    Kernel::Dispatch::DispatchParallelFor(docs.size(), [&](size_t d) {
        auto const& path = docs[d];
        std::vector<uint8_t> bytes = testsupport::ReadWholeFile(path);
        if (bytes.empty()) return;
        std::mt19937_64 rng(0x5eed + d);
        int cuts = bytes.size() > kLarge ? 4 : kCuts, flips = bytes.size() > kLarge ? 4 : kFlips;
        // The trailing byte chooses the options: parse text and smart objects, decode bitmaps.
        std::vector<uint8_t> v;
        for (int i = 1; i <= cuts; ++i) {
            size_t cut = bytes.size() * size_t(i) / size_t(cuts + 1);
            v.assign(bytes.begin(), bytes.begin() + cut);
            v.push_back(7);
            fuzzbodies::FuzzOpen(v.data(), v.size());
            ++variants;
        }
        size_t span = std::min(bytes.size(), size_t(256) << 10);
        for (int i = 0; i < flips; ++i) {
            v = bytes;
            size_t pos = rng() % span;
            v[pos] ^= uint8_t(1u << (rng() % 8));
            v.push_back(7);
            fuzzbodies::FuzzOpen(v.data(), v.size());
            ++variants;
        }
    });
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "mutation: " << variants.load() << " variants of " << docs.size() << " documents in " << secs << " s\n";
}

// Saving documents to memory and reading them back, for the writer tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/kernel/Stream.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDLayer.h"
#include "tests/support/RoundTrip.h"

namespace savetest {

using Bytes = std::vector<uint8_t>;

struct Saved {
    bool ok = false;
    Bytes bytes;
};

inline Saved SaveToMemory(PSD::PSDFile const& doc, bool psb, bool compress,
                          bool const* abort = nullptr,
                          Kernel::Counted<PSD::PSDSaveProgress> progress = nullptr,
                          bool decodeStored = false) {
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    Saved s;
    s.ok = doc.Save(*mem, {.psb = psb, .compress = compress, .decodeStored = decodeStored,
                              .progress = progress, .abort = abort});
    s.bytes = mem->TakeData();
    return s;
}

inline Kernel::Counted<PSD::PSDFile> Reopen(Bytes const& bytes, PSD::PSDReport& report) {
    auto in = Kernel::MemoryInStream::Create(bytes);
    return PSD::PSDFile::Create(Kernel::Counted<Kernel::InStreamSeekable>(in.Get()),
                                PSD::CreateOptions{}, report);
}

inline std::string ErrorText(PSD::PSDReport const& r) {
    return r.m_error ? std::string(r.m_error->Report()) : std::string("(no error)");
}

inline uint32_t BE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t BE16(uint8_t const* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

// Positions of every occurrence of a four-character key in the bytes.
inline std::vector<size_t> FindKey(Bytes const& b, char const* key) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (std::memcmp(b.data() + i, key, 4) == 0) at.push_back(i);
    return at;
}

// Pixels with structure (runs and gradients) and noise, so every compression form gets used.
inline Kernel::Counted<Raster::DynamicBitmap> Pattern(uint32_t w, uint32_t h, Raster::Format f,
                                                      unsigned seed) {
    auto bm = Raster::DynamicBitmap::Create(w, h, f);
    std::mt19937 rng(seed);
    auto const& info = bm->GetFormatInfo();
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = bm->GetRow(y);
        for (uint32_t x = 0; x < w; ++x) {
            for (unsigned c = 0; c < info.channels; ++c) {
                uint8_t* s = row + (size_t(x) * info.channels + c) * info.bytesPerSample;
                unsigned kind = (y / 3 + c) % 3;
                uint32_t v = kind == 0 ? 200u + c : kind == 1 ? (x * 7 + y) : rng();
                if (info.isFloat) {
                    float fv =
                        kind == 2 ? float(v % 3000) / 1000.0f - 0.5f : float(v % 256) / 255.0f;
                    std::memcpy(s, &fv, 4);
                } else if (info.bytesPerSample == 2) {
                    uint16_t sv = uint16_t(kind == 1 ? v * 113 : v);
                    std::memcpy(s, &sv, 2);
                } else {
                    *s = uint8_t(v);
                }
            }
        }
    }
    return bm;
}

using testsupport::SameBitmap;

inline Kernel::Counted<PSD::PSDLayer> MakeLayer(
    std::string const& name, int32_t left, int32_t top,
    Kernel::Counted<Raster::DynamicBitmap> const& bitmap) {
    Kernel::Counted<PSD::PSDLayer> l(new PSD::PSDLayer(PSD::PSDLayer::kNormal, PSD::String(name)));
    l->m_left = left;
    l->m_top = top;
    l->m_right = left + int32_t(bitmap ? bitmap->GetWidth() : 0);
    l->m_bottom = top + int32_t(bitmap ? bitmap->GetHeight() : 0);
    l->m_bitmap = bitmap;
    return l;
}

inline Kernel::Counted<PSD::PSDFile> NewDoc(unsigned w, unsigned h, bool psb, Raster::Format f) {
    return PSD::PSDFile::CreateEmpty(w, h, psb, f, nullptr, nullptr);
}

// Raises the abort flag once a given number of steps is done.
class AbortingProgress : public PSD::PSDSaveProgress {
public:
    AbortingProgress(bool* flag, uint64_t after) : m_flag(flag), m_after(after) {}
    void OnUpdate(uint64_t done, uint64_t total) override {
        m_lastDone = done;
        m_lastTotal = total;
        ++m_calls;
        if (m_flag && done >= m_after && m_after > 0) *m_flag = true;
    }
    bool* m_flag;
    uint64_t m_after;
    uint64_t m_lastDone = 0, m_lastTotal = 0;
    int m_calls = 0;
};

// count layers of noise (which does not pack) of w x h, but the one at index small, which is
// 30 x 20, placed one pixel apart.
inline void AddNoiseLayers(PSD::PSDFile& doc, int count, uint32_t w, uint32_t h, int small,
                           unsigned seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
        bool isSmall = i == small;
        auto bm = Raster::DynamicBitmap::Create(isSmall ? 30 : w, isSmall ? 20 : h,
                                                Raster::Format::RGBA8);
        for (size_t k = 0; k < bm->GetDataSize(); ++k) bm->GetData()[k] = uint8_t(rng());
        ASSERT_TRUE(doc.AddLayer(MakeLayer("noise " + std::to_string(i), i, 0, bm)));
    }
}

// Saves and reads back; null when either fails (the save's failure is a test failure).
inline Kernel::Counted<PSD::PSDFile> SaveAndReopen(PSD::PSDFile const& doc, bool psb, bool compress,
                                                   PSD::PSDReport& report) {
    Saved s = SaveToMemory(doc, psb, compress);
    EXPECT_TRUE(s.ok);
    return s.ok ? Reopen(s.bytes, report) : nullptr;
}

inline Kernel::Counted<Raster::DynamicBitmap> WithOpaqueAlpha(
    Kernel::Counted<Raster::DynamicBitmap> bm) {
    auto const& info = bm->GetFormatInfo();
    bm->FillChannel(unsigned(info.alphaChannel), info.isFloat               ? 1.0
                                                 : info.bytesPerSample == 2 ? 65535.0
                                                                            : 255.0);
    return bm;
}

}  // namespace savetest

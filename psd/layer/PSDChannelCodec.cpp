#include "psd/layer/PSDChannelCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"
#include "host/kernel/Zip.h"

namespace PSD {

namespace {

using RowFn = void (*)(uint8_t const* src, uint8_t* dst, size_t stride, uint32_t width);

inline uint32_t Load16(uint8_t const* p, bool bigEndian) {
    return bigEndian ? (uint32_t(p[0]) << 8 | p[1]) : (uint32_t(p[1]) << 8 | p[0]);
}

inline uint32_t Load32(uint8_t const* p, bool bigEndian) {
    return bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                     : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
}

// One row of S-byte document samples into the D-byte samples of one bitmap channel.
template <unsigned S, unsigned D, bool BigEndian, bool Invert>
void StoreRow(uint8_t const* src, uint8_t* dst, size_t stride, uint32_t width) {
    constexpr uint32_t kMask = S == 1 ? 0xFFu : 0xFFFFu;
    for (uint32_t x = 0; x < width; ++x, dst += stride) {
        uint32_t v;
        if constexpr (S == 1) {
            v = src[x];
        } else if constexpr (BigEndian) {
            v = uint32_t(src[2 * x]) << 8 | src[2 * x + 1];
        } else {
            v = uint32_t(src[2 * x + 1]) << 8 | src[2 * x];
        }
        if constexpr (Invert) v = kMask - v;
        if constexpr (D == 1) {
            *dst = static_cast<uint8_t>(S == 2 ? v >> 8 : v);
        } else {
            uint16_t o = static_cast<uint16_t>(S == 1 ? v * 257u : v);
            std::memcpy(dst, &o, 2);
        }
    }
}

template <bool BigEndian, bool Invert>
void StoreFloatRow(uint8_t const* src, uint8_t* dst, size_t stride, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x, dst += stride) {
        uint32_t bits = Load32(src + 4 * size_t(x), BigEndian);
        float f;
        std::memcpy(&f, &bits, 4);
        if constexpr (Invert) f = 1.0f - f;
        std::memcpy(dst, &f, 4);
    }
}

template <unsigned S, unsigned D>
RowFn PickOrder(bool bigEndian, bool invert) {
    if (bigEndian) return invert ? &StoreRow<S, D, true, true> : &StoreRow<S, D, true, false>;
    return invert ? &StoreRow<S, D, false, true> : &StoreRow<S, D, false, false>;
}

// The row storer for a document sample width and a bitmap sample width; null for pairs that do
// not convert (float only goes to float). Float rows are never predicted here: the byte planes
// are joined first.
RowFn PickStorer(unsigned s, unsigned d, bool bigEndian, bool invert) {
    if (s == 1 && d == 1) return PickOrder<1, 1>(bigEndian, invert);
    if (s == 2 && d == 2) return PickOrder<2, 2>(bigEndian, invert);
    if (s == 2 && d == 1) return PickOrder<2, 1>(bigEndian, invert);
    if (s == 1 && d == 2) return PickOrder<1, 2>(bigEndian, invert);
    if (s == 4 && d == 4) {
        if (bigEndian) return invert ? &StoreFloatRow<true, true> : &StoreFloatRow<true, false>;
        return invert ? &StoreFloatRow<false, true> : &StoreFloatRow<false, false>;
    }
    return nullptr;
}

// A piece of work: rows [y0, y1) of one job; offset is where row y0's packed bytes start (RLE).
struct Task {
    size_t job;
    uint32_t y0, y1;
    uint64_t offset;
    // Packed 8-bit channels of one bitmap decoded together, row by row: members and where each
    // member's row y0 starts.
    std::vector<size_t> group;
    std::vector<uint64_t> offsets;
    // No other job writes the group's bitmap: whole pixels may be stored, including a read and
    // write back of the channel the group leaves as it is.
    bool exclusive = false;
};

struct TaskResult {
    int code = -1;  // PSDError code, -1 for success
    String detail;
    uint64_t damagedRows = 0;
    std::vector<uint64_t> memberDamaged;
};

uint8_t* TargetRow(ChannelJob const& job, uint32_t y) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    return bm.GetRow(y) + size_t(job.target.channel) * bm.GetBytesPerSample();
}

// Rows [y0, y1) of a job's channel set to zero: what a failed piece of work leaves, whatever the
// bitmap held before.
void ZeroChannelRows(ChannelJob const& job, uint32_t y0, uint32_t y1) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    size_t bps = bm.GetBytesPerSample(), stride = bm.GetBytesPerPixel();
    for (uint32_t y = y0; y < std::min(y1, job.height); ++y) {
        uint8_t* d = TargetRow(job, y);
        if (stride == bps)
            std::memset(d, 0, size_t(job.width) * bps);
        else
            for (uint32_t x = 0; x < job.width; ++x, d += stride) std::memset(d, 0, bps);
    }
}

void RunRaw(ChannelJob const& job, Task const& t, TaskResult&) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    size_t rowBytes = size_t(job.width) * job.sampleBytes;
    RowFn store = PickStorer(job.sampleBytes, bm.GetBytesPerSample(), job.bigEndian,
                             job.target.invert);
    size_t stride = bm.GetBytesPerPixel();
    for (uint32_t y = t.y0; y < t.y1; ++y)
        store(job.data + size_t(y) * rowBytes, TargetRow(job, y), stride, job.width);
}

void RunRLE(ChannelJob const& job, Task const& t, TaskResult& r) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    size_t rowBytes = size_t(job.width) * job.sampleBytes;
    size_t stride = bm.GetBytesPerPixel();
    RowFn store = PickStorer(job.sampleBytes, bm.GetBytesPerSample(), job.bigEndian,
                             job.target.invert);
    // A single-channel 8-bit bitmap takes the unpacked row as it is.
    bool copy = job.sampleBytes == 1 && stride == 1 && !job.target.invert;
    std::vector<uint8_t> row(rowBytes + kUnpackSlack);
    uint64_t pos = t.offset;
    for (uint32_t y = t.y0; y < t.y1; ++y) {
        uint64_t n = RowCount(job, y);
        if (n > job.size - pos) {  // checked when the job was made; kept for safety
            r.code = PSDError::kTruncated;
            return;
        }
        if (!UnpackBitsPadded(job.data + pos, size_t(n), job.data + job.size, row.data(),
                              rowBytes)) {
            std::memset(row.data(), 0, rowBytes);
            ++r.damagedRows;
        }
        pos += n;
        if (copy)
            std::memcpy(TargetRow(job, y), row.data(), rowBytes);
        else
            store(row.data(), TargetRow(job, y), stride, job.width);
    }
}

// The packet walk the unpackers share: literal(at, bytes, count) and run(at, value, count) place
// the bytes. True when exactly n bytes came out.
template <class Literal, class Run>
inline bool WalkPackBits(uint8_t const* src, size_t srcLen, size_t n, Literal literal, Run run) {
    uint8_t const* end = src + srcLen;
    size_t out = 0;
    while (src < end) {
        int h = static_cast<int8_t>(*src++);
        if (h >= 0) {
            size_t count = size_t(h) + 1;
            if (count > size_t(end - src) || count > n - out) return false;
            literal(out, src, count);
            src += count;
            out += count;
        } else if (h != -128) {
            size_t count = size_t(1 - h);
            if (src == end || count > n - out) return false;
            run(out, *src++, count);
            out += count;
        }
    }
    return out == n;
}

}  // namespace

uint64_t RowCount(ChannelJob const& job, uint32_t y) {
    uint8_t const* p = job.rowCounts + size_t(y) * job.countBytes;
    return job.countBytes == 4 ? Load32(p, job.countsBigEndian) : Load16(p, job.countsBigEndian);
}

bool UnpackBitsPadded(uint8_t const* src, size_t srcLen, uint8_t const* srcLimit, uint8_t* dst,
                      size_t n) {
    uint8_t const* end = src + srcLen;
#ifdef __SSE2__
    // Every packet stores 64 bytes picked from the literal bytes or the run byte, whichever it is,
    // so that the common short packets take no data-dependent branch: on noisy rows the choice
    // between literal and run, and whether a packet is longer than the stores, are coin tosses the
    // branch predictor loses.
    if (size_t(srcLimit - end) >= kUnpackSlack) {
        size_t out = 0;
        uint8_t const* p = src;
        while (p < end) {
            int h = static_cast<int8_t>(p[0]);
            __m128i run = _mm_set1_epi8(static_cast<char>(p[1]));
            __m128i isRun = _mm_set1_epi8(static_cast<char>(h >> 7));
            __m128i l0 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 1));
            __m128i l1 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 17));
            __m128i l2 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 33));
            __m128i l3 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 49));
            size_t count = h >= 0 ? size_t(h + 1) : size_t(1 - h);
            size_t advance = h >= 0 ? size_t(h + 2) : 2;
            if (h == -128) {
                count = 0;
                advance = 1;
            }
            if (count > n - out || advance > size_t(end - p)) return false;
            uint8_t* d = dst + out;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                             _mm_or_si128(_mm_and_si128(isRun, run), _mm_andnot_si128(isRun, l0)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16),
                             _mm_or_si128(_mm_and_si128(isRun, run), _mm_andnot_si128(isRun, l1)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32),
                             _mm_or_si128(_mm_and_si128(isRun, run), _mm_andnot_si128(isRun, l2)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48),
                             _mm_or_si128(_mm_and_si128(isRun, run), _mm_andnot_si128(isRun, l3)));
            if (count > 64) [[unlikely]] {
                if (h >= 0)
                    for (size_t i = 64; i < count; i += 16)
                        _mm_storeu_si128(
                            reinterpret_cast<__m128i*>(d + i),
                            _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + 1 + i)));
                else
                    for (size_t i = 64; i < count; i += 16)
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), run);
            }
            out += count;
            p += advance;
        }
        return out == n;
    }
#endif
    (void)srcLimit;
    return WalkPackBits(
        src, srcLen, n,
        [&](size_t at, uint8_t const* bytes, size_t count) { std::memcpy(dst + at, bytes, count); },
        [&](size_t at, uint8_t value, size_t count) { std::memset(dst + at, value, count); });
}

namespace {

#ifdef __SSE2__
// The last step of joining four planes: the interleaved pairs (a,b) and (c,d) become whole
// pixels, 64 bytes of them.
template <class Lo, class Hi>
inline void StoreJoined(uint8_t* dst, __m128i abLo, __m128i abHi, __m128i cdLo, __m128i cdHi, Lo lo,
                        Hi hi) {
    __m128i* out = reinterpret_cast<__m128i*>(dst);
    if ((reinterpret_cast<uintptr_t>(dst) & 15) == 0) {
        _mm_stream_si128(out, lo(abLo, cdLo));
        _mm_stream_si128(out + 1, hi(abLo, cdLo));
        _mm_stream_si128(out + 2, lo(abHi, cdHi));
        _mm_stream_si128(out + 3, hi(abHi, cdHi));
        return;
    }
    _mm_storeu_si128(out, lo(abLo, cdLo));
    _mm_storeu_si128(out + 1, hi(abLo, cdLo));
    _mm_storeu_si128(out + 2, lo(abHi, cdHi));
    _mm_storeu_si128(out + 3, hi(abHi, cdHi));
}
#endif

// Four planes of one row into 4-byte pixels, plane 0 in the lowest byte. With Keep, the samples
// of channel keep stay as the bitmap holds them (its plane pointer is not read).
template <bool Keep = false>
void InterleaveFour(uint8_t const* p0, uint8_t const* p1, uint8_t const* p2, uint8_t const* p3,
                    uint8_t* dst, uint32_t w, unsigned keep = 0) {
    uint32_t x = 0;
#ifdef __SSE2__
    __m128i const keepMask = _mm_set1_epi32(int(0xFFu << (8 * keep)));
    __m128i const zero = _mm_setzero_si128();
    for (; x + 16 <= w; x += 16) {
        auto plane = [&](uint8_t const* p, unsigned c) {
            if (Keep && c == keep) return zero;
            return _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + x));
        };
        __m128i a = plane(p0, 0), b = plane(p1, 1), c = plane(p2, 2), d = plane(p3, 3);
        __m128i abLo = _mm_unpacklo_epi8(a, b), abHi = _mm_unpackhi_epi8(a, b);
        __m128i cdLo = _mm_unpacklo_epi8(c, d), cdHi = _mm_unpackhi_epi8(c, d);
        uint8_t* out = dst + 4 * size_t(x);
        if constexpr (Keep) {
            auto merge = [&](__m128i v, size_t i) {
                __m128i* q = reinterpret_cast<__m128i*>(out) + i;
                _mm_storeu_si128(q, _mm_or_si128(v, _mm_and_si128(_mm_loadu_si128(q), keepMask)));
            };
            merge(_mm_unpacklo_epi16(abLo, cdLo), 0);
            merge(_mm_unpackhi_epi16(abLo, cdLo), 1);
            merge(_mm_unpacklo_epi16(abHi, cdHi), 2);
            merge(_mm_unpackhi_epi16(abHi, cdHi), 3);
        } else {
            StoreJoined(out, abLo, abHi, cdLo, cdHi, _mm_unpacklo_epi16, _mm_unpackhi_epi16);
        }
    }
    _mm_sfence();
#endif
    uint8_t const* planes[4] = {p0, p1, p2, p3};
    for (; x < w; ++x)
        for (unsigned c = 0; c < 4; ++c)
            if (!Keep || c != keep) dst[4 * size_t(x) + c] = planes[c][x];
}

// Several packed 8-bit channels of one bitmap: each row of each channel unpacks into a small
// contiguous buffer (memcpy and memset per packet), then one pass interleaves them into the bitmap.
void RunRLEGroup(std::vector<ChannelJob> const& jobs, Task const& t, TaskResult& r) {
    size_t k = t.group.size();
    ChannelJob const& first = jobs[t.group[0]];
    Raster::DynamicBitmap& bm = *first.target.bitmap;
    uint32_t w = first.width;
    size_t stride = bm.GetBytesPerPixel();
    // Unpacking may run kUnpackSlack bytes past a row: into the next member's row, written after
    // it, or into this padding.
    std::vector<uint8_t> buf(k * size_t(w) + kUnpackSlack);
    std::vector<uint64_t> pos = t.offsets;
    r.memberDamaged.assign(k, 0);
    // Three or four channels of a 4-byte pixel: compose whole pixels (three keep the fourth
    // channel, such as a composite's filled alpha).
    uint8_t const* planes[4] = {};
    bool whole = (k == 4 || k == 3) && stride == 4 && t.exclusive;
    for (size_t m = 0; whole && m < k; ++m) {
        unsigned c = jobs[t.group[m]].target.channel;
        if (c >= 4 || planes[c])
            whole = false;
        else
            planes[c] = buf.data() + m * w;
    }
    unsigned keep = 0;
    while (whole && k == 3 && planes[keep]) ++keep;
    for (uint32_t y = t.y0; y < t.y1; ++y) {
        for (size_t m = 0; m < k; ++m) {
            ChannelJob const& j = jobs[t.group[m]];
            uint64_t n = RowCount(j, y);
            if (n > j.size - pos[m]) {  // checked when the job was made; kept for safety
                r.code = PSDError::kTruncated;
                return;
            }
            uint8_t* row = buf.data() + m * w;
            if (!UnpackBitsPadded(j.data + pos[m], size_t(n), j.data + j.size, row, w)) {
                std::memset(row, 0, w);
                ++r.memberDamaged[m];
            }
            pos[m] += n;
        }
        uint8_t* dst = bm.GetRow(y);
        if (whole) {
            if (k == 4)
                InterleaveFour(planes[0], planes[1], planes[2], planes[3], dst, w);
            else
                InterleaveFour<true>(planes[0], planes[1], planes[2], planes[3], dst, w, keep);
            continue;
        }
        for (size_t m = 0; m < k; ++m) {
            uint8_t const* row = buf.data() + m * w;
            uint8_t* d = dst + jobs[t.group[m]].target.channel;
            for (uint32_t x = 0; x < w; ++x, d += stride) *d = row[x];
        }
    }
}

// Four planes of big-endian 16-bit samples into host-order 4-sample pixels, plane 0 first.
void InterleaveFour16BE(uint8_t const* p0, uint8_t const* p1, uint8_t const* p2, uint8_t const* p3,
                        uint8_t* dst, uint32_t w) {
    uint32_t x = 0;
#ifdef __SSE2__
    auto load = [](uint8_t const* p) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p));
        return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    };
    for (; x + 8 <= w; x += 8) {
        __m128i a = load(p0 + 2 * size_t(x)), b = load(p1 + 2 * size_t(x));
        __m128i c = load(p2 + 2 * size_t(x)), d = load(p3 + 2 * size_t(x));
        __m128i abLo = _mm_unpacklo_epi16(a, b), abHi = _mm_unpackhi_epi16(a, b);
        __m128i cdLo = _mm_unpacklo_epi16(c, d), cdHi = _mm_unpackhi_epi16(c, d);
        StoreJoined(dst + 8 * size_t(x), abLo, abHi, cdLo, cdHi, _mm_unpacklo_epi32,
                    _mm_unpackhi_epi32);
    }
    _mm_sfence();
#endif
    uint8_t const* planes[4] = {p0, p1, p2, p3};
    for (; x < w; ++x)
        for (unsigned c = 0; c < 4; ++c) {
            uint16_t v = uint16_t(planes[c][2 * size_t(x)] << 8 | planes[c][2 * size_t(x) + 1]);
            std::memcpy(dst + 8 * size_t(x) + 2 * c, &v, 2);
        }
}

// Inflates a ZIP channel whole and undoes integer prediction in place; null after an error.
Kernel::LargeBuffer InflateZip(ChannelJob const& job, TaskResult& r) {
    size_t rowBytes = size_t(job.width) * job.sampleBytes;
    uint64_t total;
    Kernel::LargeBuffer buf;
    if (!Kernel::CheckedMul(rowBytes, job.height, total) || total > Kernel::GetAllocationLimit()) {
        r.code = PSDError::kOutOfMemory;
        return buf;
    }
    // Sized from the header; its contents are all overwritten by the inflate, so a block an
    // earlier channel left (already faulted in) will do.
    if (!buf.Allocate(size_t(total), Kernel::LargeBuffer::Contents::Unspecified)) {
        r.code = PSDError::kOutOfMemory;
        return buf;
    }
    Kernel::InflateStatus st =
        Kernel::ZlibInflate(job.data, size_t(job.size), buf.get(), size_t(total));
    // A stream that goes on past the channel is read only as far as the channel needs.
    if (st != Kernel::InflateStatus::Ok && st != Kernel::InflateStatus::TooLong) {
        r.code = PSDError::kTruncated;
        buf = Kernel::LargeBuffer();
    }
    return buf;
}

// Rows [y0, y1) of an inflated channel into its bitmap.
void StoreZipRows(ChannelJob const& job, uint8_t* buf, uint32_t y0, uint32_t y1) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    size_t rowBytes = size_t(job.width) * job.sampleBytes;
    bool predict = job.compression == kCompressionZipPrediction;
    size_t stride = bm.GetBytesPerPixel();
    if (predict && job.sampleBytes == 4) {
        RowFn store = PickStorer(4, 4, true, job.target.invert);
        std::vector<uint8_t> joined(rowBytes);
        for (uint32_t y = y0; y < y1; ++y) {
            UnpredictFloatRow(buf + size_t(y) * rowBytes, job.width, joined.data());
            store(joined.data(), TargetRow(job, y), stride, job.width);
        }
        return;
    }
    // Running sums (vectorised) row by row, while the row is in cache, leave plain samples.
    // Deflated samples are big-endian: layer data is in files of either byte order.
    RowFn store =
        PickStorer(job.sampleBytes, bm.GetBytesPerSample(), job.bigEndian, job.target.invert);
    for (uint32_t y = y0; y < y1; ++y) {
        uint8_t* row = buf + size_t(y) * rowBytes;
        if (predict) Kernel::UnpredictRows(row, 1, rowBytes, job.sampleBytes);
        store(row, TargetRow(job, y), stride, job.width);
    }
}

}  // namespace

bool UnpackBits(uint8_t const* src, size_t srcLen, uint8_t* dst, size_t n, size_t stride) {
    if (stride == 1)
        return WalkPackBits(
            src, srcLen, n,
            [&](size_t at, uint8_t const* bytes, size_t count) {
                std::memcpy(dst + at, bytes, count);
            },
            [&](size_t at, uint8_t value, size_t count) { std::memset(dst + at, value, count); });
    return WalkPackBits(
        src, srcLen, n,
        [&](size_t at, uint8_t const* bytes, size_t count) {
            uint8_t* d = dst + at * stride;
            for (size_t i = 0; i < count; ++i, d += stride) *d = bytes[i];
        },
        [&](size_t at, uint8_t value, size_t count) {
            uint8_t* d = dst + at * stride;
            for (size_t i = 0; i < count; ++i, d += stride) *d = value;
        });
}

void UnpredictFloatRow(uint8_t* row, uint32_t width, uint8_t* out) {
    size_t n = size_t(width) * 4;
    for (size_t i = 1; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - 1]);
    uint8_t const* p0 = row;
    uint8_t const* p1 = row + width;
    uint8_t const* p2 = row + 2 * size_t(width);
    uint8_t const* p3 = row + 3 * size_t(width);
    for (uint32_t x = 0; x < width; ++x) {
        out[4 * size_t(x)] = p0[x];
        out[4 * size_t(x) + 1] = p1[x];
        out[4 * size_t(x) + 2] = p2[x];
        out[4 * size_t(x) + 3] = p3[x];
    }
}

ZipChannelRows::ZipChannelRows(ChannelJob const& job)
    : m_job(job), m_inflater(job.data, size_t(std::min<uint64_t>(job.size, SIZE_MAX))) {}

bool ZipChannelRows::Next(uint8_t* row) {
    size_t n = RowBytes();
    bool predict = m_job.compression == kCompressionZipPrediction;
    if (predict && m_job.sampleBytes == 4) {
        m_planes.resize(n);
        if (m_inflater.Next(m_planes.data(), n) != Kernel::InflateStatus::Ok) return false;
        UnpredictFloatRow(m_planes.data(), m_job.width, row);
        return true;
    }
    if (m_inflater.Next(row, n) != Kernel::InflateStatus::Ok) return false;
    if (predict) Kernel::UnpredictRows(row, 1, n, m_job.sampleBytes);
    return true;
}

bool ZipChannelRows::Store(ChannelJob const& job, uint8_t const* row, uint32_t y) {
    Raster::DynamicBitmap& bm = *job.target.bitmap;
    // Joined 32-bit rows are big-endian, as the whole-channel path stores them.
    bool joined = job.compression == kCompressionZipPrediction && job.sampleBytes == 4;
    RowFn store = joined ? PickStorer(4, 4, true, job.target.invert)
                         : PickStorer(job.sampleBytes, bm.GetBytesPerSample(), job.bigEndian,
                                      job.target.invert);
    if (!store) return false;
    store(row, TargetRow(job, y), bm.GetBytesPerPixel(), job.width);
    return true;
}

void FillChannel(Raster::DynamicBitmap& bitmap, unsigned channel) {
    double full =
        bitmap.GetFormatInfo().isFloat ? 1.0 : (bitmap.GetBytesPerSample() == 2 ? 65535.0 : 255.0);
    bitmap.FillChannel(channel, full);
}

bool ChannelBytes::Read(Kernel::InStreamSeekable& s, uint64_t pos, uint64_t n, PSDLoadData& ld) {
    uint64_t size = s.GetSize();
    if (size != Kernel::kUnknownSize && (pos > size || n > size - pos)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    if (uint8_t const* map = s.GetMapping()) {
        m_data = map + pos;
        m_size = n;
        return true;
    }
    try {
        Kernel::ResizeOrThrow(m_copy, n);
    } catch (Kernel::MemoryException const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }
    if (n > 0 && s.ReadAt(pos, m_copy.data(), size_t(n)) != n) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    m_data = m_copy.data();
    m_size = n;
    return true;
}

bool ChannelBytes::ReadToEnd(Kernel::InStreamSeekable& s, uint64_t pos, PSDLoadData& ld) {
    uint64_t size = s.GetSize();
    if (size != Kernel::kUnknownSize) {
        if (pos > size) {
            ld.m_report.ErrorTruncated();
            return false;
        }
        return Read(s, pos, size - pos, ld);
    }
    // Unknown length: gather by position until the source runs dry.
    constexpr size_t kChunk = size_t(1) << 20;
    m_copy.clear();
    try {
        for (;;) {
            size_t have = m_copy.size();
            Kernel::ResizeOrThrow(m_copy, uint64_t(have) + kChunk);
            size_t got = s.ReadAt(pos + have, m_copy.data() + have, kChunk);
            m_copy.resize(have + got);
            if (got < kChunk) break;
        }
    } catch (Kernel::MemoryException const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }
    m_data = m_copy.data();
    m_size = m_copy.size();
    return true;
}

bool PrepareChannelBlock(uint8_t const* block, uint64_t length, bool isPSB, ChannelJob& job,
                         PSDLoadData& ld) {
    if (length < 2) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    job.compression = Load16(block, job.countsBigEndian);
    job.data = block + 2;
    job.size = length - 2;
    uint64_t rowBytes, total;
    if (!Kernel::CheckedMul(job.width, job.sampleBytes, rowBytes) ||
        !Kernel::CheckedMul(rowBytes, job.height, total)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    switch (job.compression) {
        case kCompressionRaw:
            if (total > job.size) {
                ld.m_report.ErrorTruncated();
                return false;
            }
            return true;
        case kCompressionRLE: {
            if (job.sampleBytes == 4) {  // float channels are never stored packed
                ld.m_report.ErrorParsing();
                return false;
            }
            job.countBytes = isPSB ? 4 : 2;
            uint64_t table = uint64_t(job.height) * job.countBytes;
            if (table > job.size) {
                ld.m_report.ErrorTruncated();
                return false;
            }
            job.rowCounts = job.data;
            job.data += table;
            job.size -= table;
            uint64_t sum = 0;
            for (uint32_t y = 0; y < job.height; ++y) sum += RowCount(job, y);
            if (sum > job.size) {
                ld.m_report.ErrorTruncated();
                return false;
            }
            return true;
        }
        case kCompressionZip:
        case kCompressionZipPrediction:
            if (total > Kernel::ZlibMaxInflatedSize(job.size)) {
                ld.m_report.ErrorTruncated();
                return false;
            }
            return true;
        default:
            ld.m_report.SetError(PSDError::kUnknownCompression, Kernel::ToString(job.compression));
            return false;
    }
}

// Rows [y0, y1) of the inflated channels of one bitmap. Four plain 16-bit channels filling
// 4-sample pixels are interleaved in one vectorised pass.
void StoreZipBand(std::vector<ChannelJob> const& jobs, std::vector<size_t> const& members,
                  std::vector<Kernel::LargeBuffer> const& bufs, uint32_t y0, uint32_t y1) {
    ChannelJob const& first = jobs[members[0]];
    Raster::DynamicBitmap& bm = *first.target.bitmap;
    uint8_t* planes[4] = {};
    bool whole = members.size() == 4 && bm.GetChannelCount() == 4 && bm.GetBytesPerSample() == 2 &&
                 first.width == bm.GetWidth();
    for (size_t m : members) {
        ChannelJob const& j = jobs[m];
        unsigned c = j.target.channel;
        if (!whole || j.sampleBytes != 2 || !j.bigEndian || j.target.invert || c >= 4 ||
            planes[c] || j.width != first.width)
            whole = false;
        else
            planes[c] = bufs[m].get();
    }
    if (!whole) {
        for (size_t m : members) StoreZipRows(jobs[m], bufs[m].get(), y0, y1);
        return;
    }
    size_t rowBytes = size_t(first.width) * 2;
    for (uint32_t y = y0; y < y1; ++y) {
        size_t o = size_t(y) * rowBytes;
        for (size_t m : members)
            if (jobs[m].compression == kCompressionZipPrediction)
                Kernel::UnpredictRows(planes[jobs[m].target.channel] + o, 1, rowBytes, 2);
        InterleaveFour16BE(planes[0] + o, planes[1] + o, planes[2] + o, planes[3] + o, bm.GetRow(y),
                           first.width);
    }
}

uint64_t RowsPerBand(uint64_t rows) noexcept {
    uint64_t bands = 8 * uint64_t(Kernel::Dispatch::GetConcurrency());
    return std::max<uint64_t>(64, (rows + bands - 1) / bands);
}

bool DecodeChannels(std::vector<ChannelJob>& jobs, PSDLoadData& ld) {
    // Raw and RLE channels split into row ranges so that even one channel keeps every core busy.
    uint64_t totalRows = 0;
    for (auto const& j : jobs)
        if (!j.target.bitmap || j.width == 0 || j.height == 0)
            continue;
        else
            totalRows += j.height;
    uint64_t chunk = RowsPerBand(totalRows);

    // Packed 8-bit channels that fill 8-bit channels of the same whole bitmap decode together.
    std::vector<std::vector<size_t>> groups;
    std::vector<int> groupOf(jobs.size(), -1);
    for (size_t i = 0; i < jobs.size(); ++i) {
        ChannelJob const& j = jobs[i];
        Raster::DynamicBitmap const* bm = j.target.bitmap;
        if (!bm || j.compression != kCompressionRLE || j.sampleBytes != 1 ||
            bm->GetBytesPerSample() != 1 || j.target.invert || j.width != bm->GetWidth() ||
            j.height != bm->GetHeight() || j.width == 0 || j.height == 0)
            continue;
        size_t g = 0;
        while (g < groups.size() && jobs[groups[g][0]].target.bitmap != bm) ++g;
        if (g == groups.size()) groups.emplace_back();
        bool repeat = false;
        for (size_t m : groups[g]) repeat |= jobs[m].target.channel == j.target.channel;
        if (!repeat) groups[g].push_back(i);
    }
    std::vector<Task> tasks;
    // ZIP channels inflate whole in a first pass; a second stores them row band by row band, all
    // channels of a bitmap together, so that each destination row is still in cache for the next.
    std::vector<size_t> zipTask(jobs.size(), SIZE_MAX);
    std::vector<Kernel::LargeBuffer> zipBuf(jobs.size());
    for (auto const& g : groups) {
        if (g.size() < 2) continue;
        for (size_t m : g) groupOf[m] = int(&g - groups.data());
        uint32_t h = jobs[g[0]].height;
        // A group's band holds every channel of its rows, so it is cut by the bitmap's rows.
        uint64_t groupChunk = RowsPerBand(h);
        // Another job on the same bitmap (a raw alpha beside packed colour, say) runs at the same
        // time on other threads: the group must then store its own channels' bytes only.
        size_t onBitmap = 0;
        for (auto const& j : jobs) onBitmap += j.target.bitmap == jobs[g[0]].target.bitmap;
        bool exclusive = onBitmap == g.size();
        std::vector<uint64_t> offsets(g.size(), 0);
        for (uint32_t y = 0; y < h; y = uint32_t(std::min<uint64_t>(h, y + groupChunk))) {
            uint32_t y1 = uint32_t(std::min<uint64_t>(h, y + groupChunk));
            tasks.push_back({g[0], y, y1, 0, g, offsets, exclusive});
            for (size_t m = 0; m < g.size(); ++m)
                for (uint32_t r = y; r < y1; ++r) offsets[m] += RowCount(jobs[g[m]], r);
        }
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        ChannelJob& j = jobs[i];
        j.damagedRows = 0;
        if (!j.target.bitmap || j.width == 0 || j.height == 0 || groupOf[i] >= 0) continue;
        if (!PickStorer(j.sampleBytes, j.target.bitmap->GetBytesPerSample(), true, false)) {
            for (ChannelJob const& z : jobs)
                if (z.target.bitmap) ZeroChannelRows(z, 0, z.height);
            ld.m_report.ErrorParsing();
            return false;
        }
        if (j.compression == kCompressionZip || j.compression == kCompressionZipPrediction) {
            tasks.push_back({i, 0, j.height, 0, {}, {}});
            zipTask[i] = tasks.size() - 1;
            continue;
        }
        uint64_t offset = 0;
        for (uint32_t y = 0; y < j.height; y = uint32_t(std::min<uint64_t>(j.height, y + chunk))) {
            uint32_t y1 = uint32_t(std::min<uint64_t>(j.height, y + chunk));
            tasks.push_back({i, y, y1, offset, {}, {}});
            if (j.compression == kCompressionRLE)
                for (uint32_t r = y; r < y1; ++r) offset += RowCount(j, r);
        }
    }

    std::vector<TaskResult> results(tasks.size());
    Kernel::Dispatch::DispatchParallelFor(tasks.size(), [&](size_t k) {
        Task const& t = tasks[k];
        ChannelJob const& j = jobs[t.job];
        TaskResult& r = results[k];
        try {
            if (!t.group.empty()) {
                RunRLEGroup(jobs, t, r);
                return;
            }
            switch (j.compression) {
                case kCompressionRaw:
                    RunRaw(j, t, r);
                    break;
                case kCompressionRLE:
                    RunRLE(j, t, r);
                    break;
                default:
                    zipBuf[t.job] = InflateZip(j, r);
                    break;
            }
        } catch (std::bad_alloc const&) {
            r.code = PSDError::kOutOfMemory;
        }
    });

    // Bands of the inflated channels, grouped by bitmap.
    std::vector<std::vector<size_t>> zipGroups;
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (!zipBuf[i].get()) continue;
        size_t g = 0;
        while (g < zipGroups.size() &&
               !(jobs[zipGroups[g][0]].target.bitmap == jobs[i].target.bitmap &&
                 jobs[zipGroups[g][0]].height == jobs[i].height))
            ++g;
        if (g == zipGroups.size()) zipGroups.emplace_back();
        zipGroups[g].push_back(i);
    }
    std::vector<Task> bands;
    for (size_t g = 0; g < zipGroups.size(); ++g) {
        uint32_t h = jobs[zipGroups[g][0]].height;
        for (uint32_t y = 0; y < h; y = uint32_t(std::min<uint64_t>(h, y + chunk)))
            bands.push_back({g, y, uint32_t(std::min<uint64_t>(h, y + chunk)), 0, {}, {}});
    }
    std::vector<int> bandFailed(bands.size(), 0);
    Kernel::Dispatch::DispatchParallelFor(bands.size(), [&](size_t k) {
        Task const& t = bands[k];
        try {
            StoreZipBand(jobs, zipGroups[t.job], zipBuf, t.y0, t.y1);
        } catch (std::bad_alloc const&) {
            bandFailed[k] = 1;
        }
    });
    for (size_t k = 0; k < bands.size(); ++k)
        if (bandFailed[k])
            for (size_t m : zipGroups[bands[k].job])
                if (results[zipTask[m]].code < 0) results[zipTask[m]].code = PSDError::kOutOfMemory;
    zipBuf.clear();

    bool ok = true;
    for (size_t k = 0; k < tasks.size(); ++k) {
        jobs[tasks[k].job].damagedRows += results[k].damagedRows;
        for (size_t m = 0; m < results[k].memberDamaged.size(); ++m)
            jobs[tasks[k].group[m]].damagedRows += results[k].memberDamaged[m];
        if (results[k].code < 0) continue;
        // Bitmaps may be created without zeroing; the rows a failed task leaves read as zero.
        Task const& t = tasks[k];
        bool zip = zipTask[t.job] == k;
        if (t.group.empty())
            ZeroChannelRows(jobs[t.job], zip ? 0 : t.y0, zip ? jobs[t.job].height : t.y1);
        for (size_t m : t.group) ZeroChannelRows(jobs[m], t.y0, t.y1);
        if (ok) {
            ok = false;
            if (results[k].code == PSDError::kOutOfMemory)
                ld.m_report.ErrorAlloc();
            else if (results[k].code == PSDError::kTruncated)
                ld.m_report.ErrorTruncated();
            else
                ld.m_report.SetError(PSDError::Code(results[k].code), results[k].detail);
        }
    }
    return ok;
}

bool ParseChannelData(Kernel::InStreamSeekable& stream, uint64_t length, bool isPSB, bool invert,
                      Raster::DynamicBitmap& bitmap, unsigned channel, unsigned sampleBytes,
                      bool& damaged, PSDLoadData& ld) {
    uint64_t pos = stream.GetPosition();
    ChannelBytes bytes;
    if (!bytes.Read(stream, pos, length, ld)) return false;
    std::vector<ChannelJob> jobs(1);
    ChannelJob& job = jobs[0];
    job.target = {&bitmap, channel, invert};
    job.width = bitmap.GetWidth();
    job.height = bitmap.GetHeight();
    job.sampleBytes = sampleBytes;
    job.countsBigEndian = ld.m_swap;
    if (!PrepareChannelBlock(bytes.Data(), length, isPSB, job, ld)) return false;
    bool ok = DecodeChannels(jobs, ld);
    if (jobs[0].damagedRows) damaged = true;
    if (ok && !stream.Seek(pos + length)) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return ok;
}

bool ParseChannelDataFloat(Kernel::InStreamSeekable& stream, uint64_t length, bool isPSB,
                           bool invert, Raster::DynamicBitmap& bitmap, unsigned channel,
                           bool& damaged, PSDLoadData& ld) {
    return ParseChannelData(stream, length, isPSB, invert, bitmap, channel, 4, damaged, ld);
}

}  // namespace PSD

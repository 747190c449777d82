#include "psd/layer/PSDChannelEncoder.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "host/kernel/Dispatch.h"
#include "host/kernel/Memory.h"
#include "host/kernel/Zip.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

namespace {

// Deflate level of ZIP channels: fast, and most of what the better levels would give.
constexpr int kZipLevel = 3;
// Rows between two looks at the cancel flag.
constexpr uint32_t kCancelRowInterval = 256;

bool Cancelled(bool const* cancel) {
    return cancel && *cancel;
}

void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t FloatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// Float rows are stored as four byte planes (most significant bytes of every sample first)
// before the byte differences.
void PlanariseFloatRow(uint8_t const* be, size_t width, uint8_t* out) {
    for (size_t i = 0; i < width; ++i) {
        out[i] = be[4 * i];
        out[width + i] = be[4 * i + 1];
        out[2 * width + i] = be[4 * i + 2];
        out[3 * width + i] = be[4 * i + 3];
    }
}

// The transformed row of ZIP with prediction, from a big-endian row.
void PredictedRow(uint8_t const* be, size_t width, unsigned depth, uint8_t* out) {
    size_t rowBytes = width * (depth / 8);
    if (depth == 32)
        PlanariseFloatRow(be, width, out);
    else
        std::memcpy(out, be, rowBytes);
    Kernel::PredictRows(out, 1, rowBytes, depth == 16 ? 2 : 1);
}

bool Deflate(std::vector<uint8_t> const& in, std::vector<uint8_t>& out) {
    try {
        return Kernel::ZlibDeflate(in.data(), in.size(), out, kZipLevel);
    } catch (std::bad_alloc const&) {
        return false;
    }
}

}  // namespace

// ---- RLEPacker

namespace {

uint64_t Load64(uint8_t const* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The first index i >= 1 with i + 3 <= window where p[i] = p[i+1] = p[i+2], or window when there
// is none. Eight positions are tested at once while eight bytes plus two can be read; a byte of
// (a ^ b) | (b ^ c) is zero exactly where three equal bytes begin.
size_t FindTriple(uint8_t const* p, size_t n, size_t window) {
    size_t i = 1;
#ifdef __SSE2__
    for (; i + 3 <= window && i + 18 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + i + 1));
        __m128i c = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + i + 2));
        __m128i triple = _mm_and_si128(_mm_cmpeq_epi8(a, b), _mm_cmpeq_epi8(b, c));
        unsigned m = unsigned(_mm_movemask_epi8(triple));
        if (m) {
            size_t at = i + size_t(std::countr_zero(m));
            return at + 3 <= window ? at : window;
        }
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        for (; i + 3 <= window && i + 10 <= n; i += 8) {
            uint64_t a = Load64(p + i), b = Load64(p + i + 1), c = Load64(p + i + 2);
            uint64_t x = (a ^ b) | (b ^ c);
            uint64_t zero = (x - kOnes) & ~x & kHighs;  // the lowest flag marks the first zero byte
            if (zero) {
                size_t at = i + size_t(std::countr_zero(zero)) / 8;
                return at + 3 <= window ? at : window;
            }
        }
    }
    for (; i + 3 <= window; ++i)
        if (p[i] == p[i + 1] && p[i + 1] == p[i + 2]) return i;
    return window;
}

// Bit masks over a stretch of a row: bit k of eq says p[s+k] == p[s+k+1], bit k of tri that
// p[s+k] == p[s+k+1] == p[s+k+2], counting only bytes inside the row. The packer reads its packet
// decisions from them instead of comparing bytes packet by packet.
struct RowMasks {
    static constexpr size_t kBytes = 8192;
    static constexpr size_t kWords = kBytes / 64 + 2;  // two spare words read as zeros
    uint64_t eq[kWords];
    uint64_t tri[kWords];

    // Masks for [s, min(n, s + kBytes)) of the row p[0..n); returns the stretch's end.
    size_t Build(uint8_t const* p, size_t n, size_t s) noexcept {
        size_t e = std::min(n, s + kBytes);
        std::memset(eq, 0, sizeof eq);
        std::memset(tri, 0, sizeof tri);
        return Finish(p, n, s, e, s);
    }

#if defined(__x86_64__) && defined(__GNUC__)
    // The same with 32 bytes a step, for the AVX2 build of the packer (a call per stretch).
    [[gnu::target("avx2")]] size_t BuildWide(uint8_t const* p, size_t n, size_t s) noexcept {
        size_t e = std::min(n, s + kBytes);
        std::memset(eq, 0, sizeof eq);
        std::memset(tri, 0, sizeof tri);
        size_t j = s;
        if constexpr (std::endian::native == std::endian::little) {
            auto* eq8 = reinterpret_cast<uint8_t*>(eq);
            auto* tri8 = reinterpret_cast<uint8_t*>(tri);
            for (; j + 32 <= e && j + 34 <= n; j += 32) {
                __m256i a = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(p + j));
                __m256i b = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(p + j + 1));
                __m256i c = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(p + j + 2));
                __m256i ab = _mm256_cmpeq_epi8(a, b);
                auto me = uint32_t(_mm256_movemask_epi8(ab));
                auto mt =
                    uint32_t(_mm256_movemask_epi8(_mm256_and_si256(ab, _mm256_cmpeq_epi8(b, c))));
                std::memcpy(eq8 + (j - s) / 8, &me, 4);
                std::memcpy(tri8 + (j - s) / 8, &mt, 4);
            }
        }
        return Finish(p, n, s, e, j);
    }
#endif

    // Masks of [j, e) after the words from s up to j are filled; returns e.
    size_t Finish(uint8_t const* p, size_t n, size_t s, size_t e, size_t j) noexcept {
#ifdef __SSE2__
        if constexpr (std::endian::native == std::endian::little) {
            auto* eq16 = reinterpret_cast<uint8_t*>(eq);
            auto* tri16 = reinterpret_cast<uint8_t*>(tri);
            for (; j + 16 <= e && j + 18 <= n; j += 16) {
                __m128i a = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + j));
                __m128i b = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + j + 1));
                __m128i c = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + j + 2));
                __m128i ab = _mm_cmpeq_epi8(a, b);
                auto me = uint16_t(_mm_movemask_epi8(ab));
                auto mt = uint16_t(_mm_movemask_epi8(_mm_and_si128(ab, _mm_cmpeq_epi8(b, c))));
                std::memcpy(eq16 + (j - s) / 8, &me, 2);
                std::memcpy(tri16 + (j - s) / 8, &mt, 2);
            }
        }
#endif
        for (; j < e; ++j) {
            size_t k = j - s;
            bool e1 = j + 1 < n && p[j] == p[j + 1];
            bool t = e1 && j + 2 < n && p[j + 1] == p[j + 2];
            eq[k >> 6] |= uint64_t(e1) << (k & 63);
            tri[k >> 6] |= uint64_t(t) << (k & 63);
        }
        return e;
    }

    // 64 bits of a mask from bit k on.
    static uint64_t Bits(uint64_t const* m, size_t k) noexcept {
        size_t w = k >> 6, b = k & 63;
        return (m[w] >> b) | ((m[w + 1] << 1) << (63 - b));
    }
    // At least 57 bits of a mask from bit k on (zeros above them), in one load where the words'
    // bytes are in bit order.
    static uint64_t Near(uint64_t const* m, size_t k) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            uint64_t v;
            std::memcpy(&v, reinterpret_cast<uint8_t const*>(m) + (k >> 3), 8);
            return v >> (k & 7);
        } else {
            return Bits(m, k);
        }
    }
};

}  // namespace

uint8_t* RLEPacker::PrepareLine(size_t n) {
    if (m_line.size() < n) m_line.resize(n);
    m_src = m_line.data();
    m_size = n;
    return m_line.data();
}

void RLEPacker::SetLine(uint8_t const* bytes, size_t n) noexcept {
    m_src = bytes;
    m_size = n;
}

bool RLEPacker::FinaliseLine(uint8_t* out, size_t capacity, size_t& written) noexcept {
    size_t n = Pack(m_src, m_size, out, capacity);
    if (n == SIZE_MAX) return false;
    written = n;
    return true;
}

bool RLEPacker::FinaliseLine(Kernel::OutStream& out, size_t& written) {
    size_t cap = WorstCase(m_size);
    if (m_packed.size() < cap) m_packed.resize(cap);
    if (!FinaliseLine(m_packed.data(), cap, written)) return false;
    return out.Write(m_packed.data(), written);
}

namespace {

// The 128 bytes after a packet header, in 32-byte moves where the build allows them.
template <bool Wide>
[[gnu::always_inline]] inline void CopyPacket(uint8_t* to, uint8_t const* from) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (Wide) {
        // The caller's target attribute enables these moves.
        typedef char Block [[gnu::vector_size(32), gnu::aligned(1)]];
        Block b0, b1, b2, b3;
        std::memcpy(&b0, from, 32);
        std::memcpy(&b1, from + 32, 32);
        std::memcpy(&b2, from + 64, 32);
        std::memcpy(&b3, from + 96, 32);
        std::memcpy(to, &b0, 32);
        std::memcpy(to + 32, &b1, 32);
        std::memcpy(to + 64, &b2, 32);
        std::memcpy(to + 96, &b3, 32);
        return;
    }
#endif
    std::memcpy(to, from, 128);
}

// Packs the row from its start while a whole longest literal lies ahead in it and fits in the
// output; returns how many bytes were packed, o how many were written. Packets are chosen by
// arithmetic on the masks rather than branches (runs and literals alternate at random on noisy
// rows): every packet copies 128 bytes after its header, of which a run keeps its first. The
// rest of the row goes through the byte-wise rules (PackTail).
template <bool Wide>
[[gnu::always_inline]] inline size_t PackMaskedBody(uint8_t const* p, size_t n, uint8_t* out,
                                                    size_t cap, size_t& written) noexcept {
    size_t i = 0, o = 0;
    written = 0;
    // Room for a longest literal and the run after it.
    constexpr size_t kRoom = 131;
    if (n < 128 || cap < kRoom) return 0;
    RowMasks m;
    constexpr uint64_t kTop = uint64_t(1) << 63;
    while (n - i >= 128 && cap - o >= kRoom) {
        size_t s = i, e;
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (Wide)
            e = m.BuildWide(p, n, s);
        else
#endif
            e = m.Build(p, n, s);
        size_t const lastI = e - 128, lastO = cap - kRoom;
        size_t const words = (e - s + 63) >> 6;
        // Bit j of word w: a run of three or more begins at s + 64 w + j (three equal bytes not
        // preceded by the same byte). A stretch's first byte is never marked: see below.
        auto runStarts = [&m](size_t w) {
            return m.tri[w] & ~((m.eq[w] << 1) | (w ? m.eq[w - 1] >> 63 : 0));
        };
        while (i <= lastI && o <= lastO) {
            // Common case, from a byte that does not begin a run: a literal up to the next run
            // start, then that run. Consecutive run starts come from the mask alone, so one
            // step does not wait for the last one's lengths.
            if (!(RowMasks::Bits(m.tri, i - s) & 1)) {
                size_t w = (i - s) >> 6;
                uint64_t cur = runStarts(w) & (~uint64_t(0) << ((i - s) & 63));
                for (;;) {
                    while (cur == 0) {
                        if (++w >= words || s + (w << 6) > i + 128) goto byRules;
                        cur = runStarts(w);
                    }
                    size_t t = s + (w << 6) + size_t(std::countr_zero(cur));
                    size_t gap = t - i;
                    // Longer literals, x x y y pairs and long runs take the rules below.
                    if (t > lastI || o > lastO || gap > 128) break;
                    if (gap != 0 && (RowMasks::Near(m.eq, i - s) & 7) == 5) break;
                    size_t ones = size_t(std::countr_one(RowMasks::Near(m.eq, t - s)));
                    if (ones >= 57) break;
                    out[o] = uint8_t(gap - 1);  // overwritten by the run when there is no literal
                    CopyPacket<Wide>(out + o + 1, p + i);
                    o += gap + (gap != 0);
                    out[o] = uint8_t(-int(ones));  // a run of ones + 1
                    out[o + 1] = p[t];
                    o += 2;
                    i = t + ones + 1;
                    cur &= cur - 1;
                }
            }
        byRules:
            if (i > lastI || o > lastO) break;
            size_t k = i - s, w = k >> 6, b = k & 63;
            uint64_t eq = (m.eq[w] >> b) | ((m.eq[w + 1] << 1) << (63 - b));
            uint64_t tri = (m.tri[w] >> b) | ((m.tri[w + 1] << 1) << (63 - b));
            // A run of three or more: the equal neighbours from here on, at most 128.
            size_t ones = size_t(std::countr_one(eq));
            if (ones == 64) [[unlikely]]
                ones += size_t(std::countr_one(RowMasks::Bits(m.eq, k + 64)));
            size_t runLen = std::min<size_t>(ones + 1, 128);
            // A literal: up to where three equal bytes begin (offsets 1..127), else 128.
            uint64_t later = tri >> 1;  // bit j: offset j + 1
            size_t literal = size_t(std::countr_zero(later | kTop)) + 1;
            if (later == 0) [[unlikely]] {
                uint64_t far = RowMasks::Bits(m.tri, k + 64);
                literal = far ? 64 + size_t(std::countr_zero(far)) : 128;
            }
            size_t triple = size_t(0) - size_t(tri & 1);
            size_t pair = size_t(0) - size_t((eq & 7) == 5);  // x x y y: a run of two
            size_t run = triple | pair;
            size_t len = (literal & ~pair) | (size_t(2) & pair);
            len = (len & ~triple) | (runLen & triple);
            // A literal found to end where three equal bytes begin is followed by their run:
            // when that run ends inside the window too, both packets are made in this step.
            size_t after = size_t(std::countr_one(eq >> (literal & 63)));
            size_t fuse = size_t(0) -
                          size_t(later != 0 && !(tri & 1) && (eq & 7) != 5 && after < 64 - literal);
            out[o] = uint8_t(((1 - len) & run) | ((len - 1) & ~run));
            CopyPacket<Wide>(out + o + 1, p + i);
            o += (size_t(2) & run) | ((len + 1) & ~run);
            out[o] = uint8_t(-int(after));  // a run of after + 1, if fused
            out[o + 1] = p[i + (literal & 63)];
            o += size_t(2) & fuse;
            i += len + ((after + 1) & fuse);
        }
        if (e == n || cap - o < kRoom) break;
    }
    written = o;
    return i;
}

// The same code built for processors with variable shifts and counts of one instruction each
// (BMI2) and 32-byte copies (AVX2), chosen once at run time.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2,bmi,bmi2,lzcnt,popcnt")]] size_t PackMaskedWide(uint8_t const* p, size_t n,
                                                                    uint8_t* out, size_t cap,
                                                                    size_t& written) noexcept {
    return PackMaskedBody<true>(p, n, out, cap, written);
}
#endif

size_t PackMaskedBase(uint8_t const* p, size_t n, uint8_t* out, size_t cap,
                      size_t& written) noexcept {
    return PackMaskedBody<false>(p, n, out, cap, written);
}

using PackMaskedFn = size_t (*)(uint8_t const*, size_t, uint8_t*, size_t, size_t&) noexcept;

PackMaskedFn ChoosePackMasked() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2")) return &PackMaskedWide;
#endif
    return &PackMaskedBase;
}

size_t PackTail(uint8_t const* p, size_t n, uint8_t* out, size_t capacity, size_t o) noexcept;

}  // namespace

size_t RLEPacker::Pack(uint8_t const* p, size_t n, uint8_t* out, size_t capacity) noexcept {
    static PackMaskedFn const packMasked = ChoosePackMasked();
    size_t o;
    size_t i = packMasked(p, n, out, capacity, o);
    return PackTail(p + i, n - i, out, capacity, o);
}

namespace {

// The packets from p on by the rules byte by byte, after o bytes already in out.
size_t PackTail(uint8_t const* p, size_t n, uint8_t* out, size_t capacity, size_t o) noexcept {
    auto run = [&](size_t len, uint8_t value) {
        if (capacity - o < 2) return false;
        out[o++] = uint8_t(int8_t(1 - int(len)));
        out[o++] = value;
        return true;
    };
    size_t const total = n;
    uint8_t const* const start = p;
    auto literal = [&](uint8_t const* bytes, size_t len) {
        if (capacity - o < len + 1) return false;
        out[o++] = uint8_t(len - 1);
        // A fixed-size copy of the longest literal is cheaper than a variable one when both the
        // row and the output have room for it; the bytes past len are overwritten later.
        if (capacity - o >= 128 && total - size_t(bytes - start) >= 128)
            std::memcpy(out + o, bytes, 128);
        else
            std::memcpy(out + o, bytes, len);
        o += len;
        return true;
    };
    while (n > 0) {
        bool ok;
        size_t used;
        if (n == 1) {
            ok = literal(p, 1);
            used = 1;
        } else if (n == 2) {
            ok = p[0] == p[1] ? run(2, p[0]) : literal(p, 2);
            used = 2;
        } else if (p[0] == p[1] && p[1] == p[2]) {
            size_t limit = std::min<size_t>(n, 128), len = 3;
#ifdef __SSE2__
            __m128i v = _mm_set1_epi8(static_cast<char>(p[0]));
            while (len + 16 <= limit) {
                unsigned m = unsigned(_mm_movemask_epi8(
                    _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p + len)), v)));
                if (m != 0xFFFF) {
                    len += size_t(std::countr_zero(~m));
                    limit = len;
                    break;
                }
                len += 16;
            }
#endif
            while (len < limit && p[len] == p[0]) ++len;
            ok = run(len, p[0]);
            used = len;
        } else if (n >= 4 && p[0] == p[1] && p[2] != p[1] && p[2] == p[3]) {
            ok = run(2, p[0]);
            used = 2;
        } else {
            // A literal stops where three equal bytes begin, so they can become a run.
            size_t window = std::min<size_t>(n, 130);
            size_t len = std::min<size_t>(FindTriple(p, n, window), 128);
            ok = literal(p, len);
            used = len;
        }
        if (!ok) return SIZE_MAX;
        p += used;
        n -= used;
    }
    return o;
}

}  // namespace

// ---- Rows of a channel

namespace {

void InvertRow(uint8_t* row, uint32_t width, unsigned depth) {
    if (depth == 32) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = row + 4 * size_t(x);
            uint32_t bits =
                uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
            float f;
            std::memcpy(&f, &bits, 4);
            PutBE32(p, FloatBits(1.0f - f));
        }
        return;
    }
    // Complementing every byte complements 8-bit and big-endian 16-bit samples alike.
    for (size_t i = 0, n = size_t(width) * (depth / 8); i < n; ++i) row[i] = uint8_t(~row[i]);
}

void ExtractPlainRow(ChannelSource const& src, uint32_t y, uint8_t* out) noexcept;

}  // namespace

void ExtractChannelRow(ChannelSource const& src, uint32_t y, uint8_t* out) noexcept {
    ExtractPlainRow(src, y, out);
    if (src.invert) InvertRow(out, src.bitmap->GetWidth(), src.depth);
}

#ifdef __SSE2__
namespace {
// Sample c of sixteen 4-byte pixels: each shifted to the low byte of its pixel, masked, narrowed.
inline __m128i TakeSample(uint8_t const* pixels, unsigned c) {
    __m128i shift = _mm_cvtsi32_si128(int(8 * c));
    __m128i low = _mm_set1_epi32(0xFF);
    auto lane = [&](int k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<__m128i const*>(pixels) + k);
        return _mm_and_si128(_mm_srl_epi32(v, shift), low);
    };
    return _mm_packus_epi16(_mm_packs_epi32(lane(0), lane(1)), _mm_packs_epi32(lane(2), lane(3)));
}

// All four samples of sixteen 4-byte pixels at once: three rounds of byte interleaving sort them
// by sample, then the halves are joined.
inline void SplitFour(uint8_t const* pixels, __m128i planes[4]) {
    auto load = [&](int k) {
        return _mm_loadu_si128(reinterpret_cast<__m128i const*>(pixels) + k);
    };
    __m128i a = load(0), b = load(1), c = load(2), d = load(3);
    __m128i t0 = _mm_unpacklo_epi8(a, b), t1 = _mm_unpackhi_epi8(a, b);
    __m128i t2 = _mm_unpacklo_epi8(c, d), t3 = _mm_unpackhi_epi8(c, d);
    __m128i u0 = _mm_unpacklo_epi8(t0, t1), u1 = _mm_unpackhi_epi8(t0, t1);
    __m128i u2 = _mm_unpacklo_epi8(t2, t3), u3 = _mm_unpackhi_epi8(t2, t3);
    __m128i v0 = _mm_unpacklo_epi8(u0, u1), v1 = _mm_unpackhi_epi8(u0, u1);
    __m128i v2 = _mm_unpacklo_epi8(u2, u3), v3 = _mm_unpackhi_epi8(u2, u3);
    planes[0] = _mm_unpacklo_epi64(v0, v2);
    planes[1] = _mm_unpackhi_epi64(v0, v2);
    planes[2] = _mm_unpacklo_epi64(v1, v3);
    planes[3] = _mm_unpackhi_epi64(v1, v3);
}
}  // namespace
#endif

namespace {

void ExtractPlainRow(ChannelSource const& src, uint32_t y, uint8_t* out) noexcept {
    Raster::DynamicBitmap const& bm = *src.bitmap;
    uint32_t w = bm.GetWidth();
    size_t step = bm.GetBytesPerPixel();
    unsigned bps = bm.GetBytesPerSample();
    uint8_t const* in = bm.GetRow(y) + size_t(src.channel) * bps;
    if (bps == 1) {
        if (src.depth == 8) {
            // Fixed strides of the common formats let the compiler unroll the gather.
            if (step == 4) {
                uint32_t x = 0;
#ifdef __SSE2__
                // Sixteen pixels at a time: shift the channel to the low byte, mask, narrow.
                uint8_t const* row = bm.GetRow(y);
                for (; x + 16 <= w; x += 16)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                                     TakeSample(row + 4 * size_t(x), src.channel));
#endif
                for (; x < w; ++x) out[x] = in[4 * size_t(x)];
            } else if (step == 2) {
                for (uint32_t x = 0; x < w; ++x) out[x] = in[2 * size_t(x)];
            } else if (step == 1) {
                std::memcpy(out, in, w);
            } else {
                for (uint32_t x = 0; x < w; ++x, in += step) out[x] = *in;
            }
        } else if (src.depth == 16) {
            for (uint32_t x = 0; x < w; ++x, in += step) PutBE16(out + 2 * x, uint16_t(*in * 257u));
        } else {
            for (uint32_t x = 0; x < w; ++x, in += step)
                PutBE32(out + 4 * x, FloatBits(*in / 255.0f));
        }
    } else if (bps == 2) {
        uint32_t x = 0;
#ifdef __SSE2__
        if (src.depth == 16 && step == 8) {
            // Eight 4-sample pixels at a time: two rounds of interleaving sort the samples, then
            // each is swapped to big-endian.
            uint8_t const* row = bm.GetRow(y);
            for (; x + 8 <= w; x += 8) {
                auto load = [&](int k) {
                    return _mm_loadu_si128(reinterpret_cast<__m128i const*>(row + 8 * size_t(x)) +
                                           k);
                };
                __m128i a = load(0), b = load(1), c = load(2), d = load(3);
                __m128i t0 = _mm_unpacklo_epi16(a, b), t1 = _mm_unpackhi_epi16(a, b);
                __m128i t2 = _mm_unpacklo_epi16(c, d), t3 = _mm_unpackhi_epi16(c, d);
                __m128i u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);
                __m128i u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);
                __m128i v;
                switch (src.channel) {
                    case 0:
                        v = _mm_unpacklo_epi64(u0, u2);
                        break;
                    case 1:
                        v = _mm_unpackhi_epi64(u0, u2);
                        break;
                    case 2:
                        v = _mm_unpacklo_epi64(u1, u3);
                        break;
                    default:
                        v = _mm_unpackhi_epi64(u1, u3);
                        break;
                }
                v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * size_t(x)), v);
            }
            in += size_t(x) * step;
        }
#endif
        for (; x < w; ++x, in += step) {
            uint16_t v;
            std::memcpy(&v, in, 2);
            if (src.depth == 16)
                PutBE16(out + 2 * x, v);
            else if (src.depth == 8)
                out[x] = uint8_t((v + 128u) / 257u);
            else
                PutBE32(out + 4 * x, FloatBits(v / 65535.0f));
        }
    } else {
        for (uint32_t x = 0; x < w; ++x, in += step) {
            float f;
            std::memcpy(&f, in, 4);
            if (src.depth == 32) {
                PutBE32(out + 4 * x, FloatBits(f));
            } else {
                float c = f != f ? 0.0f : std::clamp(f, 0.0f, 1.0f);
                if (src.depth == 16)
                    PutBE16(out + 2 * x, uint16_t(c * 65535.0f + 0.5f));
                else
                    out[x] = uint8_t(c * 255.0f + 0.5f);
            }
        }
    }
}

}  // namespace

bool EncodeChannel(ChannelSource const& src, bool isPSB, bool compress, bool const* cancel,
                   EncodedChannel& out) {
    out.compression = kCompressionRaw;
    out.pieces.clear();
    // out.data may be a pooled buffer: it is sized below and every byte kept is written, so
    // resizing rather than clearing spares zero-filling it again.
    if (Cancelled(cancel) || !src.bitmap) return false;
    if (src.depth != 8 && src.depth != 16 && src.depth != 32) return false;
    uint32_t w = src.bitmap->GetWidth(), h = src.bitmap->GetHeight();
    if (w == 0 || h == 0) {
        // Other readers refuse a compressed channel without rows: the code alone, raw.
        out.data.clear();
        return true;
    }
    size_t rowBytes = size_t(w) * (src.depth / 8);
    uint64_t raw;
    if (!Kernel::CheckedMul(rowBytes, h, raw) || raw > Kernel::GetAllocationLimit()) return false;
    try {
        std::vector<uint8_t> row(rowBytes);
        if (src.depth == 8) {
            // RLE straight into the output, capped at the raw size (beyond it raw is smaller
            // anyway). 8-bit channels are never deflated: readers that take RLE refuse them.
            unsigned countBytes = isPSB ? 4 : 2;
            size_t table = size_t(h) * countBytes;
            std::vector<uint8_t>& rle = out.data;
            Kernel::ReserveLarge(rle, table + raw);
            rle.resize(table + raw);
            size_t pos = table;
            bool rleOk = true;
            // A one-sample 8-bit bitmap (a plane) is packed from its own rows, without a copy.
            bool inPlace = src.bitmap->GetBytesPerPixel() == 1 && !src.invert;
            for (uint32_t y = 0; y < h && rleOk; ++y) {
                if (y % kCancelRowInterval == 0 && Cancelled(cancel)) return false;
                uint8_t const* line = row.data();
                if (inPlace)
                    line = src.bitmap->GetRow(y);
                else
                    ExtractChannelRow(src, y, row.data());
                size_t n = RLEPacker::Pack(line, rowBytes, rle.data() + pos, rle.size() - pos);
                if (n == SIZE_MAX || (!isPSB && n > 0xFFFF)) {
                    rleOk = false;
                } else {
                    if (isPSB)
                        PutBE32(rle.data() + size_t(y) * 4, uint32_t(n));
                    else
                        PutBE16(rle.data() + size_t(y) * 2, uint16_t(n));
                    pos += n;
                }
            }
            // With its row counts RLE must still come out smaller than the raw rows.
            if (rleOk && pos < raw) {
                rle.resize(pos);
                out.compression = kCompressionRLE;
                return true;
            }
            // RLE does not shrink it: raw rows.
            out.data.resize(raw);
            for (uint32_t y = 0; y < h; ++y) {
                if (y % kCancelRowInterval == 0 && Cancelled(cancel)) return false;
                ExtractChannelRow(src, y, out.data.data() + size_t(y) * rowBytes);
            }
            out.compression = kCompressionRaw;
            return true;
        }
        std::vector<uint8_t> buf(raw);
        for (uint32_t y = 0; y < h; ++y) {
            if (y % kCancelRowInterval == 0 && Cancelled(cancel)) return false;
            uint8_t* dst = buf.data() + size_t(y) * rowBytes;
            if (compress && src.depth == 32) {
                ExtractChannelRow(src, y, row.data());
                PredictedRow(row.data(), w, src.depth, dst);
            } else {
                ExtractChannelRow(src, y, dst);
                if (compress) Kernel::PredictRows(dst, 1, rowBytes, 2);
            }
        }
        if (compress) {
            if (!Deflate(buf, out.data)) return false;
            out.compression = kCompressionZipPrediction;
        } else {
            out.data.swap(buf);
            out.compression = kCompressionRaw;
        }
        return true;
    } catch (std::bad_alloc const&) {
        out.data.clear();
        return false;
    }
}

bool EncodeChannelsRLE(Raster::DynamicBitmap const& bm, std::vector<unsigned> const& channels,
                       bool isPSB, bool const* cancel, std::vector<EncodedChannel*> const& outs,
                       std::vector<char>& done) {
    size_t k = channels.size();
    done.assign(k, 0);
    if (Cancelled(cancel) || bm.GetBytesPerSample() != 1 || outs.size() != k) return false;
    uint32_t w = bm.GetWidth(), h = bm.GetHeight();
    if (k == 0 || bm.IsEmpty()) return true;
    unsigned countBytes = isPSB ? 4 : 2;
    size_t table = size_t(h) * countBytes;
    uint64_t raw;
    if (!Kernel::CheckedMul(uint64_t(w), h, raw) || raw > Kernel::GetAllocationLimit())
        return false;
    try {
        // Each band packs its rows into the room its raw rows would take, then the pieces are
        // written in order: no copy to join them.
        for (EncodedChannel* out : outs) {
            out->compression = kCompressionRLE;
            out->pieces.clear();
            Kernel::ReserveLarge(out->data, table + size_t(raw));
            out->data.resize(table + size_t(raw));
        }
        uint32_t chunk = uint32_t(RowsPerBand(h));
        size_t bands = (size_t(h) + chunk - 1) / chunk;
        std::vector<size_t> ends(k * bands, 0);
        std::vector<char> overflow(k * bands, 0), failed(bands, 0);
        size_t stride = bm.GetBytesPerPixel();
        Kernel::Dispatch::DispatchParallelFor(bands, [&](size_t b) {
            uint32_t y0 = uint32_t(b) * chunk, y1 = std::min(h, y0 + chunk);
            std::vector<uint8_t> rowBuf;
            try {
                rowBuf.resize(k * size_t(w));
            } catch (std::bad_alloc const&) {
                failed[b] = 1;
                return;
            }
            std::vector<size_t> pos(k);
            for (size_t i = 0; i < k; ++i) pos[i] = table + size_t(y0) * w;
            size_t const end = table + size_t(y1) * w;
            for (uint32_t y = y0; y < y1; ++y) {
                if ((y - y0) % kCancelRowInterval == 0 && Cancelled(cancel)) {
                    failed[b] = 1;
                    return;
                }
                uint8_t const* in = bm.GetRow(y);
                uint32_t x = 0;
#ifdef __SSE2__
                // The next row is fetched while this one is packed: the pixels come from memory,
                // decoded long before.
                uint8_t const* next = y + 1 < y1 ? bm.GetRow(y + 1) : in;
                if (stride == 4)
                    for (; x + 16 <= w; x += 16) {
                        __builtin_prefetch(next + 4 * size_t(x), 0, 2);
                        __m128i v[4];
                        SplitFour(in + 4 * size_t(x), v);
                        for (size_t i = 0; i < k; ++i)
                            _mm_storeu_si128(reinterpret_cast<__m128i*>(rowBuf.data() + i * w + x),
                                             v[channels[i] & 3]);
                    }
#endif
                for (; x < w; ++x)
                    for (size_t i = 0; i < k; ++i) rowBuf[i * w + x] = in[stride * x + channels[i]];
                for (size_t i = 0; i < k; ++i) {
                    if (overflow[i * bands + b]) continue;
                    uint8_t* data = outs[i]->data.data();
                    size_t n =
                        RLEPacker::Pack(rowBuf.data() + i * w, w, data + pos[i], end - pos[i]);
                    if (n == SIZE_MAX || (!isPSB && n > 0xFFFF)) {
                        overflow[i * bands + b] = 1;
                        continue;
                    }
                    if (isPSB)
                        PutBE32(data + size_t(y) * 4, uint32_t(n));
                    else
                        PutBE16(data + size_t(y) * 2, uint16_t(n));
                    pos[i] += n;
                }
            }
            for (size_t i = 0; i < k; ++i) ends[i * bands + b] = pos[i];
        });
        for (char f : failed)
            if (f) return false;
        for (size_t i = 0; i < k; ++i) {
            bool fits = true;
            for (size_t b = 0; b < bands; ++b) fits &= !overflow[i * bands + b];
            // With its row counts RLE must still come out smaller than the raw rows; else the
            // channel is left to the one-channel encoder, which writes it raw.
            size_t packed = table;
            for (size_t b = 0; b < bands && fits; ++b)
                packed += ends[i * bands + b] - (table + b * size_t(chunk) * w);
            if (!fits || packed >= raw) continue;
            auto& pieces = outs[i]->pieces;
            pieces.reserve(bands + 1);
            pieces.push_back({0, table});
            for (size_t b = 0; b < bands; ++b) {
                size_t start = table + b * size_t(chunk) * w;
                if (ends[i * bands + b] > start)
                    pieces.push_back({start, ends[i * bands + b] - start});
            }
            done[i] = 1;
        }
        return true;
    } catch (std::bad_alloc const&) {
        return false;
    }
}

bool EncodeChannelsZip(Raster::DynamicBitmap const& bm, std::vector<unsigned> const& channels,
                       unsigned depth, bool const* cancel, std::vector<EncodedChannel*> const& outs,
                       std::vector<std::vector<uint8_t>>& scratch) {
    size_t k = channels.size();
    if (Cancelled(cancel) || (depth != 8 && depth != 16) || outs.size() != k) return false;
    uint32_t w = bm.GetWidth(), h = bm.GetHeight();
    size_t rowBytes = size_t(w) * (depth / 8);
    uint64_t raw;
    if (!Kernel::CheckedMul(rowBytes, h, raw) || raw > Kernel::GetAllocationLimit()) return false;
    try {
        std::vector<std::vector<uint8_t>>& rows = scratch;
        GrowScratchRows(rows, k, size_t(raw));
        // Every channel's rows of a band one after the other: the pixels are read from memory
        // once, the other channels find them in cache.
        uint32_t chunk = uint32_t(RowsPerBand(h));
        size_t bands = (size_t(h) + chunk - 1) / chunk;
        size_t const pixelBytes = size_t(w) * bm.GetBytesPerPixel();
        std::vector<char> stopped(bands, 0);
        Kernel::Dispatch::DispatchParallelFor(bands, [&](size_t b) {
            uint32_t y0 = uint32_t(b) * chunk, y1 = std::min(h, y0 + chunk);
            for (uint32_t y = y0; y < y1; ++y) {
                if ((y - y0) % kCancelRowInterval == 0 && Cancelled(cancel)) {
                    stopped[b] = 1;
                    return;
                }
                // A share of the next row is fetched beside each channel's extraction: the
                // pixels come from memory, decoded long before.
                uint8_t const* next = y + 1 < y1 ? bm.GetRow(y + 1) : nullptr;
                size_t share = (pixelBytes + k - 1) / k;
                for (size_t i = 0; i < k; ++i) {
                    if (next)
                        for (size_t x = i * share; x < std::min(pixelBytes, (i + 1) * share);
                             x += 64)
                            __builtin_prefetch(next + x, 0, 2);
                    uint8_t* row = rows[i].data() + size_t(y) * rowBytes;
                    ExtractChannelRow({&bm, channels[i], depth}, y, row);
                    Kernel::PredictRows(row, 1, rowBytes, depth / 8);
                }
            }
        });
        for (char s : stopped)
            if (s) return false;
        return DeflatePredicted(rows, size_t(raw), cancel, outs);
    } catch (std::bad_alloc const&) {
        return false;
    }
}

void GrowScratchRows(std::vector<std::vector<uint8_t>>& rows, size_t count, size_t size) {
    // Scratch rows only grow: their pages are faulted in and zeroed once per save.
    if (rows.size() < count) rows.resize(count);
    for (size_t i = 0; i < count; ++i)
        if (rows[i].size() < size) {
            Kernel::ReserveLarge(rows[i], size);
            rows[i].resize(size);
        }
}

bool DeflatePredicted(std::vector<std::vector<uint8_t>> const& rows, size_t size,
                      bool const* cancel, std::vector<EncodedChannel*> const& outs) {
    size_t k = outs.size();
    if (size > 0 && rows.size() < k) return false;
    if (size == 0) {
        // Channels without rows are written as the code alone, raw.
        if (Cancelled(cancel)) return false;
        for (EncodedChannel* out : outs) *out = EmptyChannel();
        return true;
    }
    std::vector<char> ok(k, 0);
    Kernel::Dispatch::DispatchParallelFor(k, [&](size_t i) {
        if (Cancelled(cancel) || rows[i].size() < size) return;
        EncodedChannel& out = *outs[i];
        out.pieces.clear();
        out.compression = kCompressionZipPrediction;
        try {
            ok[i] = Kernel::ZlibDeflate(rows[i].data(), size, out.data, kZipLevel);
        } catch (std::bad_alloc const&) {
            ok[i] = 0;
        }
    });
    for (char o : ok)
        if (!o) return false;
    return true;
}

bool EncodeMatteChannel(uint32_t width, uint32_t height, unsigned depth, uint32_t sampleBits,
                        EncodedChannel& out, bool isPSB) {
    out.compression = kCompressionZipPrediction;
    out.data.clear();
    out.pieces.clear();
    if (width == 0 || height == 0) return false;
    if (depth != 8 && depth != 16 && depth != 32) return false;
    size_t rowBytes = size_t(width) * (depth / 8);
    uint64_t raw;
    if (!Kernel::CheckedMul(rowBytes, height, raw) || raw > Kernel::GetAllocationLimit())
        return false;
    try {
        if (depth == 8) {
            // 8-bit channels are RLE, as everywhere: one packed row repeated.
            std::vector<uint8_t> row(rowBytes, uint8_t(sampleBits));
            std::vector<uint8_t> packed(RLEPacker::WorstCase(rowBytes));
            size_t n = RLEPacker::Pack(row.data(), rowBytes, packed.data(), packed.size());
            if (n == SIZE_MAX || (!isPSB && n > 0xFFFF)) return false;
            unsigned countBytes = isPSB ? 4 : 2;
            out.data.resize(size_t(height) * (countBytes + n));
            for (uint32_t y = 0; y < height; ++y) {
                if (isPSB)
                    PutBE32(out.data.data() + size_t(y) * 4, uint32_t(n));
                else
                    PutBE16(out.data.data() + size_t(y) * 2, uint16_t(n));
                std::memcpy(out.data.data() + size_t(height) * countBytes + size_t(y) * n,
                            packed.data(), n);
            }
            out.compression = kCompressionRLE;
            return true;
        }
        std::vector<uint8_t> row(rowBytes), predicted(raw);
        for (uint32_t x = 0; x < width; ++x) {
            if (depth == 8)
                row[x] = uint8_t(sampleBits);
            else if (depth == 16)
                PutBE16(row.data() + 2 * x, uint16_t(sampleBits));
            else
                PutBE32(row.data() + 4 * x, sampleBits);
        }
        PredictedRow(row.data(), width, depth, predicted.data());
        for (uint32_t y = 1; y < height; ++y)
            std::memcpy(predicted.data() + size_t(y) * rowBytes, predicted.data(), rowBytes);
        return Deflate(predicted, out.data);
    } catch (std::bad_alloc const&) {
        return false;
    }
}

EncodedChannel EmptyChannel() {
    return EncodedChannel{};
}

bool EncodeRLERows(ChannelSource const& src, bool const* cancel, std::vector<uint32_t>& counts,
                   std::vector<uint8_t>& packed) {
    if (!src.bitmap || (src.depth != 8 && src.depth != 16)) return false;
    uint32_t w = src.bitmap->GetWidth(), h = src.bitmap->GetHeight();
    size_t rowBytes = size_t(w) * (src.depth / 8);
    size_t worst = RLEPacker::WorstCase(rowBytes);
    uint64_t cap;
    if (!Kernel::CheckedMul(worst, h, cap) || cap > Kernel::GetAllocationLimit()) return false;
    try {
        counts.resize(h);
        packed.resize(cap);
        std::vector<uint8_t> row(rowBytes);
        size_t pos = 0;
        for (uint32_t y = 0; y < h; ++y) {
            if (y % kCancelRowInterval == 0 && Cancelled(cancel)) return false;
            ExtractChannelRow(src, y, row.data());
            size_t n =
                RLEPacker::Pack(row.data(), rowBytes, packed.data() + pos, packed.size() - pos);
            if (n == SIZE_MAX) return false;
            counts[y] = uint32_t(n);
            pos += n;
        }
        packed.resize(pos);
        return true;
    } catch (std::bad_alloc const&) {
        return false;
    }
}

bool WriteEncodedChannel(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                         EncodedChannel const& block) {
    if (!WriteValue(stream, block.compression, fixer)) return false;
    if (block.pieces.empty())
        return block.data.empty() || stream.Write(block.data.data(), block.data.size());
    for (auto const& [offset, size] : block.pieces)
        if (size && !stream.Write(block.data.data() + offset, size)) return false;
    return true;
}

bool SaveMatteChannelDataFloat(Kernel::OutStream& stream, ByteOrderFixer const& fixer,
                               uint32_t width, uint32_t height, float value, uint64_t& length,
                               bool const* cancel) {
    if (Cancelled(cancel)) return false;
    EncodedChannel block;
    if (!EncodeMatteChannel(width, height, 32, FloatBits(value), block)) return false;
    length = block.GetLength();
    return WriteEncodedChannel(stream, fixer, block);
}

// ---- Row-by-row RLE onto a stream

template <class T>
bool WriteRLEChannelData(Raster::DynamicBitmap const& bitmap, unsigned channel,
                         Kernel::OutStream& out, uint64_t& size, std::vector<T>& rowCounts,
                         RLEPacker& packer, bool const* cancel) {
    if (bitmap.GetBytesPerSample() != 1 || channel >= bitmap.GetChannelCount()) return false;
    ChannelSource src{&bitmap, channel, 8};
    uint32_t w = bitmap.GetWidth();
    for (uint32_t y = 0; y < bitmap.GetHeight(); ++y) {
        if (y % kCancelRowInterval == 0 && Cancelled(cancel)) return false;
        ExtractChannelRow(src, y, packer.PrepareLine(w));
        size_t n;
        if (!packer.FinaliseLine(out, n)) return false;
        if (n > std::numeric_limits<T>::max()) return false;
        rowCounts.push_back(T(n));
        size += n;
    }
    return true;
}

template <class T>
bool WriteRLEData(Raster::DynamicBitmap const& bitmap, bool withAlpha, Kernel::OutStream& out,
                  SaveData const&, uint64_t& size, std::vector<T>& rowCounts, RLEPacker& packer,
                  bool const* cancel) {
    Raster::Format f = bitmap.GetFormat();
    if (f != Raster::Format::RGBA8 && f != Raster::Format::IA8 && f != Raster::Format::CMYKA8)
        return false;
    unsigned alpha = unsigned(bitmap.GetFormatInfo().alphaChannel);
    size = 0;
    for (unsigned c = 0; c < alpha; ++c)
        if (!WriteRLEChannelData(bitmap, c, out, size, rowCounts, packer, cancel)) return false;
    return !withAlpha || WriteRLEChannelData(bitmap, alpha, out, size, rowCounts, packer, cancel);
}

template bool WriteRLEData<uint16_t>(Raster::DynamicBitmap const&, bool, Kernel::OutStream&,
                                     SaveData const&, uint64_t&, std::vector<uint16_t>&, RLEPacker&,
                                     bool const*);
template bool WriteRLEData<uint32_t>(Raster::DynamicBitmap const&, bool, Kernel::OutStream&,
                                     SaveData const&, uint64_t&, std::vector<uint32_t>&, RLEPacker&,
                                     bool const*);
template bool WriteRLEChannelData<uint16_t>(Raster::DynamicBitmap const&, unsigned,
                                            Kernel::OutStream&, uint64_t&, std::vector<uint16_t>&,
                                            RLEPacker&, bool const*);
template bool WriteRLEChannelData<uint32_t>(Raster::DynamicBitmap const&, unsigned,
                                            Kernel::OutStream&, uint64_t&, std::vector<uint32_t>&,
                                            RLEPacker&, bool const*);

}  // namespace PSD

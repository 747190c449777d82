#include "host/kernel/Zip.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "host/kernel/Memory.h"

namespace Kernel {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

libdeflate_decompressor* ThreadDecompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(
        libdeflate_alloc_decompressor());
    return d.get();
}

libdeflate_compressor* ThreadCompressor(int level) {
    // One compressor per level and thread: allocation is costly relative to a small channel.
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> c[13];
    if (level < 1) level = 1;
    if (level > 12) level = 12;
    if (!c[level]) c[level].reset(libdeflate_alloc_compressor(level));
    return c[level].get();
}

// Slow path when libdeflate says the output does not fit: inflate with zlib to learn how much
// of the channel is intact.
InflateStatus ZlibPartial(uint8_t const* src, size_t srcLen, uint8_t* dst, size_t dstLen,
                          size_t* produced) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return InflateStatus::Damaged;
    z.next_in = const_cast<Bytef*>(src);
    z.next_out = dst;
    InflateStatus st = InflateStatus::Damaged;
    size_t inLeft = srcLen, outLeft = dstLen;
    for (;;) {
        z.avail_in = static_cast<uInt>(std::min<size_t>(inLeft, 1u << 30));
        z.avail_out = static_cast<uInt>(std::min<size_t>(outLeft, 1u << 30));
        uInt ai = z.avail_in, ao = z.avail_out;
        int r = inflate(&z, Z_NO_FLUSH);
        inLeft -= ai - z.avail_in;
        outLeft -= ao - z.avail_out;
        if (r == Z_STREAM_END) {
            st = outLeft == 0 ? InflateStatus::Ok : InflateStatus::Short;
            break;
        }
        if (r == Z_BUF_ERROR && outLeft == 0) {
            // The output is full: probe one byte to tell a longer stream from one that merely
            // lacks its end (or its checksum).
            uint8_t extra;
            z.next_out = &extra;
            z.avail_in = static_cast<uInt>(std::min<size_t>(inLeft, 1u << 30));
            z.avail_out = 1;
            int probe = inflate(&z, Z_NO_FLUSH);
            if (z.avail_out == 0)
                st = InflateStatus::TooLong;
            else if (probe == Z_STREAM_END)
                st = InflateStatus::Ok;
            else if (probe == Z_OK || probe == Z_BUF_ERROR)
                st = InflateStatus::Short;
            else
                st = InflateStatus::Damaged;
            break;
        }
        if (r != Z_OK) {
            st = (r == Z_BUF_ERROR) ? InflateStatus::Short : InflateStatus::Damaged;
            break;
        }
    }
    if (produced) *produced = dstLen - outLeft;
    inflateEnd(&z);
    return st;
}

}  // namespace

InflateStatus ZlibInflate(uint8_t const* src, size_t srcLen, uint8_t* dst, size_t dstLen,
                          size_t* produced) {
    size_t actual = 0;
    libdeflate_result r =
        libdeflate_zlib_decompress(ThreadDecompressor(), src, srcLen, dst, dstLen, &actual);
    if (r == LIBDEFLATE_SUCCESS) {
        if (produced) *produced = actual;
        return actual == dstLen ? InflateStatus::Ok : InflateStatus::Short;
    }
    return ZlibPartial(src, srcLen, dst, dstLen, produced);
}

size_t ZlibCompressBound(size_t n) {
    return libdeflate_zlib_compress_bound(nullptr, n);
}

bool ZlibDeflate(uint8_t const* src, size_t n, std::vector<uint8_t>& out, int level) {
    ReserveLarge(out, ZlibCompressBound(n));
    out.resize(ZlibCompressBound(n));
    size_t got = libdeflate_zlib_compress(ThreadCompressor(level), src, n, out.data(), out.size());
    if (got == 0) return false;
    out.resize(got);
    return true;
}

namespace {

// Running sum of one row of big-endian 16-bit samples, in place.
void UnpredictRow16(uint8_t* row, size_t n) {
    size_t i = 0;
    unsigned prev = 0;
#ifdef __SSE2__
    __m128i carry = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        __m128i* p = reinterpret_cast<__m128i*>(row + 2 * i);
        __m128i v = _mm_loadu_si128(p);
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 8));
        v = _mm_add_epi16(v, carry);
        __m128i top = _mm_shufflehi_epi16(v, 0xFF);
        carry = _mm_unpackhi_epi64(top, top);
        _mm_storeu_si128(p, _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)));
    }
    if (i) prev = unsigned(_mm_extract_epi16(carry, 0));
#endif
    for (; i < n; ++i) {
        unsigned v = (prev + (row[2 * i] << 8 | row[2 * i + 1])) & 0xFFFF;
        row[2 * i] = static_cast<uint8_t>(v >> 8);
        row[2 * i + 1] = static_cast<uint8_t>(v);
        prev = v;
    }
}

// Running sum of one row of bytes, in place.
void UnpredictRow8(uint8_t* row, size_t n) {
    size_t i = 0;
    unsigned prev = 0;
#ifdef __SSE2__
    __m128i carry = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i* p = reinterpret_cast<__m128i*>(row + i);
        __m128i v = _mm_loadu_si128(p);
        v = _mm_add_epi8(v, _mm_slli_si128(v, 1));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 8));
        v = _mm_add_epi8(v, carry);
        _mm_storeu_si128(p, v);
        carry = _mm_set1_epi8(static_cast<char>(row[i + 15]));
    }
    if (i) prev = row[i - 1];
#endif
    for (; i < n; ++i) {
        prev = (prev + row[i]) & 0xFF;
        row[i] = static_cast<uint8_t>(prev);
    }
}

}  // namespace

void UnpredictRows(uint8_t* data, size_t rows, size_t rowBytes, unsigned sampleBytes) {
    for (size_t y = 0; y < rows; ++y) {
        uint8_t* row = data + y * rowBytes;
        if (sampleBytes == 2)
            UnpredictRow16(row, rowBytes / 2);
        else
            UnpredictRow8(row, rowBytes);
    }
}

void PredictRows(uint8_t* data, size_t rows, size_t rowBytes, unsigned sampleBytes) {
    // Forward, sixteen bytes at a time: each block keeps its last sample (before the change) for
    // the next; the first sample of a row is stored as it is.
    for (size_t y = 0; y < rows; ++y) {
        uint8_t* row = data + y * rowBytes;
        size_t i = 0;
        if (sampleBytes == 2) {
            size_t n = rowBytes & ~size_t(1);
            unsigned prev = 0;
#ifdef __SSE2__
            __m128i carry = _mm_setzero_si128();
            auto swap = [](__m128i v) {
                return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
            };
            for (; i + 16 <= n; i += 16) {
                __m128i* q = reinterpret_cast<__m128i*>(row + i);
                __m128i v = swap(_mm_loadu_si128(q));
                __m128i before = _mm_or_si128(_mm_slli_si128(v, 2), carry);
                carry = _mm_srli_si128(v, 14);
                _mm_storeu_si128(q, swap(_mm_sub_epi16(v, before)));
            }
            prev = unsigned(_mm_cvtsi128_si32(carry)) & 0xFFFF;
#endif
            for (; i < n; i += 2) {
                unsigned cur = unsigned(row[i]) << 8 | row[i + 1];
                unsigned d = (cur - prev) & 0xFFFF;
                prev = cur;
                row[i] = static_cast<uint8_t>(d >> 8);
                row[i + 1] = static_cast<uint8_t>(d);
            }
        } else {
            uint8_t prev = 0;
#ifdef __SSE2__
            __m128i carry = _mm_setzero_si128();
            for (; i + 16 <= rowBytes; i += 16) {
                __m128i* q = reinterpret_cast<__m128i*>(row + i);
                __m128i v = _mm_loadu_si128(q);
                __m128i before = _mm_or_si128(_mm_slli_si128(v, 1), carry);
                carry = _mm_srli_si128(v, 15);
                _mm_storeu_si128(q, _mm_sub_epi8(v, before));
            }
            prev = static_cast<uint8_t>(_mm_cvtsi128_si32(carry));
#endif
            for (; i < rowBytes; ++i) {
                uint8_t cur = row[i];
                row[i] = static_cast<uint8_t>(cur - prev);
                prev = cur;
            }
        }
    }
}

// ---- MemoryInflater

struct MemoryInflater::State {
    z_stream z{};
    size_t inLeft = 0;
};

MemoryInflater::MemoryInflater(uint8_t const* src, size_t srcLen) : m_state(new State) {
    // The zlib header read here and the body inflated raw: the checksum at the end is never
    // reached by a reader that stops at the rows it needs, so it is not computed either.
    bool header = srcLen >= 2 && (src[0] & 0x0F) == 8 && (src[0] >> 4) <= 7 &&
                  (src[0] * 256 + src[1]) % 31 == 0 && !(src[1] & 0x20);
    m_state->z.next_in = const_cast<Bytef*>(src + (header ? 2 : 0));
    m_state->inLeft = header ? srcLen - 2 : 0;
    if (!header || inflateInit2(&m_state->z, -15) != Z_OK) {
        delete m_state;
        m_state = nullptr;
    }
}

MemoryInflater::~MemoryInflater() {
    if (!m_state) return;
    inflateEnd(&m_state->z);
    delete m_state;
}

InflateStatus MemoryInflater::Next(uint8_t* dst, size_t n) {
    if (!m_state || m_failed) return InflateStatus::Damaged;
    z_stream& z = m_state->z;
    z.next_out = dst;
    while (n > 0) {
        z.avail_in = static_cast<uInt>(std::min<size_t>(m_state->inLeft, 1u << 30));
        z.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        uInt ai = z.avail_in, ao = z.avail_out;
        int r = inflate(&z, Z_NO_FLUSH);
        m_state->inLeft -= ai - z.avail_in;
        n -= ao - z.avail_out;
        if (n == 0) break;
        bool stuck = ai == z.avail_in && ao == z.avail_out;
        if (r == Z_STREAM_END || (r == Z_BUF_ERROR && (m_state->inLeft == 0 || stuck))) {
            m_failed = true;
            return InflateStatus::Short;
        }
        if (r != Z_OK && r != Z_BUF_ERROR) {
            m_failed = true;
            return InflateStatus::Damaged;
        }
    }
    return InflateStatus::Ok;
}

// ---- ZipInStream

struct ZipInStream::State {
    z_stream z{};
    uint8_t in[1 << 16];
};

Counted<ZipInStream> ZipInStream::Create(NonCounted<InStream> source, ZipPredictor predictor) {
    Counted<ZipInStream> s(new ZipInStream);
    s->m_source = source.Get();
    s->m_state = new State;
    if (inflateInit(&s->m_state->z) != Z_OK) return nullptr;
    s->m_pred = predictor;
    if (predictor.enabled) {
        if (predictor.rowBytes == 0) return nullptr;
        s->m_row.resize(predictor.rowBytes);
    }
    return s;
}

ZipInStream::~ZipInStream() {
    if (m_state) {
        inflateEnd(&m_state->z);
        delete m_state;
    }
}

size_t ZipInStream::Inflate(uint8_t* out, size_t n) {
    z_stream& z = m_state->z;
    size_t done = 0;
    while (done < n && !m_end && !m_damaged) {
        if (z.avail_in == 0) {
            size_t got = m_source->Read(m_state->in, sizeof m_state->in);
            if (got == 0) {
                m_end = true;
                break;
            }
            z.next_in = m_state->in;
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out + done;
        z.avail_out = static_cast<uInt>(std::min<size_t>(n - done, 1u << 30));
        uInt before = z.avail_out;
        int r = inflate(&z, Z_NO_FLUSH);
        done += before - z.avail_out;
        if (r == Z_STREAM_END) {
            m_end = true;
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            m_damaged = true;
        }
    }
    return done;
}

size_t ZipInStream::Read(void* buf, size_t n) {
    if (!m_pred.enabled) return Inflate(static_cast<uint8_t*>(buf), n);
    auto* out = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        if (m_rowUsed == m_rowFill) {
            m_rowFill = Inflate(m_row.data(), m_row.size());
            m_rowUsed = 0;
            if (m_rowFill == 0) break;
            UnpredictRows(m_row.data(), 1, m_rowFill, m_pred.sampleBytes);
        }
        size_t take = std::min(n - done, m_rowFill - m_rowUsed);
        std::memcpy(out + done, m_row.data() + m_rowUsed, take);
        m_rowUsed += take;
        done += take;
    }
    return done;
}

// ---- ZipOutStream

Counted<ZipOutStream> ZipOutStream::Create(NonCounted<OutStream> dest, ZipPredictor predictor,
                                           int level) {
    Counted<ZipOutStream> s(new ZipOutStream);
    s->m_dest = dest.Get();
    s->m_pred = predictor;
    s->m_level = level;
    return s;
}

bool ZipOutStream::WriteBlock(void const* buf, size_t n) {
    if (m_done) return false;
    auto const* p = static_cast<uint8_t const*>(buf);
    m_in.insert(m_in.end(), p, p + n);
    return true;
}

bool ZipOutStream::Finalise() {
    if (m_done) return false;
    m_done = true;
    if (m_pred.enabled && m_pred.rowBytes) {
        size_t rows = m_in.size() / m_pred.rowBytes;
        PredictRows(m_in.data(), rows, m_pred.rowBytes, m_pred.sampleBytes);
        // A partial last row is predicted too, as the reader undoes it the same way.
        size_t tail = m_in.size() - rows * m_pred.rowBytes;
        if (tail) PredictRows(m_in.data() + rows * m_pred.rowBytes, 1, tail, m_pred.sampleBytes);
    }
    std::vector<uint8_t> out;
    if (!ZlibDeflate(m_in.data(), m_in.size(), out, m_level)) return false;
    m_written = out.size();
    std::vector<uint8_t>().swap(m_in);
    return m_dest->Write(out.data(), out.size());
}

}  // namespace Kernel

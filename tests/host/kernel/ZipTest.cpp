#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host/kernel/Zip.h"
#include "support/OneByteStream.h"

using namespace Kernel;

namespace {

// Compressible but not trivial: runs, ramps and noise.
std::vector<uint8_t> Sample(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        switch ((i / 97) % 3) {
            case 0:
                v[i] = static_cast<uint8_t>(i / 97);
                break;
            case 1:
                v[i] = static_cast<uint8_t>(i * 3);
                break;
            default:
                v[i] = static_cast<uint8_t>(rng());
                break;
        }
    }
    return v;
}

std::vector<uint8_t> Deflate(std::vector<uint8_t> const& in, int level = 6) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(ZlibDeflate(in.data(), in.size(), out, level));
    return out;
}

class VectorOutStream : public OutStream {
public:
    bool Write(void const* buf, size_t n) override {
        auto const* p = static_cast<uint8_t const*>(buf);
        m_data.insert(m_data.end(), p, p + n);
        return true;
    }
    std::vector<uint8_t> m_data;
};

// Reads a stream to its end in uneven pieces.
std::vector<uint8_t> Drain(InStream& s, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(5000);
    for (;;) {
        size_t n = 1 + rng() % buf.size();
        size_t got = s.Read(buf.data(), n);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(got));
        if (got < n) break;
    }
    return out;
}

}  // namespace

TEST(Zlib, RoundTripAtSeveralLevels) {
    for (size_t n : {size_t(0), size_t(1), size_t(1000), size_t(300000)}) {
        auto data = Sample(n, static_cast<uint32_t>(n));
        for (int level : {1, 3, 6, 9, 12}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " level=" << level);
            auto z = Deflate(data, level);
            ASSERT_LE(z.size(), ZlibCompressBound(n));
            std::vector<uint8_t> back(n + 1, 0xAA);
            size_t produced = 12345;
            EXPECT_EQ(ZlibInflate(z.data(), z.size(), back.data(), n, &produced),
                      InflateStatus::Ok);
            EXPECT_EQ(produced, n);
            back.pop_back();
            EXPECT_EQ(back, data);
        }
    }
    // Out-of-range levels are clamped rather than refused.
    auto data = Sample(5000, 1);
    for (int level : {0, -5, 13, 100}) {
        auto z = Deflate(data, level);
        std::vector<uint8_t> back(data.size());
        EXPECT_EQ(ZlibInflate(z.data(), z.size(), back.data(), back.size()), InflateStatus::Ok)
            << level;
        EXPECT_EQ(back, data);
    }
}

TEST(Zlib, DamagedStreams) {
    auto data = Sample(20000, 2);
    auto z = Deflate(data);
    std::vector<uint8_t> out(data.size());
    // A broken header.
    auto badHeader = z;
    badHeader[0] = 0x00;
    EXPECT_EQ(ZlibInflate(badHeader.data(), badHeader.size(), out.data(), out.size()),
              InflateStatus::Damaged);
    // A wrong checksum: all the data came out, but it cannot be trusted.
    auto badSum = z;
    badSum.back() ^= 0x5A;
    EXPECT_EQ(ZlibInflate(badSum.data(), badSum.size(), out.data(), out.size()),
              InflateStatus::Damaged);
    // Not zlib at all.
    std::vector<uint8_t> junk(100, 0xFF);
    EXPECT_EQ(ZlibInflate(junk.data(), junk.size(), out.data(), out.size()),
              InflateStatus::Damaged);
}

TEST(Zlib, TruncatedStreamsAreShortWithTheValidPrefix) {
    auto data = Sample(8000, 3);
    auto z = Deflate(data, 6);
    std::vector<uint8_t> out(data.size());
    for (size_t cut = 0; cut < z.size(); ++cut) {
        std::fill(out.begin(), out.end(), 0);
        size_t produced = SIZE_MAX;
        InflateStatus st = ZlibInflate(z.data(), cut, out.data(), out.size(), &produced);
        ASSERT_EQ(st, InflateStatus::Short) << "cut " << cut;
        ASSERT_LE(produced, data.size());
        ASSERT_TRUE(
            std::equal(out.begin(), out.begin() + static_cast<ptrdiff_t>(produced), data.begin()))
            << "cut " << cut;
        // Only the checksum missing: every byte is there, but the stream did not end.
        if (cut >= z.size() - 4) {
            EXPECT_EQ(produced, data.size()) << "cut " << cut;
        }
    }
}

TEST(Zlib, StreamsLongerOrShorterThanTheDestination) {
    auto data = Sample(10000, 4);
    auto z = Deflate(data);
    // Longer than the destination: what fits is right, and the status says there was more.
    std::vector<uint8_t> small(9999);
    size_t produced = 0;
    EXPECT_EQ(ZlibInflate(z.data(), z.size(), small.data(), small.size(), &produced),
              InflateStatus::TooLong);
    EXPECT_EQ(produced, small.size());
    EXPECT_TRUE(std::equal(small.begin(), small.end(), data.begin()));
    EXPECT_EQ(ZlibInflate(z.data(), z.size(), small.data(), 0, &produced), InflateStatus::TooLong);
    EXPECT_EQ(produced, 0u);
    // Shorter than the destination.
    std::vector<uint8_t> big(10001);
    EXPECT_EQ(ZlibInflate(z.data(), z.size(), big.data(), big.size(), &produced),
              InflateStatus::Short);
    EXPECT_EQ(produced, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), big.begin()));
    // An empty stream fills an empty destination exactly.
    auto empty = Deflate({});
    EXPECT_EQ(ZlibInflate(empty.data(), empty.size(), big.data(), 0, &produced), InflateStatus::Ok);
    // Trailing bytes after the end of the stream are not the stream's business.
    auto padded = z;
    padded.resize(padded.size() + 8, 0);
    EXPECT_EQ(ZlibInflate(padded.data(), padded.size(), big.data(), data.size()),
              InflateStatus::Ok);
}

TEST(Predictor, KnownDeltasAndInverse) {
    std::vector<uint8_t> row = {1, 2, 4, 7, 3};
    PredictRows(row.data(), 1, row.size(), 1);
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 2, 3, 0xFC}));
    UnpredictRows(row.data(), 1, row.size(), 1);
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 2, 4, 7, 3}));
    // Big-endian 16-bit samples wrap modulo 65536.
    std::vector<uint8_t> wide = {0x00, 0x01, 0x00, 0x03, 0x00, 0x02, 0xFF, 0xFF};
    PredictRows(wide.data(), 1, wide.size(), 2);
    EXPECT_EQ(wide, (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFD}));
    UnpredictRows(wide.data(), 1, wide.size(), 2);
    EXPECT_EQ(wide, (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x03, 0x00, 0x02, 0xFF, 0xFF}));
    // Rows are independent: each starts afresh.
    std::vector<uint8_t> two = {5, 6, 5, 6};
    PredictRows(two.data(), 2, 2, 1);
    EXPECT_EQ(two, (std::vector<uint8_t>{5, 1, 5, 1}));
    for (unsigned sample : {1u, 2u}) {
        for (size_t rowBytes : {size_t(1), size_t(2), size_t(7), size_t(64), size_t(333)}) {
            std::mt19937 rng(static_cast<uint32_t>(rowBytes));
            std::vector<uint8_t> data(rowBytes * 9);
            for (auto& v : data) v = static_cast<uint8_t>(rng());
            auto copy = data;
            PredictRows(copy.data(), 9, rowBytes, sample);
            if (rowBytes > sample) {
                EXPECT_NE(copy, data);
            }
            UnpredictRows(copy.data(), 9, rowBytes, sample);
            EXPECT_EQ(copy, data) << "sample " << sample << " row " << rowBytes;
        }
    }
}

TEST(ZipInStream, OneByteSourceWithAndWithoutPredictor) {
    size_t const rowBytes = 250, rows = 40;
    auto data = Sample(rowBytes * rows, 5);
    for (unsigned sample : {0u, 1u, 2u}) {
        SCOPED_TRACE(sample);
        auto predicted = data;
        ZipPredictor pred = ZipPredictor::None();
        if (sample) {
            PredictRows(predicted.data(), rows, rowBytes, sample);
            pred = ZipPredictor::Delta(rowBytes, sample);
        }
        testsupport::OneByteInStream source(Deflate(predicted));
        auto zin = ZipInStream::Create(source, pred);
        ASSERT_TRUE(zin);
        EXPECT_EQ(Drain(*zin, sample + 1), data);
        EXPECT_FALSE(zin->IsDamaged());
        uint8_t b;
        EXPECT_EQ(zin->Read(&b, 1), 0u);
    }
}

TEST(ZipInStream, BlocksDamageAndTruncation) {
    auto data = Sample(4000, 6);
    auto z = Deflate(data);
    auto src = MemoryInStream::Create(z);
    auto zin = ZipInStream::Create(*src);
    std::vector<uint8_t> a(1000), b(3001);
    EXPECT_TRUE(zin->ReadBlock(a.data(), a.size()));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), data.begin()));
    EXPECT_FALSE(zin->ReadBlock(b.data(), b.size()));  // one byte more than is left
    // A cut stream ends early without being called damaged; junk is damaged.
    auto cut = MemoryInStream::Create(z.data(), z.size() / 2);
    auto zcut = ZipInStream::Create(*cut);
    auto got = Drain(*zcut, 1);
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    std::vector<uint8_t> junk(64, 0x33);
    auto bad = MemoryInStream::Create(junk);
    auto zbad = ZipInStream::Create(*bad);
    EXPECT_EQ(Drain(*zbad, 2).size(), 0u);
    EXPECT_TRUE(zbad->IsDamaged());
    // A predictor needs a row length.
    EXPECT_FALSE(ZipInStream::Create(*src, ZipPredictor::Delta(0, 1)));
}

TEST(ZipOutStream, RoundTripThroughZipInStream) {
    struct Case {
        size_t size;
        ZipPredictor pred;
    };
    // Includes sizes that end in a partial row, which both sides must treat alike.
    Case cases[] = {
        {0, ZipPredictor::None()},
        {12345, ZipPredictor::None()},
        {100 * 30, ZipPredictor::Delta(100, 1)},
        {100 * 30 + 17, ZipPredictor::Delta(100, 1)},
        {64 * 50, ZipPredictor::Delta(64, 2)},
        {64 * 50 + 33, ZipPredictor::Delta(64, 2)},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size << " " << c.pred.rowBytes << " " << c.pred.sampleBytes);
        auto data = Sample(c.size, 7);
        VectorOutStream sink;
        auto zout = ZipOutStream::Create(sink, c.pred, 3);
        // Written in uneven pieces.
        size_t pos = 0;
        for (size_t step = 1; pos < data.size(); step = step * 3 + 1) {
            size_t n = std::min(step, data.size() - pos);
            ASSERT_TRUE(n % 2 ? zout->Write(data.data() + pos, n)
                              : zout->WriteBlock(data.data() + pos, n));
            pos += n;
        }
        ASSERT_TRUE(zout->Finalise());
        EXPECT_EQ(zout->GetCompressedSize(), sink.m_data.size());
        EXPECT_FALSE(zout->Finalise());
        EXPECT_FALSE(zout->WriteBlock(data.data(), 0));
        testsupport::OneByteInStream source(sink.m_data);
        auto zin = ZipInStream::Create(source, c.pred);
        ASSERT_TRUE(zin);
        EXPECT_EQ(Drain(*zin, 9), data);
        if (!c.pred.enabled) {
            std::vector<uint8_t> whole(c.size);
            EXPECT_EQ(
                ZlibInflate(sink.m_data.data(), sink.m_data.size(), whole.data(), whole.size()),
                InflateStatus::Ok);
            EXPECT_EQ(whole, data);
        }
    }
}

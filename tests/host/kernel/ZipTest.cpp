#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host/kernel/Zip.h"
#include "support/OneByteStream.h"

using namespace Kernel;

namespace {

using Bytes = std::vector<uint8_t>;

// Compressible but not trivial: runs, ramps and noise.
Bytes Sample(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) {
        size_t kind = (i / 97) % 3;
        v[i] = static_cast<uint8_t>(kind == 0 ? i / 97 : kind == 1 ? i * 3 : rng());
    }
    return v;
}

Bytes Deflate(Bytes const& in, int level = 6) {
    Bytes out;
    EXPECT_TRUE(ZlibDeflate(in.data(), in.size(), out, level));
    return out;
}

bool StartsWith(Bytes const& out, size_t n, Bytes const& data) {
    return n <= data.size() &&
           std::equal(out.begin(), out.begin() + static_cast<ptrdiff_t>(n), data.begin());
}

// Reads a stream to its end in uneven pieces.
Bytes Drain(InStream& s, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out, buf(5000);
    for (;;) {
        size_t n = 1 + rng() % buf.size();
        size_t got = s.Read(buf.data(), n);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(got));
        if (got < n) return out;
    }
}

}  // namespace

// Damaged, cut at every offset, longer or shorter than the destination, or padded: the status
// says which, and whatever was produced is a correct prefix.
TEST(Zlib, StatusOfDamagedTruncatedAndMisSizedStreams) {
    auto data = Sample(8000, 3);
    auto z = Deflate(data);
    Bytes out(data.size() + 1);
    size_t produced = 0;
    auto inflate = [&](Bytes const& in, size_t inSize, size_t outSize) {
        std::fill(out.begin(), out.end(), 0);
        produced = SIZE_MAX;
        return ZlibInflate(in.data(), inSize, out.data(), outSize, &produced);
    };
    for (size_t cut = 0; cut < z.size(); ++cut) {
        ASSERT_EQ(inflate(z, cut, data.size()), InflateStatus::Short) << "cut " << cut;
        ASSERT_TRUE(StartsWith(out, produced, data)) << "cut " << cut;
        // Only the checksum missing: every byte is there, but the stream did not end.
        EXPECT_TRUE(cut < z.size() - 4 || produced == data.size()) << "cut " << cut;
    }
    auto badHeader = z, badSum = z;
    badHeader[0] = 0x00;
    badSum.back() ^= 0x5A;  // all the data came out, but it cannot be trusted
    Bytes junk(100, 0xFF);
    for (auto const* bad : {&badHeader, &badSum, &junk})
        EXPECT_EQ(inflate(*bad, bad->size(), data.size()), InflateStatus::Damaged);
    EXPECT_EQ(inflate(z, z.size(), data.size() - 1), InflateStatus::TooLong);
    EXPECT_EQ(produced, data.size() - 1);
    EXPECT_TRUE(StartsWith(out, produced, data));
    EXPECT_EQ(inflate(z, z.size(), 0), InflateStatus::TooLong);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(inflate(z, z.size(), data.size() + 1), InflateStatus::Short);
    EXPECT_EQ(produced, data.size());
    EXPECT_TRUE(StartsWith(out, produced, data));
    auto empty = Deflate({});
    EXPECT_EQ(inflate(empty, empty.size(), 0), InflateStatus::Ok);
    // Trailing bytes after the end of the stream are not the stream's business.
    auto padded = z;
    padded.resize(padded.size() + 8, 0);
    EXPECT_EQ(inflate(padded, padded.size(), data.size()), InflateStatus::Ok);
}

// Known deltas (8- and 16-bit, wrapping), rows starting afresh, and the inverse for all widths.
TEST(Predictor, KnownDeltasAndInverse) {
    struct Case {
        Bytes in;
        size_t rows;
        unsigned sample;
        Bytes predicted;
    } const cases[] = {
        {{1, 2, 4, 7, 3}, 1, 1, {1, 1, 2, 3, 0xFC}},
        {{0, 1, 0, 3, 0, 2, 0xFF, 0xFF}, 1, 2, {0, 1, 0, 2, 0xFF, 0xFF, 0xFF, 0xFD}},
        {{5, 6, 5, 6}, 2, 1, {5, 1, 5, 1}},
    };
    for (auto const& c : cases) {
        auto row = c.in;
        PredictRows(row.data(), c.rows, row.size() / c.rows, c.sample);
        EXPECT_EQ(row, c.predicted);
        UnpredictRows(row.data(), c.rows, row.size() / c.rows, c.sample);
        EXPECT_EQ(row, c.in);
    }
    for (unsigned sample : {1u, 2u})
        for (size_t rowBytes : {size_t(1), size_t(2), size_t(7), size_t(64), size_t(333)}) {
            std::mt19937 rng(static_cast<uint32_t>(rowBytes));
            Bytes data(rowBytes * 9);
            for (auto& v : data) v = static_cast<uint8_t>(rng());
            auto copy = data;
            PredictRows(copy.data(), 9, rowBytes, sample);
            EXPECT_TRUE(rowBytes <= sample || copy != data);
            UnpredictRows(copy.data(), 9, rowBytes, sample);
            EXPECT_EQ(copy, data) << "sample " << sample << " row " << rowBytes;
        }
}

// Block reads, cut and junk streams, and a predictor without a row length.
TEST(ZipInStream, BlocksDamageAndTruncation) {
    auto data = Sample(4000, 6);
    auto z = Deflate(data);
    auto src = MemoryInStream::Create(z);
    auto zin = ZipInStream::Create(*src);
    Bytes a(1000), b(3001);
    EXPECT_TRUE(zin->ReadBlock(a.data(), a.size()));
    EXPECT_TRUE(StartsWith(a, a.size(), data));
    EXPECT_FALSE(zin->ReadBlock(b.data(), b.size()));  // one byte more than is left
    // A cut stream ends early without being called damaged; junk is damaged.
    auto cut = MemoryInStream::Create(z.data(), z.size() / 2);
    auto zcut = ZipInStream::Create(*cut);
    auto got = Drain(*zcut, 1);
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(StartsWith(got, got.size(), data));
    EXPECT_FALSE(zcut->IsDamaged());
    Bytes junk(64, 0x33);
    auto bad = MemoryInStream::Create(junk);
    auto zbad = ZipInStream::Create(*bad);
    EXPECT_EQ(Drain(*zbad, 2).size(), 0u);
    EXPECT_TRUE(zbad->IsDamaged());
    EXPECT_FALSE(ZipInStream::Create(*src, ZipPredictor::Delta(0, 1)));
}

// Written in uneven pieces (sizes ending in a partial row too), read back over a one-byte source
// with the same predictor; without one the output is a plain zlib stream.
TEST(ZipOutStream, RoundTripThroughZipInStream) {
    struct Case {
        size_t size;
        ZipPredictor pred;
    } const cases[] = {
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
        auto sink = MemoryInOutStreamBase::Create();
        auto zout = ZipOutStream::Create(*sink, c.pred, 3);
        size_t pos = 0;
        for (size_t step = 1; pos < data.size(); step = step * 3 + 1) {
            size_t n = std::min(step, data.size() - pos);
            ASSERT_TRUE(n % 2 ? zout->Write(data.data() + pos, n)
                              : zout->WriteBlock(data.data() + pos, n));
            pos += n;
        }
        ASSERT_TRUE(zout->Finalise());
        Bytes const& z = sink->GetData();
        EXPECT_EQ(zout->GetCompressedSize(), z.size());
        EXPECT_FALSE(zout->Finalise());
        EXPECT_FALSE(zout->WriteBlock(data.data(), 0));
        // The reader with a predictor matches a writer-side PredictRows over whole rows.
        testsupport::OneByteInStream source(z);
        auto zin = ZipInStream::Create(source, c.pred);
        ASSERT_TRUE(zin);
        EXPECT_EQ(Drain(*zin, 9), data);
        EXPECT_FALSE(zin->IsDamaged());
        if (!c.pred.enabled) {
            Bytes whole(c.size);
            EXPECT_EQ(ZlibInflate(z.data(), z.size(), whole.data(), whole.size()),
                      InflateStatus::Ok);
            EXPECT_EQ(whole, data);
        }
    }
    // Data predicted by PredictRows and deflated whole reads back through the stream.
    auto data = Sample(250 * 40, 5);
    for (unsigned sample : {1u, 2u}) {
        auto predicted = data;
        PredictRows(predicted.data(), 40, 250, sample);
        testsupport::OneByteInStream source(Deflate(predicted));
        auto zin = ZipInStream::Create(source, ZipPredictor::Delta(250, sample));
        EXPECT_EQ(Drain(*zin, sample), data) << sample;
    }
}

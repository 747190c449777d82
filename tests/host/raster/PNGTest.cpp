#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "host/kernel/Memory.h"
#include "host/kernel/Zip.h"
#include "host/raster/PNG.h"
#include "support/BitmapSamples.h"
#include "support/CappedOutStream.h"
#include "support/ScratchDir.h"

using namespace Raster;

namespace {

// Random samples for every row of the image, host order.
std::vector<uint8_t> RandomImage(PNGImageInfo const& info, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(PNGRowBytes(info) * info.height);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

PNGRowSource RowsOf(std::vector<uint8_t> const& data, PNGImageInfo const& info) {
    size_t rb = PNGRowBytes(info);
    return [&data, rb](uint32_t y, uint8_t* row) {
        std::memcpy(row, data.data() + y * rb, rb);
        return true;
    };
}

uint32_t ReadBE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The concatenated IDAT data of a PNG.
std::vector<uint8_t> IDAT(std::vector<uint8_t> const& png) {
    std::vector<uint8_t> out;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        uint32_t len = ReadBE32(&png[pos]);
        if (std::memcmp(&png[pos + 4], "IDAT", 4) == 0)
            out.insert(out.end(), &png[pos + 8], &png[pos + 8 + len]);
        pos += 12 + len;
    }
    return out;
}

}  // namespace

TEST(PNG, RoundTripsEveryColourTypeAndDepth) {
    for (PNGColour colour :
         {PNGColour::Grey, PNGColour::GreyAlpha, PNGColour::RGB, PNGColour::RGBA})
        for (unsigned depth : {8u, 16u}) {
            PNGImageInfo info{13, 7, colour, depth, false};
            SCOPED_TRACE(testing::Message() << int(colour) << "/" << depth);
            auto data = RandomImage(info, depth * 10 + unsigned(colour));
            std::vector<uint8_t> png;
            std::string error;
            ASSERT_TRUE(WritePNGMemory(png, info, RowsOf(data, info), {}, &error)) << error;

            PNGImageInfo read;
            ASSERT_TRUE(ReadPNGInfo(png.data(), png.size(), read, &error)) << error;
            EXPECT_TRUE(read.width == 13 && read.height == 7 && read.colour == colour &&
                        read.bitDepth == depth && !read.interlaced);

            auto b = ReadPNG(png.data(), png.size(), &error);
            ASSERT_TRUE(b) << error;
            ASSERT_EQ(b->GetFormat(), depth == 16 ? Format::RGBA16 : Format::RGBA8);
            // Every sample comes back exactly, expanded to RGBA.
            unsigned const ch = PNGChannelCount(colour), bps = depth / 8;
            auto sample = [bps](uint8_t const* p, size_t i) {
                return testsupport::LoadSample(p + i * bps, bps);
            };
            bool const grey = ch <= 2, alpha = ch == 2 || ch == 4;
            for (uint32_t y = 0; y < 7; ++y)
                for (uint32_t x = 0; x < 13; ++x) {
                    uint8_t const* in = data.data() + (size_t(y) * 13 + x) * ch * bps;
                    uint8_t const* out = b->GetRow(y) + size_t(x) * 4 * bps;
                    for (unsigned c = 0; c < 3; ++c)
                        ASSERT_EQ(sample(out, c), sample(in, grey ? 0 : c)) << x << "," << y;
                    ASSERT_EQ(sample(out, 3), alpha ? sample(in, ch - 1) : (1 << depth) - 1.0);
                }
        }
}

// A round trip cannot see a byte order swapped both ways; the stored bytes can.
TEST(PNG, SixteenBitSamplesAreBigEndianInTheFile) {
    PNGImageInfo info{2, 1, PNGColour::Grey, 16, false};
    uint16_t const samples[2] = {0x1234, 0xABCD};
    std::vector<uint8_t> png;
    PNGWriteOptions o;
    o.compressionLevel = 0;
    ASSERT_TRUE(WritePNGMemory(
        png, info,
        [&](uint32_t, uint8_t* row) {
            std::memcpy(row, samples, 4);
            return true;
        },
        o));
    auto idat = IDAT(png);
    uint8_t raw[5];
    size_t produced = 0;
    ASSERT_EQ(Kernel::ZlibInflate(idat.data(), idat.size(), raw, 5, &produced),
              Kernel::InflateStatus::Ok);
    // Filter byte, then the samples; the filter may have changed their bytes, so undo "none"/"sub".
    std::vector<uint8_t> row(raw + 1, raw + 5);
    if (raw[0] == 1)
        for (size_t i = 2; i < 4; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - 2]);
    else
        ASSERT_EQ(raw[0], 0);
    EXPECT_EQ(row, (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD}));
}

// Bitmaps and row sources to files and streams, byte exact; grey bitmaps expanded; bad paths and
// formats refused with their messages.
TEST(PNG, FilesAndBitmaps) {
    auto bm = DynamicBitmap::Create(9, 5, Format::RGBA16);
    for (size_t i = 0; i < bm->GetDataSize(); ++i) bm->GetData()[i] = static_cast<uint8_t>(i * 7);
    testsupport::ScratchDir dir;
    std::string const path = (dir.path / "x.png").string();
    {
        auto out = Kernel::FileOutStream::Create(path);
        ASSERT_TRUE(out);
        ASSERT_TRUE(WritePNGBitmap(*out, *bm));
        ASSERT_TRUE(out->Close());
    }
    std::string error;
    auto back = ReadPNGFile(path, &error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->GetFormat(), Format::RGBA16);
    EXPECT_EQ(std::memcmp(back->GetData(), bm->GetData(), bm->GetDataSize()), 0);

    // Rows through the path-based writer, 8-bit RGBA: byte exact.
    auto b8 = DynamicBitmap::Create(4, 3, Format::RGBA8);
    for (size_t i = 0; i < b8->GetDataSize(); ++i) b8->GetData()[i] = static_cast<uint8_t>(255 - i);
    PNGImageInfo info{4, 3, PNGColour::RGBA, 8, false};
    ASSERT_TRUE(WritePNGFile(path, info, [&](uint32_t y, uint8_t* row) {
        b8->ReadRow(y, row);
        return true;
    }));
    back = ReadPNGFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(back->GetData(), b8->GetData(), b8->GetDataSize()), 0);

    // Grey bitmaps and masks.
    auto ia = DynamicBitmap::Create(3, 2, Format::IA8);
    for (size_t i = 0; i < ia->GetDataSize(); ++i) ia->GetData()[i] = static_cast<uint8_t>(40 * i);
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(WritePNGBitmap(*mem, *ia));
    auto g = ReadPNG(mem->GetData().data(), mem->GetData().size());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->GetRow(1)[4], ia->GetRow(1)[2]);
    EXPECT_EQ(g->GetRow(1)[7], ia->GetRow(1)[3]);

    EXPECT_FALSE(ReadPNGFile("/nonexistent/zuzodoriv.png", &error));
    EXPECT_FALSE(WritePNGFile(
        "/nonexistent/zuzodoriv.png", info, [](uint32_t, uint8_t*) { return true; }, {}, &error));
    auto cmyk = DynamicBitmap::Create(2, 2, Format::CMYKA8);
    EXPECT_FALSE(WritePNGBitmap(*mem, *cmyk, {}, &error));
    EXPECT_EQ(error, "Unsupported pixel format for PNG");
}

// Bad depth or size, a failing row source (no further rows asked) and a failing stream.
TEST(PNG, WriterRefusals) {
    std::vector<uint8_t> png;
    std::string error;
    PNGImageInfo info{4, 4, PNGColour::RGB, 12, false};
    EXPECT_FALSE(WritePNGMemory(
        png, info, [](uint32_t, uint8_t*) { return true; }, {}, &error));
    EXPECT_EQ(error, "Unsupported PNG bit depth");
    info.bitDepth = 8;
    info.width = 0;
    EXPECT_FALSE(WritePNGMemory(
        png, info, [](uint32_t, uint8_t*) { return true; }, {}, &error));
    EXPECT_EQ(error, "Unsupported PNG image size");
    info.width = 4;
    int calls = 0;
    EXPECT_FALSE(WritePNGMemory(
        png, info,
        [&](uint32_t y, uint8_t*) {
            ++calls;
            return y < 2;
        },
        {}, &error));
    EXPECT_EQ(error, "Row source failed");
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(png.empty());

    testsupport::CappedOutStream refusing(0);
    EXPECT_FALSE(WritePNG(
        refusing, info,
        [](uint32_t, uint8_t* row) {
            std::memset(row, 0, 12);
            return true;
        },
        {}, &error));
    EXPECT_EQ(error, "Write failed");
}

// Cut at every offset inside the image data, garbage, a flipped bit (checksum), an impossible
// depth, a size beyond the allocation limit, random damage: a clean failure with a message.
TEST(PNG, MalformedInputFailsCleanly) {
    PNGImageInfo info{21, 11, PNGColour::RGBA, 8, false};
    auto data = RandomImage(info, 5);
    std::vector<uint8_t> png;
    ASSERT_TRUE(WritePNGMemory(png, info, RowsOf(data, info)));
    std::string error;
    // Only the trailing IEND may go missing.
    for (size_t cut = 0; cut + 24 <= png.size(); ++cut)
        EXPECT_FALSE(ReadPNG(png.data(), cut)) << cut;
    std::vector<uint8_t> garbage(100, 0x42);
    EXPECT_FALSE(ReadPNG(garbage.data(), garbage.size(), &error));
    EXPECT_FALSE(error.empty());
    PNGImageInfo read;
    EXPECT_FALSE(ReadPNGInfo(garbage.data(), garbage.size(), read));
    EXPECT_FALSE(ReadPNG(nullptr, 0, &error));
    auto bad = png;
    bad[png.size() / 2] ^= 0x10;
    EXPECT_FALSE(ReadPNG(bad.data(), bad.size(), &error));
    bad = png;
    bad[24] = 7;
    EXPECT_FALSE(ReadPNG(bad.data(), bad.size(), &error));
    uint64_t saved = Kernel::GetAllocationLimit();
    Kernel::SetAllocationLimit(21 * 11 * 4 - 1);
    auto limited = ReadPNG(png.data(), png.size(), &error);
    Kernel::SetAllocationLimit(saved);
    EXPECT_FALSE(limited);
    EXPECT_EQ(error, "Out of memory");
    EXPECT_TRUE(ReadPNG(png.data(), png.size()));

    info = {30, 20, PNGColour::GreyAlpha, 16, false};
    data = RandomImage(info, 77);
    png.clear();
    ASSERT_TRUE(WritePNGMemory(png, info, RowsOf(data, info)));
    uint32_t seed = 999;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes = png;
        for (int k = 0; k < 1 + round % 4; ++k)
            bytes[next() % bytes.size()] = static_cast<uint8_t>(next() >> 8);
        error.clear();
        auto b = ReadPNG(bytes.data(), bytes.size(), &error);
        EXPECT_TRUE(b || !error.empty());
        if (b) {
            ASSERT_TRUE(ReadPNGInfo(bytes.data(), bytes.size(), read));
            EXPECT_EQ(b->GetWidth(), read.width);
        }
    }
}

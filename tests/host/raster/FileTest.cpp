#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/kernel/Stream.h"
#include "host/raster/File.h"
#include "host/raster/JPEG.h"
#include "host/raster/PNG.h"
#include "support/OneByteStream.h"

using namespace Raster;

namespace {

std::vector<uint8_t> MakePNG(uint32_t w, uint32_t h, unsigned depth) {
    PNGImageInfo info{w, h, PNGColour::RGB, depth, false};
    std::vector<uint8_t> png;
    bool ok = WritePNGMemory(png, info, [&](uint32_t y, uint8_t* row) {
        for (size_t i = 0; i < PNGRowBytes(info); ++i) row[i] = static_cast<uint8_t>(i + y);
        return true;
    });
    EXPECT_TRUE(ok);
    return png;
}

std::vector<uint8_t> MakeJPEG(uint32_t w, uint32_t h) {
    auto b = DynamicBitmap::Create(w, h, Format::RGBA8);
    for (size_t i = 0; i < b->GetDataSize(); ++i) b->GetData()[i] = static_cast<uint8_t>(i * i / 7);
    auto j = DynamicJPEG::Encode(*b, {});
    if (!j) {
        ADD_FAILURE() << "JPEG encoding failed";
        return std::vector<uint8_t>(1, 0);
    }
    return j->GetData();
}

}  // namespace

// The type is found from the bytes at the stream's position; the decoded pixels are those of
// the format's own reader; a forward-only source of unknown length works too.
TEST(DynamicFile, DetectsPNGAndJPEG) {
    auto png8 = MakePNG(17, 9, 8);
    auto png16 = MakePNG(5, 4, 16);
    auto jpeg = MakeJPEG(33, 12);
    struct Case {
        std::vector<uint8_t> const* bytes;
        DynamicFile::Type type;
        uint32_t w, h;
        Format format;
    } const cases[] = {{&png8, DynamicFile::Type::PNG, 17, 9, Format::RGBA8},
                       {&png16, DynamicFile::Type::PNG, 5, 4, Format::RGBA16},
                       {&jpeg, DynamicFile::Type::JPEG, 33, 12, Format::RGBA8}};
    for (auto const& c : cases) {
        // Placed after a prefix: reading starts at the stream's position.
        std::vector<uint8_t> all(10, 0xAA);
        for (uint8_t b : *c.bytes) all.push_back(b);
        auto stream = Kernel::MemoryInStream::Create(all);
        ASSERT_TRUE(stream->Seek(10));
        std::string error;
        auto f = DynamicFile::CreateFromStream(stream, &error);
        ASSERT_TRUE(f) << error;
        EXPECT_EQ(f->GetType(), c.type);
        EXPECT_EQ(f->GetWidth(), c.w);
        EXPECT_EQ(f->GetHeight(), c.h);
        EXPECT_EQ(f->GetFormat(), c.format);
        EXPECT_EQ(f->GetData(), *c.bytes);
        EXPECT_EQ(stream->GetPosition(), all.size());
        Kernel::Counted<DynamicBitmap> bm;
        ASSERT_TRUE(f->CopyToBitmap(bm, &error)) << error;
        EXPECT_EQ(bm->GetWidth(), c.w);
        EXPECT_EQ(bm->GetFormat(), c.format);
        auto direct = c.type == DynamicFile::Type::PNG
                          ? ReadPNG(c.bytes->data(), c.bytes->size())
                          : DynamicJPEG::DecodeMemory(c.bytes->data(), c.bytes->size());
        ASSERT_TRUE(direct);
        EXPECT_EQ(std::memcmp(bm->GetData(), direct->GetData(), direct->GetDataSize()), 0);

        // The same through a forward-only source of unknown length.
        testsupport::OneByteInStream t(*c.bytes);
        auto seekable = Kernel::ForwardBiasedSeekableInStream::Create(t);
        auto g = DynamicFile::CreateFromStream(seekable, &error);
        ASSERT_TRUE(g) << error;
        EXPECT_EQ(g->GetData(), *c.bytes);
    }
}

// Other types and headers cut short are refused at once; damaged pixel data fails the copy.
TEST(DynamicFile, RefusesOtherAndDamagedFiles) {
    std::string error;
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};
    EXPECT_FALSE(DynamicFile::CreateFromMemory(gif.data(), gif.size(), &error));
    EXPECT_EQ(error, "Unknown image file type");
    EXPECT_FALSE(DynamicFile::CreateFromMemory(nullptr, 0, &error));
    auto empty = Kernel::MemoryInStream::Create(std::vector<uint8_t>{});
    EXPECT_FALSE(DynamicFile::CreateFromStream(empty, &error));

    // A header that reads but pixel data that does not: the file opens, the copy fails.
    auto png = MakePNG(40, 40, 8);
    png.resize(png.size() - 40);
    auto f = DynamicFile::CreateFromMemory(png.data(), png.size(), &error);
    ASSERT_TRUE(f) << error;
    Kernel::Counted<DynamicBitmap> bm;
    EXPECT_FALSE(f->CopyToBitmap(bm, &error));
    EXPECT_FALSE(bm);
    auto jpeg = MakeJPEG(200, 100);
    jpeg.resize(jpeg.size() - 100);  // inside the entropy-coded data
    auto j = DynamicFile::CreateFromMemory(jpeg.data(), jpeg.size(), &error);
    ASSERT_TRUE(j) << error;
    EXPECT_FALSE(j->CopyToBitmap(bm, &error));
    // Cut inside the headers: refused at once.
    for (size_t cut : {3, 8, 20, 28}) {
        EXPECT_FALSE(DynamicFile::CreateFromMemory(png.data(), cut, &error)) << cut;
    }
    EXPECT_FALSE(DynamicFile::CreateFromMemory(jpeg.data(), 3, &error));
}

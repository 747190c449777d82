// Sizes declared by a document cannot make the library allocate what the bytes do not justify:
// a tiny file declaring a huge layer or composite fails as truncated before any bitmap exists.
#include <gtest/gtest.h>

#include "host/kernel/Memory.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "support/MinimalDocument.h"

using testsupport::Bytes;

namespace {

// Restores the allocation limit when a test ends.
struct LimitGuard {
    uint64_t saved = Kernel::GetAllocationLimit();
    explicit LimitGuard(uint64_t limit) { Kernel::SetAllocationLimit(limit); }
    ~LimitGuard() { Kernel::SetAllocationLimit(saved); }
};

// A PSB with one RGB layer of side x side whose four channels hold only a compression code and a
// few bytes.
Bytes HugeLayerDocument(uint32_t side, uint16_t compression) {
    Bytes rec;
    rec.U32(0).U32(0).U32(side).U32(side).U16(4);
    for (int16_t id : {-1, 0, 1, 2}) rec.U16(uint16_t(id)).U64(10);
    rec.Str("8BIMnorm").U8(255).U8(0).U8(0).U8(0);
    Bytes extra;
    extra.U32(0).U32(0).U8(3).Str("big");
    rec.U32(uint32_t(extra.size())).Append(extra);
    Bytes info;
    info.U16(1).Append(rec);
    for (int c = 0; c < 4; ++c) info.U16(compression).Zeros(8);
    Bytes layers;
    layers.U64(info.size()).Append(info).U32(0);
    testsupport::Header h;
    h.version = 2;
    h.width = h.height = side;
    Bytes image;
    image.U16(compression).Zeros(16);
    return testsupport::Document(h, {}, {}, layers, image);
}

}  // namespace

TEST(MaliciousSizes, HugeLayerInTinyFileFailsAsTruncatedWithoutAllocating) {
    // With the limit at 64 MiB, an allocation before the length check would report out of memory.
    LimitGuard guard(uint64_t(64) << 20);
    for (uint16_t compression : {0, 1, 2, 3}) {
        SCOPED_TRACE(compression);
        auto bytes = HugeLayerDocument(300000, compression);
        EXPECT_LT(bytes.size(), 1024u);
        PSD::PSDReport report;
        auto doc = PSD::PSDFile::Create(Kernel::MemoryInStream::Create(bytes), PSD::CreateOptions{}, report);
        ASSERT_TRUE(doc) << (report.m_error ? std::string(report.m_error->Report()) : "");
        ASSERT_EQ(doc->m_layers.size(), 1u);
        Kernel::Counted<Raster::DynamicBitmap> bitmap;
        PSD::PSDReport layerReport;
        EXPECT_FALSE(doc->m_layers[0]->GetBitmap(bitmap, layerReport));
        ASSERT_TRUE(layerReport.m_error);
        EXPECT_EQ(layerReport.m_error->Report(), "The file appears to be truncated");

        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        PSD::PSDReport compositeReport;
        EXPECT_FALSE(doc->GetBitmap(bitmap, masks, compositeReport));
        ASSERT_TRUE(compositeReport.m_error);
        EXPECT_EQ(compositeReport.m_error->Report(), "The file appears to be truncated");
    }
}

TEST(MaliciousSizes, ALegitimateBitmapBeyondTheLimitIsOutOfMemory) {
    LimitGuard guard(uint64_t(1) << 20);
    EXPECT_THROW(Raster::DynamicBitmap::Create(4096, 4096, Raster::Format::RGBA8), Kernel::MemoryException);
}

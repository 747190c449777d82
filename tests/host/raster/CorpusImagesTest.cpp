// The PNG and JPEG files that came with the corpus suites (reference renders, smart-object
// contents): real-world files from many writers, read and written back through our codecs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/kernel/Stream.h"
#include "host/raster/File.h"
#include "host/raster/JPEG.h"
#include "host/raster/PNG.h"
#include "support/CorpusFiles.h"

using namespace Raster;

using testsupport::CorpusFiles;
using testsupport::CorpusRoot;

TEST(CorpusImages, PNGFilesDecodeAndRewriteExactly) {
    auto files = CorpusFiles({".png"});
    if (files.empty()) GTEST_SKIP() << "no corpus at " << CorpusRoot();
    size_t decoded = 0;
    for (auto const& path : files) {
        SCOPED_TRACE(path.string());
        auto in = Kernel::FileInStream::Open(path.string());
        ASSERT_TRUE(in);
        std::string error;
        auto file = DynamicFile::CreateFromStream(in, &error);
        ASSERT_TRUE(file) << error;
        ASSERT_EQ(file->GetType(), DynamicFile::Type::PNG);
        Kernel::Counted<DynamicBitmap> bm;
        ASSERT_TRUE(file->CopyToBitmap(bm, &error)) << error;
        EXPECT_EQ(bm->GetWidth(), file->GetWidth());
        EXPECT_EQ(bm->GetHeight(), file->GetHeight());
        // Written back by us (RGBA at the same depth) and read again: the same samples.
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        PNGWriteOptions fast;
        fast.compressionLevel = 1;
        ASSERT_TRUE(WritePNGBitmap(*mem, *bm, fast, &error)) << error;
        auto again = ReadPNG(mem->GetData().data(), mem->GetData().size(), &error);
        ASSERT_TRUE(again) << error;
        ASSERT_EQ(again->GetFormat(), bm->GetFormat());
        ASSERT_EQ(again->GetDataSize(), bm->GetDataSize());
        EXPECT_EQ(std::memcmp(again->GetData(), bm->GetData(), bm->GetDataSize()), 0);
        ++decoded;
    }
    EXPECT_EQ(decoded, files.size());
}

TEST(CorpusImages, JPEGFilesDecodeAndReencode) {
    auto files = CorpusFiles({".jpg", ".jpeg"});
    if (files.empty()) GTEST_SKIP() << "no corpus at " << CorpusRoot();
    for (auto const& path : files) {
        SCOPED_TRACE(path.string());
        auto in = Kernel::FileInStream::Open(path.string());
        ASSERT_TRUE(in);
        std::string error;
        auto file = DynamicFile::CreateFromStream(in, &error);
        ASSERT_TRUE(file) << error;
        ASSERT_EQ(file->GetType(), DynamicFile::Type::JPEG);
        Kernel::Counted<DynamicBitmap> bm;
        ASSERT_TRUE(file->CopyToBitmap(bm, &error)) << error;
        ExportOptions o;
        o.quality = 98;
        auto j = DynamicJPEG::Encode(*bm, o, &error);
        ASSERT_TRUE(j) << error;
        auto back = j->Decode(&error);
        ASSERT_TRUE(back) << error;
        double sum = 0;
        for (size_t i = 0; i < bm->GetDataSize(); ++i)
            sum += std::abs(int(bm->GetData()[i]) - int(back->GetData()[i]));
        EXPECT_LT(sum / double(bm->GetDataSize()), 4.0);  // chroma subsampling of a photo
    }
}

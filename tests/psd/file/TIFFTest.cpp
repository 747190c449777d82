// Layered TIFF files: documents written as TIFF read back with the same layers and pixels, and
// TIFF files that are not layered documents are refused as they should be.
#include <gtest/gtest.h>
#include <tiffio.h>

#include "psd/file/PSDFile.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/layer/PSDLayer.h"
#include "tests/support/CorpusRoot.h"
#include "tests/support/RoundTrip.h"
#include "tests/support/ScratchDir.h"

namespace {

Kernel::Counted<PSD::PSDFile> OpenPath(std::string const& path, PSD::PSDReport& report) {
    std::string message;
    PSD::CreateOptions options;
    options.parseSmartObjects = true;
    return PSD::OpenFile(path, options, report, message);
}

TEST(LayeredTIFF, WrittenDocumentsReadBackEqual) {
    char const* const sources[] = {
        "psd-tools/tests/psd_files/clipping-mask5.psd",  // groups, masks, clipping
        "ag-psd/test/read/smart-object/src.psd",        // placed layers and their files
        "psd-tools/tests/psd_files/colormodes/4x4_16bit_cmyk.psd",
        "psd-tools/tests/psd_files/16bit5x5.psd",
        "psd-tools/tests/psd_files/32bit5x5.psd",
        "ag-psd/test/read/cmyk/src.psd",
        "psd-tools/tests/psd_files/colormodes/4x4_8bit_lab.psd",
        "ag-psd/test/read/grayscale/src.psd",
    };
    testsupport::ScratchDir dir;
    for (char const* source : sources) {
        std::string path = (testsupport::CorpusRoot() / source).string();
        PSD::PSDReport r1, r2;
        auto doc = OpenPath(path, r1);
        if (!doc) GTEST_SKIP() << "corpus document missing: " << path;
        testsupport::DocumentBitmaps orig;
        std::string why;
        ASSERT_TRUE(testsupport::LoadAll(*doc, orig, why)) << source << ": " << why;
        // Both byte orders: little-endian layer data has its numbers, keys and row counts reversed.
        for (PSD::TIFFSaveOptions options : {PSD::TIFFSaveOptions{false, false}, {true, false}, {false, true}}) {
            std::string out = (dir.path / (std::string(options.lzw ? "lzw-" : "") +
                                           (options.littleEndian ? "le-" : "") + "out.tif")).string();
            ASSERT_TRUE(doc->SaveTIFF(out, options, why)) << source << ": " << why;
            TIFF* t = TIFFOpen(out.c_str(), "r");
            ASSERT_TRUE(t);
            EXPECT_EQ(TIFFIsBigEndian(t) == 0, options.littleEndian) << source;
            TIFFClose(t);
            auto back = OpenPath(out, r2);
            ASSERT_TRUE(back) << source << ": " << testsupport::ReportText(r2);
            EXPECT_EQ(back->m_colourMode, doc->m_colourMode) << source;
            EXPECT_EQ(testsupport::LayerPixelsDifference(*doc, orig, *back, true), "") << source;
        }
    }
}

// Blending ranges in little-endian files: the editor keeps each half's bytes in order, another
// writer reverses them. Both read in order; ours are written back in the editor's order unless
// read reversed.
TEST(LayeredTIFF, LittleEndianBlendingRangesReadInOrderAndWrittenAsTheEditorDoes) {
    struct Case {
        char const* path;
        bool reversed;
    } const cases[] = {
        {"tiff/real/magicknet_8Bim.tif", false},
        {"tiff/real/pillow_tiff_adobe_deflate.tif", false},
        {"tiff/gray8-rle_II.tif", true},
    };
    testsupport::ScratchDir dir;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        PSD::PSDReport r1, r2, r3;
        auto doc = OpenPath((testsupport::CorpusRoot() / c.path).string(), r1);
        if (!doc) GTEST_SKIP() << "corpus document missing: " << c.path;
        auto check = [](PSD::PSDFile const& d, bool reversed) {
            for (auto const& l : d.GetLayers())
                for (auto const& range : l->m_blendRanges) {
                    EXPECT_EQ(0, std::memcmp(range.m_bytes, PSD::PSDBlendRangeSet::kDefault, 8));
                    EXPECT_EQ(range.m_storedReversed, reversed);
                }
        };
        check(*doc, c.reversed);
        std::string why, out = (dir.path / "le.tif").string();
        ASSERT_TRUE(doc->SaveTIFF(out, PSD::TIFFSaveOptions{false, true}, why)) << why;
        auto back = OpenPath(out, r2);
        ASSERT_TRUE(back) << testsupport::ReportText(r2);
        check(*back, c.reversed);
        // A document that never was little-endian is written in the editor's order.
        auto mem = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(doc->Save(*mem, {.decodeStored = false}));
        auto be = testsupport::OpenBytes(mem->TakeData(), r3);
        ASSERT_TRUE(be) << testsupport::ReportText(r3);
        ASSERT_TRUE(be->SaveTIFF(out, PSD::TIFFSaveOptions{false, true}, why)) << why;
        check(*OpenPath(out, r2), false);
    }
}

// A plain TIFF of a photometric interpretation and, optionally, the layer data tag.
std::string PlainTIFF(testsupport::ScratchDir const& dir, char const* name, uint16_t photometric, bool layers) {
    std::string path = (dir.path / name).string();
    TIFF* t = TIFFOpen(path.c_str(), "w");
    uint8_t row[4] = {1, 2, 3, 4};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4u);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1u);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    if (photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> map(256, 0);
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    }
    static uint8_t const data[] = "Adobe Photoshop Document Data Block\0";
    if (layers) TIFFSetField(t, TIFFTAG_IMAGESOURCEDATA, uint32_t(sizeof data), data);
    TIFFWriteScanline(t, row, 0, 0);
    TIFFClose(t);
    return path;
}

TEST(LayeredTIFF, FilesThatAreNotLayeredDocuments) {
    testsupport::ScratchDir dir;
    struct Case {
        char const* what;
        uint16_t photometric;
        bool layers;
        bool opens;
        int error;  // -1: none
    } const cases[] = {
        {"no layer data tag", PHOTOMETRIC_MINISBLACK, false, false, -1},
        {"palette", PHOTOMETRIC_PALETTE, true, false, PSD::PSDError::kUnsupportedColourMode},
        {"grey without layers", PHOTOMETRIC_MINISBLACK, true, true, -1},
    };
    for (auto const& c : cases) {
        std::string path = PlainTIFF(dir, "plain.tif", c.photometric, c.layers);
        PSD::PSDReport report;
        auto doc = PSD::PSDFile::CreateFromTIFF(path, {}, report);
        EXPECT_EQ(bool(doc), c.opens) << c.what;
        EXPECT_EQ(report.m_error ? int(report.m_error->GetCode()) : -1, c.error) << c.what;
        if (doc) {
            EXPECT_TRUE(doc->m_layers.empty());
            EXPECT_EQ(doc->m_unitConverter->GetResolution(), 96.0) << "the resolution default";
        }
    }
    // Opening by content names what is missing.
    PSD::PSDReport report;
    EXPECT_FALSE(OpenPath(PlainTIFF(dir, "plain.tif", PHOTOMETRIC_MINISBLACK, false), report));
    ASSERT_TRUE(report.m_error);
    EXPECT_NE(std::string(report.m_error->Report()).find("37724"), std::string::npos);
}

}  // namespace

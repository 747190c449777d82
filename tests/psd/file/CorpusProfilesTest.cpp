// The ICC profiles embedded in the corpus documents: real profiles from real applications, as the
// document reader hands them over (the corpus runner checks their sizes against the reference).
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <string>

#include "host/raster/ICC.h"
#include "psd/file/PSDFile.h"
#include "support/CorpusFiles.h"

using namespace Raster;

namespace {

uint32_t BE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

}  // namespace

TEST(CorpusProfiles, EmbeddedProfilesOpenAndConvert) {
    auto const docs = testsupport::CorpusFiles({".psd", ".psb"});
    if (docs.empty()) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();

    std::map<uint32_t, int> spaces;
    size_t found = 0, opened = 0, cmykChecked = 0;
    for (auto const& path : docs) {
        PSD::PSDReport report;
        Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(path.string()));
        auto doc = in ? PSD::PSDFile::Create(in, PSD::CreateOptions{}, report) : nullptr;
        if (!doc || !std::count(doc->m_resourceIds.begin(), doc->m_resourceIds.end(), 1039)) continue;
        ++found;
        SCOPED_TRACE(path.string());
        auto p = doc->m_iccProfile;
        if (!p) continue;  // a damaged embedded profile is legitimate input
        ++opened;
        EXPECT_EQ(p->GetColourSpace(), BE32(&p->GetData()[16]));  // the header's own field
        EXPECT_FALSE(p->GetDescription().empty());
        ++spaces[p->GetColourSpace()];
        // The mode of the document agrees with its profile's space.
        uint32_t mode = doc->m_colourMode;
        uint32_t const expected = mode == 3   ? kICCSpaceRGB
                                  : mode == 4 ? kICCSpaceCMYK
                                  : mode == 1 ? kICCSpaceGray
                                              : p->GetColourSpace();
        EXPECT_EQ(p->GetColourSpace(), expected) << "mode " << mode;

        if (p->GetColourSpace() != kICCSpaceCMYK) continue;
        // A press profile: paper is light, full ink is dark, cyan ink is bluish-green.
        auto bm = DynamicBitmap::Create(3, 1, Format::CMYKA8);
        uint8_t const px[15] = {255, 255, 255, 255, 255, 0, 0, 0, 0, 77, 0, 255, 255, 255, 255};
        bm->WriteRow(0, px);
        ConvertToRGBAOptions o;
        o.profile = p;
        auto rgb = ConvertToRGBA(*bm, o);
        ASSERT_TRUE(rgb);
        uint8_t const* r = rgb->GetRow(0);
        EXPECT_GT(r[0] + r[1] + r[2], 3 * 230);
        EXPECT_LT(r[4] + r[5] + r[6], 3 * 60);
        EXPECT_EQ(r[7], 77);
        EXPECT_LT(r[8] + 60, r[10]);  // little red under cyan
        EXPECT_LT(r[8] + 60, r[9]);
        ++cmykChecked;
    }
    if (found == 0) GTEST_SKIP() << "no embedded profiles found";
    // Nearly every profile real applications embed is readable.
    EXPECT_GE(opened * 10, found * 9) << opened << " of " << found;
    std::string summary;
    for (auto const& [space, n] : spaces) {
        char sig[5] = {char(space >> 24), char(space >> 16), char(space >> 8), char(space), 0};
        summary += std::string(" '") + sig + "' " + std::to_string(n);
    }
    std::cout << "embedded profiles: " << opened << "/" << found
              << " opened; CMYK converted: " << cmykChecked << ";" << summary << "\n";
}

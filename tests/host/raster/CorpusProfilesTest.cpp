// The ICC profiles embedded in the corpus documents: real profiles from real applications,
// pulled out of the image resources with a minimal block walk of our own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "host/raster/ICC.h"
#include "support/CorpusFiles.h"

using namespace Raster;

namespace {

uint32_t BE32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

struct Embedded {
    std::vector<uint8_t> profile;
    unsigned colourMode = 0;
};

// Only the header prefix and the image resources are read, with every length checked.
bool FindProfile(std::filesystem::path const& path, Embedded& out) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (d.size() < 26 || std::memcmp(d.data(), "8BPS", 4) != 0) return false;
    out.colourMode = unsigned(d[24]) << 8 | d[25];
    size_t pos = 26;
    if (d.size() - pos < 4) return false;
    size_t modeData = BE32(&d[pos]);
    pos += 4;
    if (modeData > d.size() - pos || d.size() - pos - modeData < 4) return false;
    pos += modeData;
    size_t sectionLen = BE32(&d[pos]);
    pos += 4;
    if (sectionLen > d.size() - pos) return false;
    size_t const end = pos + sectionLen;
    while (end - pos >= 12) {
        uint16_t id = uint16_t(d[pos + 4] << 8 | d[pos + 5]);
        size_t nameLen = d[pos + 6];
        size_t name = (1 + nameLen + 1) & ~size_t(1);
        if (name > end - pos - 6 || end - pos - 6 - name < 4) return false;
        pos += 6 + name;
        size_t size = BE32(&d[pos]);
        pos += 4;
        if (size > end - pos) return false;
        if (id == 1039) {
            out.profile.assign(d.begin() + pos, d.begin() + pos + size);
            return true;
        }
        pos += (size + 1) & ~size_t(1);
        if (pos > end) return false;
    }
    return false;
}

}  // namespace

TEST(CorpusProfiles, EmbeddedProfilesOpenAndConvert) {
    auto const docs = testsupport::CorpusFiles({".psd", ".psb"});
    if (docs.empty()) GTEST_SKIP() << "no corpus at " << testsupport::CorpusRoot();

    std::map<uint32_t, int> spaces;
    size_t found = 0, opened = 0, cmykChecked = 0;
    for (auto const& path : docs) {
        Embedded e;
        if (!FindProfile(path, e) || e.profile.size() < 128) continue;
        ++found;
        SCOPED_TRACE(path.string());
        auto p = ICCManager::GetInstance().AddProfileFromMemory(e.profile.data(), e.profile.size());
        if (!p) continue;  // a damaged embedded profile is legitimate input
        ++opened;
        EXPECT_EQ(p->GetData(), e.profile);
        EXPECT_EQ(p->GetColourSpace(), BE32(&e.profile[16]));  // the header's own field
        EXPECT_FALSE(p->GetDescription().empty());
        ++spaces[p->GetColourSpace()];
        // The mode of the document agrees with its profile's space.
        uint32_t const expected = e.colourMode == 3   ? kICCSpaceRGB
                                  : e.colourMode == 4 ? kICCSpaceCMYK
                                  : e.colourMode == 1 ? kICCSpaceGray
                                                      : p->GetColourSpace();
        EXPECT_EQ(p->GetColourSpace(), expected) << "mode " << e.colourMode;

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

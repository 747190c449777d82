#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/kernel/Font.h"

using namespace Kernel;

namespace {

constexpr uint32_t Tag(char const (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

// Fonts known to the cache for these tests only; names no system carries.
void RegisterTestFonts() {
    FontCache::GetInstance().AddFont("ZzKernelTestSans-Bold", "ZzKernel Test Sans");
    FontCache::GetInstance().AddFont("ZzKernelTestVF-Regular", "ZzKernel Test VF");
    FontCache::GetInstance().AddFont("ZzKernelSerifVF", "ZzKernel Serif VF");
}

}  // namespace

// Only the exact PostScript name finds a family; a miss leaves the output alone; lookups from
// several threads at once all succeed.
TEST(FontCache, FindsFamiliesByExactPostScriptName) {
    RegisterTestFonts();
    FontCache& cache = FontCache::GetInstance();
    EXPECT_EQ(&cache, &FontCache::GetInstance());
    String8 family;
    EXPECT_TRUE(cache.FindFontFamilyByPostscriptName("ZzKernelTestSans-Bold", family));
    EXPECT_EQ(family, "ZzKernel Test Sans");
    family = "unchanged";
    for (char const* miss : {"zzkerneltestsans-bold", "ZzKernelTestSans", ""})
        EXPECT_FALSE(cache.FindFontFamilyByPostscriptName(miss, family)) << miss;
    EXPECT_EQ(family, "unchanged");
    EXPECT_EQ(cache.FindFontFamilyByPostscriptName("NoSuchFont-Regular"), "");
    EXPECT_GE(cache.GetFontCount(), 3u);
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                found += cache.FindFontFamilyByPostscriptName("ZzKernelTestSans-Bold") ==
                         "ZzKernel Test Sans";
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(found.load(), 800);
}

// Axes in order with their values, weight rounded, slant or ital making it italic, short tags
// padded.
TEST(VariableFontName, ParsesAxesOfKnownFonts) {
    RegisterTestFonts();
    FontDescription d;
    ASSERT_TRUE(TryParseVariableFontName("ZzKernelTestVF_700wght_75wdth", d));
    EXPECT_EQ(d.family, "ZzKernel Test VF");
    EXPECT_EQ(d.postscriptName, "ZzKernelTestVF_700wght_75wdth");
    ASSERT_EQ(d.axes.size(), 2u);
    EXPECT_EQ(d.axes[0], std::make_pair(Tag("wght"), 700.0));
    EXPECT_EQ(d.axes[1], std::make_pair(Tag("wdth"), 75.0));
    EXPECT_EQ(d.weight, 700);
    EXPECT_DOUBLE_EQ(d.width, 75.0);
    EXPECT_FALSE(d.italic);

    FontDescription s;
    ASSERT_TRUE(TryParseVariableFontName("ZzKernelSerifVF_-12.5slnt_350.5wght_14opsz", s));
    EXPECT_EQ(s.family, "ZzKernel Serif VF");
    EXPECT_TRUE(s.italic);
    EXPECT_EQ(s.weight, 351);
    ASSERT_EQ(s.axes.size(), 3u);
    EXPECT_DOUBLE_EQ(s.axes[0].second, -12.5);
    EXPECT_EQ(s.axes[2].first, Tag("opsz"));

    FontDescription i;
    ASSERT_TRUE(TryParseVariableFontName("ZzKernelSerifVF_1ital", i));
    EXPECT_TRUE(i.italic);
    // Short tags are padded with spaces.
    FontDescription p;
    ASSERT_TRUE(TryParseVariableFontName("ZzKernelSerifVF_3ab", p));
    EXPECT_EQ(p.axes[0].first, Tag("ab  "));
}

// Anything but an installed prefix and well-formed value-tag pairs is refused, output untouched.
TEST(VariableFontName, RejectsOtherNamesAndLeavesTheOutputAlone) {
    RegisterTestFonts();
    FontDescription d;
    d.family = "keep";
    for (char const* name : {
             "ZzKernelTestVF",           // no instance part
             "ZzKernelTestVF_",          // empty instance part
             "_700wght",                 // no prefix
             "ZzKernelTestVF_wght",      // no value
             "ZzKernelTestVF_700",       // no tag
             "ZzKernelTestVF_700wghtx",  // tag too long
             "ZzKernelTestVF_700wg-t",   // bad tag character
             "ZzKernelTestVF_700wght_",  // trailing underscore
             "ZzKernelTestVF_700wght__75wdth",
             "ZzKernelTestVF_1e400wght",  // not finite
             "ZzNoSuchFamily_700wght",    // the prefix is not installed
             "ZzKernelTestSans-Bold",     // an ordinary name
         }) {
        EXPECT_FALSE(TryParseVariableFontName(name, d)) << name;
        EXPECT_EQ(d.family, "keep") << name;
    }
}

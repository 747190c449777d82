#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/kernel/Memory.h"
#include "host/kernel/Units.h"

using namespace Kernel;

namespace {

struct LimitGuard {
    explicit LimitGuard(uint64_t bytes) : m_saved(GetAllocationLimit()) {
        SetAllocationLimit(bytes);
    }
    ~LimitGuard() { SetAllocationLimit(m_saved); }
    uint64_t m_saved;
};

}  // namespace

// Products and sums at the edge of 64 bits: exact when they fit, refused when they wrap.
TEST(Memory, CheckedArithmetic) {
    uint64_t out = 0;
    EXPECT_TRUE(CheckedMul(300000, 300000, out));
    EXPECT_EQ(out, 90000000000u);
    EXPECT_TRUE(CheckedMul(0, UINT64_MAX, out));
    EXPECT_EQ(out, 0u);
    EXPECT_TRUE(CheckedMul(UINT64_MAX / 2, 2, out));
    EXPECT_EQ(out, UINT64_MAX - 1);
    EXPECT_FALSE(CheckedMul(uint64_t(1) << 32, uint64_t(1) << 32, out));
    EXPECT_FALSE(CheckedMul(UINT64_MAX / 2 + 1, 2, out));
    EXPECT_TRUE(CheckedAdd(UINT64_MAX - 1, 1, out));
    EXPECT_EQ(out, UINT64_MAX);
    EXPECT_FALSE(CheckedAdd(UINT64_MAX, 1, out));
}

// The limit counts bytes, a refusal leaves the vector alone, and counts whose size overflows or
// that no vector can hold are refused before any allocation.
TEST(Memory, ResizeOrThrowHonoursTheLimit) {
    LimitGuard g(1000);
    std::vector<uint8_t> bytes;
    EXPECT_NO_THROW(ResizeOrThrow(bytes, 1000));
    EXPECT_EQ(bytes.size(), 1000u);
    EXPECT_THROW(ResizeOrThrow(bytes, 1001), MemoryException);
    EXPECT_EQ(bytes.size(), 1000u);  // left as it was
    // The limit is in bytes, not elements.
    std::vector<uint32_t> words;
    EXPECT_NO_THROW(ResizeOrThrow(words, 250));
    EXPECT_THROW(ResizeOrThrow(words, 251), MemoryException);
    // A count whose byte size overflows is refused before any arithmetic wraps.
    EXPECT_THROW(ResizeOrThrow(words, (uint64_t(1) << 62) + 1), MemoryException);
    // It is also a std::bad_alloc, so generic handlers report it as out of memory.
    EXPECT_THROW(ResizeOrThrow(bytes, 5000), std::bad_alloc);
    try {
        ResizeOrThrow(bytes, 5000);
    } catch (MemoryException const& e) {
        EXPECT_STREQ(e.what(), "Out of memory");
    }
    SetAllocationLimit(UINT64_MAX);
    // Beyond what a vector can hold (refused without asking the allocator, so sanitizers agree).
    EXPECT_THROW(ResizeOrThrow(bytes, UINT64_MAX / 2 + 1), MemoryException);
    EXPECT_THROW(ResizeOrThrow(bytes, UINT64_MAX), MemoryException);
}

// Every unit to pixels and to each other at a resolution and a percent reference (none: a
// percentage stays as it is both ways; zero: 0 % rather than a division by zero).
TEST(Units, ConversionsByResolutionAndReference) {
    using U = Unit;
    struct Case {
        double resolution, reference, value;
        Unit from, to;
        double pixels;  // ToPixels of the value
        UnitValue expected;
    } const cases[] = {
        {300, -1, 1.0, U::Inches, U::Points, 300, {72, U::Points}},
        {300, -1, 72, U::Points, U::Pixels, 300, {300, U::Pixels}},
        {300, -1, 25.4, U::Millimetres, U::Inches, 300, {1, U::Inches}},
        {300, -1, 2.54, U::Centimetres, U::Millimetres, 300, {25.4, U::Millimetres}},
        {300, -1, 12.5, U::Pixels, U::Pixels, 12.5, {12.5, U::Pixels}},
        {300, -1, -2, U::Inches, U::Pixels, -600, {-600, U::Pixels}},
        {300, -1, 150, U::Pixels, U::Inches, 150, {0.5, U::Inches}},
        {300, -1, 3, U::Centimetres, U::Pixels, 3 / 2.54 * 300, {3 / 2.54 * 300, U::Pixels}},
        {300, -1, 7.25, U::Points, U::Points, 7.25 * 300 / 72, {7.25, U::Points}},
        {72, -1, 1, U::Points, U::Pixels, 1, {1, U::Pixels}},
        {300, -1, 50, U::Percent, U::Pixels, 50, {50, U::Percent}},
        {300, -1, 10, U::Pixels, U::Percent, 10, {10, U::Pixels}},
        {300, 600, 50, U::Percent, U::Inches, 300, {1, U::Inches}},
        {300, 600, 150, U::Pixels, U::Percent, 150, {25, U::Percent}},
        {300, 600, 72, U::Points, U::Percent, 300, {50, U::Percent}},
        {300, 0, 150, U::Pixels, U::Percent, 150, {0, U::Percent}},
        {300, 0, 50, U::Percent, U::Pixels, 0, {0, U::Pixels}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message() << c.resolution << " " << c.reference << " " << c.value
                                        << " " << int(c.from) << " to " << int(c.to));
        UnitValueConverter conv(c.resolution, c.reference);
        EXPECT_DOUBLE_EQ(conv.ToPixels({c.value, c.from}), c.pixels);
        UnitValue got = conv.Convert({c.value, c.from}, c.to);
        EXPECT_EQ(got.unit, c.expected.unit);
        EXPECT_DOUBLE_EQ(got.value, c.expected.value);
    }
    // A round trip through every absolute unit comes back.
    UnitValueConverter c(300.0, -1.0);
    for (Unit u : {U::Inches, U::Points, U::Millimetres, U::Centimetres, U::Pixels})
        EXPECT_NEAR(c.Convert(c.Convert({123.0, U::Pixels}, u), U::Pixels).value, 123.0, 1e-9)
            << int(u);
}

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

// Every absolute unit to pixels and between each other, both ways; the resolution matters.
TEST(Units, AbsoluteUnitsAt300Ppi) {
    UnitValueConverter c(300.0, -1.0);
    EXPECT_DOUBLE_EQ(c.ToPixels({1.0, Unit::Inches}), 300.0);
    EXPECT_DOUBLE_EQ(c.ToPixels({72.0, Unit::Points}), 300.0);
    EXPECT_DOUBLE_EQ(c.ToPixels({25.4, Unit::Millimetres}), 300.0);
    EXPECT_DOUBLE_EQ(c.ToPixels({2.54, Unit::Centimetres}), 300.0);
    EXPECT_DOUBLE_EQ(c.ToPixels({12.5, Unit::Pixels}), 12.5);
    EXPECT_DOUBLE_EQ(c.ToPixels({-2.0, Unit::Inches}), -600.0);

    auto conv = [&](double v, Unit from, Unit to) { return c.Convert({v, from}, to); };
    EXPECT_EQ(conv(150.0, Unit::Pixels, Unit::Inches).unit, Unit::Inches);
    EXPECT_DOUBLE_EQ(conv(150.0, Unit::Pixels, Unit::Inches).value, 0.5);
    EXPECT_DOUBLE_EQ(conv(1.0, Unit::Inches, Unit::Points).value, 72.0);
    EXPECT_DOUBLE_EQ(conv(1.0, Unit::Inches, Unit::Millimetres).value, 25.4);
    EXPECT_DOUBLE_EQ(conv(10.0, Unit::Millimetres, Unit::Centimetres).value, 1.0);
    EXPECT_DOUBLE_EQ(conv(36.0, Unit::Points, Unit::Pixels).value, 150.0);
    EXPECT_DOUBLE_EQ(conv(3.0, Unit::Centimetres, Unit::Pixels).value, 3.0 / 2.54 * 300.0);
    // Same unit: unchanged.
    EXPECT_EQ(conv(7.25, Unit::Points, Unit::Points), UnitValue(7.25, Unit::Points));
    // A round trip through every absolute unit comes back.
    for (Unit u :
         {Unit::Inches, Unit::Points, Unit::Millimetres, Unit::Centimetres, Unit::Pixels}) {
        UnitValue there = conv(123.0, Unit::Pixels, u);
        EXPECT_NEAR(c.Convert(there, Unit::Pixels).value, 123.0, 1e-9) << int(u);
    }
    // The resolution matters.
    UnitValueConverter c72(72.0, -1.0);
    EXPECT_DOUBLE_EQ(c72.ToPixels({1.0, Unit::Points}), 1.0);
}

// Percentages need a reference length; without one they stay as they are, a zero one gives 0 %.
TEST(Units, PercentWithAndWithoutReference) {
    UnitValueConverter none(300.0, -1.0);
    // Without a reference a percentage stays a percentage, both ways.
    EXPECT_DOUBLE_EQ(none.ToPixels({50.0, Unit::Percent}), 50.0);
    EXPECT_EQ(none.Convert({50.0, Unit::Percent}, Unit::Pixels), UnitValue(50.0, Unit::Percent));
    EXPECT_EQ(none.Convert({10.0, Unit::Pixels}, Unit::Percent), UnitValue(10.0, Unit::Pixels));

    UnitValueConverter ref(300.0, 600.0);  // percentages of 600 px (two inches)
    EXPECT_DOUBLE_EQ(ref.ToPixels({50.0, Unit::Percent}), 300.0);
    EXPECT_DOUBLE_EQ(ref.Convert({50.0, Unit::Percent}, Unit::Inches).value, 1.0);
    EXPECT_DOUBLE_EQ(ref.Convert({150.0, Unit::Pixels}, Unit::Percent).value, 25.0);
    EXPECT_DOUBLE_EQ(ref.Convert({72.0, Unit::Points}, Unit::Percent).value, 50.0);
    EXPECT_EQ(ref.Convert({150.0, Unit::Pixels}, Unit::Percent).unit, Unit::Percent);

    // A zero reference makes every length 0 % rather than dividing by zero.
    UnitValueConverter zero(300.0, 0.0);
    EXPECT_DOUBLE_EQ(zero.Convert({150.0, Unit::Pixels}, Unit::Percent).value, 0.0);
    EXPECT_DOUBLE_EQ(zero.ToPixels({50.0, Unit::Percent}), 0.0);
}

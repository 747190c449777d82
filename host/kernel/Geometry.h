// Small value types for points, sizes and rectangles.
#pragma once

namespace Kernel {

// A point in a plane, in the unit of T.
template <class T>
struct PointT {
    T x{}, y{};
    bool operator==(PointT const&) const = default;
};

// A width and a height.
template <class T>
struct SizeT {
    T width{}, height{};
    bool operator==(SizeT const&) const = default;
};

// A rectangle by its edges: left and top inside, right and bottom outside.
template <class T>
struct RectT {
    T left{}, top{}, right{}, bottom{};
    T Width() const { return right - left; }
    T Height() const { return bottom - top; }
    bool IsEmpty() const { return !(right > left && bottom > top); }
    bool operator==(RectT const&) const = default;
};

}  // namespace Kernel

#include "psd/render/PSDRenderEffects.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "host/kernel/Dispatch.h"
#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/effects/PSDEffect.h"
#include "psd/io/PSDKeyTable.h"

namespace PSD {

namespace {

float Clamp01(float v) { return std::isnan(v) ? 0.0f : v < 0 ? 0.0f : v > 1 ? 1.0f : v; }

// Room for one line's lower envelope, kept across the lines a worker takes.
struct Envelope {
    std::vector<size_t> v;
    std::vector<double> z;
};

// Squared distance to the nearest pixel where inside(i) holds, one dimension at a time
// (the lower envelope of parabolas).
void Distance1D(double const* f, double* d, size_t n, size_t* site, Envelope& e) {
    e.v.resize(n);
    e.z.resize(n + 1);
    size_t* v = e.v.data();
    double* z = e.z.data();
    size_t k = 0;
    v[0] = 0;
    z[0] = -std::numeric_limits<double>::infinity();
    z[1] = std::numeric_limits<double>::infinity();
    for (size_t q = 1; q < n; ++q) {
        double s;
        while (true) {
            size_t p = v[k];
            s = ((f[q] + double(q) * double(q)) - (f[p] + double(p) * double(p))) /
                (2.0 * double(q) - 2.0 * double(p));
            if (s <= z[k] && k > 0) {
                --k;
                continue;
            }
            break;
        }
        if (s <= z[k]) {  // k == 0 and the new parabola is lower everywhere
            v[0] = q;
            z[1] = std::numeric_limits<double>::infinity();
            continue;
        }
        ++k;
        v[k] = q;
        z[k] = s;
        z[k + 1] = std::numeric_limits<double>::infinity();
    }
    k = 0;
    for (size_t q = 0; q < n; ++q) {
        while (z[k + 1] < double(q)) ++k;
        double dq = double(q) - double(v[k]);
        d[q] = dq * dq + f[v[k]];
        if (site) site[q] = v[k];
    }
}

constexpr double kFar = 1e20;  // the squared distance of a pixel no set pixel reaches

// Squared distances in place, down each column then along each row: grid holds 0 on the set and
// kFar elsewhere. With nearest given, it receives the index of each pixel's nearest set pixel.
// The lines of a pass are independent, so each pass shares them out by blocks among the cores.
void SquaredDistances(std::vector<double>& grid, size_t w, size_t h,
                      std::vector<uint32_t>* nearest = nullptr) {
    constexpr size_t kLines = 16;
    // Indices of 32 bits: a map of more pixels than that would not fit in memory anyway.
    if (nearest && uint64_t(w) * h > UINT32_MAX) throw std::bad_alloc();
    // The row of each pixel's nearest set pixel in its column: a row index fits 32 bits.
    std::vector<uint32_t> row(nearest ? w * h : 0);
    // Columns go by wide blocks: a block's share of each row is then a good part of a page.
    constexpr size_t kColumns = 256;
    Kernel::Dispatch::DispatchParallelFor((w + kColumns - 1) / kColumns, [&](size_t block) {
        // Down a column the set is all there is: each pixel's nearest set pixel is the nearest
        // above or below it (the upper on a tie, as the envelope takes it), found by one pass
        // each way over the block's columns a row at a time.
        size_t x0 = block * kColumns, n = std::min(w, x0 + kColumns) - x0;
        constexpr uint32_t kNone = UINT32_MAX;
        std::vector<uint32_t> above(n * h);
        std::array<uint32_t, kColumns> last;
        last.fill(kNone);
        for (size_t y = 0; y < h; ++y)
            for (size_t k = 0; k < n; ++k) {
                if (grid[y * w + x0 + k] == 0) last[k] = uint32_t(y);
                above[y * n + k] = last[k];
            }
        last.fill(kNone);
        for (size_t y = h; y-- > 0;)
            for (size_t k = 0; k < n; ++k) {
                size_t i = y * w + x0 + k;
                if (grid[i] == 0) last[k] = uint32_t(y);
                uint32_t up = above[y * n + k], down = last[k];
                uint32_t site = up == kNone                           ? down
                                : down == kNone || y - up <= down - y ? up
                                                                      : down;
                if (site == kNone) {
                    grid[i] = kFar;
                    if (nearest) row[i] = uint32_t(y);
                    continue;
                }
                double dq = double(y) - double(site);
                grid[i] = dq * dq;
                if (nearest) row[i] = site;
            }
    });
    if (nearest) nearest->resize(w * h);
    Kernel::Dispatch::DispatchParallelFor((h + kLines - 1) / kLines, [&](size_t block) {
        std::vector<double> d(w);
        std::vector<size_t> site(w);
        Envelope e;
        for (size_t y = block * kLines; y < std::min(h, (block + 1) * kLines); ++y) {
            double* line = grid.data() + y * w;
            Distance1D(line, d.data(), w, nearest ? site.data() : nullptr, e);
            for (size_t x = 0; x < w; ++x) {
                line[x] = d[x];
                if (nearest) (*nearest)[y * w + x] = uint32_t(row[y * w + site[x]] * w + site[x]);
            }
        }
    });
}

// The length of an offset as the editor measures a stroke's reach and an effect's spread: by
// steps of (1, 0), (1, 1) and (2, 1) at their true lengths. Exact along those sixteen directions,
// up to 2.7 % long between them, so a wide stroke's edge dips inward there (a 38 px stroke by up to
// a pixel near 13 degrees off an axis, as in multiple-strokes-test).
double ChamferLength(double dx, double dy) {
    dx = std::fabs(dx), dy = std::fabs(dy);
    if (dx < dy) std::swap(dx, dy);
    static double const root2 = std::sqrt(2.0), root5 = std::sqrt(5.0);
    if (dx >= 2 * dy) return dx - 2 * dy + root5 * dy;
    return (root5 - root2) * dx + (2 * root2 - root5) * dy;
}

// The chamfer length between two pixels of a map w pixels wide, given by their indices.
double ChamferBetween(size_t a, size_t b, size_t w) {
    return ChamferLength(double(a % w) - double(b % w), double(a / w) - double(b / w));
}

// From every pixel the shape does not touch, the distance to the shape's edge (the chamfer
// length of the offset to the nearest pixel it touches): past the centre of that pixel by as
// much as it is uncovered (a pixel covered a quarter has its edge three quarters across it).
// Pixels the shape touches are at -0.5.
// Within (inside), the same from every pixel it covers fully to the nearest pixel it covers in
// part, whose edge lies as far across it as it is covered; pixels covered in part are at -0.5,
// so that a soft edge (a raster layer's fading alpha) counts as edge throughout.
// The nearest edge need not lie in the nearest pixel: beside a faint one a pixel further off
// may hold an edge nearer (a translucent shape's outline in stroke-effects), so each pixel also
// tries its neighbours' edges, swept forwards and back.
// Distances of `limit` or more need not be exact: any value that large will do.
std::vector<float> EdgeDistance(RenderMap const& map, double limit, bool inside = false) {
    size_t w = size_t(map.box.Width()), h = size_t(map.box.Height());
    // Under half an 8-bit level short of full coverage is full.
    constexpr float kFull = 1 - 1 / 512.0f;
    auto edge = [&](float v) { return inside ? v < kFull : v > 0; };
    std::vector<double> grid(w * h);
    // Each row on its own, on every core.
    auto rows = [&](auto const& each) {
        Kernel::Dispatch::DispatchParallelFor(h, [&](size_t y) {
            for (size_t i = y * w; i < (y + 1) * w; ++i) each(i);
        });
    };
    rows([&](size_t i) { grid[i] = edge(map.v[i]) ? 0 : kFar; });
    std::vector<uint32_t> nearest;
    SquaredDistances(grid, w, h, &nearest);
    auto toEdgeOf = [&](size_t i, size_t site) {
        return ChamferBetween(i, site, w) - 0.5 + (inside ? map.v[site] : 1 - map.v[site]);
    };
    std::vector<float> out(w * h);
    // The chamfer length is never short of the Euclidean one, so no edge lies nearer than the
    // nearest edge pixel's centre less half a pixel: well past the limit, that is far enough,
    // and such pixels (most of a large map) are left out of the sweeps.
    double spare = limit + 3.5, beyond = spare * spare;
    auto swept = [&](size_t i) {
        return !edge(map.v[i]) && grid[i] < kFar / 2 && !(grid[i] >= beyond);
    };
    auto relax = [&](size_t i) {
        if (!swept(i)) return;
        size_t x = i % w, y = i / w;
        double best = toEdgeOf(i, nearest[i]);
        for (size_t ny = y > 0 ? y - 1 : 0; ny <= std::min(h - 1, y + 1); ++ny)
            for (size_t nx = x > 0 ? x - 1 : 0; nx <= std::min(w - 1, x + 1); ++nx) {
                size_t j = ny * w + nx;
                if (grid[j] >= kFar / 2 || nearest[j] == nearest[i]) continue;
                double d = toEdgeOf(i, nearest[j]);
                if (d < best) best = d, nearest[i] = nearest[j];
            }
        out[i] = float(best);
    };
    rows([&](size_t i) {
        if (edge(map.v[i]))
            out[i] = -0.5f;
        else if (grid[i] >= kFar / 2)
            out[i] = float(kFar);
        else if (grid[i] >= beyond)
            out[i] = float(std::sqrt(grid[i]) - 0.5);
    });
    // The sweeps pass on what each pixel found to those after it, so their order matters; the
    // pixels left out of them change nothing, so only those swept are visited, in that order.
    std::vector<uint32_t> counts(h);
    Kernel::Dispatch::DispatchParallelFor(h, [&](size_t y) {
        uint32_t n = 0;
        for (size_t i = y * w; i < (y + 1) * w; ++i) n += swept(i);
        counts[y] = n;
    });
    std::vector<uint64_t> starts(h + 1, 0);
    for (size_t y = 0; y < h; ++y) starts[y + 1] = starts[y] + counts[y];
    if (starts[h] * 4 > uint64_t(w) * h) {
        // Swept nearly throughout (a shape soft all over): the list would only cost memory.
        for (size_t i = 0; i < w * h; ++i) relax(i);
        for (size_t i = w * h; i-- > 0;) relax(i);
        return out;
    }
    std::vector<uint32_t> list(starts[h]);
    Kernel::Dispatch::DispatchParallelFor(h, [&](size_t y) {
        uint64_t at = starts[y];
        for (size_t i = y * w; i < (y + 1) * w; ++i)
            if (swept(i)) list[at++] = uint32_t(i);
    });
    for (uint32_t i : list) relax(i);
    for (size_t k = list.size(); k-- > 0;) relax(list[k]);
    return out;
}

// The smallest box holding every pixel the map covers at all; its own box when it covers none.
Kernel::RectT<double> CoveredBox(RenderMap const& m) {
    int32_t w = m.box.Width(), h = m.box.Height();
    int32_t left = w, top = h, right = 0, bottom = 0;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            if (m.v[size_t(y) * size_t(w) + size_t(x)] > 0) {
                left = std::min(left, x), right = std::max(right, x + 1);
                top = std::min(top, y), bottom = std::max(bottom, y + 1);
            }
    if (left >= right)
        return {double(m.box.left), double(m.box.top), double(m.box.right), double(m.box.bottom)};
    return {double(m.box.left + left), double(m.box.top + top), double(m.box.left + right),
            double(m.box.top + bottom)};
}

RenderMap Shifted(RenderMap const& m, int32_t dx, int32_t dy) {
    RenderMap out = m;
    for (int32_t y = m.box.top; y < m.box.bottom; ++y)
        for (int32_t x = m.box.left; x < m.box.right; ++x)
            out.v[size_t(y - m.box.top) * size_t(m.box.Width()) + size_t(x - m.box.left)] =
                m.At(int64_t(x) - dx, int64_t(y) - dy);
    return out;
}

// Grows the shape by `grow` pixels before blurring it by `blur`: the spread and choke of shadows
// and glows. The editor grows by whole pixels, by the chamfer length from the pixels at least
// half covered: so drawn, group-drop-shadows' spread of 41.6 px is exact, where growing by the
// exact amount, Euclidean, from those pixels' centres fell a pixel short on every side.
RenderMap SpreadAndBlur(RenderMap const& shape, double grow, double blur) {
    RenderMap m = shape;
    grow = std::round(grow);
    if (grow >= 1) {
        size_t w = size_t(shape.box.Width()), h = size_t(shape.box.Height());
        std::vector<double> grid(w * h);
        for (size_t i = 0; i < w * h; ++i) grid[i] = shape.v[i] >= 0.5f ? 0 : kFar;
        std::vector<uint32_t> nearest;
        SquaredDistances(grid, w, h, &nearest);
        for (size_t i = 0; i < w * h; ++i) {
            if (shape.v[i] >= 0.5f) {
                m.v[i] = 1;
            } else if (grid[i] < kFar / 2) {
                // Covered as far as the grown edge passes beyond the pixel's near side.
                double length = ChamferBetween(i, nearest[i], w);
                m.v[i] = std::max(m.v[i], Clamp01(float(grow + 1 - length)));
            }
        }
    }
    BlurMap(m, blur);
    return m;
}

// An offset along an angle in whole pixels, halves away from zero: at 120 degrees and 5 px the
// sum is 2.4999999999999996, which the editor moves by 3.
int32_t RoundOffset(double v) {
    return int32_t(std::lround(std::round(v * 1e6) / 1e6));
}

// The map with in and out swapped, the world beyond it included.
RenderMap Inverted(RenderMap m) {
    for (auto& v : m.v) v = 1 - v;
    m.outside = 1 - m.outside;
    return m;
}

// An inner effect: the source spread and blurred, kept within the shape.
RenderMap Inside(RenderMap const& source, double grow, double blur, RenderMap const& shape) {
    RenderMap m = SpreadAndBlur(source, grow, blur);
    for (size_t i = 0; i < m.v.size(); ++i) m.v[i] *= shape.v[i];
    m.outside = 0;
    return m;
}

void ColourOf(Kernel::Consolidated<Renderer::Colour> const& c, uint32_t mode, RenderPixel& out) {
    if (c) ColourSamples(*c, mode, out.c);
    out.a = 1;
}

}  // namespace

namespace {

constexpr double kExactGaussianLimit = 8;

constexpr size_t kBlockLines = 16;

// Runs filter over every row of the map, then every column: the two passes of a separable blur.
// Lines are independent, so blocks of kBlockLines go to every core. filter(block, count, lines,
// room) rewrites a block in place: block[i * kBlockLines + k] is sample i of the block's line k,
// for k below lines (a last block's lines past the map hold `outside` and are dropped); room is a
// vector of its own to work in. Blocks are copied out and back a row of the map at a time, so that
// a column pass reads each row once for the whole block, and a filter can run across the block's
// lines in one vector.
template <class Filter>
void EachLine(RenderMap& map, Filter&& filter) {
    if (map.v.empty()) return;
    size_t w = size_t(map.box.Width()), h = size_t(map.box.Height());
    constexpr size_t K = kBlockLines;
    auto pass = [&](size_t count, size_t stride, size_t lines, size_t lineStride) {
        Kernel::Dispatch::DispatchParallelFor((lines + K - 1) / K, [&](size_t b) {
            size_t first = b * K, n = std::min(lines, first + K) - first;
            std::vector<float> block(count * K, map.outside), room;
            float* base = map.v.data() + first * lineStride;
            for (size_t i = 0; i < count; ++i)
                for (size_t k = 0; k < n; ++k) block[i * K + k] = base[k * lineStride + i * stride];
            filter(block, count, n, room);
            for (size_t i = 0; i < count; ++i)
                for (size_t k = 0; k < n; ++k) base[k * lineStride + i * stride] = block[i * K + k];
        });
    };
    pass(w, 1, h, w);
    pass(h, w, w, 1);
}

// line[i] = the sum over j of k[j] * padded[i + j], the taps in order, so that every way of
// running it gives the same sums: vectorised, eight samples a step where the processor has AVX2
// (chosen at load time).
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void ApplyTaps(float const* k, size_t taps, float const* padded, float* line, size_t n) {
    // Sixteen samples at a time held in registers through every tap, then the rest one by one.
    constexpr size_t kStep = 16;
    size_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        float sum[kStep] = {};
        for (size_t j = 0; j < taps; ++j) {
            float const kj = k[j];
            float const* src = padded + i + j;
            for (size_t l = 0; l < kStep; ++l) sum[l] += kj * src[l];
        }
        std::copy(sum, sum + kStep, line + i);
    }
    for (; i < n; ++i) {
        float sum = 0;
        for (size_t j = 0; j < taps; ++j) sum += k[j] * padded[i + j];
        line[i] = sum;
    }
}

// A true Gaussian, by a separable kernel out to kGaussianReach deviations: box passes quantise
// the variance, which small blurs show. Wrapping, each line continues from its other end (as
// tiles do) instead of from what lies beyond the map.
void KernelGaussian(RenderMap& map, double sigma, bool wrap = false) {
    int r = int(std::ceil(kGaussianReach * sigma));
    std::vector<float> k(size_t(2 * r + 1));
    double total = 0;
    for (int i = -r; i <= r; ++i)
        total += k[size_t(i + r)] = float(std::exp(-0.5 * i * i / (sigma * sigma)));
    for (auto& x : k) x = float(x / total);
    size_t taps = k.size();
    EachLine(map,
             [&](std::vector<float>& block, size_t count, size_t lines, std::vector<float>& room) {
                 // Each line padded with what lies beyond the map, so the taps need no tests.
                 size_t margin = size_t(r);
                 room.resize(2 * count + 2 * margin);
                 float *padded = room.data(), *out = padded + count + 2 * margin;
                 std::fill(padded, padded + margin, map.outside);
                 std::fill(padded + margin + count, padded + count + 2 * margin, map.outside);
                 for (size_t line = 0; line < lines; ++line) {
                     auto at = [&](size_t i) -> float& { return block[i * kBlockLines + line]; };
                     for (size_t i = 0; i < count; ++i) padded[margin + i] = at(i);
                     if (wrap) {
                         int64_t n = int64_t(count);
                         for (int64_t j = 0; j < r; ++j) {
                             padded[size_t(j)] = at(size_t((((j - r) % n) + n) % n));
                             padded[size_t(n + r + j)] = at(size_t(j % n));
                         }
                     }
                     ApplyTaps(k.data(), taps, padded, out, count);
                     for (size_t i = 0; i < count; ++i) at(i) = out[i];
                 }
             });
}

void BoxPasses(RenderMap& map, std::span<int const> radii) {
    constexpr size_t K = kBlockLines;
    // Every lane of the block is summed, the dropped ones too: they share the vector.
    EachLine(map, [&](std::vector<float>& block, size_t count, size_t, std::vector<float>& out) {
        out.resize(block.size());
        std::array<float, K> const beyond = [&] {
            std::array<float, K> b;
            b.fill(map.outside);
            return b;
        }();
        // The running sums of every line of the block side by side, so that they vectorise;
        // each line's sums are those a line alone would have.
        for (int r : radii) {
            auto at = [&](int64_t i) {
                return i < 0 || i >= int64_t(count) ? beyond.data() : block.data() + size_t(i) * K;
            };
            std::array<double, K> sum{};
            for (int64_t i = -r; i <= r; ++i) {
                float const* v = at(i);
                for (size_t k = 0; k < K; ++k) sum[k] += v[k];
            }
            double const width = 2 * r + 1;
            for (size_t i = 0; i < count; ++i) {
                float* o = out.data() + i * K;
                float const *in = at(int64_t(i) + r + 1), *away = at(int64_t(i) - r);
                for (size_t k = 0; k < K; ++k) {
                    o[k] = float(sum[k] / width);
                    sum[k] += in[k] - away[k];
                }
            }
            block.swap(out);
        }
    });
}

}  // namespace

void BlurMap(RenderMap& map, double radius) {
    if (radius < 0.5) return;
    // Fitted on the corpus's shadows and glows: the editor's blur of a given size is close to a
    // Gaussian of 0.4 times it, widened by a fixed blur of 0.2 px^2 variance that small sizes
    // show (without it, the edges of size-5 shadows and glows are a level or two off).
    GaussianBlur(map, std::sqrt(radius * 0.4 * radius * 0.4 + 0.2));
}

void GaussianBlur(RenderMap& map, double sigma) {
    if (!(sigma > 0)) return;
    // Small ones take the true kernel (at most 65 taps); past that the box passes' quantised
    // variance no longer shows.
    if (sigma <= kExactGaussianLimit) return KernelGaussian(map, sigma);
    // A box of width b adds (b^2 - 1) / 12 to the variance: the odd widths around the ideal
    // one, the wider taken by as many passes as bring the sum nearest sigma^2.
    double ideal = std::sqrt(4 * sigma * sigma + 1);
    int low = std::max(1, int(std::floor(ideal)));
    if (low % 2 == 0) --low;
    double m = (12 * sigma * sigma - 3.0 * low * low - 12.0 * low - 9) / (-4.0 * low - 4);
    int wide = 3 - std::clamp(int(std::lround(m)), 0, 3);
    std::array<int, 3> radii;
    for (int i = 0; i < 3; ++i) radii[size_t(i)] = (i < 3 - wide ? low : low + 2) / 2;
    BoxPasses(map, radii);
}

namespace {

// A gradient glow runs its ramp from the edge out, through its contour: its colour and opacity
// are the ramp's where the fall-off has fallen that far. It fades out over the last levels of
// the fall-off, where the editor's 8-bit one rounds to nothing. Fitted on layer_params.
void GlowAlongRamp(EffectPart& part, PSDContour const& contour, double range) {
    part.position = part.alpha;
    ApplyContour(contour, part.position.v);
    for (size_t i = 0; i < part.alpha.v.size(); ++i) {
        part.position.v[i] = 1 - part.position.v[i];
        float fallOff = range > 0 ? part.alpha.v[i] * float(range) : part.alpha.v[i];
        part.alpha.v[i] = Clamp01((fallOff * 255 - 1) / 2.5f);
    }
    part.position.outside = 1;
    part.alpha.outside = 0;
}

// A bevel lights a height field: the shape blurred by two boxes as wide as the bevel, its slope
// (Sobel's, times size and depth: 45 degrees at 100 %) tilting each pixel's face. A face turned
// to the light takes the highlight, in full when it faces it; one turned away takes the shadow,
// in full when the light grazes it. Fitted on ag-psd's effects document to within a level or
// two.
// Its parts in drawing order: highlight and shadow within the shape (which recolour the layer's
// pixels), then beyond it for the outer styles.
std::vector<EffectPart> BevelParts(PSDEffectBevel const& bevel, RenderMap const& shape,
                                   double angleDegrees, uint32_t mode) {
    int size = std::max(1, int(bevel.m_blur));
    RenderMap h = shape;
    std::array<int, 2> radii{(size - 1) / 2, size / 2};
    BoxPasses(h, radii);
    if (bevel.m_soften > 0) BlurMap(h, std::min(bevel.m_soften, 250.0));  // the editor's 16 at most
    double angle = angleDegrees * M_PI / 180, alt = bevel.m_altitude * M_PI / 180;
    double lx = std::cos(angle) * std::cos(alt), ly = -std::sin(angle) * std::cos(alt);
    double lz = std::clamp(std::sin(alt), 1e-3, 1 - 1e-3);
    double k = double(size) * bevel.m_strength / 100.0 / 8 * (bevel.m_down ? -1 : 1);
    bool inner = bevel.m_style != PSDEffectBevel::kOuterBevel;
    bool outer = bevel.m_style != PSDEffectBevel::kInnerBevel;
    std::vector<EffectPart> parts(outer && inner ? 4 : 2);
    for (size_t p = 0; p < parts.size(); ++p) {
        bool highlight = p % 2 == 0;
        parts[p].alpha = shape;
        parts[p].within = inner && p < 2;
        ColourOf(highlight ? bevel.m_highlightColour : bevel.m_shadowColour, mode, parts[p].colour);
        parts[p].mode = highlight ? bevel.m_highlightBlendMode : bevel.m_shadowBlendMode;
        parts[p].opacity = float(highlight ? bevel.m_highlightOpacity : bevel.m_shadowOpacity);
    }
    auto& outerHi = parts[parts.size() - 2];
    auto& outerLo = parts[parts.size() - 1];
    int32_t w = h.box.Width(), hh = h.box.Height();
    auto at = [&](int32_t x, int32_t y) {
        x = std::clamp(x, 0, w - 1), y = std::clamp(y, 0, hh - 1);
        return double(h.v[size_t(y) * size_t(w) + size_t(x)]);
    };
    // Sobel's slope: differences across and down, weighted over the three rows or columns.
    auto dx = [&](int32_t x, int32_t y) { return at(x + 1, y) - at(x - 1, y); };
    auto dy = [&](int32_t x, int32_t y) { return at(x, y + 1) - at(x, y - 1); };
    // Light on a face of slope (gx, gy): above zero towards the highlight, below towards the
    // shadow.
    auto light = [&](double gx, double gy) {
        double d = (-gx * lx - gy * ly + lz) / std::sqrt(gx * gx + gy * gy + 1);
        return std::clamp(d > lz ? (d - lz) / (1 - lz) : (d - lz) / lz, -1.0, 1.0);
    };
    // A pillow's outer side sinks as its inner one rises.
    double outerSign = bevel.m_style == PSDEffectBevel::kPillowEmboss ? -1 : 1;
    // Each pixel on its own, so rows go to every core.
    Kernel::Dispatch::DispatchParallelFor(size_t(hh), [&](size_t row) {
        int32_t y = int32_t(row);
        for (int32_t x = 0; x < w; ++x) {
            size_t i = size_t(y) * size_t(w) + size_t(x);
            double gx = (dx(x, y - 1) + 2 * dx(x, y) + dx(x, y + 1)) * k;
            double gy = (dy(x - 1, y) + 2 * dy(x, y) + dy(x + 1, y)) * k;
            double in = shape.v[i];
            if (inner) {
                double s = light(gx, gy) * in;
                parts[0].alpha.v[i] = float(std::max(0.0, s));
                parts[1].alpha.v[i] = float(std::max(0.0, -s));
            }
            if (outer) {
                double s = light(outerSign * gx, outerSign * gy) * (1 - in);
                outerHi.alpha.v[i] = float(std::max(0.0, s));
                outerLo.alpha.v[i] = float(std::max(0.0, -s));
            }
        }
    });
    return parts;
}

}  // namespace

GradientPlacement::GradientPlacement(PSDGradientDesc const& g, Kernel::RectT<double> const& box)
    : m_kind(g.m_kind) {
    double w = box.Width(), h = box.Height();
    m_cx = box.left + w / 2 + g.m_offset.x / 100 * w;
    m_cy = box.top + h / 2 + g.m_offset.y / 100 * h;
    double a = g.m_angle * M_PI / 180, dx = std::cos(a), dy = -std::sin(a);
    double scale = g.m_scale > 0 && std::isfinite(g.m_scale) ? g.m_scale : 1;
    // From the centre to the box's edge along the gradient's direction, scaled.
    double reach = std::min(std::fabs(dx) > 1e-9 ? w / 2 / std::fabs(dx) : HUGE_VAL,
                            std::fabs(dy) > 1e-9 ? h / 2 / std::fabs(dy) : HUGE_VAL) *
                   scale;
    if (!(reach > 0) || !std::isfinite(reach)) reach = 1;
    // The editor snaps the gradient's end points down to whole pixels, which turns and
    // stretches it slightly: 30 degrees over a 32 px square runs along (16, -10) from the centre.
    auto snap = [](double v) {
        return std::isfinite(v) && std::fabs(v) < 1e15 ? std::floor(v) : v;
    };
    double ex = snap(m_cx + reach * dx), ey = snap(m_cy + reach * dy);
    m_sx = snap(m_cx - reach * dx), m_sy = snap(m_cy - reach * dy);
    m_ux = ex - m_cx, m_uy = ey - m_cy;
    m_reach = std::hypot(m_ux, m_uy);
    if (!(m_reach > 0)) m_ux = dx * reach, m_uy = dy * reach, m_reach = reach;
    m_ux /= m_reach, m_uy /= m_reach;
    // A linear gradient runs from the start point to the end point.
    m_vx = ex - m_sx, m_vy = ey - m_sy;
    double span = m_vx * m_vx + m_vy * m_vy;
    if (!(span > 0)) m_vx = 2 * reach * dx, m_vy = 2 * reach * dy, span = 4 * reach * reach;
    m_vx /= span, m_vy /= span;
}

double GradientPlacement::At(double x, double y) const {
    double px = x - m_cx, py = y - m_cy;
    double along = px * m_ux + py * m_uy, across = py * m_ux - px * m_uy;
    switch (m_kind) {
        case PSDGradientDesc::kRadial:
            return std::hypot(px, py) / m_reach;
        case PSDGradientDesc::kAngle:
            // Clockwise from the gradient's direction.
            return std::fmod(std::atan2(across, along) / (2 * M_PI) + 1, 1);
        case PSDGradientDesc::kReflected:
            return std::fabs(along) / m_reach;
        case PSDGradientDesc::kDiamond:
            return (std::fabs(along) + std::fabs(across)) / m_reach;
        default:
            return (x - m_sx) * m_vx + (y - m_sy) * m_vy;
    }
}

RenderPixel PatternPaint::At(int64_t x, int64_t y) const {
    PSDPattern const& t = *pattern;
    // Where this pixel falls in the tile: the editor lays the tiles a pixel right of the origin
    // it gives, and resamples them with tile pixel centres at whole positions.
    // Reduced tiles (fitted at 81 %, where they start at the origin half a tile pixel in) lie
    // otherwise.
    bool resampled = scale != 1 || angle != 0, reduced = scale < 1;
    double u = double(x) - originX - (reduced ? 0 : 1), v = double(y) - originY;
    if (angle != 0) {
        double a = angle * M_PI / 180, c = std::cos(a), s = std::sin(a);
        double ru = u * c - v * s, rv = u * s + v * c;
        u = ru, v = rv;
    }
    u /= scale, v /= scale;
    if (reduced) u += 0.5, v += 0.5;
    auto wrap = [](double at, uint32_t size) {
        double m = std::fmod(at, double(size));
        return m < 0 ? m + size : m;
    };
    u = wrap(u, t.m_width), v = wrap(v, t.m_height);
    auto texel = [&](uint32_t tx, uint32_t ty) {
        RenderPixel p;
        if (fromGrey) {
            for (unsigned c = 0; c < channels; ++c) p.c[c] = t.Sample(0, tx, ty);
        } else if (toGrey) {
            p.c[0] = 0.299f * t.Sample(0, tx, ty) + 0.587f * t.Sample(1, tx, ty) +
                     0.114f * t.Sample(2, tx, ty);
        } else {
            for (unsigned c = 0; c < channels; ++c) p.c[c] = t.Sample(c, tx, ty);
        }
        p.a = t.m_alpha.empty() ? 1.0f : t.m_alpha[size_t(ty) * t.m_width + tx];
        return p;
    };
    if (!resampled)
        return texel(uint32_t(u) % t.m_width, uint32_t(v) % t.m_height);
    // Resampled: the four tile pixels around the point, mixed by their nearness.
    double fu = u, fv = v;
    double x0 = std::floor(fu), y0 = std::floor(fv);
    float wx = float(fu - x0), wy = float(fv - y0);
    auto at = [&](double tx, double ty) {
        return texel(uint32_t(wrap(tx, t.m_width)) % t.m_width,
                     uint32_t(wrap(ty, t.m_height)) % t.m_height);
    };
    RenderPixel a = at(x0, y0), b = at(x0 + 1, y0), c = at(x0, y0 + 1), d = at(x0 + 1, y0 + 1);
    RenderPixel p;
    for (unsigned k = 0; k < 4; ++k)
        p.c[k] = (a.c[k] * (1 - wx) + b.c[k] * wx) * (1 - wy) + (c.c[k] * (1 - wx) + d.c[k] * wx) * wy;
    p.a = (a.a * (1 - wx) + b.a * wx) * (1 - wy) + (c.a * (1 - wx) + d.a * wx) * wy;
    return p;
}

bool PatternSource::Paint(String const& id, String const& name, uint32_t mode, PatternPaint& out,
                          std::string& why) {
    if (!m_read) {
        m_headers = ReadDocumentPatterns(m_doc, m_errors, NoPatternsPixels);
        m_read = true;
    }
    // Descriptor strings may carry their terminator.
    auto bare = [](String const& s) {
        std::string_view v(s);
        while (!v.empty() && v.back() == '\0') v.remove_suffix(1);
        return v;
    };
    size_t index = m_headers.size();
    for (size_t i = 0; i < m_headers.size(); ++i)
        if (!bare(id).empty() && bare(m_headers[i].m_id) == bare(id)) index = i;
    for (size_t i = 0; i < m_headers.size() && index == m_headers.size(); ++i)
        if (!bare(name).empty() && bare(m_headers[i].m_name) == bare(name)) index = i;
    if (index == m_headers.size()) {
        why = m_errors.empty() ? "its pattern is not in the document" : m_errors.front();
        return false;
    }
    if (m_headers[index].m_width == 0 || m_headers[index].m_height == 0) {
        why = "its pattern is empty";
        return false;
    }
    if (auto failed = m_failed.find(index); failed != m_failed.end()) {
        why = failed->second;
        return false;
    }
    auto known = m_decoded.find(index);
    if (known == m_decoded.end()) {
        std::vector<std::string> errors;
        auto read = ReadDocumentPatterns(m_doc, errors,
                                         [&](size_t i, PSDPattern const&) { return i == index; });
        if (index >= read.size() || read[index].m_channels.empty()) {
            why = errors.empty() ? "its pattern's pixels do not decode" : errors.back();
            m_failed.emplace(index, why);
            return false;
        }
        known = m_decoded.emplace(index, std::move(read[index])).first;
    }
    PSDPattern const* found = &known->second;
    out = PatternPaint{};
    out.pattern = found;
    out.channels = mode == 4 ? 4 : (mode == 3 || mode == 9) ? 3 : 1;
    uint32_t own = found->m_colourMode;
    bool grey = own == 1 || own == 0 || own == 8;
    if (grey && (mode == 3 || mode == 4 || mode == 9)) {
        // Grey in an RGB document: the same level in every channel; CMYK and Lab would need
        // the grey converted.
        if (mode != 3) {
            why = "its grey pattern is in another colour mode";
            return false;
        }
        out.fromGrey = true;
    } else if (own == 3 && out.channels == 1) {
        out.toGrey = true;
    } else if (!(own == mode || (grey && out.channels == 1))) {
        why = "its pattern is in another colour mode";
        return false;
    }
    return true;
}

void PatternSource::SoftenReduced(PatternPaint& paint) {
    if (!paint.pattern || !(paint.scale < 1)) return;
    auto known = m_softened.find(paint.pattern);
    if (known == m_softened.end()) {
        // A Gaussian of one tile pixel, wrapping around the tile as the tiles do; colour is
        // weighted by alpha so transparent texels lend none. Fitted on ag-psd's 81 % overlay
        // (92 % of its pixels within 2 levels, 2 % with the tile pixels mixed directly).
        PSDPattern const& t = *paint.pattern;
        PSDPattern soft = t;
        size_t w = t.m_width, h = t.m_height;
        std::vector<float> alpha = t.m_alpha.empty() ? std::vector<float>(w * h, 1.0f) : t.m_alpha;
        auto blur = [&](std::vector<float>& plane) {
            RenderMap map;
            map.box = {0, 0, int32_t(w), int32_t(h)};
            map.v = std::move(plane);
            KernelGaussian(map, 1.0, /*wrap=*/true);
            plane = std::move(map.v);
        };
        std::vector<float> softAlpha = alpha;
        blur(softAlpha);
        for (auto& plane : soft.m_channels) {
            for (size_t i = 0; i < plane.size(); ++i) plane[i] *= alpha[i];
            blur(plane);
            for (size_t i = 0; i < plane.size(); ++i)
                plane[i] = softAlpha[i] > 0 ? std::min(1.0f, plane[i] / softAlpha[i]) : 0.0f;
        }
        if (!t.m_alpha.empty()) soft.m_alpha = std::move(softAlpha);
        known = m_softened.emplace(paint.pattern, std::move(soft)).first;
    }
    paint.pattern = &known->second;
}

void PlacePattern(PatternPaint& paint, PSDEffectPhase const& phase, double scale, double angle,
                  Kernel::PointT<double> origin) {
    // A phase that is not a number (or beyond any canvas) starts the tiles at the origin.
    auto finite = [](double v) { return std::isfinite(v) && std::fabs(v) < 1e9 ? v : 0.0; };
    paint.originX = finite(origin.x) + finite(phase.m_point.x);
    paint.originY = finite(origin.y) + finite(phase.m_point.y);
    paint.scale = scale > 0 && std::isfinite(scale) ? scale : 1;
    paint.angle = std::isfinite(angle) ? angle : 0;
}

void RenderMap::Pack() {
    size_t w = size_t(box.Width());
    if (v.empty() || !packed.Pack(w, v.size() / w, sizeof(float), [&](size_t r) {
            return reinterpret_cast<uint8_t const*>(v.data() + r * w);
        }))
        return;
    std::vector<float>().swap(v);
}

RenderPixel EffectPart::At(int64_t x, int64_t y) const {
    RenderPixel p = colour;
    if (pattern.pattern) {
        p = pattern.At(x, y);
        p.a *= opacity * alpha.At(x, y);
        return p;
    }
    if (gradient) p = ramp.At(float(placement.At(double(x), double(y))));
    if (!position.Empty()) p = ramp.At(position.At(x, y));
    p.a *= opacity * alpha.At(x, y);
    return p;
}

void RenderMap::Row(int64_t y, int64_t x0, int64_t x1, float* out) const {
    if (x1 <= x0) return;
    if (y < box.top || y >= box.bottom || Empty()) {
        std::fill(out, out + (x1 - x0), outside);
        return;
    }
    int64_t a = std::clamp<int64_t>(box.left, x0, x1), b = std::clamp<int64_t>(box.right, x0, x1);
    std::fill(out, out + (a - x0), outside);
    std::fill(out + (b - x0), out + (x1 - x0), outside);
    size_t dy = size_t(y - box.top);
    if (!v.empty()) {
        float const* row = v.data() + dy * size_t(box.Width());
        std::copy(row + (a - box.left), row + (b - box.left), out + (a - x0));
        return;
    }
    // A tile's row at a time.
    for (int64_t x = a; x < b;) {
        size_t dx = size_t(x - box.left);
        int64_t n =
            std::min<int64_t>(b - x, int64_t(PackedPlane::kSide - (dx & PackedPlane::kMask)));
        std::memcpy(out + (x - x0), packed.At(dx, dy), size_t(n) * sizeof(float));
        x += n;
    }
}

void EffectPart::Row(int64_t y, int64_t x0, int64_t x1, RenderPixel* out) const {
    if (x1 <= x0) return;
    size_t n = size_t(x1 - x0);
    thread_local std::vector<float> cover;
    cover.resize(n);
    alpha.Row(y, x0, x1, cover.data());
    if (pattern.pattern) {
        for (size_t k = 0; k < n; ++k) {
            out[k] = pattern.At(x0 + int64_t(k), y);
            out[k].a *= opacity * cover[k];
        }
        return;
    }
    for (size_t k = 0; k < n; ++k) {
        RenderPixel p = colour;
        int64_t x = x0 + int64_t(k);
        if (gradient) p = ramp.At(float(placement.At(double(x), double(y))));
        if (!position.Empty()) p = ramp.At(position.At(x, y));
        p.a *= opacity * cover[k];
        out[k] = p;
    }
}

namespace {

// JoinTo's sums, given the share of the content the part covers.
inline void JoinCovering(RenderPixel& content, RenderPixel const& drawn, float covered,
                         unsigned channels) {
    float kept = content.a * (1 - covered);
    float sum = std::min(1.0f, kept + drawn.a);
    if (sum <= 0) return;
    for (unsigned c = 0; c < channels; ++c)
        content.c[c] = std::min(1.0f, (content.c[c] * kept + drawn.c[c] * drawn.a) / sum);
    content.a = sum;
}

// The share it covers: the paint's own alpha and the opacity, as drawn, over the part's coverage
// there, so a gradient's or pattern's transparent stretch covers no more of the content than it
// paints.
inline float Covered(float coverage, float share, RenderPixel const& drawn) {
    return coverage > 0 ? std::min(1.0f, share * drawn.a / coverage) : 0;
}

}  // namespace

void EffectPart::JoinTo(RenderPixel& content, RenderPixel const& drawn, int64_t x, int64_t y,
                        unsigned channels) const {
    float covered = covers.Empty() ? 0 : Covered(alpha.At(x, y), covers.At(x, y), drawn);
    JoinCovering(content, drawn, covered, channels);
}

void EffectPart::JoinRow(RenderPixel* content, RenderPixel const* drawn, int64_t x0, size_t n,
                         int64_t y, unsigned channels) const {
    if (covers.Empty()) {
        for (size_t k = 0; k < n; ++k) JoinCovering(content[k], drawn[k], 0, channels);
        return;
    }
    thread_local std::vector<float> coverage, shares;
    coverage.resize(n), shares.resize(n);
    alpha.Row(y, x0, x0 + int64_t(n), coverage.data());
    covers.Row(y, x0, x0 + int64_t(n), shares.data());
    for (size_t k = 0; k < n; ++k)
        JoinCovering(content[k], drawn[k], Covered(coverage[k], shares[k], drawn[k]), channels);
}

RenderMap StrokeCoverage(RenderMap const& shape, double in, double out, RenderMap* within,
                         RenderMap* beyond) {
    // Only the transforms the stroke's parts need: each is a pass over the whole map.
    // Distances past a side's width and half a pixel cover nothing.
    auto toEdge = out > 0 ? EdgeDistance(shape, out + 0.5) : std::vector<float>();
    auto toInside = in > 0 ? EdgeDistance(shape, in + 0.5, true) : std::vector<float>();
    RenderMap m = shape;
    if (within) *within = shape;
    if (beyond) *beyond = shape;
    for (size_t i = 0; i < m.v.size(); ++i) {
        // Beyond the shape the stroke reaches from its sub-pixel edge, and wherever the shape
        // touches it lies under what the shape leaves uncovered; within, the same from the edge
        // inwards, over what the shape covers. A pixel is covered as far as the stroke passes
        // its own centre.
        float reach = out > 0 ? Clamp01(float(out - toEdge[i]) + 0.5f) : 0;
        float share = in > 0 && shape.v[i] > 0 ? Clamp01(float(in - toInside[i]) + 0.5f) : 0;
        m.v[i] = std::min(1.0f, reach * (1 - shape.v[i]) + share * shape.v[i]);
        if (within) within->v[i] = share;
        if (beyond) beyond->v[i] = reach;
    }
    m.outside = 0;
    if (within) within->outside = 0;
    if (beyond) beyond->outside = 0;
    return m;
}

int32_t EffectsReach(PSDLayerEffects const& fx) {
    double reach = 0;
    auto atLeast = [&](double r) {  // a size that is not a number passes over
        if (r > reach) reach = r;
    };
    for (auto const& e : fx.m_effects) {
        if (!e || !e->m_enabled) continue;
        if (auto const* s = dynamic_cast<PSDEffectShadow const*>(e.Get()))
            atLeast(double(s->m_blur) + std::fabs(double(s->m_distance)));
        else if (auto const* g = dynamic_cast<PSDEffectGlow const*>(e.Get()))
            atLeast(double(g->m_blur));
        else if (auto const* k = dynamic_cast<PSDEffectStroke const*>(e.Get()))
            atLeast(k->m_size);
        else if (auto const* b = dynamic_cast<PSDEffectBevel const*>(e.Get()))
            atLeast(double(b->m_blur) + std::max(0.0, b->m_soften));
    }
    // Far past any size the editor offers: a crafted one cannot overflow the region.
    return int32_t(std::ceil(std::min(reach, 1e6))) + 2;
}

std::unique_ptr<EffectsPlan> PlanEffects(PSDLayerEffects const& fx, RenderMap const& shape,
                                         EffectsPlace const& place, uint32_t mode,
                                         double globalAngle, PatternSource& patterns,
                                         std::vector<std::string>& undrawn,
                                         RenderMap const* outline) {
    auto plan = std::make_unique<EffectsPlan>();
    plan->region = shape.box;
    // Sizes and distances are stored as drawn: the effects' scale only records what they were
    // scaled by.
    // The editor's order from the bottom: drop shadow, outer glow, the layer, then inner shadow,
    // inner glow, satin, colour, gradient and pattern overlays, stroke.
    std::vector<EffectPart> innerShadow, innerGlow, bevel, satin, colourOverlay, gradientOverlay;
    std::vector<EffectPart> patternOverlay;
    // Where a pattern's tiles start: the document's origin, or the layer's when linked with it.
    auto origin = [&](bool linked, std::string const& effect) {
        if (linked && !place.linkedOrigin)
            undrawn.push_back(effect + " linked with a layer without an outline (placed from the "
                                       "document's origin)");
        return linked ? place.linkedOrigin.value_or(Kernel::PointT<double>{0, 0})
                      : Kernel::PointT<double>{0, 0};
    };
    std::vector<EffectPart> stroke;
    // Each stroke's share of the shape's coverage and of what it leaves uncovered, for hiding
    // the strokes below it.
    std::vector<RenderMap> strokeWithin, strokeBeyond;
    RenderMap const& strokeShape = outline ? *outline : shape;
    std::vector<EffectPart> dropShadow, outerGlow;
    for (auto const& e : fx.m_effects) {
        if (!e || !e->m_enabled) continue;
        EffectPart part;
        if (auto const* s = dynamic_cast<PSDEffectShadow const*>(e.Get())) {
            double angle = (s->m_useGlobalAngle ? globalAngle : s->m_angle) * M_PI / 180;
            int32_t dx = RoundOffset(-std::cos(angle) * s->m_distance);
            int32_t dy = RoundOffset(std::sin(angle) * s->m_distance);
            double size = s->m_blur, grow = size * s->m_intensity;
            ColourOf(s->m_colour, mode, part.colour);
            part.mode = s->m_blendMode;
            part.opacity = float(s->m_opacity);
            RenderMap moved = Shifted(shape, dx, dy);
            if (s->m_inner) {
                // Light falls inside the shape where the shifted shape does not cover it.
                part.alpha = Inside(Inverted(moved), grow, size - grow, shape);
                ApplyContour(s->m_contour, part.alpha.v);
                innerShadow.push_back(std::move(part));
            } else {
                part.alpha = SpreadAndBlur(moved, grow, size - grow);
                // Its contour reshapes the fall-off: layer_params's Gaussian one, through the
                // curve its points draw, puts the caption's shadow within 0.1 level on average.
                ApplyContour(s->m_contour, part.alpha.v);
                dropShadow.push_back(std::move(part));
            }
        } else if (auto const* g = dynamic_cast<PSDEffectGlow const*>(e.Get())) {
            double size = g->m_blur, grow = size * g->m_intensity;
            ColourOf(g->m_colour, mode, part.colour);
            part.mode = g->m_blendMode;
            part.opacity = float(g->m_opacity);
            bool ramped = g->m_hasGradient && part.ramp.Build(g->m_gradient, mode, false);
            if (g->m_hasGradient || g->m_technique != PSDEffectGlow::kSofter)
                undrawn.push_back(
                    "effect " + std::string(g->GetTypeName()) +
                    (g->m_hasGradient ? " with a gradient" : " of the precise technique") +
                    " (approximated)");
            if (!g->m_contour.IsDefault() && !ramped)
                undrawn.push_back("effect " + std::string(g->GetTypeName()) +
                                  " with a contour (drawn as linear)");
            // An inner glow falls off inside from the edge (or from the centre out), an outer one
            // outside. The range is the share of the fall-off that its contour spans: below it
            // the glow is at full strength.
            bool fromEdge = g->m_inner && g->m_source == PSDEffectGlow::kEdge;
            part.alpha = SpreadAndBlur(fromEdge ? Inverted(shape) : shape, grow, size - grow);
            if (g->m_range > 0)
                for (auto& v : part.alpha.v) v = std::min(1.0f, v / float(g->m_range));
            if (ramped) GlowAlongRamp(part, g->m_contour, g->m_range);
            if (g->m_inner) {
                for (size_t i = 0; i < part.alpha.v.size(); ++i) part.alpha.v[i] *= shape.v[i];
                part.alpha.outside = 0;
                innerGlow.push_back(std::move(part));
            } else {
                outerGlow.push_back(std::move(part));
            }
        } else if (auto const* f = dynamic_cast<PSDEffectSolidFill const*>(e.Get())) {
            ColourOf(f->m_colour, mode, part.colour);
            part.mode = f->m_blendMode;
            part.opacity = float(f->m_opacity / 255.0);
            part.alpha = shape;
            colourOverlay.push_back(std::move(part));
        } else if (auto const* f = dynamic_cast<PSDEffectGradientFill const*>(e.Get())) {
            bool perceptual = PerceptualGradient(f->m_gradient, mode, undrawn);
            if (!part.ramp.Build(f->m_gradient.m_gradient, mode, f->m_gradient.m_reverse,
                                 perceptual)) {
                undrawn.push_back("effect GradientOverlay (noise gradient)");
                continue;
            }
            if (f->m_gradient.m_kind != PSDGradientDesc::kLinear)
                undrawn.push_back("effect GradientOverlay (approximated)");
            part.gradient = &f->m_gradient;
            part.placement = GradientPlacement(
                f->m_gradient, f->m_gradient.m_alignWithLayer ? place.layerBox : place.documentBox);
            part.mode = f->m_blendMode;
            part.opacity = float(f->m_opacity / 255.0);
            part.alpha = shape;
            gradientOverlay.push_back(std::move(part));
        } else if (auto const* o = dynamic_cast<PSDEffectPatternOverlay const*>(e.Get())) {
            std::string why;
            if (!patterns.Paint(o->m_patternId, o->m_patternName, mode, part.pattern, why)) {
                undrawn.push_back("effect PatternOverlay (" + why + ")");
                continue;
            }
            PlacePattern(part.pattern, o->m_phase, o->m_scale, o->m_angle,
                         origin(o->m_linked, "effect PatternOverlay"));
            patterns.SoftenReduced(part.pattern);
            // Enlarged tiles are drawn as the editor draws them; reduced or turned ones not quite.
            if (part.pattern.scale < 1 || part.pattern.angle != 0)
                undrawn.push_back("effect PatternOverlay reduced or turned (approximated)");
            part.mode = o->m_blendMode;
            part.opacity = float(o->m_opacity / 255.0);
            part.alpha = shape;
            patternOverlay.push_back(std::move(part));
        } else if (auto const* k = dynamic_cast<PSDEffectStroke const*>(e.Get())) {
            double size = k->m_size;
            double out = k->m_style == PSDEffectStroke::kOutside ? size
                         : k->m_style == PSDEffectStroke::kCentre ? size / 2 : 0;
            if (k->m_fillType == PSDEffectStroke::kGradient) {
                bool perceptual = PerceptualGradient(k->m_gradient, mode, undrawn);
                if (!part.ramp.Build(k->m_gradient.m_gradient, mode, k->m_gradient.m_reverse,
                                     perceptual)) {
                    undrawn.push_back("effect Stroke (noise gradient)");
                    continue;
                }
                part.gradient = &k->m_gradient;
                // The gradient spans the box of what the stroke follows (a shape's outline, in
                // whole pixels, not its anti-aliased pixels) grown by the stroke's outer part.
                auto box = outline ? CoveredBox(*outline) : place.layerBox;
                part.placement = GradientPlacement(
                    k->m_gradient, k->m_gradient.m_alignWithLayer
                                       ? Kernel::RectT<double>{box.left - out, box.top - out,
                                                               box.right + out, box.bottom + out}
                                       : place.documentBox);
                if (k->m_gradient.m_kind != PSDGradientDesc::kLinear)
                    undrawn.push_back("effect Stroke with a gradient (approximated)");
            } else if (k->m_fillType == PSDEffectStroke::kPattern) {
                // The stroke's pattern and scale are among the keys the model keeps as read.
                String id, name;
                double scale = 1;
                PSDReport r;
                for (auto const& item : k->m_kept) {
                    if (item.m_key.m_code == Key("Scl ") && item.m_item &&
                        DecodeUnit(*item.m_item, DescriptorItemUnitFloat::Percent, scale, r))
                        scale /= 100;
                    auto const* d = item.m_key.m_code == Key("Ptrn")
                                        ? dynamic_cast<DescriptorItemDescriptor const*>(item.m_item.Get())
                                        : nullptr;
                    if (!d) continue;
                    if (auto v = d->m_descriptor.GetItem(Key("Idnt"))) (void)DecodeString(*v, id, r);
                    if (auto v = d->m_descriptor.GetItem(Key("Nm  "))) (void)DecodeString(*v, name, r);
                }
                std::string why;
                if (!patterns.Paint(id, name, mode, part.pattern, why)) {
                    undrawn.push_back("effect Stroke with a pattern (" + why + ")");
                    continue;
                }
                PlacePattern(part.pattern, k->m_phase, scale, 0,
                             origin(k->m_linked, "effect Stroke with a pattern"));
                patterns.SoftenReduced(part.pattern);
                // Overlays' linked tiles start at the outline's corner; a stroke's start
                // elsewhere, by a rule not found.
                if (k->m_linked && place.linkedOrigin)
                    undrawn.push_back(
                        "effect Stroke with a pattern linked with its layer (tiles "
                        "placed from the outline's corner, approximated)");
                if (part.pattern.scale < 1)
                    undrawn.push_back("effect Stroke with a pattern reduced (approximated)");
            } else {
                ColourOf(k->m_colour, mode, part.colour);
            }
            part.mode = k->m_blendMode;
            part.opacity = float(k->m_opacity / 255.0);
            // A normal stroke joins the content: beyond the shape by addition, and within it
            // in place of the content under it, as far as it covers the shape there.
            part.joins = k->m_blendMode == BlendMode::Normal;
            bool covers = part.joins && k->m_style != PSDEffectStroke::kOutside;
            strokeWithin.emplace_back(), strokeBeyond.emplace_back();
            part.alpha = StrokeCoverage(strokeShape, size - out, out, &strokeWithin.back(),
                                        &strokeBeyond.back());
            if (covers) part.covers = strokeWithin.back();
            stroke.push_back(std::move(part));
        } else if (auto const* t = dynamic_cast<PSDEffectSatin const*>(e.Get())) {
            // Two copies of the shape moved apart along the angle, blurred; where they differ.
            double angle = t->m_angle * M_PI / 180, d = t->m_distance;
            int32_t dx = RoundOffset(std::cos(angle) * d);
            int32_t dy = RoundOffset(-std::sin(angle) * d);
            RenderMap a = Shifted(shape, dx, dy), b = Shifted(shape, -dx, -dy);
            BlurMap(a, t->m_blur);
            BlurMap(b, t->m_blur);
            RenderMap m = shape;
            for (size_t i = 0; i < m.v.size(); ++i) {
                float v = std::fabs(a.v[i] - b.v[i]);
                m.v[i] = (t->m_invert ? 1 - v : v) * shape.v[i];
            }
            ColourOf(t->m_colour, mode, part.colour);
            part.mode = t->m_blendMode;
            part.opacity = float(t->m_opacity / 255.0);
            part.alpha = std::move(m);
            undrawn.push_back("effect Satin (approximated)");
            satin.push_back(std::move(part));
        } else if (auto const* v = dynamic_cast<PSDEffectBevel const*>(e.Get())) {
            if (v->m_style == PSDEffectBevel::kStrokeEmboss) {
                undrawn.push_back("effect BevelEmboss (stroke emboss)");
                continue;
            }
            // The smooth inner bevel is fitted on the corpus; the other styles and techniques
            // are drawn as it is, on their side of the edge.
            if (v->m_technique != PSDEffectBevel::kSmooth ||
                v->m_style != PSDEffectBevel::kInnerBevel || !v->m_contour.IsDefault() ||
                !v->m_glossContour.IsDefault() || v->m_useTexture || v->m_soften > 0)
                undrawn.push_back("effect BevelEmboss (approximated)");
            for (auto& part :
                 BevelParts(*v, shape, v->m_useGlobalAngle ? globalAngle : v->m_angle, mode))
                bevel.push_back(std::move(part));
        } else {
            undrawn.push_back(std::string("effect ") + e->GetTypeName());
        }
    }
    // Several strokes do not mix: each hides those listed after it, which show only beyond it.
    // Within a pixel the strokes lie over the same part of it (the shape's share, or the rest),
    // so one that covers its part hides what lies below there entirely.
    for (size_t i = 0; i < stroke.size(); ++i) {
        if (i == 0 && stroke[i].joins) continue;
        RenderMap& lower = stroke[i].alpha;
        RenderMap& covers = stroke[i].covers;
        RenderMap* beyond = stroke[i].joins ? nullptr : &stroke[i].beyond;
        if (beyond) *beyond = lower;
        for (int32_t y = lower.box.top; y < lower.box.bottom; ++y)
            for (int32_t x = lower.box.left; x < lower.box.right; ++x) {
                size_t at = size_t(y - lower.box.top) * size_t(lower.box.Width()) +
                            size_t(x - lower.box.left);
                float keepIn = 1, keepOut = 1;
                for (size_t k = 0; k < i; ++k) {
                    keepIn *= 1 - strokeWithin[k].v[at] * stroke[k].opacity;
                    keepOut *= 1 - strokeBeyond[k].v[at] * stroke[k].opacity;
                }
                float s = strokeShape.v[at];
                float out = strokeBeyond[i].v[at] * (1 - s) * keepOut;
                if (beyond) beyond->v[at] = out;
                if (i == 0) continue;
                lower.v[at] = std::min(1.0f, out + strokeWithin[i].v[at] * s * keepIn);
                if (!covers.v.empty()) covers.v[at] = strokeWithin[i].v[at] * keepIn;
            }
    }
    // Of several effects of one kind the first listed lies on top: each list is drawn from its end
    // (a bevel's highlight and shadow are one effect, drawn in their order).
    auto drawn = [](std::vector<EffectPart>& list, std::vector<EffectPart>& into, bool reversed) {
        if (reversed) std::reverse(list.begin(), list.end());
        for (auto& p : list) into.push_back(std::move(p));
    };
    for (auto* list : {&dropShadow, &outerGlow}) drawn(*list, plan->below, true);
    for (auto* list :
         {&innerShadow, &innerGlow, &satin, &colourOverlay, &gradientOverlay, &patternOverlay})
        for (auto& part : *list) part.within = true;
    for (auto* list : {&innerShadow, &innerGlow, &bevel, &satin, &colourOverlay, &gradientOverlay,
                       &patternOverlay, &stroke})
        drawn(*list, plan->above, list != &bevel);
    for (auto* list : {&plan->below, &plan->above})
        for (auto& part : *list)
            for (RenderMap* map : {&part.alpha, &part.position, &part.covers, &part.beyond})
                map->Pack();
    return plan;
}

}  // namespace PSD

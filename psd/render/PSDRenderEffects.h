// Layer effects drawn from a layer's shape: what goes below the layer (drop shadow, outer glow)
// and what goes on it (inner shadow and glow, overlays, stroke).
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/Geometry.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/file/PSDPatterns.h"
#include "psd/render/PSDPackedPlane.h"
#include "psd/render/PSDRenderAdjustment.h"

namespace PSD {

// A float map over a rectangle of the document; outside it the value is `outside`.
struct RenderMap {
    Kernel::RectT<int32_t> box;
    std::vector<float> v;  // row by row over the box; empty once packed
    float outside = 0;
    PackedPlane packed;
    float At(int64_t x, int64_t y) const {
        if (x < box.left || y < box.top || x >= box.right || y >= box.bottom) return outside;
        size_t dx = size_t(x - box.left), dy = size_t(y - box.top);
        if (!v.empty()) return v[dy * size_t(box.Width()) + dx];
        float f;
        std::memcpy(&f, packed.At(dx, dy), sizeof f);
        return f;
    }
    bool Empty() const { return v.empty() && packed.Empty(); }
    // At(x, y) for x in [x0, x1), into out.
    void Row(int64_t y, int64_t x0, int64_t x1, float* out) const;
    // Once the map is made: packed, when that saves memory (effects' maps are held for the
    // render). The values read back exactly.
    void Pack();
};

// Blurs the map in place as the editor blurs an effect of size `radius` (near a Gaussian).
void BlurMap(RenderMap& map, double radius);
// How far a Gaussian blur reaches, in deviations: cut any nearer, feathered edges and soft
// shadows are a level or two off the editor's.
constexpr double kGaussianReach = 4;
// Blurs as a Gaussian of deviation sigma: small ones by the true kernel, larger ones by three box
// passes whose radii differ by at most one (to within one pass's step of the variance).
void GaussianBlur(RenderMap& map, double sigma);

// A gradient laid over a box: where each point falls along it, 0 at its start and 1 at its end
// (beyond them outside), by its style, angle, scale and offset. Pixels are evaluated at their
// top-left corner, which matches the editor's drawings best.
class GradientPlacement {
public:
    GradientPlacement() = default;
    GradientPlacement(PSDGradientDesc const& g, Kernel::RectT<double> const& box);
    double At(double x, double y) const;

private:
    int32_t m_kind = PSDGradientDesc::kLinear;
    double m_cx = 0, m_cy = 0;  // the centre
    double m_sx = 0, m_sy = 0;  // the start point
    double m_ux = 1, m_uy = 0;  // unit direction from the centre
    double m_reach = 1;         // from the centre to the end point
    double m_vx = 1, m_vy = 0;  // start to end, over its squared length
};

// A pattern tiled over the document from an origin, scaled and turned about it.
struct PatternPaint {
    PSDPattern const* pattern = nullptr;
    double originX = 0, originY = 0;
    double scale = 1;  // fraction
    double angle = 0;  // degrees, anticlockwise
    unsigned channels = 3;  // colour samples the document renders with
    bool fromGrey = false;  // a grey pattern in a colour document: its sample in every channel
    bool toGrey = false;    // an RGB pattern in a grey document: its luminance
    RenderPixel At(int64_t x, int64_t y) const;
};

// The document's patterns: their headers read when the first one is looked up, the pixels of each
// only when it is painted with (a document may hold many large patterns it never uses).
class PatternSource {
public:
    explicit PatternSource(PSDFile const& doc) : m_doc(doc) {}
    // A paint of the pattern named by identifier (by name when no pattern has the identifier),
    // in a document of this colour mode; false with the reason in why.
    bool Paint(String const& id, String const& name, uint32_t colourMode, PatternPaint& out,
               std::string& why);
    // After PlacePattern: a reduced paint samples a softened copy of its tile, made once per
    // pattern (the editor's reduced tiles are smoother than the tile pixels mixed directly).
    void SoftenReduced(PatternPaint& paint);

private:
    PSDFile const& m_doc;
    bool m_read = false;
    std::vector<PSDPattern> m_headers;
    std::map<size_t, PSDPattern> m_decoded;  // by place in m_headers; nodes stay put for paints
    std::map<size_t, std::string> m_failed;  // why a pattern's pixels did not decode
    std::map<PSDPattern const*, PSDPattern> m_softened;  // by the decoded tile it was made from
    std::vector<std::string> m_errors;
};

// Lays the paint's tiles from origin (the document's, or a linked pattern's layer's) offset by
// the phase; scale a fraction, angle in degrees.
void PlacePattern(PatternPaint& paint, PSDEffectPhase const& phase, double scale, double angle,
                  Kernel::PointT<double> origin);

// One effect ready to draw: its coverage, its colour (or a gradient over the layer's box),
// its blend mode and opacity.
struct EffectPart {
    RenderMap alpha;
    RenderPixel colour;
    PSDGradientDesc const* gradient = nullptr;
    PSDGradientRamp ramp;
    GradientPlacement placement;
    PatternPaint pattern;  // used when it names a pattern
    // When not empty, where along the ramp each pixel's colour lies (a gradient glow's fall-off).
    RenderMap position;
    BlendMode mode = BlendMode::Normal;
    float opacity = 1;
    // A stroke in normal mode joins the layer's content before the two meet the backdrop: beyond
    // the shape by addition, within it in place of the share of the content it covers.
    bool joins = false;
    RenderMap covers;  // that share, relative to the shape's coverage (none for outside strokes)
    // A stroke in another mode: the share of each pixel it covers beyond the shape (part of its
    // alpha). That share lies where the shape leaves the backdrop bare, so it meets the backdrop
    // alone, never the layer's content in the same pixel.
    RenderMap beyond;
    // Drawn within the layer's shape (overlays, inner shadows and glows, satin): it recolours the
    // shape's pixels and adds no coverage of its own.
    bool within = false;
    RenderPixel At(int64_t x, int64_t y) const;
    // At(x, y) for x in [x0, x1), into out: the same values, a row at a time.
    void Row(int64_t y, int64_t x0, int64_t x1, RenderPixel* out) const;
    // Adds what it draws at a pixel (drawn, its At there) to the content there (premultiplied
    // sums), in place of the share of the content it covers.
    void JoinTo(RenderPixel& content, RenderPixel const& drawn, int64_t x, int64_t y,
                unsigned channels) const;
    void JoinTo(RenderPixel& content, int64_t x, int64_t y, unsigned channels) const {
        JoinTo(content, At(x, y), x, y, channels);
    }
    // JoinTo over the n pixels of a row from x0: content and drawn hold them.
    void JoinRow(RenderPixel* content, RenderPixel const* drawn, int64_t x0, size_t n, int64_t y,
                 unsigned channels) const;
};

// The effects of one layer, in the order the editor stacks them.
struct EffectsPlan {
    Kernel::RectT<int32_t> region;  // where anything of the layer or its effects may show
    std::vector<EffectPart> below;  // drawn before the layer
    std::vector<EffectPart> above;  // drawn on the layer, before it meets the backdrop
};

// Coverage of a stroke `inside` pixels into the shape and `outside` pixels out of it, over the
// shape's box, anti-aliased from distance transforms; `within`, when given, receives the share of
// the shape's coverage it covers, and `beyond` the share of what the shape leaves uncovered.
RenderMap StrokeCoverage(RenderMap const& shape, double inside, double outside,
                         RenderMap* within = nullptr, RenderMap* beyond = nullptr);

// How far effects reach beyond the layer's shape, in pixels.
int32_t EffectsReach(PSDLayerEffects const& fx);

// Where a layer's effects are placed: gradients aligned with the layer span its box, the others
// the document's; patterns linked with the layer start at linkedOrigin (at the document's, named
// as approximated, when the layer has none).
struct EffectsPlace {
    Kernel::RectT<double> layerBox, documentBox;
    std::optional<Kernel::PointT<double>> linkedOrigin;
};

// Plans the enabled effects from the layer's shape (its alpha with masks, over the region).
// Strokes follow `outline` when given (a shape's outline, whatever its fill covers). Effects the
// renderer does not draw are named in `undrawn`.
std::unique_ptr<EffectsPlan> PlanEffects(PSDLayerEffects const& fx, RenderMap const& shape,
                                         EffectsPlace const& place, uint32_t colourMode,
                                         double globalAngle, PatternSource& patterns,
                                         std::vector<std::string>& undrawn,
                                         RenderMap const* outline = nullptr);

}  // namespace PSD

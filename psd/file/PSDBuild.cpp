// Building documents for writing: an empty document of a size and pixel format, the layer list
// with its limit and fix-ups, and the document-wide setters.
#include <algorithm>
#include <map>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"
#include "psd/vector/PSDPath.h"

namespace PSD {

namespace {

// A document holds at most this many layer records, counting a group as its two records.
constexpr uint64_t kLayerLimit = 8000;
// Layers are refused from this side length on (the PSB limit plus one).
constexpr int64_t kMaxBuildLayerSide = 300001;

// A normal layer counts once; a group end marker stands for the group's opening and closing
// records; the group records themselves count nothing.
uint64_t LayerWeight(PSDLayer const& layer) {
    switch (layer.m_sectionType) {
        case PSDLayer::kNormal:
            return 1;
        case PSDLayer::kGroupEnd:
            return 2;
        default:
            return 0;
    }
}

}  // namespace

Kernel::Counted<PSDFile> PSDFile::CreateEmpty(
    unsigned int width, unsigned int height, bool psb, Raster::Format format,
    Kernel::Consolidated<Raster::ICCProfile> const& profile,
    Kernel::Counted<Kernel::UnitValueConverter const> const& units) {
    uint32_t limit = psb ? kMaxSidePSB : kMaxSidePSD;
    if (width == 0 || height == 0 || width > limit || height > limit) return nullptr;
    ColourMode mode;
    uint16_t depth;
    switch (format) {
        case Raster::Format::RGBA8:
            mode = ColourMode::RGB, depth = 8;
            break;
        case Raster::Format::RGBA16:
            mode = ColourMode::RGB, depth = 16;
            break;
        case Raster::Format::IA8:
            mode = ColourMode::Grayscale, depth = 8;
            break;
        case Raster::Format::IA16:
            mode = ColourMode::Grayscale, depth = 16;
            break;
        case Raster::Format::IAF:
            mode = ColourMode::Grayscale, depth = 32;
            break;
        case Raster::Format::CMYKA8:
            mode = ColourMode::CMYK, depth = 8;
            break;
        case Raster::Format::CMYKA16:
            mode = ColourMode::CMYK, depth = 16;
            break;
        case Raster::Format::LABA16:
            mode = ColourMode::Lab, depth = 16;
            break;
        case Raster::Format::RGBAF:
            mode = ColourMode::RGB, depth = 32;
            break;
        default:
            return nullptr;
    }
    Kernel::Counted<PSDFile> doc(new PSDFile);
    doc->m_width = width;
    doc->m_height = height;
    doc->m_isPSB = psb;
    doc->m_colourMode = uint32_t(mode);
    doc->m_depth = depth;
    doc->m_iccProfile = profile;
    doc->m_unitConverter = units;
    doc->m_warnings = Kernel::Counted<PSDWarnings>(new PSDWarnings);
    return doc;
}

bool PSDFile::AddLayer(Kernel::Counted<PSDLayer> const& layer) {
    if (!layer) return false;
    if (layer->GetWidth() >= kMaxBuildLayerSide || layer->GetHeight() >= kMaxBuildLayerSide)
        return false;
    m_layerCountForLimit += LayerWeight(*layer);
    if (m_layerCountForLimit >= kLayerLimit) {
        m_tooManyLayers = true;
        return false;
    }
    m_layers.push_back(layer);
    return true;
}

bool PSDFile::AddLayer(Kernel::Counted<PSDLayer> const& layer, PSDLayer const* parent) {
    size_t at = m_layers.size();
    if (parent) {
        auto it = std::find_if(m_layers.begin(), m_layers.end(),
                               [&](Kernel::Counted<PSDLayer> const& l) { return l.Get() == parent; });
        if (it == m_layers.end() || !parent->IsGroupStart()) return false;
        at = size_t(it - m_layers.begin());
    }
    if (!AddLayer(layer)) return false;
    // AddLayer checked the limits and appended; the layer moves to its place below the parent.
    std::rotate(m_layers.begin() + ptrdiff_t(at), m_layers.end() - 1, m_layers.end());
    return true;
}

Kernel::Counted<PSDLayer> PSDFile::AddGroup(String const& name, PSDLayer const* parent) {
    Kernel::Counted<PSDLayer> end(new PSDLayer(PSDLayer::kGroupEnd, String("</Layer group>")));
    Kernel::Counted<PSDLayer> group(new PSDLayer(PSDLayer::kOpenGroup, name));
    if (!AddLayer(end, parent)) return nullptr;
    // The record goes directly above its end marker.
    auto it = std::find(m_layers.begin(), m_layers.end(), end);
    m_layers.insert(it + 1, group);
    return group;
}

Kernel::Counted<PSDLayer> PSDFile::AddAdjustmentLayer(
    String const& name, Kernel::Counted<PSDAdjustment> const& adjustment, PSDLayer const* parent) {
    if (!adjustment || adjustment->GetType() == PSDAdjustment::kTypeTool) return nullptr;
    // A pattern fill without its pattern would draw nothing anywhere.
    if (adjustment->GetType() == PSDAdjustment::kPatternFill &&
        static_cast<PSDAdjustmentPatternFill const&>(*adjustment).m_patternId.empty())
        return nullptr;
    Kernel::Counted<PSDLayer> layer(new PSDLayer(PSDLayer::kNormal, name));
    layer->m_adjustment = adjustment;
    // Its mask covers nothing and so holds no samples; white around it reveals everything.
    Raster::Format maskFormat;
    if (LayerMaskFormat(m_colourMode, uint16_t(m_depth), maskFormat)) {
        layer->m_bitmapUserMask = Raster::DynamicBitmap::Create(0, 0, maskFormat);
        layer->m_userMask.m_present = true;
        layer->m_userMask.m_defaultColour = 255;
    }
    return AddLayer(layer, parent) ? layer : nullptr;
}

bool PSDFile::MoveLayer(PSDLayer const* layer, int64_t dx, int64_t dy) {
    auto tree = BuildLayerTree(*this);
    PSDLayerNode const* node = FindLayerNode(tree, layer);
    if (!node) return false;
    std::vector<PSDLayer*> moved;
    WalkLayerTree({*node}, [&](PSDLayerNode const& n, unsigned) {
        moved.push_back(n.layer.Get());
        if (n.endMarker) moved.push_back(n.endMarker.Get());
        return true;
    });
    for (PSDLayer* l : moved)
        if (!l->CanMoveBy(dx, dy)) return false;
    for (PSDLayer* l : moved) (void)l->MoveBy(dx, dy);
    return true;
}

namespace {

// The list positions of a node's records: its own, its end marker's and its children's.
void SubtreeRecords(PSDLayerNode const& node, std::vector<size_t>& out) {
    out.push_back(node.index);
    if (node.endMarker) out.push_back(node.endMarkerIndex);
    for (auto const& c : node.children) SubtreeRecords(c, out);
}

// The records of the layer's subtree in list order; empty when the layer is not in the tree.
std::vector<size_t> RecordsOf(std::vector<Kernel::Counted<PSDLayer>> const& layers,
                              PSDLayer const* layer) {
    auto tree = BuildLayerTree(layers);
    std::vector<size_t> records;
    if (PSDLayerNode const* node = FindLayerNode(tree, layer)) SubtreeRecords(*node, records);
    std::sort(records.begin(), records.end());
    return records;
}

// The list without the records at these sorted positions; the removed ones go to taken.
std::vector<Kernel::Counted<PSDLayer>> Without(std::vector<Kernel::Counted<PSDLayer>> const& layers,
                                               std::vector<size_t> const& records,
                                               std::vector<Kernel::Counted<PSDLayer>>* taken) {
    std::vector<Kernel::Counted<PSDLayer>> kept;
    size_t r = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
        if (r < records.size() && records[r] == i) {
            if (taken) taken->push_back(layers[i]);
            ++r;
        } else {
            kept.push_back(layers[i]);
        }
    }
    return kept;
}

using ClipBaseMap = std::map<PSDLayer const*, PSDLayer const*>;

// Each clipped layer's base: the nearest unclipped sibling below it. A clipped layer with none
// below draws as a base itself, as the renderer draws it.
void ClipBases(std::vector<PSDLayerNode> const& siblings, ClipBaseMap& out) {
    PSDLayer const* base = nullptr;
    for (size_t k = siblings.size(); k-- > 0;) {
        PSDLayer const* l = siblings[k].layer.Get();
        if (l->m_clipping && base)
            out[l] = base;
        else
            base = l;
        ClipBases(siblings[k].children, out);
    }
}

ClipBaseMap ClipBases(std::vector<Kernel::Counted<PSDLayer>> const& layers) {
    ClipBaseMap out;
    ClipBases(BuildLayerTree(layers), out);
    return out;
}

// Layers whose clipping base changed are released rather than left clipped to whatever now
// lies below them, as the editor releases them when their base goes.
void ReleaseOrphanedClips(std::vector<Kernel::Counted<PSDLayer>> const& layers,
                          ClipBaseMap const& before) {
    ClipBaseMap after = ClipBases(layers);
    for (auto const& l : layers) {
        if (!l || !l->m_clipping) continue;
        auto was = before.find(l.Get());
        auto now = after.find(l.Get());
        if (was != before.end() && (now == after.end() || now->second != was->second))
            l->m_clipping = false;
    }
}

// The sibling directly above a layer: null at the top of its group, or when not found.
PSDLayer const* SiblingAbove(std::vector<PSDLayerNode> const& siblings, PSDLayer const* layer,
                             bool& found) {
    for (size_t k = 0; k < siblings.size() && !found; ++k) {
        if (siblings[k].layer.Get() == layer) {
            found = true;
            return k > 0 ? siblings[k - 1].layer.Get() : nullptr;
        }
        if (PSDLayer const* above = SiblingAbove(siblings[k].children, layer, found)) return above;
    }
    return nullptr;
}

}  // namespace

bool PSDFile::RemoveLayer(PSDLayer const* layer) {
    std::vector<size_t> records = RecordsOf(m_layers, layer);
    if (records.empty()) return false;
    ClipBaseMap before = ClipBases(m_layers);
    std::vector<Kernel::Counted<PSDLayer>> removed;
    m_layers = Without(m_layers, records, &removed);
    for (auto const& l : removed)
        m_layerCountForLimit -= std::min(m_layerCountForLimit, l ? LayerWeight(*l) : 0);
    ReleaseOrphanedClips(m_layers, before);
    return true;
}

bool PSDFile::RestackLayer(PSDLayer const* layer, PSDLayer const* parent, size_t index) {
    std::vector<size_t> records = RecordsOf(m_layers, layer);
    if (records.empty()) return false;
    std::vector<Kernel::Counted<PSDLayer>> moved;
    std::vector<Kernel::Counted<PSDLayer>> rest = Without(m_layers, records, &moved);
    // The place is found in the list without the layer: parent inside it is then not found.
    auto tree = BuildLayerTree(rest);
    std::vector<PSDLayerNode> const* siblings = &tree;
    PSDLayerNode const* group = nullptr;
    if (parent) {
        group = FindLayerNode(tree, parent);
        if (!group || !group->isGroup || !group->endMarker || group->layer.Get() != parent)
            return false;
        siblings = &group->children;
    }
    // A node's own record is the top of its records: the layer goes directly above it. The
    // bottom of a group is directly above its end marker.
    size_t at = index < siblings->size() ? (*siblings)[index].index + 1
                : group                  ? group->endMarkerIndex + 1
                                         : 0;
    // A background stays the bottom of the document: it cannot move up, nor anything below it.
    bool bottom = !group && at == 0;
    bool belowBackground = bottom && !rest.empty() && rest.front() && rest.front()->m_background;
    if ((layer->m_background && !bottom) || belowBackground) return false;
    ClipBaseMap before = ClipBases(m_layers);
    rest.insert(rest.begin() + ptrdiff_t(at), moved.begin(), moved.end());
    // A layer dropped into a clipping group joins it; one that leaves its group is released.
    PSDLayer* top = moved.back().Get();
    bool found = false;
    PSDLayer const* above = SiblingAbove(BuildLayerTree(rest), top, found);
    if (above && above->m_clipping && !top->m_background) {
        top->m_clipping = true;
        before.erase(top);
    }
    m_layers = std::move(rest);
    ReleaseOrphanedClips(m_layers, before);
    return true;
}

bool PSDFile::RemoveLastSectionDividerLayer() {
    if (m_layers.empty() || !m_layers.back() || !m_layers.back()->IsGroupEnd()) return false;
    m_layers.pop_back();
    return true;
}

void PSDFile::ValidateLayerCount() {
    while (m_layers.size() >= kLayerLimit) {
        m_tooManyLayers = true;
        auto top = std::find_if(m_layers.rbegin(), m_layers.rend(),
                                [](Kernel::Counted<PSDLayer> const& l) {
                                    return l && l->m_sectionType == PSDLayer::kNormal;
                                });
        if (top == m_layers.rend()) return;
        m_layers.erase(std::next(top).base());
    }
}

bool PSDFile::CanFlattenFirstLayer(bool forbidHidden) const {
    if (m_layers.empty() || !m_layers.front()) return false;
    PSDLayer const& l = *m_layers.front();
    if (l.m_left != 0 || l.m_top != 0 || int64_t(l.m_right) != int64_t(m_width) ||
        int64_t(l.m_bottom) != int64_t(m_height))
        return false;
    if (l.m_sectionType != PSDLayer::kNormal) return false;
    // Masks and adjustment data would be lost in a plain composite.
    if (!l.m_bitmap || l.m_bitmapUserMask || l.m_userMask.m_present || l.m_realMask.m_present ||
        l.m_adjustment)
        return false;
    if (!l.m_visible && (m_layers.size() == 1 || forbidHidden)) return false;
    if (l.m_opacity != 255 || l.m_fillOpacity != 255) return false;
    // Effects cannot be weighed here, so a layer carrying any keeps its record.
    if (l.m_effects) return false;
    if (l.m_bitmap->GetWidth() != m_width || l.m_bitmap->GetHeight() != m_height) return false;
    return l.m_bitmap->GetInverseAlphaBoundingBox().IsEmpty();
}

int PSDFile::PromoteFirstLayerToBackground(bool forbidHidden) {
    if (!CanFlattenFirstLayer(forbidHidden)) return 0;
    if (m_layers.size() > 1) {
        PSDLayer& l = *m_layers.front();
        l.m_background = true;
        l.m_lockTransparency = true;
        l.m_lockComposite = true;
        l.m_lockPosition = true;
        l.m_name = String("Background");
        return 2;
    }
    Kernel::Counted<Raster::DynamicBitmap> bitmap = m_layers.front()->m_bitmap;
    m_layers.clear();
    SetFlattenedBitmap(bitmap);
    return 1;
}

void PSDFile::InsertBackgroundLayer(Kernel::Counted<PSDLayer> const& layer) {
    if (!layer) return;
    layer->m_background = true;
    m_layers.insert(m_layers.begin(), layer);
}

void PSDFile::InsertBackgroundMatteLayer(Kernel::Consolidated<Renderer::Colour> const& colour) {
    Kernel::Counted<PSDLayer> layer(new PSDLayer(PSDLayer::kNormal, String("Background")));
    layer->m_left = 0;
    layer->m_top = 0;
    layer->m_right = int32_t(m_width);
    layer->m_bottom = int32_t(m_height);
    layer->m_background = true;
    layer->m_lockTransparency = true;
    layer->m_lockComposite = true;
    layer->m_lockPosition = true;
    layer->m_matteColour = colour;
    m_layers.insert(m_layers.begin(), layer);
}

// ---- Setters

bool PSDFile::SetFlattenedBitmap(Kernel::Counted<Raster::DynamicBitmap> const& bitmap) {
    m_flattenedBitmap = bitmap;
    m_compositeReplaced = true;
    m_mergedTransparency = (bitmap && !bitmap->GetInverseAlphaBoundingBox().IsEmpty()) ? 1 : 0;
    return m_mergedTransparency != 0;
}

void PSDFile::SetMasks(std::vector<Kernel::Counted<Raster::DynamicBitmap>> const& masks,
                       std::vector<String> const& names) {
    m_masks = masks;
    m_alphaChannelNames = names;
}

void PSDFile::SetThumbnail(Kernel::Counted<Raster::DynamicBitmap> const& thumbnail) {
    m_thumbnail = thumbnail;
}

void PSDFile::SetBackgroundColour(Kernel::Consolidated<Renderer::Colour> const& colour) {
    m_backgroundColour = colour;
}

void PSDFile::SetWorkingPath(Kernel::Counted<PSDPath> const& path) {
    m_workingPath = path;
}

void PSDFile::SetPaths(std::vector<Kernel::Counted<PSDPath>> const& paths) {
    m_paths = paths;
}

void PSDFile::SetHorzGuides(std::vector<double> const& guides) {
    m_horizontalGuides = guides;
}

void PSDFile::SetVertGuides(std::vector<double> const& guides) {
    m_verticalGuides = guides;
}

// Guides given in another space: subtract that space's origin and scale into document pixels.
void PSDFile::SetHorzGuides(std::vector<double> const& guides, double origin, double scale) {
    m_horizontalGuides.clear();
    for (double g : guides) m_horizontalGuides.push_back((g - origin) * scale);
}

void PSDFile::SetVertGuides(std::vector<double> const& guides, double origin, double scale) {
    m_verticalGuides.clear();
    for (double g : guides) m_verticalGuides.push_back((g - origin) * scale);
}

void PSDFile::SetJPEG(int quality, JPEGMethod method, int scans) {
    m_jpeg.quality = quality;
    m_jpeg.method = method;
    m_jpeg.scans = uint8_t(scans);
    m_jpeg.present = true;
}

}  // namespace PSD

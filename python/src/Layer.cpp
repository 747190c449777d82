// zuzodoriv.Layer: one layer record with the names `info --json` gives its fields, its place in
// the tree, its pixels and masks as arrays, and the edits a save writes back.
#include "Binding.h"
#include "psd/descriptor/DescriptorBlocks.h"
#include "psd/descriptor/DescriptorJson.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayerKind.h"
#include "psd/layer/PSDMaskJson.h"
#include "psd/file/PSDLayerTree.h"

namespace zuzodoriv::python {

namespace {

using Getter = bool (PSD::PSDLayer::*)(BitmapRef&, PSD::PSDReport&) const;

// Decodes (once, without the GIL) and returns the cached bitmap; null when the layer has none.
BitmapRef Decode(LayerRef const& l, Getter get) {
    BitmapRef bm;
    PSD::PSDReport report;
    bool ok;
    {
        py::gil_scoped_release unlocked;
        ok = (l.layer.Get()->*get)(bm, report);
    }
    if (!ok) ThrowReport(report);
    return bm;
}

bool HasChannel(PSD::PSDLayer const& layer, int16_t id) {
    for (auto const& c : layer.m_channels)
        if (c.m_id == id) return true;
    return false;
}

// When a layer's last array goes, so does its decoded bitmap (unless it is an edit): a pass over
// every layer then holds only the arrays still in use, and the freed memory is reused by the next
// decode instead of fresh pages.
py::object Pixels(LayerRef const& l) {
    PSD::PSDLayer const& layer = *l.layer;
    if (layer.IsGroupStart() || layer.IsGroupEnd()) return py::none();
    auto& arrays = l.doc->pixelArrays;
    if (auto it = arrays.find(&layer); it != arrays.end()) {
        py::object live = it->second.array();
        if (!live.is_none()) return live;
    }
    BitmapRef bm = Decode(l, &PSD::PSDLayer::GetBitmap);
    if (!bm) return py::none();
    // Transparency is shown when the record stores it, or the pixels came from the host.
    bool decoded = layer.IsDecodedBitmap(bm.Get());
    bool alpha = !decoded || HasChannel(layer, PSD::PSDChannelInfo::kTransparency);
    unsigned channels = bm->GetChannelCount() - (alpha ? 0 : 1);
    py::object a = BitmapArray(bm, channels, false);
    // The document outlives the callback: destroying the map destroys the weak references first.
    DocumentRef* doc = l.doc.get();
    PSD::PSDLayer const* key = &layer;
    py::cpp_function gone([doc, key](py::handle ref) {
        auto it = doc->pixelArrays.find(key);
        if (it == doc->pixelArrays.end() || it->second.array.ptr() != ref.ptr()) return;
        Kernel::Counted<PSD::PSDLayer> keep = it->second.layer;
        doc->pixelArrays.erase(it);
        // The layer's cache lock may be held by a decode on another thread: wait without the GIL.
        py::gil_scoped_release unlocked;
        keep->ReleaseDecodedBitmap();
    });
    arrays[key] = {l.layer, py::weakref(a, gone)};
    return a;
}

py::object Mask(LayerRef const& l, Getter get) {
    BitmapRef bm = Decode(l, get);
    if (!bm) return py::none();
    return BitmapArray(bm, 1, true);
}

py::object MaskInfo(PSD::PSDLayerMask const& m) {
    return JsonToPython(PSD::MaskJson(m));
}

py::object MaskBounds(PSD::PSDLayerMask const& m) {
    if (!m.m_present) return py::none();
    return py::make_tuple(m.m_left, m.m_top, m.m_right, m.m_bottom);
}

void SetPixels(LayerRef const& l, py::array const& pixels) {
    PSD::PSDLayer& layer = *l.layer;
    Raster::Format format;
    if (!PSD::LayerBitmapFormat(l.doc->file->m_colourMode, l.doc->file->m_depth, format))
        throw py::value_error("this document's colour mode and depth have no layers");
    if (layer.IsGroupStart() || layer.IsGroupEnd()) throw py::value_error("groups have no pixels");
    BitmapRef bm = ArrayBitmap(pixels, format);
    layer.m_bitmap = bm;
    l.doc->pixelArrays.erase(&layer);  // arrays handed out before show the old pixels
    layer.m_right = int32_t(int64_t(layer.m_left) + bm->GetWidth());
    layer.m_bottom = int32_t(int64_t(layer.m_top) + bm->GetHeight());
}

// Only the editor makes a background.
void SetBackground(LayerRef const& l, bool background) {
    PSD::PSDLayer& layer = *l.layer;
    if (background == layer.m_background) return;
    if (background) throw py::value_error("a layer becomes the background only in the editor");
    layer.ReleaseFromBackground();
}

// The user mask replaced by an array placed at (left, top) (by default where the mask was, or
// the layer's corner), or removed with None.
void SetMask(LayerRef const& l, py::object const& array, py::object const& left, py::object const& top,
             py::object const& defaultColour) {
    PSD::PSDLayer& layer = *l.layer;
    if (layer.IsGroupEnd()) throw py::value_error("a group's end marker has no mask");
    PSD::PSDLayerMask& m = layer.m_userMask;
    if (array.is_none()) {
        if (layer.m_realMask.m_present)
            throw py::value_error("the layer's real mask needs its user mask: it cannot be removed alone");
        m = PSD::PSDLayerMask();
        layer.m_bitmapUserMask = nullptr;
        return;
    }
    RefuseOnBackground(layer, "mask");
    Raster::Format format;
    if (!PSD::LayerMaskFormat(l.doc->file->m_colourMode, l.doc->file->m_depth, format))
        throw py::value_error("this document's colour mode and depth have no masks");
    unsigned colour = defaultColour.is_none() ? m.m_defaultColour : defaultColour.cast<unsigned>();
    if (colour != 0 && colour != 255) throw py::value_error("default_colour is 0 or 255");
    BitmapRef bm = ArrayBitmap(array.cast<py::array>(), format);
    int64_t x = left.is_none() ? (m.m_present ? m.m_left : layer.m_left) : left.cast<int64_t>();
    int64_t y = top.is_none() ? (m.m_present ? m.m_top : layer.m_top) : top.cast<int64_t>();
    if (x < INT32_MIN || y < INT32_MIN || x + bm->GetWidth() > INT32_MAX || y + bm->GetHeight() > INT32_MAX)
        throw py::value_error("the mask would leave the coordinate range");
    layer.m_bitmapUserMask = bm;
    m.m_present = true;
    m.m_relative = false;
    m.m_fromRendering = false;  // the host's pixels now, not the editor's drawing of a vector mask
    m.m_defaultColour = uint8_t(colour);
    m.m_left = int32_t(x), m.m_top = int32_t(y);
    m.m_right = int32_t(x + bm->GetWidth()), m.m_bottom = int32_t(y + bm->GetHeight());
}

void MoveBy(LayerRef const& l, int64_t dx, int64_t dy) {
    if (!l.doc->file->MoveLayer(l.layer.Get(), dx, dy))
        throw py::value_error("the layer would leave the coordinate range");
}

// A group is placed by the box of the layers inside it (its own record has none).
void MoveTo(LayerRef const& l, py::object left, py::object top) {
    int64_t x = l.layer->m_left, y = l.layer->m_top;
    if (l.layer->IsGroupStart()) {
        auto tree = PSD::BuildLayerTree(*l.doc->file);
        bool any = false;
        if (auto const* node = PSD::FindLayerNode(tree, l.layer.Get()))
            PSD::WalkLayerTree(node->children, [&](PSD::PSDLayerNode const& n, unsigned) {
                if (!n.isGroup && n.layer->GetWidth() > 0 && n.layer->GetHeight() > 0) {
                    x = any ? std::min<int64_t>(x, n.layer->m_left) : n.layer->m_left;
                    y = any ? std::min<int64_t>(y, n.layer->m_top) : n.layer->m_top;
                    any = true;
                }
                return true;
            });
    }
    MoveBy(l, left.is_none() ? 0 : left.cast<int64_t>() - x, top.is_none() ? 0 : top.cast<int64_t>() - y);
}

py::object Descriptor(LayerRef const& l, std::string const& key) {
    if (key.size() != 4) throw py::value_error("a block key has four characters");
    uint32_t k = uint32_t(uint8_t(key[0])) << 24 | uint32_t(uint8_t(key[1])) << 16 | uint32_t(uint8_t(key[2])) << 8 |
                 uint8_t(key[3]);
    PSD::PSDTaggedBlockInfo const* block = l.layer->FindBlock(k);
    if (!block) return py::none();
    auto source = l.layer->m_stream ? l.layer->m_stream : l.doc->file->GetSourceStream();
    PSD::ParseData pd;
    pd.m_swap = l.layer->GetSourceSwap();
    std::vector<PSD::BlockDescriptor> found;
    auto result = PSD::ReadStoredBlockDescriptors(source, *block, pd, found);
    if (result == PSD::BlockDescriptorResult::NotDescriptorBased) return py::none();
    if (result == PSD::BlockDescriptorResult::Failed) ThrowReport(pd.m_report);
    if (found.empty()) return py::none();
    return JsonToPython(PSD::DescriptorJson(found.front().descriptor));
}

py::list Children(LayerRef const& l) {
    py::list out;
    auto tree = PSD::BuildLayerTree(*l.doc->file);
    if (auto const* node = PSD::FindLayerNode(tree, l.layer.Get()))
        for (auto const& c : node->children) out.append(LayerRef{l.doc, c.layer});
    return out;
}

py::object Parent(LayerRef const& l) {
    auto tree = PSD::BuildLayerTree(*l.doc->file);
    PSD::PSDLayerNode const* parent = nullptr;
    if (!PSD::FindLayerNode(tree, l.layer.Get(), &parent) || !parent) return py::none();
    return py::cast(LayerRef{l.doc, parent->layer});
}

py::object Index(LayerRef const& l) {
    auto const& layers = l.doc->file->m_layers;
    for (size_t i = 0; i < layers.size(); ++i)
        if (layers[i] == l.layer) return py::int_(i);
    return py::none();
}

py::object Kind(PSD::PSDLayer const& l) {
    char const* kind = PSD::LayerKind(l);
    return kind ? py::object(py::str(kind)) : py::object(py::none());
}

std::string Repr(LayerRef const& l) {
    PSD::PSDLayer const& x = *l.layer;
    char const* kind = PSD::LayerKind(x);
    std::string out = "<Layer " + std::string(py::str(Index(l))) + " " + (kind ? kind : "end marker") + " " +
                      std::string(py::repr(py::str(std::string(x.m_name))));
    if (!x.IsGroupStart() && !x.IsGroupEnd())
        out += " (" + std::to_string(x.m_left) + "," + std::to_string(x.m_top) + ")-(" + std::to_string(x.m_right) +
               "," + std::to_string(x.m_bottom) + ")";
    if (!x.m_visible) out += " hidden";
    return out + ">";
}

}  // namespace

void RefuseOnBackground(PSD::PSDLayer const& layer, char const* what) {
    if (layer.m_background)
        throw py::value_error(std::string("the background layer takes no ") + what +
                              ": set background = False first");
}

void BindLayer(py::module_& m) {
    py::class_<LayerRef> c(m, "Layer",
        "A layer record of a document. Field names and values are those of `zuzodoriv info --json`.");
    auto L = [](LayerRef const& l) -> PSD::PSDLayer& { return *l.layer; };
    c.def_property_readonly("index", &Index, "Position in records(): 0 is the bottom record.")
        .def_property("name", [=](LayerRef const& l) { return std::string(L(l).m_name); },
                      [=](LayerRef const& l, std::string const& v) { L(l).m_name = PSD::String(v); })
        .def_property_readonly("kind", [=](LayerRef const& l) { return Kind(L(l)); },
                               "pixel, group, type, shape, smartobject, a fill or an adjustment; None for an end marker.")
        .def_property_readonly("section_type", [=](LayerRef const& l) { return uint32_t(L(l).m_sectionType); })
        .def_property_readonly("bbox", [=](LayerRef const& l) {
            return py::make_tuple(L(l).m_left, L(l).m_top, L(l).m_right, L(l).m_bottom);
        }, "(left, top, right, bottom) in document pixels.")
        .def_property("left", [=](LayerRef const& l) { return L(l).m_left; },
                      [](LayerRef const& l, py::object v) { MoveTo(l, v, py::none()); },
                      "Setting it moves the layer as move_to does.")
        .def_property("top", [=](LayerRef const& l) { return L(l).m_top; },
                      [](LayerRef const& l, py::object v) { MoveTo(l, py::none(), v); },
                      "Setting it moves the layer as move_to does.")
        .def_property_readonly("right", [=](LayerRef const& l) { return L(l).m_right; })
        .def_property_readonly("bottom", [=](LayerRef const& l) { return L(l).m_bottom; })
        .def_property_readonly("width", [=](LayerRef const& l) { return L(l).GetWidth(); })
        .def_property_readonly("height", [=](LayerRef const& l) { return L(l).GetHeight(); })
        .def("move_to", &MoveTo, py::arg("left") = py::none(), py::arg("top") = py::none(),
             "Move the layer so its top-left corner is at (left, top), as move_by does; a group by "
             "the top-left corner of the layers inside it.")
        .def("move_by", &MoveBy, py::arg("dx"), py::arg("dy"),
             "Move the layer by (dx, dy) pixels, with its raster masks, a linked vector mask and its "
             "live shapes, a type layer's text and a placed layer's corners; an unlinked vector mask "
             "stays, with the editor's drawing of it. A group takes every layer inside it along.")
        .def_property("visible", [=](LayerRef const& l) { return L(l).m_visible; },
                      [=](LayerRef const& l, bool v) { L(l).m_visible = v; })
        .def_property("opacity", [=](LayerRef const& l) { return L(l).m_opacity; },
                      [=](LayerRef const& l, uint8_t v) {
                          if (v != 255) RefuseOnBackground(L(l), "opacity");
                          L(l).m_opacity = v;
                      }, "0 to 255.")
        .def_property("fill_opacity", [=](LayerRef const& l) { return L(l).m_fillOpacity; },
                      [=](LayerRef const& l, uint8_t v) {
                          if (v != 255) RefuseOnBackground(L(l), "fill opacity");
                          L(l).m_fillOpacity = v;
                      }, "0 to 255.")
        .def_property("blend_mode", [=](LayerRef const& l) { return BlendKeyText(L(l).m_blendMode); },
                      [=](LayerRef const& l, std::string const& v) {
                          auto mode = BlendModeFromText(v);
                          if (mode != PSD::BlendMode::Normal) RefuseOnBackground(L(l), "blend mode");
                          L(l).m_blendMode = mode;
                      },
                      "The four-character key: \"norm\", \"mul \", \"pass\", ...")
        .def_property("clipping", [=](LayerRef const& l) { return L(l).m_clipping; },
                      [=](LayerRef const& l, bool v) { L(l).m_clipping = v; })
        .def_property("background", [=](LayerRef const& l) { return L(l).m_background; }, &SetBackground,
                      "The document's background layer: opaque, at the bottom, without masks, effects, "
                      "opacity, fill opacity or blend mode. Set False to make it a normal layer that takes them (the editor's "
                      "\"Layer from Background\": unlocked, written with a transparency channel).")
        .def_property_readonly("transparency_protected", [=](LayerRef const& l) { return L(l).m_transparencyProtected; })
        .def_property_readonly("is_group", [=](LayerRef const& l) { return L(l).IsGroupStart(); })
        .def_property_readonly("children", &Children, "A group's layers, top-most first; [] for others.")
        .def_property_readonly("parent", &Parent, "The enclosing group, or None at the top level.")
        .def_property_readonly("channels", [=](LayerRef const& l) {
            py::list out;
            PSD::PSDLayer const& layer = L(l);
            for (size_t i = 0; i < layer.m_channels.size(); ++i) {
                py::dict d;
                d["id"] = layer.m_channels[i].m_id;
                d["length"] = layer.m_channels[i].m_length;
                char const* compression = layer.GetChannelCompressionName(i);
                d["compression"] = compression ? py::object(py::str(compression)) : py::object(py::none());
                out.append(d);
            }
            return out;
        }, "The channel list as stored: [{\"id\", \"length\", \"compression\"}, ...].")
        .def_property_readonly("layer_id", [=](LayerRef const& l) { return L(l).m_layerId; },
                               "The layer's identifier (\"lyid\").")
        .def_property_readonly("locks", [=](LayerRef const& l) {
            py::dict d;
            d["transparency"] = L(l).m_lockTransparency;
            d["composite"] = L(l).m_lockComposite;
            d["position"] = L(l).m_lockPosition;
            return d;
        }, "{\"transparency\", \"composite\", \"position\"} lock flags.")
        .def_property_readonly("user_mask", [=](LayerRef const& l) { return MaskInfo(L(l).m_userMask); },
                               "The mask's record ({\"top\", \"left\", \"bottom\", \"right\", \"default_colour\", "
                               "\"relative\", \"disabled\", \"invert\"}) or None.")
        .def_property_readonly("mask_parameters",
                               [=](LayerRef const& l) { return JsonToPython(PSD::MaskParametersJson(L(l))); },
                               "`info --json`'s \"mask_parameters\": the masks' densities and feathers, or None.")
        .def_property_readonly("real_mask_record", [=](LayerRef const& l) { return MaskInfo(L(l).m_realMask); },
                               "`info --json`'s \"real_mask\" (the name real_mask is the pixels' method).")
        .def_property_readonly("mask_bbox", [=](LayerRef const& l) { return MaskBounds(L(l).m_userMask); },
                               "The user mask's (left, top, right, bottom), or None.")
        .def_property_readonly("real_mask_bbox", [=](LayerRef const& l) { return MaskBounds(L(l).m_realMask); },
                               "The real user mask's (left, top, right, bottom), or None.")
        .def_property_readonly("blending_range_sets", [=](LayerRef const& l) { return L(l).m_blendRanges.size(); })
        .def_property_readonly("block_keys", [=](LayerRef const& l) {
            py::list keys;
            for (auto const& b : L(l).m_blocks) keys.append(KeyText(b.key));
            return keys;
        }, "Keys of the tagged blocks in file order.")
        .def("numpy", &Pixels,
             "The pixels: height x width x (colour channels, then transparency when the layer has it); "
             "uint8, uint16 or float32 by depth (Lab at 16 bits). Read-only, over the decoded bitmap: "
             "while the array lives numpy() returns it again, and once it is gone so is the decoded memory. "
             "None for groups, end markers and records without pixels.")
        .def("mask", [](LayerRef const& l) { return Mask(l, &PSD::PSDLayer::GetBitmapUserMask); },
             "The user mask as height x width over user_mask's bounds (inversion applied), or None.")
        .def("real_mask", [](LayerRef const& l) { return Mask(l, &PSD::PSDLayer::GetBitmapRealMask); },
             "The real user mask as height x width over real_mask's bounds, or None.")
        .def("set_pixels", &SetPixels, py::arg("array"),
             "Replace the pixels (height x width x colour channels, alpha optional); the layer keeps its "
             "top-left corner and takes the array's size.")
        .def("set_mask", &SetMask, py::arg("array"), py::arg("left") = py::none(), py::arg("top") = py::none(),
             py::arg("default_colour") = py::none(),
             "Replace the user mask by an array (height x width, of the document's dtype) with its top-left "
             "corner at (left, top) (by default where the mask was, or the layer's corner) and the colour "
             "outside it (0 or 255; by default the mask's); None removes the mask.")
        .def("descriptor", &Descriptor, py::arg("key"),
             "The descriptor of the layer's first block with this key, as `dump --json` shows it "
             "({\"class\", \"items\": [{\"key\", \"type\", \"value\"}]}); None without such a block.")
        .def("__repr__", &Repr)
        .def("__eq__", [](LayerRef const& a, LayerRef const& b) { return a.layer == b.layer; })
        .def("__hash__", [](LayerRef const& l) { return std::hash<void const*>()(l.layer.Get()); });
    BindEffects(c);
    BindLayerRender(c);
    BindVector(c);
    BindText(c);
}

}  // namespace zuzodoriv::python

// zuzodoriv.open and zuzodoriv.Document: header values, document settings, the layer records
// and tree, the composite, and building new documents.
#include <cmath>

#include "Binding.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/file/PSDPatterns.h"

namespace zuzodoriv::python {

namespace {

std::vector<std::string> Strings(std::vector<PSD::String> const& v) {
    std::vector<std::string> out;
    for (auto const& s : v) out.push_back(std::string(s));
    return out;
}

DocumentPtr Wrap(Kernel::Counted<PSD::PSDFile> const& file, PSD::PSDReport const& report) {
    auto doc = std::make_shared<DocumentRef>();
    doc->file = file;
    if (report.m_warnings) doc->warnings = Strings(report.m_warnings->Lines());
    return doc;
}

bool IsData(py::handle source) {
    return py::isinstance<py::bytes>(source) || py::isinstance<py::bytearray>(source) ||
           py::isinstance<py::memoryview>(source);
}

DocumentPtr Open(py::object source, bool parseText, bool parseSmartObjects) {
    PSD::CreateOptions options;
    options.parseText = parseText;
    options.parseSmartObjects = parseSmartObjects;
    PSD::PSDReport report;
    Kernel::Counted<PSD::PSDFile> file;
    if (!IsData(source) && py::hasattr(source, "read")) source = source.attr("read")();
    if (IsData(source)) {
        // A simple buffer is one contiguous block of bytes; the stream takes a copy.
        Py_buffer view;
        if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        auto stream = Kernel::MemoryInStream::Create(view.buf, size_t(view.len));
        PyBuffer_Release(&view);
        py::gil_scoped_release unlocked;
        file = PSD::IsTIFFStream(*stream)
                   ? PSD::OpenStream(Kernel::Counted<Kernel::InStreamSeekable>(stream), options, report)
                   : PSD::PSDFile::Create(stream, options, report);
    } else {
        std::string path = PathOf(source);
        std::string why;
        Kernel::Counted<Kernel::InStreamSeekable> in;
        {
            py::gil_scoped_release unlocked;
            in = Kernel::FileInStream::Open(path, &why);
            if (in) file = PSD::OpenStream(in, options, report);
        }
        if (!in) ThrowError("cannot open " + path + ": " + why);
    }
    if (!file) ThrowReport(report);
    return Wrap(file, report);
}

std::vector<LayerRef> Records(DocumentPtr const& doc) {
    std::vector<LayerRef> out;
    for (auto const& l : doc->file->m_layers)
        if (l) out.push_back({doc, l});
    return out;
}

py::list TopLayers(DocumentPtr const& doc) {
    py::list out;
    for (auto const& n : PSD::BuildLayerTree(*doc->file)) out.append(LayerRef{doc, n.layer});
    return out;
}

py::list Descendants(DocumentPtr const& doc) {
    py::list out;
    PSD::WalkLayerTree(PSD::BuildLayerTree(*doc->file), [&](PSD::PSDLayerNode const& n, unsigned) {
        out.append(LayerRef{doc, n.layer});
        return true;
    });
    return out;
}

// Header channels: colour, then the merged transparency, then the extra channels.
py::object Composite(DocumentPtr const& doc) {
    PSD::PSDFile const& file = *doc->file;
    BitmapRef flat;
    std::vector<BitmapRef> masks;
    bool ok;
    PSD::PSDReport report;
    {
        py::gil_scoped_release unlocked;
        ok = file.GetBitmap(flat, masks, report);
    }
    // Damaged or missing image data means no composite; running out of memory is not that.
    if (!ok && report.m_error && report.m_error->GetCode() == PSD::PSDError::kOutOfMemory) ThrowReport(report);
    if (!ok || !flat) return py::none();
    unsigned colour = PSD::ColourChannelCount(file.m_colourMode, false, true);
    unsigned shown = std::min(flat->GetChannelCount(), colour + (file.m_mergedTransparency ? 1 : 0));
    py::array a = BitmapArray(flat, shown, false);
    py::module_ np = py::module_::import("numpy");
    if (!masks.empty()) {
        py::list planes;
        planes.append(a);
        for (auto const& m : masks) planes.append(BitmapArray(m, 1, false));
        a = np.attr("concatenate")(planes, py::arg("axis") = 2);
    }
    // One bit per pixel: the library gives 0 (black) or 255 (white); True is white.
    if (file.m_colourMode == uint32_t(PSD::ColourMode::Bitmap)) a = np.attr("not_equal")(a, 0);
    // Read-only like every other array of a document's pixels, also when assembled here.
    a.attr("setflags")(py::arg("write") = false);
    return a;
}

Raster::Format CompositeFormat(PSD::PSDFile const& file) {
    Raster::Format f;
    if (file.DetermineRasterFormat(f) != 0) throw py::value_error("the document's colour mode and depth have no pixel format");
    return f;
}

DocumentPtr New(uint32_t width, uint32_t height, std::string const& colourMode, unsigned depth,
                double resolution, bool psb) {
    uint32_t mode;
    Raster::Format format;
    if (!PSD::ColourModeFromKey(colourMode, mode) || !PSD::LayerBitmapFormat(mode, uint16_t(depth), format))
        throw py::value_error("no " + std::to_string(depth) + "-bit " + colourMode + " documents");
    if (!(resolution > 0) || !std::isfinite(resolution)) throw py::value_error("the resolution must be positive");
    Kernel::Counted<Kernel::UnitValueConverter const> units =
        Kernel::MakeCounted<Kernel::UnitValueConverter>(resolution, -1.0);
    auto file = PSD::PSDFile::CreateEmpty(width, height, psb, format, nullptr, units);
    if (!file)
        throw py::value_error("cannot make a " + std::to_string(width) + " x " + std::to_string(height) + " " +
                              std::to_string(depth) + "-bit " + colourMode + " document" +
                              (psb ? "" : " (PSD sides are at most 30000 px; PSB 300000)"));
    return Wrap(file, PSD::PSDReport());
}

PSD::PSDLayer const* ParentOf(DocumentPtr const& doc, py::object const& parent) {
    if (parent.is_none()) return nullptr;
    auto const& ref = parent.cast<LayerRef const&>();
    if (ref.doc != doc || !ref.layer->IsGroupStart()) throw py::value_error("parent must be a group of this document");
    return ref.layer.Get();
}

void Place(Kernel::Counted<PSD::PSDLayer> const& layer, int32_t left, int32_t top, uint32_t width, uint32_t height) {
    layer->m_left = left;
    layer->m_top = top;
    layer->m_right = int32_t(int64_t(left) + width);
    layer->m_bottom = int32_t(int64_t(top) + height);
}

void Settings(PSD::PSDLayer& layer, unsigned opacity, std::string const& blendMode, bool visible) {
    if (opacity > 255) throw py::value_error("opacity is 0 to 255");
    layer.m_opacity = uint8_t(opacity);
    layer.m_blendMode = BlendModeFromText(blendMode);
    layer.m_visible = visible;
}

LayerRef AddLayer(DocumentPtr const& doc, std::string const& name, py::array const& pixels, int32_t left, int32_t top,
                  unsigned opacity, std::string const& blendMode, bool visible, py::object const& mask,
                  py::object const& parent) {
    PSD::PSDFile& file = *doc->file;
    Raster::Format format, maskFormat;
    if (!PSD::LayerBitmapFormat(file.m_colourMode, file.m_depth, format) ||
        !PSD::LayerMaskFormat(file.m_colourMode, file.m_depth, maskFormat))
        throw py::value_error("this document's colour mode and depth have no layers");
    Kernel::Counted<PSD::PSDLayer> layer(new PSD::PSDLayer(PSD::PSDLayer::kNormal, PSD::String(name)));
    Settings(*layer, opacity, blendMode, visible);
    layer->m_bitmap = ArrayBitmap(pixels, format);
    Place(layer, left, top, layer->m_bitmap->GetWidth(), layer->m_bitmap->GetHeight());
    if (!mask.is_none()) {
        layer->m_bitmapUserMask = ArrayBitmap(mask.cast<py::array>(), maskFormat);
        auto& m = layer->m_userMask;
        m.m_present = true;
        m.m_left = left;
        m.m_top = top;
        m.m_right = int32_t(int64_t(left) + layer->m_bitmapUserMask->GetWidth());
        m.m_bottom = int32_t(int64_t(top) + layer->m_bitmapUserMask->GetHeight());
    }
    if (!file.AddLayer(layer, ParentOf(doc, parent)))
        ThrowError(file.HasTooManyLayers() ? "cannot add layer \"" + name + "\": too many layers"
                                        : "cannot add layer \"" + name + "\": too large");
    return {doc, layer};
}

LayerRef AddGroup(DocumentPtr const& doc, std::string const& name, unsigned opacity, std::string const& blendMode,
                  bool visible, py::object const& parent) {
    auto group = doc->file->AddGroup(PSD::String(name), ParentOf(doc, parent));
    if (!group) ThrowError("cannot add group \"" + name + "\": too many layers");
    Settings(*group, opacity, blendMode, visible);
    return {doc, group};
}

LayerRef AddAdjustmentLayer(DocumentPtr const& doc, std::string const& kind, py::dict const& changes,
                            py::object const& name, unsigned opacity, std::string const& blendMode, bool visible,
                            py::object const& parent) {
    PSD::PSDFile& file = *doc->file;
    Raster::Format format;
    if (!PSD::LayerBitmapFormat(file.m_colourMode, file.m_depth, format))
        throw py::value_error("this document's colour mode and depth have no layers");
    unsigned channels = file.m_colourMode == 4 ? 4 : file.m_colourMode == 3 || file.m_colourMode == 9 ? 3 : 1;
    auto fresh = PSD::NewAdjustment(kind, channels);
    if (!fresh) {
        std::string known;
        for (auto const& k : PSD::NewAdjustmentKinds()) known += (known.empty() ? "\"" : ", \"") + k + "\"";
        throw py::value_error("adjustment layers added are " + known);
    }
    if (kind == "patternfill" && !changes.contains("pattern"))
        throw py::value_error("a pattern fill is added with {\"pattern\": {\"id\": ...}} naming one of the "
                              "document's patterns");
    std::string why;
    auto adjustment = PSD::AdjustmentWithChanges(*fresh, WithDocumentPattern(doc, changes), why);
    if (!adjustment) throw py::value_error(why);
    std::string label = name.is_none() ? kind : name.cast<std::string>();
    auto layer = file.AddAdjustmentLayer(PSD::String(label), adjustment, ParentOf(doc, parent));
    if (!layer) ThrowError("cannot add layer \"" + label + "\": too many layers");
    Settings(*layer, opacity, blendMode, visible);
    return {doc, layer};
}

PSD::PSDLayer const* LayerOf(DocumentPtr const& doc, LayerRef const& layer) {
    if (layer.doc != doc) throw py::value_error("the layer is not of this document");
    return layer.layer.Get();
}

void RemoveLayer(DocumentPtr const& doc, LayerRef const& layer) {
    if (!doc->file->RemoveLayer(LayerOf(doc, layer)))
        throw py::value_error("the layer is no longer in the document");
}

void RestackLayer(DocumentPtr const& doc, LayerRef const& layer, size_t index, py::object const& parent) {
    if (!doc->file->RestackLayer(LayerOf(doc, layer), ParentOf(doc, parent), index))
        throw py::value_error("cannot move the layer there: it or the parent is no longer in the "
                              "document, the parent lies inside the group moved, or a background "
                              "layer would not stay at the bottom");
}

void SetComposite(DocumentPtr const& doc, py::array const& pixels) {
    PSD::PSDFile& file = *doc->file;
    auto bm = ArrayBitmap(pixels, CompositeFormat(file));
    if (bm->GetWidth() != file.m_width || bm->GetHeight() != file.m_height)
        throw py::value_error("the composite must be " + std::to_string(file.m_height) + " x " +
                              std::to_string(file.m_width));
    file.SetFlattenedBitmap(bm);
}

py::object Resolution(PSD::PSDFile const& f) {
    if (!f.m_unitConverter) return py::none();
    return py::float_(f.m_unitConverter->GetResolution());
}

py::object IccProfile(PSD::PSDFile const& f) {
    if (!f.m_iccProfile) return py::none();
    auto const& data = f.m_iccProfile->GetData();
    return py::bytes(reinterpret_cast<char const*>(data.data()), data.size());
}

std::string Repr(DocumentPtr const& d) {
    auto const& f = *d->file;
    char const* mode = PSD::ColourModeKey(f.m_colourMode);
    return "<zuzodoriv.Document " + std::string(f.IsPSB() ? "PSB " : "PSD ") + std::to_string(f.m_width) + "x" +
           std::to_string(f.m_height) + " " + (mode ? mode : "unknown") + " " + std::to_string(f.m_depth) +
           "-bit, " + std::to_string(f.m_layers.size()) + " layer records>";
}

// The document's patterns with their pixels as float arrays (0..1): what pattern fills and
// effects name by id. A block that does not read raises a RuntimeWarning, not an error, so the
// patterns of the other blocks still come back.
py::list Patterns(DocumentPtr const& doc) {
    std::vector<std::string> errors;
    std::vector<PSD::PSDPattern> patterns;
    {
        py::gil_scoped_release unlocked;
        patterns = PSD::ReadDocumentPatterns(*doc->file, errors);
    }
    for (auto const& e : errors) PyErr_WarnEx(PyExc_RuntimeWarning, e.c_str(), 1);
    py::list out;
    for (auto const& p : patterns) {
        size_t planes = p.m_channels.size() + (p.m_alpha.empty() ? 0 : 1);
        size_t count = size_t(p.m_width) * p.m_height;
        py::array_t<float> pixels({size_t(p.m_height), size_t(p.m_width), planes});
        float* at = pixels.mutable_data();
        for (size_t i = 0; i < count; ++i) {
            for (auto const& plane : p.m_channels) *at++ = plane[i];
            if (!p.m_alpha.empty()) *at++ = p.m_alpha[i];
        }
        py::dict d;
        d["name"] = Utf8Text(std::string(p.m_name));
        d["id"] = Utf8Text(std::string(p.m_id));
        char const* key = PSD::ColourModeKey(p.m_colourMode);
        d["colour_mode"] = key ? py::object(py::str(key)) : py::object(py::int_(p.m_colourMode));
        d["width"] = p.m_width;
        d["height"] = p.m_height;
        d["has_alpha"] = !p.m_alpha.empty();
        d["pixels"] = std::move(pixels);
        out.append(std::move(d));
    }
    return out;
}

}  // namespace

void BindDocument(py::module_& m) {
    m.def("open", &Open, py::arg("source"), py::kw_only(), py::arg("parse_text") = true,
          py::arg("parse_smart_objects") = true,
          "Open a document from a path, bytes or memoryview, or a binary file object. Raises "
          "zuzodoriv.Error (TruncatedError, UnsupportedError, OutOfMemoryError) with the library's "
          "message when it does not open.");

    py::class_<DocumentRef, DocumentPtr> d(m, "Document",
        "A PSD or PSB document: header values, settings from the image resources, layers and the "
        "composite. Pixels decode on first request.");
    auto file = [](DocumentPtr const& doc) -> PSD::PSDFile const& { return *doc->file; };
    d.def_static("new", &New, py::arg("width"), py::arg("height"), py::arg("colour_mode") = "rgb",
                 py::arg("depth") = 8, py::arg("resolution") = 72.0, py::kw_only(), py::arg("psb") = false,
                 "A new empty document: colour_mode \"rgb\", \"grayscale\", \"cmyk\", \"lab\" ..., depth 8, 16 or 32.")
        .def_property_readonly("width", [=](DocumentPtr const& x) { return file(x).m_width; })
        .def_property_readonly("height", [=](DocumentPtr const& x) { return file(x).m_height; })
        .def_property_readonly("depth", [=](DocumentPtr const& x) { return file(x).m_depth; })
        .def_property_readonly("channels", [=](DocumentPtr const& x) { return file(x).m_channelCount; })
        .def_property_readonly("colour_mode", [=](DocumentPtr const& x) -> py::object {
            char const* key = PSD::ColourModeKey(file(x).m_colourMode);
            return key ? py::object(py::str(key)) : py::object(py::int_(file(x).m_colourMode));
        }, "\"rgb\", \"cmyk\", \"grayscale\", \"lab\", \"bitmap\", \"multichannel\", \"indexed\" or \"duotone\"")
        .def_property_readonly("colour_mode_name", [=](DocumentPtr const& x) { return PSD::ColourModeName(file(x).m_colourMode); })
        .def_property_readonly("version", [=](DocumentPtr const& x) { return file(x).IsPSB() ? 2 : 1; })
        .def_property_readonly("is_psb", [=](DocumentPtr const& x) { return file(x).IsPSB(); })
        .def_property_readonly("resolution", [=](DocumentPtr const& x) { return Resolution(file(x)); },
                               "Pixels per inch, or None when not stored.")
        .def_property_readonly("horizontal_guides", [=](DocumentPtr const& x) { return file(x).m_horizontalGuides; })
        .def_property_readonly("vertical_guides", [=](DocumentPtr const& x) { return file(x).m_verticalGuides; })
        .def_property_readonly("guides", [=](DocumentPtr const& x) {
            py::dict g;
            g["horizontal"] = file(x).m_horizontalGuides;
            g["vertical"] = file(x).m_verticalGuides;
            return g;
        }, "{\"horizontal\": [y, ...], \"vertical\": [x, ...]} in pixels.")
        .def_property_readonly("alpha_channel_names", [=](DocumentPtr const& x) { return Strings(file(x).m_alphaChannelNames); })
        .def_property_readonly("icc_profile", [=](DocumentPtr const& x) { return IccProfile(file(x)); },
                               "The embedded ICC profile's bytes, or None.")
        .def_property_readonly("has_real_merged_data", [=](DocumentPtr const& x) { return file(x).m_hasRealMergedData; })
        .def_property_readonly("global_angle", [=](DocumentPtr const& x) { return file(x).m_globalLightAngle; })
        .def_property_readonly("global_altitude", [=](DocumentPtr const& x) { return file(x).m_globalLightAltitude; })
        .def_property_readonly("global_light", [=](DocumentPtr const& x) {
            return py::make_tuple(file(x).m_globalLightAngle, file(x).m_globalLightAltitude);
        }, "(angle, altitude) in degrees.")
        .def_property_readonly("caption", [=](DocumentPtr const& x) -> py::object {
            return file(x).m_caption.empty() ? py::object(py::none()) : py::object(Utf8Text(std::string(file(x).m_caption)));
        })
        .def_property_readonly("merged_transparency", [=](DocumentPtr const& x) { return file(x).m_mergedTransparency != 0; })
        .def_property_readonly("resource_ids", [=](DocumentPtr const& x) { return file(x).GetResourceIds(); })
        .def_property_readonly("document_block_keys", [=](DocumentPtr const& x) {
            py::list keys;
            for (auto const& b : file(x).m_documentBlocks) keys.append(KeyText(b.key));
            return keys;
        })
        .def_property_readonly("warnings", [](DocumentPtr const& x) { return x->warnings; },
                               "The report's warning lines from opening.")
        .def_property_readonly("layers", &TopLayers, "The top-level layers and groups, top-most first.")
        .def("descendants", &Descendants, "Every layer and group of the tree, depth first, top-most first.")
        .def("records", &Records, "Every layer record in file order, bottom first, group end markers included.")
        .def("composite", &Composite,
             "The composite as an array: height x width x channels (uint8, uint16 or float32 by depth; "
             "bool in bitmap mode; Lab at 16 bits); None when the document has no composite that decodes.")
        .def("patterns", &Patterns,
             "The document's patterns, in file order: dicts of name, id (what pattern fills and "
             "effects name), colour_mode, width, height, has_alpha and pixels (height x width x "
             "channels float32 in 0..1, alpha last; an indexed pattern comes as RGB).")
        .def("set_composite", &SetComposite, py::arg("array"), "Replace the composite (height x width x colour channels, alpha optional).")
        .def("add_layer", &AddLayer, py::arg("name"), py::arg("array"), py::arg("left") = 0, py::arg("top") = 0,
             py::arg("opacity") = 255, py::arg("blend_mode") = "norm", py::arg("visible") = true,
             py::arg("mask") = py::none(), py::arg("parent") = py::none(),
             "Add a pixel layer at the top of the document (or of group parent). array is height x width x "
             "colour channels with optional alpha, of the document's dtype; mask is height x width.")
        .def("add_adjustment_layer", &AddAdjustmentLayer, py::arg("kind"), py::arg("changes") = py::dict(),
             py::arg("name") = py::none(), py::arg("opacity") = 255, py::arg("blend_mode") = "norm",
             py::arg("visible") = true, py::arg("parent") = py::none(),
             "Add an adjustment or fill layer of a kind as `Layer.adjustment` names it (\"levels\", \"curves\", "
             "..., \"solidcolorfill\", \"gradientfill\", \"patternfill\") at the top of the document (or of "
             "group parent), with the editor's settings for a new one (and its empty white mask) and the fields of changes as "
             "`Layer.set_adjustment` takes them (a pattern fill needs {\"pattern\": {\"id\": ...}}). It is "
             "named after its kind unless name is given.")
        .def("remove_layer", &RemoveLayer, py::arg("layer"),
             "Remove a layer, or a group with everything in it; layers clipped to it are released.")
        .def("restack_layer", &RestackLayer, py::arg("layer"), py::arg("index") = 0,
             py::arg("parent") = py::none(),
             "Move a layer (a group with everything in it) into group parent (None: the top level), "
             "index layers from its top; an index past the last puts it at the bottom. It joins a clipping "
             "group it lands inside; layers clipped to it are released when it leaves.")
        .def("add_group", &AddGroup, py::arg("name"), py::arg("opacity") = 255, py::arg("blend_mode") = "pass",
             py::arg("visible") = true, py::arg("parent") = py::none(),
             "Add an empty open group at the top of the document (or of group parent).")
        .def("__repr__", &Repr);
    BindSave(d);
    BindDocumentRender(d);
    BindVectorDocument(d);
    // Layer is bound before Document.
    auto layer = py::reinterpret_borrow<py::class_<LayerRef>>(py::type::of<LayerRef>());
    BindSmartObject(m, layer, d);
}

}  // namespace zuzodoriv::python

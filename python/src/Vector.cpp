// Vector data: `Document.paths` and `Layer.vector_mask`, `vector_stroke` and `live_shape`, with the
// field names and units of `zuzodoriv info --json` (the library's JSON forms of them).
#include "Binding.h"
#include "psd/file/PSDVectorJson.h"

namespace zuzodoriv::python {

void BindVectorDocument(py::class_<DocumentRef, DocumentPtr>& document) {
    document.def_property_readonly("paths", [](DocumentPtr const& d) {
        return JsonToPython(PSD::PathsJson(*d->file));
    }, "The working, saved and clipping paths: one dict each, knots in document pixels.");
}

void BindVector(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly("vector_mask", [](LayerRef const& l) -> py::object {
            if (!l.layer->m_vectorMask) return py::none();
            return JsonToPython(PSD::VectorMaskJson(*l.layer));
        }, "The vector mask's flags, bounds and subpaths (document pixels); None without one.")
        .def_property_readonly("vector_stroke", [](LayerRef const& l) -> py::object {
            if (!l.layer->m_vectorStroke) return py::none();
            auto const& conv = l.doc->file->m_unitConverter;
            return JsonToPython(PSD::VectorStrokeJson(*l.layer, conv ? conv->GetResolution() : 72.0));
        }, "The shape's stroke and fill settings (width in pixels); None without them.")
        .def_property_readonly("live_shape", [](LayerRef const& l) -> py::object {
            if (l.layer->m_vectorOrigination.empty()) return py::none();
            return JsonToPython(PSD::LiveShapeJson(*l.layer));
        }, "One dict per live shape of the layer; None without origination data.");
}

}  // namespace zuzodoriv::python

// Document.render and Layer.render: the library's renderer, its result as a NumPy array.
#include "Binding.h"
#include "psd/render/PSDRender.h"

namespace zuzodoriv::python {

namespace {

py::array Render(DocumentRef const& doc, PSD::PSDRenderOptions const& options) {
    PSD::PSDRenderResult result;
    std::string error;
    bool ok;
    {
        py::gil_scoped_release unlocked;
        ok = PSD::RenderDocument(*doc.file, options, result, error);
    }
    if (!ok) ThrowError(error);
    for (auto const& u : result.undrawn)
        PyErr_WarnEx(PyExc_RuntimeWarning, ("not drawn: " + u).c_str(), 1);
    return BitmapArray(result.bitmap, result.bitmap->GetChannelCount(), false);
}

}  // namespace

void BindDocumentRender(py::class_<DocumentRef, DocumentPtr>& document) {
    document.def(
        "render",
        [](DocumentPtr const& d, py::object layer, std::string const& group, bool effects,
           double scale, uint64_t wholeZipBytes) {
            PSD::PSDRenderOptions o;
            o.wholeZipBytes = wholeZipBytes;
            if (!layer.is_none()) o.layer = layer.cast<std::ptrdiff_t>();
            o.group = PSD::String(group.c_str());
            o.effects = effects;
            if (!(scale > 0)) throw py::value_error("scale must be above 0");
            o.scale = scale;
            return Render(*d, o);
        },
        py::kw_only(), py::arg("layer") = py::none(), py::arg("group") = "",
        py::arg("effects") = true, py::arg("scale") = 1.0,
        py::arg("whole_zip_bytes") = PSD::PSDRenderOptions{}.wholeZipBytes,
        "The document drawn from its layers (or one layer, by index, or the first group of a "
        "name): height x width x channels with alpha, in the document's colour mode and depth. "
        "ZIP layers past whole_zip_bytes of decoded pixels inflate a band at a time (less "
        "memory, slower). Each feature not drawn raises a RuntimeWarning.");
}

void BindLayerRender(py::class_<LayerRef>& layer) {
    layer.def(
        "render",
        [](LayerRef const& l, bool effects, double scale) {
            auto const& layers = l.doc->file->m_layers;
            PSD::PSDRenderOptions o;
            for (size_t i = 0; i < layers.size(); ++i)
                if (layers[i].Get() == l.layer.Get()) o.layer = std::ptrdiff_t(i);
            o.effects = effects;
            if (!(scale > 0)) throw py::value_error("scale must be above 0");
            o.scale = scale;
            return Render(*l.doc, o);
        },
        py::kw_only(), py::arg("effects") = true, py::arg("scale") = 1.0,
        "This layer (a group: its contents) drawn alone over transparency, document-sized (times "
        "scale).");
}

}  // namespace zuzodoriv::python

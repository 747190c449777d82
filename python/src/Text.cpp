// Type layers on zuzodoriv.Layer: `text` (the fields of `zuzodoriv info --json`) and
// `set_text`, which replaces the text and keeps its styles.
#include "Binding.h"
#include "psd/adjustments/PSDTextJson.h"

namespace zuzodoriv::python {

void BindText(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly("text", [](LayerRef const& l) -> py::object {
            auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
            if (!tool) return py::none();
            return JsonToPython(PSD::TextJson(*tool));
        }, "The type layer's text with its runs, paragraphs, frame and transform; None for "
           "other layers.")
        .def("set_text", [](LayerRef const& l, std::string const& content) {
            auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
            PSD::ParseData options;
            options.m_parseText = true;
            if (!tool || !tool->SetContent(PSD::String(content), options))
                throw py::value_error("the layer holds no text that can be replaced");
        }, py::arg("content"),
           "Replaces the text (paragraphs separated by \"\\r\"); each style run keeps its "
           "length and the last takes up the difference. Saved with the document.");
}

}  // namespace zuzodoriv::python

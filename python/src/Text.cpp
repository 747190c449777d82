// Type layers on zuzodoriv.Layer: `text` (the fields of `zuzodoriv info --json`) and
// `set_text`, which replaces the text, keeps its styles and draws the layer's pixels again.
#include "Binding.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/render/PSDRenderText.h"

namespace zuzodoriv::python {

void BindText(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly("text", [](LayerRef const& l) -> py::object {
            auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
            if (!tool) return py::none();
            return JsonToPython(PSD::TextJson(*tool));
        }, "The type layer's text with its runs, paragraphs, frame and transform; None for "
           "other layers.")
        .def("set_text", [](LayerRef const& l, std::string const& content, bool redraw) {
            auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
            PSD::ParseData options;
            options.m_parseText = true;
            if (!tool || !tool->SetContent(PSD::String(content), options))
                throw py::value_error("the layer holds no text that can be replaced");
            std::vector<std::string> substituted;
            if (!redraw) return substituted;
            std::string why;
            size_t missing = 0;
            auto warn = py::module_::import("warnings").attr("warn");
            if (!PSD::RedrawTypeLayer(*l.doc->file, *l.layer, why, &substituted, &missing)) {
                warn("the layer keeps its old pixels: " + why);
                return substituted;
            }
            if (missing)
                warn(std::to_string(missing) +
                     " characters have no glyph in the installed fonts (drawn as missing-glyph "
                     "boxes)");
            l.doc->pixelArrays.erase(l.layer.Get());  // arrays handed out show the old text
            return substituted;
        }, py::arg("content"), py::arg("redraw") = true,
           "Replaces the text (paragraphs separated by \"\\r\"); each style run keeps its "
           "length (the last takes up the difference) and each paragraph run its number of "
           "paragraphs. With redraw, the layer's pixels and "
           "bounds become the new text drawn with the installed fonts. Returns the fonts that "
           "are not installed and were drawn with a substitute. Saved with the document.");
}

}  // namespace zuzodoriv::python

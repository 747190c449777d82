// Type layers on zuzodoriv.Layer: `text` (the fields of `zuzodoriv info --json`) and
// `set_text`, which replaces the text keeping its styles, and `set_text_style` and
// `set_paragraph_style`, which style a range of it; each draws the layer's pixels again.
#include "Binding.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/render/PSDRenderText.h"

namespace zuzodoriv::python {

namespace {

// Draws the changed text into the layer's pixels; the fonts drawn with a substitute.
std::vector<std::string> Redraw(LayerRef const& l, bool redraw) {
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
             " characters have no glyph in the installed fonts (drawn as missing-glyph boxes)");
    l.doc->pixelArrays.erase(l.layer.Get());  // arrays handed out show the old text
    return substituted;
}

using Styler = bool (*)(PSD::PSDAdjustmentTypeTool&, nlohmann::json const&, size_t, size_t,
                        PSD::ParseData const&, std::string&);

// A style change set on a range of the text (set_text_style, set_paragraph_style).
template <Styler Set>
std::vector<std::string> StyleRange(LayerRef const& l, py::dict const& changes, size_t start,
                                    std::optional<size_t> length, bool redraw) {
    auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
    if (!tool) throw py::value_error("the layer holds no text that can be styled");
    PSD::ParseData options;
    options.m_parseText = true;
    std::string why;
    if (!Set(*tool, ToJson(changes), start, length.value_or(std::string::npos), options, why))
        throw py::value_error(why);
    return Redraw(l, redraw);
}

}  // namespace

void BindText(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly(
            "text",
            [](LayerRef const& l) -> py::object {
                auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
                if (!tool) return py::none();
                return JsonToPython(PSD::TextJson(*tool));
            },
            "The type layer's text with its runs, paragraphs, frame and transform; None for "
            "other layers.")
        .def(
            "set_text",
            [](LayerRef const& l, std::string const& content, bool redraw) {
                auto tool = l.layer->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
                PSD::ParseData options;
                options.m_parseText = true;
                if (!tool || !tool->SetContent(PSD::String(content), options))
                    throw py::value_error("the layer holds no text that can be replaced");
                return Redraw(l, redraw);
            },
            py::arg("content"), py::arg("redraw") = true,
            "Replaces the text (paragraphs separated by \"\\r\"); each style run keeps its "
            "length (the last takes up the difference) and each paragraph run its number of "
            "paragraphs. With redraw, the layer's pixels and "
            "bounds become the new text drawn with the installed fonts. Returns the fonts that "
            "are not installed and were drawn with a substitute. Saved with the document.")
        .def("set_text_style", &StyleRange<PSD::SetTextStyle>, py::arg("changes"),
             py::arg("start") = 0, py::arg("length") = py::none(), py::arg("redraw") = true,
             "Sets character style fields, named and in the units of the text's runs (\"font\" as "
             "a PostScript name, \"size\", \"color\", \"faux_bold\", \"faux_italic\", "
             "\"tracking\", \"leading\", \"auto_leading\", \"horizontal_scale\", "
             "\"vertical_scale\", \"baseline_shift\", \"underline\", \"strikethrough\"), on "
             "the characters from start for length UTF-16 units (to the end when None); runs are "
             "split at the range's ends. Redraws as set_text does and returns the same. Raises "
             "ValueError for an unknown field, a value out of range or a range outside the text.")
        .def("set_paragraph_style", &StyleRange<PSD::SetParagraphStyle>, py::arg("changes"),
             py::arg("start") = 0, py::arg("length") = py::none(), py::arg("redraw") = true,
             "Sets paragraph fields, named and in the units of the text's paragraphs "
             "(\"justification\" 0 to 6 as the engine numbers it, \"first_line_indent\", "
             "\"start_indent\", \"end_indent\", \"space_before\", \"space_after\", "
             "\"auto_leading\"), on every paragraph the range from start for length UTF-16 units "
             "touches. Redraws as set_text does and returns the same. Raises ValueError as "
             "set_text_style does.");
}

}  // namespace zuzodoriv::python

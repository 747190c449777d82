// Layer effects and adjustments on zuzodoriv.Layer: `effects`, `effects_enabled`, `effects_scale`
// and `adjustment`, with the field names and units of `zuzodoriv info --json` (the library's JSON
// forms of both).
#include "Binding.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/file/PSDPatterns.h"

namespace zuzodoriv::python {

// NumPy scalars pass as their Python values; NaN and infinities are refused.
nlohmann::json ToJson(py::dict const& changes) {
    char const* plain = "the changes must be plain numbers, strings, lists and dicts";
    py::cpp_function item([plain](py::object o) -> py::object {
        if (!py::hasattr(o, "item")) throw py::type_error(plain);
        return o.attr("item")();
    });
    std::string text = py::str(py::module_::import("json").attr("dumps")(changes, py::arg("default") = item));
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) throw py::value_error(plain);
    return j;
}

namespace {

Kernel::Counted<PSD::PSDLayerEffects> EffectsOf(LayerRef const& l) {
    auto effects = l.layer->GetEffects();
    if (!effects) throw py::value_error("the layer has no effects");
    return effects;
}

}  // namespace

// A pattern a change set names must be one of the document's; its name comes from there when
// not given. The library's reader names any other fault of the field.
nlohmann::json WithDocumentPattern(DocumentPtr const& doc, py::dict const& changes) {
    nlohmann::json j = ToJson(changes);
    std::string why;
    if (!PSD::PatternFromDocument(*doc->file, j, why)) throw py::value_error(why + " (see Document.patterns())");
    return j;
}

namespace {

// The changes go through the library's JSON reader, with the names and units `effects` gives.
void SetEffect(LayerRef const& l, long index, py::dict const& changes) {
    auto effects = EffectsOf(l);
    long n = long(effects->m_effects.size());
    if (index < -n || index >= n) throw py::index_error("no effect " + std::to_string(index));
    auto& slot = effects->m_effects[size_t(index < 0 ? index + n : index)];
    std::string why;
    auto changed = PSD::EffectWithChanges(*slot, WithDocumentPattern(l.doc, changes), why);
    if (!changed) throw py::value_error(why);
    slot = changed;
}

// A layer without effects gains the effects blocks; the new effect goes where a save puts it.
void AddEffect(LayerRef const& l, std::string const& type, py::dict const& changes) {
    PSD::PSDLayer& layer = *l.layer;
    if (layer.IsGroupEnd()) throw py::value_error("a group's end marker has no effects");
    RefuseOnBackground(layer, "effects");
    auto fresh = PSD::NewEffect(type);
    if (!fresh)
        throw py::value_error("effects added are \"DropShadow\", \"InnerShadow\", \"OuterGlow\", "
                              "\"InnerGlow\", \"BevelEmboss\", \"ColorOverlay\", \"GradientOverlay\", "
                              "\"PatternOverlay\", \"Stroke\" or \"Satin\"");
    if (type == "PatternOverlay" && !changes.contains("pattern"))
        throw py::value_error("a pattern overlay is added with {\"pattern\": {\"id\": ...}} naming one "
                              "of the document's patterns");
    std::string why;
    auto effect = PSD::EffectWithChanges(*fresh, WithDocumentPattern(l.doc, changes), why);
    if (!effect) throw py::value_error(why);
    if (!layer.m_effects) layer.m_effects = Kernel::MakeCounted<PSD::PSDLayerEffects>();
    layer.m_effects->Insert(effect);
}

void RemoveEffect(LayerRef const& l, long index) {
    auto effects = EffectsOf(l);
    long n = long(effects->m_effects.size());
    if (index < -n || index >= n) throw py::index_error("no effect " + std::to_string(index));
    effects->m_effects.erase(effects->m_effects.begin() + (index < 0 ? index + n : index));
}

void SetAdjustment(LayerRef const& l, py::dict const& changes) {
    auto adjustment = l.layer->GetAdjustment();
    if (!adjustment || adjustment->GetType() == PSD::PSDAdjustment::kTypeTool)
        throw py::value_error("the layer is not an adjustment or fill layer");
    std::string why;
    auto changed = PSD::AdjustmentWithChanges(*adjustment, WithDocumentPattern(l.doc, changes), why);
    if (!changed) throw py::value_error(why);
    l.layer->m_adjustment = changed;
}

}  // namespace

void BindEffects(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly("effects", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return JsonToPython(PSD::EffectsJson(*effects));
        }, "One dict per effect in the layer's order; None without effect blocks.")
        .def("set_effect", &SetEffect, py::arg("index"), py::arg("changes"),
             "Set fields of the layer's effect at index (as `effects` lists them) from a dict with "
             "the names and units of `effects`, for instance {\"opacity\": 50, \"color\": "
             "{\"model\": \"rgb\", \"values\": [255, 0, 0]}}; raises ValueError, changing nothing, "
             "for a field that cannot be set or a value out of range.")
        .def("add_effect", &AddEffect, py::arg("type"), py::arg("changes") = py::dict(),
             "Add an effect of a type as `effects` names it (\"DropShadow\", \"InnerShadow\", "
             "\"OuterGlow\", \"InnerGlow\", \"BevelEmboss\", \"ColorOverlay\", \"GradientOverlay\", "
             "\"PatternOverlay\", \"Stroke\", \"Satin\") with the editor's defaults (a gradient "
             "overlay's: black to white) and the fields of changes, where a save puts it among the "
             "layer's others. A pattern overlay needs {\"pattern\": {\"id\": ...}}, one of the "
             "document's patterns.")
        .def("remove_effect", &RemoveEffect, py::arg("index"), "Remove the layer's effect at index.")
        .def_property("effects_enabled", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return py::bool_(effects->m_masterSwitch);
        }, [](LayerRef const& l, bool on) { EffectsOf(l)->m_masterSwitch = on; },
        "The master switch of the effects; None without effect blocks.")
        .def_property("effects_scale", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return py::float_(effects->m_scale * 100.0);
        }, [](LayerRef const& l, double percent) {
            if (!(percent >= 1 && percent <= 1000)) throw py::value_error("the effects' scale is 1 to 1000 percent");
            EffectsOf(l)->m_scale = percent / 100.0;
        }, "The effects' scale in percent; None without effect blocks.")
        .def_property_readonly("adjustment", [](LayerRef const& l) -> py::object {
            auto adjustment = l.layer->GetAdjustment();
            if (!adjustment || adjustment->GetType() == PSD::PSDAdjustment::kTypeTool)
                return py::none();
            return JsonToPython(PSD::AdjustmentJson(*adjustment));
        }, "The adjustment or fill settings as a dict with their kind; None for other layers.")
        .def("set_adjustment", &SetAdjustment, py::arg("changes"),
             "Set fields of the adjustment or fill from a dict with the names and units of "
             "`adjustment`, for instance {\"brightness\": 20} or {\"color\": {\"model\": \"rgb\", "
             "\"values\": [255, 0, 0]}}; a colour lookup takes {\"table\": {\"format\": \"cube\" or \"3dl\", "
             "\"data\": the file's text, \"name\": ...}}. Raises ValueError, changing nothing, for a field "
             "that cannot be set or a value out of range.");
}

}  // namespace zuzodoriv::python

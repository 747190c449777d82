// Layer effects and adjustments on zuzodoriv.Layer: `effects`, `effects_enabled`, `effects_scale`
// and `adjustment`, with the field names and units of `zuzodoriv info --json` (the library's JSON
// forms of both).
#include "Binding.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/effects/PSDEffectsJson.h"

namespace zuzodoriv::python {

void BindEffects(py::class_<LayerRef>& layer) {
    layer
        .def_property_readonly("effects", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return JsonToPython(PSD::EffectsJson(*effects));
        }, "One dict per effect in the layer's order; None without effect blocks.")
        .def_property_readonly("effects_enabled", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return py::bool_(effects->m_masterSwitch);
        }, "The master switch of the effects; None without effect blocks.")
        .def_property_readonly("effects_scale", [](LayerRef const& l) -> py::object {
            auto effects = l.layer->GetEffects();
            if (!effects) return py::none();
            return py::float_(effects->m_scale * 100.0);
        }, "The effects' scale in percent; None without effect blocks.")
        .def_property_readonly("adjustment", [](LayerRef const& l) -> py::object {
            auto adjustment = l.layer->GetAdjustment();
            if (!adjustment || adjustment->GetType() == PSD::PSDAdjustment::kTypeTool)
                return py::none();
            return JsonToPython(PSD::AdjustmentJson(*adjustment));
        }, "The adjustment or fill settings as a dict with their kind; None for other layers.");
}

}  // namespace zuzodoriv::python

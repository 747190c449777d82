// A layer's effects: one ordered list read from the legacy block ("lrFX") and the descriptor
// blocks ("lfx2", "lfxs", "lmfx"), the scale and the master switch; saved as both blocks.
#pragma once

#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/effects/PSDEffect.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

class PSDLayerEffects : public Kernel::Countable {
public:
    PSDLayerEffects() = default;

    // Legacy block body; ignored once a descriptor block has been read.
    [[nodiscard]] bool ParseLayerEffects(Kernel::InStreamSeekable& stream, ParseData& pd);
    // Descriptor block body: version 0, then a descriptor.
    [[nodiscard]] bool ParseObjectEffects(Kernel::InStreamSeekable& stream, ParseData& pd);
    // One multi-effect list each.
    [[nodiscard]] bool ParseMultiShadow(DescriptorItem const& item, bool inner, PSDLoadData& ld);
    [[nodiscard]] bool ParseMultiSolidFill(DescriptorItem const& item, PSDLoadData& ld);
    [[nodiscard]] bool ParseMultiGradientFill(DescriptorItem const& item, PSDLoadData& ld);
    [[nodiscard]] bool ParseMultiFrameFX(DescriptorItem const& item, PSDLoadData& ld);

    // The descriptor block (under its key) then the legacy block ("lrFX"), with their tag headers.
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;
    // The top-level descriptor Save writes.
    [[nodiscard]] bool BuildDescriptor(Descriptor& out) const;

    bool HasEnabledEffects() const;
    // Adds an effect where a save and a read of it put it: shadows, colour and gradient overlays
    // and strokes by their kind, the others after every effect before them.
    void Insert(Kernel::Counted<PSDEffect> effect);

    std::vector<Kernel::Counted<PSDEffect>> m_effects;
    double m_scale = 1.0;
    bool m_objectEffectsRead = false;
    bool m_masterSwitch = true;
    // The key of the descriptor block as first read ("lfx2", "lfxs", "lmfx"): written under it.
    uint32_t m_objectKey = Key("lfx2");
    // Top-level keys the model does not read ("numModifyingFX", unknown ones), written back.
    std::vector<Descriptor::Item> m_kept;
};

}  // namespace PSD

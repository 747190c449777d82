// The per-save context and save progress.
#pragma once

#include <cstdint>
#include <mutex>

#include "host/kernel/Counted.h"
#include "host/kernel/Progress.h"
#include "psd/file/PSDIO.h"

namespace PSD {

// Progress of a save: total steps (2 per layer + 1) and completed steps, guarded by a lock so a
// host thread may poll while a worker saves.
class PSDSaveProgress : public Kernel::ProgressReporter {
public:
    void Init(uint64_t total);
    void LayerComplete();
    // Completed and total steps, read under the lock.
    void GetProgress(uint64_t& done, uint64_t& total) const;
    // Fraction 0..1.
    double GetProgress() const;
    void OnUpdate(uint64_t, uint64_t) override {}

private:
    mutable std::mutex m_lock;
    uint64_t m_total = 0;
    uint64_t m_done = 0;
};

struct SaveData {
    ByteOrderFixer m_fixer{true};
    bool m_isPSB = false;
    bool m_compress = false;   // also try ZIP with prediction for channels
    bool m_option2 = false;    // third flag of Save, for the layer writers
    uint32_t m_colourMode = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint16_t m_colourChannelsPlusOne = 0;
    uint16_t m_headerChannels = 0;
    uint16_t m_depth = 0;
    Kernel::Counted<PSDSaveProgress> m_progress;
};

}  // namespace PSD

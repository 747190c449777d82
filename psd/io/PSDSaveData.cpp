// Save progress and section lengths filled in after the section is written.
#include "psd/io/PSDSaveData.h"

namespace PSD {

// ---- Progress

void PSDSaveProgress::Init(uint64_t total) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_total = total;
        m_done = 0;
    }
    OnUpdate(0, total);
}

void PSDSaveProgress::LayerComplete() {
    uint64_t done, total;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_done < m_total) ++m_done;
        done = m_done;
        total = m_total;
    }
    OnUpdate(done, total);
}

void PSDSaveProgress::GetProgress(uint64_t& done, uint64_t& total) const {
    std::lock_guard<std::mutex> g(m_lock);
    done = m_done;
    total = m_total;
}

double PSDSaveProgress::GetProgress() const {
    uint64_t done, total;
    GetProgress(done, total);
    return total == 0 ? 0.0 : double(done) / double(total);
}

// ---- SectionSizer

bool SectionSizer::Begin(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer,
                         bool wide) {
    m_stream = &stream;
    m_fixer = fixer;
    m_wide = wide;
    bool ok =
        wide ? WriteValue<uint64_t>(stream, 0, fixer) : WriteValue<uint32_t>(stream, 0, fixer);
    m_start = stream.GetPosition();
    return ok;
}

bool SectionSizer::End(unsigned alignment, bool includePadding) {
    if (!m_stream) return false;
    Kernel::OutStreamSeekable& s = *m_stream;
    uint64_t end = s.GetPosition();
    if (end < m_start) return false;
    uint64_t length = end - m_start;
    if (alignment > 1) {
        uint64_t pad = (alignment - length % alignment) % alignment;
        if (!WriteZeros(s, size_t(pad))) return false;
        end += pad;
        if (includePadding) length += pad;
    }
    if (!m_wide && length > 0xFFFFFFFFull) return false;
    unsigned width = m_wide ? 8 : 4;
    if (!s.Seek(m_start - width)) return false;
    bool ok = m_wide ? WriteValue<uint64_t>(s, length, m_fixer)
                     : WriteValue<uint32_t>(s, uint32_t(length), m_fixer);
    return ok && s.Seek(end);
}

bool WriteTagHeaderExt(Kernel::OutStream& stream, ByteOrderFixer const& fixer, uint32_t key,
                       bool isPSB, uint64_t length) {
    if (!WriteKey(stream, Key("8BIM"), fixer) || !WriteKey(stream, key, fixer)) return false;
    if (isPSB) return WriteValue<uint64_t>(stream, length, fixer);
    return length <= 0xFFFFFFFFull && WriteValue<uint32_t>(stream, uint32_t(length), fixer);
}

}  // namespace PSD

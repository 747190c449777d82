// Hand-built image resource sections for the resource reader and writer tests.
#pragma once

#include <string>
#include <vector>

#include "psd/file/PSDFile.h"
#include "support/MinimalDocument.h"

namespace resourcetest {

using testsupport::Bytes;

// One block: signature, identifier, name padded to even length, size, data, pad byte.
inline Bytes Block(uint16_t id, std::vector<uint8_t> const& data, std::string const& name = {},
                   std::string const& signature = "8BIM") {
    Bytes b;
    b.Str(signature).U16(id).U8(uint8_t(name.size())).Str(name);
    if ((name.size() + 1) % 2) b.U8(0);
    b.U32(uint32_t(data.size())).Append(data);
    if (data.size() % 2) b.U8(0);
    return b;
}

inline Bytes Pascal(std::string const& s) {
    Bytes b;
    b.U8(uint8_t(s.size())).Str(s);
    return b;
}

// The section: its 32-bit length and the blocks.
inline Bytes Section(std::vector<uint8_t> const& blocks) {
    Bytes b;
    b.U32(uint32_t(blocks.size())).Append(blocks);
    return b;
}

// A document ready to read resources into: colour mode and channel count as a header gives them.
inline Kernel::Counted<PSD::PSDFile> NewDocument(uint32_t mode = 3, uint16_t channels = 3) {
    Kernel::Counted<PSD::PSDFile> doc(new PSD::PSDFile);
    doc->m_colourMode = mode;
    doc->m_channelCount = channels;
    doc->m_width = 100;
    doc->m_height = 80;
    doc->m_warnings = Kernel::MakeCounted<PSD::PSDWarnings>();
    return doc;
}

inline PSD::ParseData NewContext(PSD::PSDFile const& doc) {
    PSD::ParseData pd(true, true, PSD::CreateOptions{}, doc.m_warnings);
    pd.m_colourMode = doc.m_colourMode;
    pd.m_colourChannels = uint16_t(PSD::ColourChannelCount(doc.m_colourMode, false));
    pd.m_width = doc.m_width;
    pd.m_height = doc.m_height;
    return pd;
}

// Reads a whole section (length included) from memory; the trailer shows where reading stopped.
struct SectionResult {
    bool ok = false;
    int error = -1;  // code of the report's error, -1 for none
    uint64_t position = 0;
};

inline SectionResult ReadSection(PSD::PSDFile& doc, PSD::ParseData& pd,
                                 std::vector<uint8_t> const& bytes) {
    auto stream = Kernel::MemoryInStream::Create(bytes);
    SectionResult r;
    r.ok = doc.ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable>(stream.Get()), pd);
    r.error = pd.m_report.m_error ? int(pd.m_report.m_error->GetCode()) : -1;
    r.position = stream->GetPosition();
    return r;
}

}  // namespace resourcetest

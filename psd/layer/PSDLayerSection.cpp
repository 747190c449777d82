// Layer and mask information section. Until layer records are read the section is passed over.
#include "psd/file/PSDFile.h"

namespace PSD {

bool PSDFile::ParseLayersAndMasks(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd) {
    uint64_t length;
    if (pd.m_isPSB) {
        if (!ReadValue(*stream, length, pd)) return false;
    } else {
        uint32_t l32;
        if (!ReadValue(*stream, l32, pd)) return false;
        length = l32;
    }
    m_sections.layerAndMaskLength = length;
    return SkipBytes(*stream, length, pd);
}

}  // namespace PSD

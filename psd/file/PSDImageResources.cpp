// Image resources section. Until the resource blocks are decoded the section is passed over.
#include "psd/file/PSDFile.h"

namespace PSD {

bool PSDFile::ParseImageResources(Kernel::NonCounted<Kernel::InStreamSeekable> stream, ParseData& pd) {
    uint32_t length;
    if (!ReadValue(*stream, length, pd)) return false;
    m_sections.imageResourcesLength = length;
    return SkipBytes(*stream, length, pd);
}

}  // namespace PSD

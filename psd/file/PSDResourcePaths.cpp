// Entry points of the path resources (working path 1025, saved paths 2000-2997). The path record
// reader is not part of the library yet: the blocks are passed over and no path is stored.
#include "psd/file/PSDFile.h"

namespace PSD {

bool PSDFile::ParsePathResource(Kernel::InStream&, unsigned int, String const&, ParseData&,
                                unsigned int) {
    return true;  // the block loop skips the unread data
}

bool PSDFile::ParseWorkingPathResource(Kernel::InStream&, unsigned int, ParseData&) {
    return true;  // the block loop skips the unread data
}

}  // namespace PSD

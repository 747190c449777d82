// Compares what two documents hold as stored, so a saved copy can be checked against its original:
// every image resource, document block and layer block must still be there with the same body.
#pragma once

#include <string>
#include <vector>

#include "psd/file/PSDFile.h"

namespace PSD {

// One line per difference, in file order: a resource, document block or layer block of the
// original that the copy lacks or holds with another body, and a layer count that differs. Blocks
// that carry the layers themselves ("Layr", "Lr16", "Lr32") are compared through the layers.
std::vector<std::string> CompareStoredData(PSDFile const& original, PSDFile const& copy);

// What a save of this document could not keep, one line each (empty when nothing would be lost).
std::vector<std::string> DescribeSaveLosses(PSDFile const& doc);

}  // namespace PSD

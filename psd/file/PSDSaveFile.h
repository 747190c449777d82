// Saving a document to a path so that the path only ever holds a complete document: the save
// goes to a partial file beside the target, renamed over it once written and closed.
#pragma once

#include <string>

#include "host/kernel/Counted.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

enum class SaveFileStatus {
    Saved,
    CannotWrite,  // the partial file could not be made, or not renamed over the target
    Failed,       // the save itself failed; the target is untouched
    WriteFailed,  // the save succeeded but the partial file did not close; the target is untouched
    Cancelled,    // *abort was set during the save; the target is untouched
};

// Saves into "<target>.partial-<pid>" and renames it over target on success; on any failure or
// cancellation the partial file is removed. message says what happened when the status is not
// Saved ("cannot write T: why", "saving T failed", "saving T failed: write error", "cancelled; T was not written").
[[nodiscard]] SaveFileStatus SaveToFile(PSDFile const& doc, std::string const& target,
                                        SaveOptions const& options, std::string& message);

}  // namespace PSD

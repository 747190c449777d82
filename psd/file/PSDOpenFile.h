// Opening a document from a path in one call.
#pragma once

#include <string>

#include "host/kernel/Counted.h"
#include "psd/file/PSDFile.h"
#include "psd/report/PSDReport.h"

namespace PSD {

// The document at path, or null with message set: "cannot open: <why>" when the file does not
// open, otherwise the report's error message ("failed" when the parse stopped without one).
// The report receives the parse's error and warnings either way.
Kernel::Counted<PSDFile> OpenFile(std::string const& path, CreateOptions const& options,
                                  PSDReport& report, std::string& message);

}  // namespace PSD

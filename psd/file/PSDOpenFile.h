// Opening a document (PSD, PSB or layered TIFF) from a path or a stream in one call.
#pragma once

#include <string>

#include "host/kernel/Counted.h"
#include "psd/file/PSDFile.h"
#include "psd/report/PSDReport.h"

namespace PSD {

// Whether the stream holds a TIFF file (by its first bytes).
bool IsTIFFStream(Kernel::InStreamSeekable& stream);
// A document from a PSD, PSB or layered TIFF file held in a stream, recognised by content. A
// TIFF without layer data fails with a parsing error saying so.
Kernel::Counted<PSDFile> OpenStream(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                    CreateOptions const& options, PSDReport& report);

// The document at path, or null with message set: "cannot open: <why>" when the file does not
// open, otherwise the report's error message ("failed" when the parse stopped without one).
// The report receives the parse's error and warnings either way.
Kernel::Counted<PSDFile> OpenFile(std::string const& path, CreateOptions const& options,
                                  PSDReport& report, std::string& message);

}  // namespace PSD

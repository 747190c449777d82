// Opening the document a subcommand names, with one wording for every way it can fail.
#pragma once

#include <string>

#include "psd/file/PSDOpenFile.h"

namespace zuzodoriv {

struct OpenedDocument {
    Kernel::Counted<PSD::PSDFile> doc;  // null on any failure
    PSD::PSDReport report;              // the parse's error and warnings
    std::string error;                  // what PSD::OpenFile says went wrong
};

// What the tool reads unless told otherwise: smart objects and their files, not text.
inline PSD::CreateOptions ToolOptions() {
    PSD::CreateOptions o;
    o.parseSmartObjects = true;
    return o;
}

inline OpenedDocument OpenDocument(std::string const& path,
                                   PSD::CreateOptions const& options = ToolOptions()) {
    OpenedDocument o;
    o.doc = PSD::OpenFile(path, options, o.report, o.error);
    return o;
}

// The report's error message, or "failed" when the parse stopped without one.
inline std::string ErrorText(PSD::PSDReport const& report) {
    return report.m_error ? std::string(report.m_error->Report()) : std::string("failed");
}

}  // namespace zuzodoriv

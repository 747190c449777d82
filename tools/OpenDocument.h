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

inline OpenedDocument OpenDocument(std::string const& path, PSD::CreateOptions const& options = {}) {
    OpenedDocument o;
    o.doc = PSD::OpenFile(path, options, o.report, o.error);
    return o;
}

// The report's error message, or "failed" when the parse stopped without one.
inline std::string ErrorText(PSD::PSDReport const& report) {
    return report.m_error ? std::string(report.m_error->Report()) : std::string("failed");
}

}  // namespace zuzodoriv

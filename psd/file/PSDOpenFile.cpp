#include "psd/file/PSDOpenFile.h"

#include "host/kernel/Stream.h"

namespace PSD {

Kernel::Counted<PSDFile> OpenFile(std::string const& path, CreateOptions const& options,
                                  PSDReport& report, std::string& message) {
    std::string why;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(path, &why));
    if (!in) {
        message = "cannot open: " + why;
        return nullptr;
    }
    auto doc = PSDFile::Create(in, options, report);
    if (!doc)
        message = report.m_error ? std::string(report.m_error->Report()) : std::string("failed");
    return doc;
}

}  // namespace PSD

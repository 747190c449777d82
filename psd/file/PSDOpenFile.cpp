#include "psd/file/PSDOpenFile.h"

#include <cstring>

#include "host/kernel/Stream.h"

namespace PSD {

bool IsTIFFStream(Kernel::InStreamSeekable& stream) {
    uint8_t head[4];
    if (stream.ReadAt(0, head, 4) != 4) return false;
    return std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0;
}

Kernel::Counted<PSDFile> OpenStream(Kernel::Counted<Kernel::InStreamSeekable> const& stream,
                                    CreateOptions const& options, PSDReport& report) {
    if (!stream) return nullptr;
    if (!IsTIFFStream(*stream)) return PSDFile::Create(stream, options, report);
    auto doc = PSDFile::CreateFromTIFF(stream, options, report);
    // A TIFF without the tags of a layered document reads as nothing: say so.
    if (!doc && !report.m_error)
        report.SetError(PSDError::kParsing, String("TIFF file without layer data (tag 37724)"));
    return doc;
}

Kernel::Counted<PSDFile> OpenFile(std::string const& path, CreateOptions const& options,
                                  PSDReport& report, std::string& message) {
    std::string why;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(path, &why));
    if (!in) {
        message = "cannot open: " + why;
        return nullptr;
    }
    auto doc = OpenStream(in, options, report);
    if (!doc)
        message = report.m_error ? std::string(report.m_error->Report()) : std::string("failed");
    return doc;
}

}  // namespace PSD

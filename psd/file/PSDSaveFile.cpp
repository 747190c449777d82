// Saving to a path through a partial file that replaces the target only when complete.
#include "psd/file/PSDSaveFile.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace PSD {

SaveFileStatus SaveToFile(PSDFile const& doc, std::string const& target, SaveOptions const& options,
                          std::string& message) {
    bool const* abort = options.abort;
    namespace fs = std::filesystem;
    std::string temp = target + ".partial-" + std::to_string(::getpid());
    std::string why;
    auto out = Kernel::FileOutStream::Create(temp, &why);
    if (!out) {
        message = "cannot write " + target + ": " + why;
        return SaveFileStatus::CannotWrite;
    }
    bool ok = doc.Save(*out, options);
    bool closed = out->Close();
    out = nullptr;
    std::error_code ec;
    if (abort && *abort) {
        fs::remove(temp, ec);
        message = "cancelled; " + target + " was not written";
        return SaveFileStatus::Cancelled;
    }
    if (!ok || !closed) {
        fs::remove(temp, ec);
        message = "saving " + target + " failed" + (ok ? ": write error" : "");
        return ok ? SaveFileStatus::WriteFailed : SaveFileStatus::Failed;
    }
    fs::rename(temp, target, ec);
    if (ec) {
        message = "cannot write " + target + ": " + ec.message();
        fs::remove(temp, ec);
        return SaveFileStatus::CannotWrite;
    }
    return SaveFileStatus::Saved;
}

}  // namespace PSD

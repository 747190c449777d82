// Document.save: the library's save with a Python progress callback. The callback runs on the
// saving thread with the GIL taken back; an exception in it, or Ctrl-C, sets the save's abort
// flag, and the save removes its partial file before the exception is raised again here.
#include <memory>

#include "Binding.h"
#include "psd/file/PSDSaveFile.h"

namespace zuzodoriv::python {

namespace {

class PythonProgress : public PSD::PSDSaveProgress {
public:
    PythonProgress(py::object callback, bool* abort) : m_callback(std::move(callback)), m_abort(abort) {}

    void OnUpdate(uint64_t done, uint64_t total) override {
        if (*m_abort) return;
        py::gil_scoped_acquire gil;
        // Signal handlers run here, on the main thread, so Ctrl-C reaches a save in progress.
        if (PyErr_CheckSignals() != 0) {
            Stop(std::make_unique<py::error_already_set>());
            return;
        }
        if (m_callback.is_none()) return;
        try {
            m_callback(done, total);
        } catch (py::error_already_set& e) {
            Stop(std::make_unique<py::error_already_set>(std::move(e)));
        }
    }

    // Raises what stopped the save, if anything did. Called with the GIL held.
    void RaiseIfStopped() {
        if (m_error) {
            auto e = std::move(m_error);
            throw std::move(*e);
        }
    }

    // The callback is released with the GIL held, before the object goes.
    void Release() {
        m_callback = py::none();
        m_error.reset();
    }

private:
    void Stop(std::unique_ptr<py::error_already_set> e) {
        m_error = std::move(e);
        *m_abort = true;
    }

    py::object m_callback;
    bool* m_abort;
    std::unique_ptr<py::error_already_set> m_error;
};

void Save(DocumentPtr const& doc, py::object const& target, bool psb, std::string const& compression,
          py::object const& progressCallback) {
    if (compression != "rle" && compression != "zip")
        throw py::value_error("compression is \"rle\" or \"zip\"");
    bool zip = compression == "zip";
    PSD::PSDFile const& file = *doc->file;
    if (file.IsCompositeStale())
        PyErr_WarnEx(PyExc_UserWarning,
                     "the layers changed since the composite was read: it is saved as it was, "
                     "marked as not matching the layers",
                     1);
    bool abort = false;
    Kernel::Counted<PythonProgress> progress(new PythonProgress(progressCallback, &abort));
    bool toFile = !py::hasattr(target, "write");
    PSD::SaveOptions options{.psb = psb, .compress = zip, .progress = progress, .abort = &abort};
    PSD::SaveFileStatus status = PSD::SaveFileStatus::Saved;
    std::string message;
    auto memory = Kernel::MemoryInOutStreamBase::Create();
    {
        py::gil_scoped_release unlocked;
        if (toFile) {
            std::string path;
            {
                py::gil_scoped_acquire gil;
                path = PathOf(target);
            }
            status = PSD::SaveToFile(file, path, options, message);
        } else if (!file.Save(*memory, options)) {
            status = abort ? PSD::SaveFileStatus::Cancelled : PSD::SaveFileStatus::Failed;
            message = abort ? "cancelled; nothing was written" : "saving failed";
        }
    }
    try {
        progress->RaiseIfStopped();
    } catch (...) {
        progress->Release();
        throw;
    }
    progress->Release();
    if (status != PSD::SaveFileStatus::Saved) ThrowError(message);
    if (!toFile) {
        auto const& bytes = memory->GetData();
        target.attr("write")(py::bytes(reinterpret_cast<char const*>(bytes.data()), bytes.size()));
    }
}

}  // namespace

void BindSave(py::class_<DocumentRef, DocumentPtr>& document) {
    document.def("save", &Save, py::arg("target"), py::kw_only(), py::arg("psb") = false,
                 py::arg("compression") = "rle", py::arg("progress") = py::none(),
                 "Save to a path (through a partial file renamed over it once complete) or a binary "
                 "file object. compression \"zip\" deflates 16- and 32-bit layer channels. "
                 "progress(done, total) is called as layers are written; an exception raised in it, "
                 "or Ctrl-C, cancels the save and leaves no file.");
}

}  // namespace zuzodoriv::python

// zuzodoriv.Error and its subclasses, raised with the report's exact message.
#include "Binding.h"
#include "host/kernel/Memory.h"

namespace zuzodoriv::python {

namespace {

// Created once at import and kept for the life of the process.
PyObject* s_error = nullptr;
PyObject* s_truncated = nullptr;
PyObject* s_unsupported = nullptr;
PyObject* s_outOfMemory = nullptr;

PyObject* ClassOf(PSD::PSDError::Code code) {
    switch (code) {
        case PSD::PSDError::kTruncated:
            return s_truncated;
        case PSD::PSDError::kOutOfMemory:
            return s_outOfMemory;
        case PSD::PSDError::kUnsupportedVersion:
        case PSD::PSDError::kUnsupportedDepth:
        case PSD::PSDError::kUnsupportedColourMode:
        case PSD::PSDError::kUnsupportedPixelFormat:
            return s_unsupported;
        default:
            return s_error;
    }
}

// The whole message, embedded NULs and all (damaged keys show up in messages as they are).
[[noreturn]] void Raise(PyObject* cls, std::string const& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), py::ssize_t(message.size()), "replace");
    if (!text) throw py::error_already_set();
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
    throw py::error_already_set();
}

PyObject* NewClass(py::module_& m, char const* name, PyObject* bases, char const* doc) {
    std::string qualified = std::string("zuzodoriv.") + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (!cls) throw py::error_already_set();
    m.add_object(name, py::handle(cls));
    return cls;
}

}  // namespace

void ThrowReport(PSD::PSDReport const& report) {
    if (!report.m_error) ThrowError("failed");
    Raise(ClassOf(report.m_error->GetCode()), std::string(report.m_error->Report()));
}

void ThrowError(std::string const& message) {
    Raise(s_error, message);
}

void BindErrors(py::module_& m) {
    s_error = NewClass(m, "Error", PyExc_Exception,
                       "A document did not open, decode or save; the message is the library's report.");
    s_truncated = NewClass(m, "TruncatedError", s_error, "The data ends before the structure it declares.");
    s_unsupported = NewClass(m, "UnsupportedError", s_error,
                             "A version, depth, colour mode or pixel format the library does not handle.");
    py::tuple memoryBases = py::make_tuple(py::handle(s_error), py::handle(PyExc_MemoryError));
    s_outOfMemory = NewClass(m, "OutOfMemoryError", memoryBases.ptr(),
                             "A bitmap or buffer the document asks for could not be allocated.");
    // Bitmaps beyond the allocation limit throw from deep inside decoding and building.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (Kernel::MemoryException const& e) {
            // The message a report gives for the same failure.
            std::string message(PSD::PSDError(PSD::PSDError::kOutOfMemory).Report());
            PyErr_SetString(s_outOfMemory, message.c_str());
        }
    });
}

}  // namespace zuzodoriv::python

// The extension module zuzodoriv._zuzodoriv; the package re-exports it.
#include "Binding.h"

namespace zuzodoriv::python {

std::string PathOf(py::handle path) {
    py::object p = py::module_::import("os").attr("fspath")(path);
    if (!py::isinstance<py::str>(p)) throw py::type_error("a path must be str or os.PathLike giving str");
    return p.cast<std::string>();
}

}  // namespace zuzodoriv::python

PYBIND11_MODULE(_zuzodoriv, m) {
    using namespace zuzodoriv::python;
    m.doc() = "Layered Photoshop documents (PSD, PSB) read and written by the zuzodoriv library.";
    BindErrors(m);
    BindLayer(m);
    BindDocument(m);
    BindPixels(m);
}

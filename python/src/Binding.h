// What the binding's source files share: the Python-side handles of documents and layers, the
// error classes, and the conversions between bitmaps and NumPy arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>

#include "host/raster/Bitmap.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"

namespace zuzodoriv::python {

namespace py = pybind11;
using BitmapRef = Kernel::Counted<Raster::DynamicBitmap>;

// A document as Python holds it. Layers keep it alive; arrays keep only their bitmap alive.
struct DocumentRef {
    Kernel::Counted<PSD::PSDFile> file;
    std::vector<std::string> warnings;  // the report's lines from opening
    // The pixel array each layer last handed out, while it lives: numpy() returns it again, and
    // once it is gone so is the decoded memory. The entry keeps the layer, so that its address
    // is not reused; the array's death removes it. Used with the GIL held.
    struct PixelArray {
        Kernel::Counted<PSD::PSDLayer> layer;
        py::weakref array;
    };
    std::unordered_map<PSD::PSDLayer const*, PixelArray> pixelArrays;
};
using DocumentPtr = std::shared_ptr<DocumentRef>;

// One layer record of a document.
struct LayerRef {
    DocumentPtr doc;
    Kernel::Counted<PSD::PSDLayer> layer;
};

// ---- Errors (Errors.cpp)
void BindErrors(py::module_& m);
// Raises the error class of the report's error code with the report's message.
[[noreturn]] void ThrowReport(PSD::PSDReport const& report);
[[noreturn]] void ThrowError(std::string const& message);

// ---- Arrays (Pixels.cpp)
// A read-only array over the bitmap's memory that keeps the bitmap alive: height x width x
// channels (the first `channels` samples of each pixel), or height x width when flat is set.
py::array BitmapArray(BitmapRef const& bm, unsigned channels, bool flat);
// A new bitmap of format holding the array's samples: height x width x (colour channels, with or
// without alpha; opaque when without), or height x width for one-channel formats. The dtype must
// be the format's (uint8, uint16, float32); raises TypeError or ValueError otherwise.
BitmapRef ArrayBitmap(py::array const& array, Raster::Format format);
void BindPixels(py::module_& m);

// ---- Model (Document.cpp, Layer.cpp, Effects.cpp, Save.cpp, Descriptor.cpp)
void BindDocument(py::module_& m);
void BindLayer(py::module_& m);
void BindSave(py::class_<DocumentRef, DocumentPtr>& document);
// Effects.cpp: the effect properties of Layer.
void BindEffects(py::class_<LayerRef>& layer);
// Render.cpp: Document.render and Layer.render.
void BindDocumentRender(py::class_<DocumentRef, DocumentPtr>& document);
void BindLayerRender(py::class_<LayerRef>& layer);
// Vector.cpp: the vector properties of Document and Layer.
void BindVector(py::class_<LayerRef>& layer);
void BindVectorDocument(py::class_<DocumentRef, DocumentPtr>& document);
// ---- Type layers (Text.cpp)
void BindText(py::class_<LayerRef>& layer);
py::object JsonToPython(nlohmann::ordered_json const& j);
// A change set as JSON (Effects.cpp); NumPy scalars pass, NaN and infinities are refused.
nlohmann::json ToJson(py::dict const& changes);
// The changes, with a pattern they name checked against the document's and named from it.
nlohmann::json WithDocumentPattern(DocumentPtr const& doc, py::dict const& changes);
// The background layer is saved without masks, effects or fill opacity: refused there rather
// than lost on save.
void RefuseOnBackground(PSD::PSDLayer const& layer, char const* what);

// UTF-8 text as a str, invalid sequences replaced.
py::str Utf8Text(std::string const& s);
// SmartObject.cpp: Layer.smart_object, Document.linked_data and the LinkedFile class.
void BindSmartObject(py::module_& m, py::class_<LayerRef>& layer,
                     py::class_<DocumentRef, DocumentPtr>& document);
// Four-character keys as str, their bytes taken as Latin-1 like `info --json` does.
py::str KeyText(uint32_t key);
// A layer's blend mode as its key.
py::str BlendKeyText(PSD::BlendMode mode);
PSD::BlendMode BlendModeFromText(std::string const& key);

}  // namespace zuzodoriv::python

namespace zuzodoriv::python {
// A path given as str or os.PathLike.
std::string PathOf(py::handle path);
}  // namespace zuzodoriv::python

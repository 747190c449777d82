// Placed layers and linked files: `Layer.smart_object` (the `info --json` dict) and
// `Document.linked_data`, one LinkedFile per identifier with the embedded bytes, the nested
// Document or the decoded image.
#include "Binding.h"
#include "psd/file/PSDLinkedData.h"
#include "psd/file/PSDSmartObjectJson.h"
#include "psd/layer/PSDSmartObject.h"

namespace zuzodoriv::python {

namespace {

struct LinkedRef {
    DocumentPtr doc;
    Kernel::Counted<PSD::PSDSmartObjectData> data;
};

py::object NestedDocument(LinkedRef const& r) {
    Kernel::Counted<PSD::PSDFile> nested;
    {
        py::gil_scoped_release unlocked;
        nested = r.data->GetDocument();
    }
    if (!nested) return py::none();
    auto ref = std::make_shared<DocumentRef>();
    ref->file = nested;
    for (auto const& line : nested->GetWarnings() ? nested->GetWarnings()->Lines() : std::vector<PSD::String>())
        ref->warnings.push_back(line);
    return py::cast(ref);
}

py::object Image(LinkedRef const& r) {
    BitmapRef bm;
    {
        py::gil_scoped_release unlocked;
        bm = r.data->GetBitmap();
    }
    if (!bm) return py::none();
    return BitmapArray(bm, bm->GetChannelCount(), false);
}

}  // namespace

void BindSmartObject(py::module_& m, py::class_<LayerRef>& layer,
                     py::class_<DocumentRef, DocumentPtr>& document) {
    py::class_<LinkedRef>(m, "LinkedFile", "A file embedded in or linked from a document, by identifier.")
        .def_property_readonly("id", [](LinkedRef const& r) { return std::string(r.data->m_uniqueId); })
        .def_property_readonly("kind", [](LinkedRef const& r) { return PSD::LinkedKindName(r.data->m_kind); },
                               "embedded, linked or alias")
        .def_property_readonly("content", [](LinkedRef const& r) {
            py::gil_scoped_release unlocked;
            return std::string(PSD::LinkedContentName(*r.data));
        }, "document, image or other (as in info --json)")
        .def_property_readonly("file_name", [](LinkedRef const& r) { return std::string(r.data->m_fileName); })
        .def_property_readonly("file_type", [](LinkedRef const& r) { return KeyText(r.data->m_fileType); })
        .def_property_readonly("size", [](LinkedRef const& r) { return r.data->GetSize(); })
        .def_property_readonly("extension", [](LinkedRef const& r) { return r.data->GetExtension(); })
        .def_property_readonly("data", [](LinkedRef const& r) {
            auto bytes = r.data->GetBytes();
            return py::bytes(reinterpret_cast<char const*>(bytes.data()), bytes.size());
        }, "The embedded file as stored (empty for files outside the document).")
        .def_property_readonly("document", &NestedDocument, "The nested Document, or None.")
        .def_property_readonly("image", &Image, "The decoded image (height x width x channels), or None.")
        .def_property_readonly("reason", [](LinkedRef const& r) { return r.data->GetReason(); },
                               "Why the file is kept as bytes; empty when it decoded.");
    layer.def_property_readonly("smart_object", [](LayerRef const& l) -> py::object {
        auto object = l.layer->GetSmartObject();
        if (!object) return py::none();
        return JsonToPython(PSD::SmartObjectJson(*object, l.doc->file.Get()));
    }, "The placed layer's smart object as info --json gives it; None for other layers.");
    document.def_property_readonly("linked_data", [](DocumentPtr const& d) {
        py::list out;
        for (auto const& record : d->file->GetLinkedRecords())
            if (d->file->GetLinkedLayerData(record->m_uniqueId) == record) out.append(LinkedRef{d, record});
        return out;
    }, "One LinkedFile per identifier, in record order.");
}

}  // namespace zuzodoriv::python

// Descriptor trees (the library's JSON form) as nested dicts and lists; keys as text.
#include "Binding.h"

namespace zuzodoriv::python {

// Text a document holds may not be valid UTF-8 (odd keys, lone surrogates): shown with
// replacement characters, as info --json does, rather than raising.
py::str Utf8Text(std::string const& s) {
    auto* o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

py::object JsonToPython(nlohmann::ordered_json const& j) {
    using T = nlohmann::ordered_json::value_t;
    switch (j.type()) {
        case T::null:
        case T::discarded:
            return py::none();
        case T::boolean:
            return py::bool_(j.get<bool>());
        case T::number_integer:
            return py::int_(j.get<int64_t>());
        case T::number_unsigned:
            return py::int_(j.get<uint64_t>());
        case T::number_float:
            return py::float_(j.get<double>());
        case T::string:
            return Utf8Text(j.get_ref<std::string const&>());
        case T::array: {
            py::list out;
            for (auto const& e : j) out.append(JsonToPython(e));
            return out;
        }
        case T::object: {
            py::dict out;
            for (auto const& [k, v] : j.items()) out[Utf8Text(k)] = JsonToPython(v);
            return out;
        }
        case T::binary:
            break;
    }
    return py::none();
}

py::str KeyText(uint32_t key) {
    char bytes[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    return py::reinterpret_steal<py::str>(PyUnicode_DecodeLatin1(bytes, 4, nullptr));
}

py::str BlendKeyText(PSD::BlendMode mode) {
    uint32_t key;
    return PSD::EncodeBlendMode(mode, key) ? KeyText(key) : py::str(std::to_string(uint32_t(mode)));
}

PSD::BlendMode BlendModeFromText(std::string const& text) {
    PSD::BlendMode mode;
    PSD::PSDReport report;
    if (text.size() != 4 ||
        !PSD::DecodeBlendMode(uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
                                  uint32_t(uint8_t(text[2])) << 8 | uint8_t(text[3]),
                              mode, report))
        throw py::value_error("unknown blend mode \"" + text + "\" (keys such as \"norm\", \"mul \", \"pass\")");
    return mode;
}

}  // namespace zuzodoriv::python

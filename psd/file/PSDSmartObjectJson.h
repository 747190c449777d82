// Placed layers and the document's linked files as JSON, the form `info --json` prints and the
// Python module returns.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/file/PSDFile.h"
#include "psd/layer/PSDSmartObject.h"

namespace PSD {

// {"id", "kind" ("embedded", "linked" or "alias"), "transform" (8 numbers, pixels), "page",
// "width", "height"}; what the blocks do not store is left out. The kind comes from the
// document's record of the identifier (doc may be null).
nlohmann::ordered_json SmartObjectJson(PSDSmartObject const& object, PSDFile const* doc);

// One {"id", "kind" ("document", "image" or "other"), "file_name", "file_type", "size", "width",
// "height"} per identifier, in record order; decodes each embedded file (lazily made documents
// decode no pixels).
nlohmann::ordered_json LinkedDataJson(PSDFile const& doc);

// "embedded", "linked" or "alias" for a record kind; null for others.
char const* LinkedKindName(uint32_t kind);
// "document", "image" or "other".
char const* LinkedContentName(PSDSmartObjectData const& data);

}  // namespace PSD

// Descriptor trees and text engine data as JSON, in the form `dump --json` prints and the Python
// module returns: a descriptor is {"class", "name" (when set), "items": [{"key", "type",
// "value"}]}; engine data maps dictionaries, arrays, names ("/Name"), strings and numbers as such.
#pragma once

#include <nlohmann/json.hpp>

#include "psd/descriptor/Descriptor.h"
#include "psd/text/PDFData.h"

namespace PSD {

nlohmann::ordered_json DescriptorJson(Descriptor const& d);
// Null for a missing value.
nlohmann::ordered_json EngineDataJson(PDFData const* v);

}  // namespace PSD

// Engine data written back in its text syntax, for type layers whose text was edited.
#pragma once

#include <string>

#include "psd/text/PDFData.h"

namespace PSD {

// The tree in the syntax the parser reads: dictionaries and arrays over lines with tab indents,
// strings as UTF-16 with a byte-order mark, reals always with a decimal point.
std::string WritePDFData(PDFData const& root);

}  // namespace PSD

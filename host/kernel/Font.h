// Installed fonts, looked up by the PostScript names documents store.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/kernel/String.h"

namespace Kernel {

// A font as type layers ask for it: a family, and for variable fonts the axis settings.
struct FontDescription {
    String8 family;
    String8 postscriptName;
    // Design axes of a variable-font instance, tag (four characters, "wght") and value, in the
    // order the name gave them.
    std::vector<std::pair<uint32_t, double>> axes;
    int weight = 400;      // from "wght" when given
    double width = 100.0;  // percent, from "wdth" when given
    bool italic = false;   // from "ital" >= 0.5 or a non-zero "slnt"
};

// The fonts of the system, read once on first use; safe to use from any thread.
class FontCache {
public:
    static FontCache& GetInstance();

    // The family of the installed font with this PostScript name (exact, case-sensitive);
    // false when there is none.
    bool FindFontFamilyByPostscriptName(std::string_view postscriptName, String8& family) const;
    String8 FindFontFamilyByPostscriptName(std::string_view postscriptName) const;

    // Makes a font known without installing it (hosts with their own fonts, tests).
    void AddFont(std::string_view postscriptName, std::string_view family);
    size_t GetFontCount() const;

    FontCache(FontCache const&) = delete;
    FontCache& operator=(FontCache const&) = delete;

private:
    FontCache() = default;
    void LoadSystemFonts() const;
    mutable std::once_flag m_loaded;
    mutable std::mutex m_lock;
    mutable std::unordered_map<std::string, String8> m_families;  // PostScript name -> family
};

// Reads the PostScript name of an arbitrary variable-font instance, "<prefix>_<value><tag>...",
// for example "AcmeSans_700wght_75wdth". True when the name has that form and the prefix is the
// PostScript name of an installed font, or of its "-Regular", "-Roman" or "-Italic" instance; out
// then holds that font's family and the axis values.
bool TryParseVariableFontName(std::string_view postscriptName, FontDescription& out);

}  // namespace Kernel

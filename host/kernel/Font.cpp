#include "host/kernel/Font.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace Kernel {

FontCache& FontCache::GetInstance() {
    static FontCache* s = new FontCache;  // never destroyed: callers may run during exit
    return *s;
}

void FontCache::LoadSystemFonts() const {
    std::call_once(m_loaded, [this] {
        FcConfig* config = FcInitLoadConfigAndFonts();
        if (!config) return;
        FcPattern* pattern = FcPatternCreate();
        FcObjectSet* objects = FcObjectSetBuild(FC_POSTSCRIPT_NAME, FC_FAMILY, nullptr);
        FcFontSet* fonts = (pattern && objects) ? FcFontList(config, pattern, objects) : nullptr;
        std::lock_guard<std::mutex> g(m_lock);
        for (int i = 0; fonts && i < fonts->nfont; ++i) {
            FcChar8* ps = nullptr;
            FcChar8* family = nullptr;
            if (FcPatternGetString(fonts->fonts[i], FC_POSTSCRIPT_NAME, 0, &ps) != FcResultMatch)
                continue;
            if (FcPatternGetString(fonts->fonts[i], FC_FAMILY, 0, &family) != FcResultMatch)
                continue;
            // The first family listed is the font's own (later ones are localised aliases).
            m_families.emplace(reinterpret_cast<char const*>(ps),
                               String8(reinterpret_cast<char const*>(family)));
        }
        if (fonts) FcFontSetDestroy(fonts);
        if (objects) FcObjectSetDestroy(objects);
        if (pattern) FcPatternDestroy(pattern);
        FcConfigDestroy(config);
    });
}

bool FontCache::FindFontFamilyByPostscriptName(std::string_view postscriptName,
                                               String8& family) const {
    LoadSystemFonts();
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_families.find(std::string(postscriptName));
    if (it == m_families.end()) return false;
    family = it->second;
    return true;
}

String8 FontCache::FindFontFamilyByPostscriptName(std::string_view postscriptName) const {
    String8 family;
    (void)FindFontFamilyByPostscriptName(postscriptName, family);
    return family;
}

void FontCache::AddFont(std::string_view postscriptName, std::string_view family) {
    LoadSystemFonts();
    std::lock_guard<std::mutex> g(m_lock);
    m_families[std::string(postscriptName)] = String8(family);
}

size_t FontCache::GetFontCount() const {
    LoadSystemFonts();
    std::lock_guard<std::mutex> g(m_lock);
    return m_families.size();
}

namespace {

// "700wght", "-12.5slnt": a decimal number then a tag of one to four letters or digits.
bool ParseAxis(std::string_view part, std::pair<uint32_t, double>& axis) {
    size_t i = 0;
    if (i < part.size() && part[i] == '-') ++i;
    size_t digits = 0;
    while (i < part.size() && ((part[i] >= '0' && part[i] <= '9') || part[i] == '.')) {
        ++i;
        ++digits;
    }
    if (digits == 0) return false;
    double v = 0;
    auto r = std::from_chars(part.data(), part.data() + i, v);
    if (r.ec != std::errc() || r.ptr != part.data() + i || !std::isfinite(v)) return false;
    std::string_view tag = part.substr(i);
    if (tag.empty() || tag.size() > 4) return false;
    uint32_t t = 0;
    for (size_t k = 0; k < 4; ++k) {
        char c = k < tag.size() ? tag[k] : ' ';  // short tags are space-padded
        if (k < tag.size() &&
            !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
        t = t << 8 | static_cast<uint8_t>(c);
    }
    axis = {t, v};
    return true;
}

constexpr uint32_t Tag(char const (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

}  // namespace

bool TryParseVariableFontName(std::string_view postscriptName, FontDescription& out) {
    size_t us = postscriptName.find('_');
    if (us == 0 || us == std::string_view::npos || us + 1 >= postscriptName.size()) return false;
    std::string_view prefix = postscriptName.substr(0, us);
    std::vector<std::pair<uint32_t, double>> axes;
    std::string_view rest = postscriptName.substr(us + 1);
    while (!rest.empty()) {
        size_t next = rest.find('_');
        std::pair<uint32_t, double> axis;
        if (!ParseAxis(rest.substr(0, next), axis)) return false;
        axes.push_back(axis);
        if (next == std::string_view::npos) break;
        rest = rest.substr(next + 1);
        if (rest.empty()) return false;  // a trailing underscore
    }

    FontCache& cache = FontCache::GetInstance();
    String8 family;
    bool found = cache.FindFontFamilyByPostscriptName(prefix, family);
    // The default instance is usually listed as "<prefix>-<style>"; try the common ones.
    for (char const* style : {"-Regular", "-Roman", "-Italic"}) {
        if (found) break;
        found = cache.FindFontFamilyByPostscriptName(std::string(prefix) + style, family);
    }
    if (!found) return false;

    FontDescription d;
    d.family = family;
    d.postscriptName = String8(postscriptName);
    d.axes = std::move(axes);
    for (auto const& [tag, value] : d.axes) {
        if (tag == Tag("wght"))
            d.weight = static_cast<int>(std::lround(std::clamp(value, 1.0, 1000.0)));
        if (tag == Tag("wdth")) d.width = value;
        if (tag == Tag("ital")) d.italic = value >= 0.5;
        if (tag == Tag("slnt") && value != 0) d.italic = true;
    }
    out = std::move(d);
    return true;
}

}  // namespace Kernel

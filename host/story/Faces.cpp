#include "host/story/Faces.h"

#include <fontconfig/fontconfig.h>
#include <hb-ft.h>
#include <strings.h>

namespace Story {

namespace {

// The file of the installed font matching the pattern, and whether its family is the one asked
// for; false when fontconfig offers nothing.
bool MatchFile(FcPattern* pattern, String8 const& family, String8& file, int& index, bool& exact) {
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    bool ok = false;
    FcChar8* path = nullptr;
    if (match && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
        file = reinterpret_cast<char const*>(path);
        if (FcPatternGetInteger(match, FC_INDEX, 0, &index) != FcResultMatch) index = 0;
        FcChar8* got = nullptr;
        exact = !family.empty() && FcPatternGetString(match, FC_FAMILY, 0, &got) == FcResultMatch &&
                strcasecmp(reinterpret_cast<char const*>(got), family.c_str()) == 0;
        ok = true;
    }
    if (match) FcPatternDestroy(match);
    return ok;
}

// The file of the installed font with exactly this PostScript name.
bool FindPostScript(String8 const& name, String8& file, int& index) {
    if (name.empty()) return false;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return false;
    FcPatternAddString(pattern, FC_POSTSCRIPT_NAME, reinterpret_cast<FcChar8 const*>(name.c_str()));
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, nullptr);
    FcFontSet* fonts = objects ? FcFontList(nullptr, pattern, objects) : nullptr;
    bool ok = false;
    FcChar8* path = nullptr;
    if (fonts && fonts->nfont > 0 &&
        FcPatternGetString(fonts->fonts[0], FC_FILE, 0, &path) == FcResultMatch) {
        file = reinterpret_cast<char const*>(path);
        if (FcPatternGetInteger(fonts->fonts[0], FC_INDEX, 0, &index) != FcResultMatch) index = 0;
        ok = true;
    }
    if (fonts) FcFontSetDestroy(fonts);
    if (objects) FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return ok;
}

}  // namespace

FaceCache& FaceCache::Get() {
    static FaceCache* s = new FaceCache;  // never destroyed: used until exit
    return *s;
}

LoadedFace const& FaceCache::Find(String8 const& postscriptName, String8 const& family) {
    auto key = std::make_pair(postscriptName, family);
    auto it = m_faces.find(key);
    if (it != m_faces.end()) return it->second;
    LoadedFace& f = m_faces[key];
    if (!m_library && FT_Init_FreeType(&m_library) != 0) return f;
    String8 file;
    int index = 0;
    bool exact = FindPostScript(postscriptName, file, index);
    if (!exact) {
        FcPattern* pattern = FcPatternCreate();
        if (!pattern) return f;
        if (!family.empty())
            FcPatternAddString(pattern, FC_FAMILY,
                               reinterpret_cast<FcChar8 const*>(family.c_str()));
        bool found = MatchFile(pattern, family, file, index, exact);
        FcPatternDestroy(pattern);
        if (!found) return f;
    }
    if (FT_New_Face(m_library, file.c_str(), index, &f.face) != 0) {
        f.face = nullptr;
        return f;
    }
    FT_Set_Pixel_Sizes(f.face, 0, FT_UInt(kDesignSize));
    FT_UInt d = FT_Get_Char_Index(f.face, 'd');
    if (d && FT_Load_Glyph(f.face, d, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) == 0)
        f.dHeight = double(f.face->glyph->metrics.horiBearingY) / 64.0;
    else
        f.dHeight = double(f.face->size->metrics.ascender) / 64.0;
    f.font = hb_ft_font_create_referenced(f.face);
    f.file = file;
    f.exact = exact;
    return f;
}

}  // namespace Story

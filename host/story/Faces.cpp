#include "host/story/Faces.h"

#include <fontconfig/fontconfig.h>
#include <hb-ft.h>
#include <strings.h>

#include <algorithm>

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

LoadedFace const& FaceCache::Load(String8 const& file, int index) {
    LoadedFace& f = m_files[{file, index}];
    if (f.face || !f.file.empty()) return f;
    f.file = file;  // tried: a file that does not load is not tried again
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
    return f;
}

LoadedFace const* FaceCache::FindCovering(uint32_t codepoint) {
    auto it = m_covering.find(codepoint);
    if (it != m_covering.end()) return it->second;
    LoadedFace const*& found = m_covering[codepoint];
    if (!m_library && FT_Init_FreeType(&m_library) != 0) return found;
    FcPattern* pattern = FcPatternCreate();
    FcCharSet* chars = FcCharSetCreate();
    if (pattern && chars && FcCharSetAddChar(chars, codepoint)) {
        FcPatternAddCharSet(pattern, FC_CHARSET, chars);
        FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, nullptr);
        FcFontSet* fonts = objects ? FcFontList(nullptr, pattern, objects) : nullptr;
        FcChar8* path = nullptr;
        int index = 0;
        // The first font listed: any font that has the glyph beats a missing-glyph box.
        if (fonts && fonts->nfont > 0 &&
            FcPatternGetString(fonts->fonts[0], FC_FILE, 0, &path) == FcResultMatch) {
            if (FcPatternGetInteger(fonts->fonts[0], FC_INDEX, 0, &index) != FcResultMatch)
                index = 0;
            String8 file = reinterpret_cast<char const*>(path);
            LoadedFace const& f = Load(file, index);
            if (f.font && FT_Get_Char_Index(f.face, codepoint)) found = &f;
        }
        if (fonts) FcFontSetDestroy(fonts);
        if (objects) FcObjectSetDestroy(objects);
    }
    if (chars) FcCharSetDestroy(chars);
    if (pattern) FcPatternDestroy(pattern);
    return found;
}

namespace {

std::vector<ShapedGlyph> ShapeWith(LoadedFace const& face, std::u16string_view text,
                                   uint32_t offset, bool kern) {
    std::vector<ShapedGlyph> out;
    if (!face.font || text.empty()) return out;
    hb_buffer_t* buf = hb_buffer_create();
    hb_buffer_add_utf16(buf, reinterpret_cast<uint16_t const*>(text.data()), int(text.size()), 0,
                        int(text.size()));
    hb_buffer_guess_segment_properties(buf);
    hb_feature_t noKern{HB_TAG('k', 'e', 'r', 'n'), 0, HB_FEATURE_GLOBAL_START,
                        HB_FEATURE_GLOBAL_END};
    hb_shape(face.font, buf, kern ? nullptr : &noKern, kern ? 0 : 1);
    unsigned n = 0;
    hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &n);
    hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &n);
    out.reserve(n);
    for (unsigned i = 0; i < n; ++i)
        out.push_back({&face, info[i].codepoint, info[i].cluster + offset, pos[i].x_advance,
                       pos[i].x_offset, pos[i].y_offset});
    hb_buffer_destroy(buf);
    return out;
}

}  // namespace

std::vector<ShapedGlyph> Shape(FaceCache& cache, LoadedFace const& face, std::u16string_view text,
                               bool kern) {
    std::vector<ShapedGlyph> shaped = ShapeWith(face, text, 0, kern);
    if (std::none_of(shaped.begin(), shaped.end(), [](auto const& g) { return g.glyph == 0; }))
        return shaped;
    // Clusters without a glyph are shaped again, alone, with a face that covers their first
    // character.
    std::vector<ShapedGlyph> out;
    // Where each cluster starts, in text order (right-to-left runs list them backwards).
    std::vector<uint32_t> starts;
    starts.reserve(shaped.size());
    for (auto const& g : shaped) starts.push_back(g.cluster);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    for (size_t i = 0; i < shaped.size();) {
        size_t j = i + 1;
        while (j < shaped.size() && shaped[j].cluster == shaped[i].cluster) ++j;
        bool missing = std::any_of(shaped.begin() + long(i), shaped.begin() + long(j),
                                   [](auto const& g) { return g.glyph == 0; });
        uint32_t start = shaped[i].cluster;
        LoadedFace const* other = nullptr;
        if (missing && start < text.size()) {
            char32_t c = text[start];
            if (c >= 0xD800 && c < 0xDC00 && start + 1 < text.size())
                c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[start + 1]) - 0xDC00);
            other = cache.FindCovering(uint32_t(c));
        }
        if (other) {
            // The cluster's characters run up to the next cluster's start.
            auto next = std::upper_bound(starts.begin(), starts.end(), start);
            uint32_t end = next == starts.end() ? uint32_t(text.size()) : *next;
            auto again = ShapeWith(*other, text.substr(start, end - start), start, kern);
            out.insert(out.end(), again.begin(), again.end());
        } else {
            out.insert(out.end(), shaped.begin() + long(i), shaped.begin() + long(j));
        }
        i = j;
    }
    return out;
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
    f = Load(file, index);
    f.exact = exact;
    return f;
}

}  // namespace Story

// The installed font faces layout and drawing use, loaded once per font asked for: FreeType faces
// with their HarfBuzz fonts, all at one design size and scaled by the callers.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include <map>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "host/kernel/String.h"

namespace Story {

using String8 = Kernel::StringT<Kernel::TEncUtf8>;

// Faces are loaded at this pixel size: one face serves every size.
constexpr double kDesignSize = 64.0;

struct LoadedFace {
    FT_Face face = nullptr;
    hb_font_t* font = nullptr;
    String8 file;
    // The font asked for is installed (by PostScript name or family); false for a substitute.
    bool exact = false;
    // The top of "d" over the baseline at the design size: where box text's first baseline sits
    // below the frame's top, as the editor places it.
    double dHeight = 0;
};

// Every use of a face holds the lock: FreeType faces are not shareable between threads.
class FaceCache {
public:
    static FaceCache& Get();
    std::mutex m_lock;

    // The face with this PostScript name when installed, else the one fontconfig offers for the
    // family (itself or its usual substitute). A face without font when there is none at all.
    LoadedFace const& Find(String8 const& postscriptName, String8 const& family);
    // An installed face that has a glyph for the character; null when none has.
    LoadedFace const* FindCovering(uint32_t codepoint);

private:
    // The face of the file, loaded once however many names lead to it.
    LoadedFace const& Load(String8 const& file, int index);

    FT_Library m_library = nullptr;
    std::map<std::pair<String8, String8>, LoadedFace> m_faces;  // by PostScript name and family
    std::map<uint32_t, LoadedFace const*> m_covering;
    std::map<std::pair<String8, int>, LoadedFace> m_files;  // by file and index
};

// One shaped glyph: the face it comes from, its index there, the character (UTF-16 offset) it
// starts at, and its advance and offsets in 26.6 units at the design size.
struct ShapedGlyph {
    LoadedFace const* face;
    uint32_t glyph;
    uint32_t cluster;
    int32_t xAdvance, xOffset, yOffset;
};

// The text shaped with the face; characters the face has no glyph for are shaped with an
// installed face that has one, and stay glyph 0 of the face when none has. Call with the cache
// locked.
// Without kern, the font's own pair kerning is left out (the editor's automatic kerning off).
std::vector<ShapedGlyph> Shape(FaceCache& cache, LoadedFace const& face, std::u16string_view text,
                               bool kern = true);

}  // namespace Story

// The installed font faces layout and drawing use, loaded once per font asked for: FreeType faces
// with their HarfBuzz fonts, all at one design size and scaled by the callers.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include <map>
#include <mutex>
#include <utility>

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

private:
    FT_Library m_library = nullptr;
    std::map<std::pair<String8, String8>, LoadedFace> m_faces;
};

}  // namespace Story

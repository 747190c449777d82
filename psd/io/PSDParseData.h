// What every reader of a document shares: the header's colour modes, the format's size limits,
// the options of opening and the per-parse context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/kernel/String.h"
#include "psd/io/PSDIO.h"
#include "psd/report/PSDReport.h"

namespace PSD {

// The header's colour mode numbers.
enum class ColourMode : uint32_t {
    Bitmap = 0,
    Grayscale = 1,
    Indexed = 2,
    RGB = 3,
    CMYK = 4,
    Multichannel = 7,
    Duotone = 8,
    Lab = 9,
};

// Name used in messages: "Bitmap", "Grayscale", ..., "LAB", "Unknown".
char const* ColourModeName(uint32_t mode);
// Lower-case key for programs: "bitmap", "grayscale", "indexed", "rgb", "cmyk", "multichannel",
// "duotone", "lab"; null for other numbers. ColourModeFromKey is the reverse.
char const* ColourModeKey(uint32_t mode);
bool ColourModeFromKey(std::string const& key, uint32_t& mode);
// Colour channels of a mode; with merged transparency one more. Duotone counts 0 here (as the
// parse context does) unless forQueries is set.
unsigned ColourChannelCount(uint32_t mode, bool withTransparency, bool forQueries = false);

// Limits of the format: PSD caps a side at 30000 px; PSB at 300000.
constexpr uint32_t kMaxSidePSD = 30000;
constexpr uint32_t kMaxSidePSB = 300000;

// Options of opening a document.
struct CreateOptions {
    bool parseText = false;          // convert type layers' engine data into the text model
    bool parseSmartObjects = false;  // read placed-layer data into smart-object records
    String textSetting;              // handed unchanged to the text conversion (default font)
    bool textInPixels = false;       // convert text sizes and indents to pixels (resolution / 72)
};

// The per-parse context; it is a PSDLoadData, so any reader taking one accepts it.
struct ParseData : PSDLoadData {
    ParseData() = default;
    ParseData(bool swap, bool inMemory, CreateOptions const& options, Kernel::Counted<PSDWarnings> const& warnings)
        : PSDLoadData(swap),
          m_parseText(options.parseText),
          m_parseSmartObjects(options.parseSmartObjects),
          m_optionText(options.textSetting),
          m_textInPixels(options.textInPixels),
          m_inMemory(inMemory) {
        m_report.m_warnings = warnings;
    }

    bool m_parseText = false;
    bool m_parseSmartObjects = false;
    String m_optionText;
    bool m_textInPixels = false;  // the resolution scale applies to converted text
    bool m_inMemory = false;
    bool m_isPSB = false;
    double m_resolutionScale = 1.0;  // document resolution / 72
    double m_resolution = 1.0;       // pixels per inch
    uint32_t m_colourMode = 0;
    uint16_t m_colourChannels = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    std::vector<uint16_t> m_layerGroupIds;
};

}  // namespace PSD

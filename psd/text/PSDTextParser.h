// A type layer's engine data converted into the text model: the text, its style and paragraph
// sheets applied by runs, and its frame; point text is split into one item per alignment run.
#pragma once

#include <vector>

#include "host/story/Story.h"
#include "psd/report/PSDReport.h"
#include "psd/text/PDFData.h"
#include "psd/text/PSDText.h"

namespace PSD {

struct PSDStyleSheet {
    Story::CompositeDelta m_delta;
};

// The model's first-line indent is the sum of the two, so both are kept as last set.
struct PSDParagraphSheet {
    Story::CompositeDelta m_delta;
    double m_firstLineIndent = 0;
    double m_startIndent = 0;
};

struct PSDTextResources {
    std::vector<String> m_fonts;  // PostScript names, in font-set order
    std::vector<PSDStyleSheet> m_styleSheets;
    std::vector<PSDParagraphSheet> m_paragraphSheets;
    int m_normalStyleSheet = -1;
    int m_normalParagraphSheet = -1;
};

struct ParagraphRun {
    Story::StoryRange m_range;
    PSDParagraphSheet m_sheet;
};

// One conversion; Parse may be called once.
class PSDTextParser {
public:
    // Aborts a conversion; never leaves Parse.
    struct ParseException {};

    // The normal style sheet's size is in points of the document (resolution / 72 of its units,
    // normalSizeScale), as the editor reads it; every other size is in the engine's units.
    PSDTextParser(Kernel::Counted<PDFData const> root, PSDReport& report, double scale,
                  String const& defaultFontName, double normalSizeScale = 1.0);

    // False when the root is null or a step aborted ("Bad text data" is then in the report).
    [[nodiscard]] bool Parse();

    std::vector<PSDTextItem>& GetTextItems() { return m_textItems; }
    std::vector<Kernel::Counted<Story::Story>> const& GetStories() const { return m_stories; }
    PSDTextResources const& GetResources() const { return m_resources; }

private:
    void ParseUnformattedText();
    void ParseResources(Kernel::Counted<PDFData> const& resources);
    PSDStyleSheet ParseStyleSheet(Kernel::Counted<PDFData> const& sheet);
    PSDParagraphSheet ParseParagraphSheet(Kernel::Counted<PDFData> const& sheet);
    void ParseStyleSheetItem(PDFDictionaryItem const& item, PSDStyleSheet& sheet);
    void ParseParagraphSheetItem(PDFDictionaryItem const& item, PSDParagraphSheet& sheet);
    void ParseParagraphRuns();
    void ParseStyleRuns();
    void ParseFrame();
    void PostProcessKerning();
    void PostProcessArtAlign();
    Kernel::Counted<Renderer::FillSolid> GetFill(Kernel::Counted<PDFData> const& value);
    Story::DeltaPtr ParsePostScriptName(String const& name);
    // Both runs walk the same way; each element's sheet is applied to its range.
    template <class Apply>
    void ParseRuns(char const* key, Apply&& apply);

    // Check failure: the value is skipped. Ensure failure: the conversion aborts.
    void FailCheck(char const* what);
    [[noreturn]] void FailEnsure(char const* what);
    void Ensure(bool ok, char const* what) {
        if (!ok) FailEnsure(what);
    }
    Story::Story& GetStory() { return *m_stories.front(); }

    Kernel::Counted<PDFData const> m_root;
    double m_scale;
    double m_normalSizeScale;
    double m_sizeScale;  // of the sheet being read
    String m_defaultFontName;
    PSDReport& m_report;
    std::vector<Kernel::Counted<Story::Story>> m_stories;
    PSDTextResources m_resources;
    std::vector<ParagraphRun> m_paragraphRuns;
    std::vector<PSDTextItem> m_textItems;
};

}  // namespace PSD

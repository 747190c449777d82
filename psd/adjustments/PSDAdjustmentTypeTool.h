// Type layers: the type tool block with its transform, text and warp descriptors and bounds, and
// the text converted from its engine data.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/text/PDFData.h"
#include "psd/text/PSDText.h"

namespace PSD {

class PSDAdjustmentTypeTool : public PSDAdjustment {
public:
    Kind GetType() const override { return kTypeTool; }
    uint32_t GetKey() const override { return Key("TySh"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    // The whole body as the reader reads it: versions, transform, both descriptors, bounds.
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;

    // The converted text; null when the text was not converted (warped, parsing off, bad data).
    Kernel::Counted<PSDText> const& GetText() const { return m_text; }
    // The parsed engine data; null when there is none or it does not parse.
    Kernel::Counted<PDFData> const& GetEngineData() const { return m_engineData; }
    // The warp style ("warpNone" when the block has none).
    String const& GetWarpStyle() const { return m_warpStyle; }

    // Replaces the text (UTF-8, paragraphs separated by "\r"), keeping the styles: each style
    // run keeps its length (the last takes up the difference, none ends inside a surrogate
    // pair) and each paragraph run its number of paragraphs. The engine data is rewritten, and
    // the converted text made again. False when the layer holds no engine data.
    bool SetContent(String const& content, ParseData const& options);
    // Sets style sheet fields (engine keys with their values) on the characters from start for
    // length UTF-16 units of the text, splitting the style runs at the range's ends; a "Font"
    // field holding a string names the font by its PostScript name and is added to the font
    // sets when missing. The engine data is rewritten, and the converted text made again. False
    // when the layer holds no engine data or the range is empty or outside the text. With
    // paragraphs, the fields go to the paragraph runs of the paragraphs the range touches.
    bool SetStyle(size_t start, size_t length, std::vector<PDFDictionaryItem> const& fields,
                  ParseData const& options, bool paragraphs = false);
    // Records where the text was drawn, in its own units: the text descriptor's "bounds" (the
    // lines' box, given for point text only: box text keeps its frame) and "boundingBox" (the
    // glyphs' box), where the descriptor has them, and the converted text's copies of them.
    void SetDrawnBoxes(std::array<double, 4> const* layout, std::array<double, 4> const& ink);
    // Whether SetContent or SetStyle has changed the text read: the layer's pixels as read then
    // show the old text.
    bool ContentReplaced() const { return m_contentReplaced; }
    // The document's resolution / 72 when the block was read: the scale of the engine's normal
    // style sheet size.
    double GetResolutionScale() const { return m_resolutionScale; }

    std::array<double, 6> m_transform{1, 0, 0, 1, 0, 0};
    Descriptor m_textDescriptor;
    Descriptor m_warpDescriptor;
    std::array<int32_t, 4> m_bounds{};  // left, top, right, bottom

private:
    bool Convert(ParseData& pd);
    // Makes root the engine data, written into the text descriptor (with content as its plain
    // text when given), and converts it again.
    bool Commit(Kernel::Counted<PDFDictionary> root, String const* content,
                ParseData const& options);

    Kernel::Counted<PSDText> m_text;
    Kernel::Counted<PDFData> m_engineData;
    String m_warpStyle = "warpNone";
    bool m_contentReplaced = false;
    double m_resolutionScale = 1.0;
};

}  // namespace PSD

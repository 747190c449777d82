#include "psd/adjustments/PSDAdjustmentTypeTool.h"

#include <string>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/io/PSDIO.h"
#include "psd/text/PDFDataWriter.h"
#include "psd/text/PSDTextParser.h"

namespace PSD {

namespace {

// "Left", "Top ", "Rght", "Btom" of a rectangle descriptor into out; other keys are ignored.
bool ReadBox(Descriptor const& text, char const* key, std::array<double, 4>& out,
             PSDReport& report) {
    auto item = text.Get<DescriptorItemDescriptor>(key);
    if (!item) return true;
    static uint32_t const kEdges[4] = {Key("Left"), Key("Top "), Key("Rght"), Key("Btom")};
    for (auto const& i : item->GetDescriptor().GetItems()) {
        if (!i.m_key.IsCode()) continue;
        for (int e = 0; e < 4; ++e) {
            if (i.m_key.GetCode() != kEdges[e]) continue;
            DescriptorItemUnitFloat::UnitType unit;
            if (!DecodeUnitAndType(*i.m_item, unit, out[e], report)) return false;
        }
    }
    return true;
}

}  // namespace

bool PSDAdjustmentTypeTool::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint16_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 1) {
        pd.m_report.SetError(PSDError::kUnknownTypeToolVersion, String(std::to_string(version)));
        return false;
    }
    for (double& v : m_transform)
        if (!ReadValue(stream, v, pd)) return false;
    uint16_t textVersion;
    if (!ReadValue(stream, textVersion, pd)) return false;
    if (textVersion == 12800 && !pd.m_swap) {
        // A little-endian container holding a big-endian descriptor.
        pd.m_swap = true;
        bool ok = m_textDescriptor.Parse(stream, pd);
        pd.m_swap = false;
        if (!ok) return false;
    } else if (textVersion == 50) {
        if (!m_textDescriptor.Parse(stream, pd)) return false;
    } else {
        pd.m_report.SetError(PSDError::kUnknownTextVersion, String(std::to_string(textVersion)));
        return false;
    }
    uint16_t warpVersion;
    if (!ReadValue(stream, warpVersion, pd)) return false;
    if (warpVersion != 1) {
        pd.m_report.SetError(PSDError::kUnknownTextWarpVersion,
                             String(std::to_string(warpVersion)));
        return false;
    }
    if (!m_warpDescriptor.Parse(stream, pd)) return false;
    if (auto style = m_warpDescriptor.Get<DescriptorItemEnum>("warpStyle"))
        m_warpStyle = style->m_value.m_value.ToString();
    for (int32_t& b : m_bounds)
        if (!ReadValue(stream, b, pd)) return false;
    if (auto item = m_textDescriptor.Get<DescriptorItemPDFData>("EngineData"))
        m_engineData = item->GetPDFData();
    // Kept from the read: text replaced later is converted for the document it came from.
    m_resolutionScale = pd.m_resolutionScale;
    return Convert(pd);
}

bool PSDAdjustmentTypeTool::Convert(ParseData& pd) {
    m_text = nullptr;
    if (m_warpStyle != "warpNone" || !pd.m_parseText || !m_engineData) return true;
    // Sizes stay in points unless the options ask for pixels.
    double scale = pd.m_textInPixels ? m_resolutionScale : 1.0;
    PSDTextParser parser(m_engineData, pd.m_report, scale, pd.m_optionText, m_resolutionScale);
    if (!parser.Parse()) return true;
    auto text = Kernel::MakeCounted<PSDText>();
    text->m_items = std::move(parser.GetTextItems());
    text->m_frame = parser.GetStories().front()->GetFrame();
    text->m_transform = m_transform;
    for (int i = 0; i < 4; ++i) text->m_bounds[i] = m_bounds[i];
    text->m_scale = scale;
    if (!ReadBox(m_textDescriptor, "boundingBox", text->m_boundingBox, pd.m_report) ||
        !ReadBox(m_textDescriptor, "bounds", text->m_boundsBox, pd.m_report))
        return false;
    m_text = text;
    return true;
}

bool PSDAdjustmentTypeTool::SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    if (!WriteValue<uint16_t>(stream, 1, f)) return false;
    for (double v : m_transform)
        if (!WriteValue(stream, v, f)) return false;
    if (!WriteValue<uint16_t>(stream, 50, f) || !m_textDescriptor.Save(stream, f) ||
        !WriteValue<uint16_t>(stream, 1, f))
        return false;
    // A block read without warp settings gets the plain ones.
    Descriptor warp = m_warpDescriptor;
    if (warp.GetItems().empty()) {
        warp.m_classID = DescriptorKey(Key("warp"));
        warp.AddItem(DescriptorKey::Name(String("warpStyle")),
                     Kernel::MakeCounted<DescriptorItemEnum>(DescriptorKey::Name(String("warpStyle")),
                                                             DescriptorKey::Name(String("warpNone"))));
    }
    if (!warp.Save(stream, f)) return false;
    for (int32_t b : m_bounds)
        if (!WriteValue(stream, b, f)) return false;
    return true;
}

namespace {

// Run lengths that cover a text of a new length: each keeps its length, the last takes up the
// difference, and runs past a shorter text go.
void FitRuns(PDFDictionary* run, long total) {
    if (!run) return;
    auto elements = run->GetValue("RunArray").DynamicCast<PDFArray>();
    auto lengths = run->GetValue("RunLengthArray").DynamicCast<PDFArray>();
    if (!elements || !lengths || elements->GetCount() != lengths->GetCount()) return;
    long used = 0;
    size_t keep = 0;
    for (; keep < lengths->GetCount(); ++keep) {
        long n = lengths->GetAt(keep) ? lengths->GetAt(keep)->GetInt(0) : 0;
        if (used + n >= total || keep + 1 == lengths->GetCount()) break;
        used += n;
    }
    keep = std::min(keep + 1, lengths->GetCount());
    elements->m_items.resize(keep);
    lengths->m_items.resize(keep);
    if (keep) lengths->m_items[keep - 1] = Kernel::MakeCounted<PDFInt>(int32_t(total - used));
}

}  // namespace

bool PSDAdjustmentTypeTool::SetContent(String const& content, ParseData const& options) {
    auto root = m_engineData.DynamicCast<PDFDictionary>();
    auto editor = root ? root->GetValue("EngineDict", "Editor").DynamicCast<PDFDictionary>()
                       : nullptr;
    if (!editor) return false;
    std::u16string units = Kernel::ConvertEnc(std::string_view(content));
    auto text = Kernel::MakeCounted<PDFString>();
    text->m_utf16 = units + u"\r";  // the engine's text ends with a paragraph break
    bool replaced = false;
    for (auto& item : editor->m_items)
        if (item.m_key == "Text") {
            item.m_value = text;
            replaced = true;
        }
    if (!replaced) editor->Append("Text", text);
    long total = long(units.size()) + 1;
    auto engine = root->GetValue("EngineDict").DynamicCast<PDFDictionary>();
    FitRuns(engine->GetValue("ParagraphRun").DynamicCast<PDFDictionary>().Get(), total);
    FitRuns(engine->GetValue("StyleRun").DynamicCast<PDFDictionary>().Get(), total);

    std::string bytes = WritePDFData(*root);
    auto data = Kernel::MakeCounted<DescriptorItemPDFData>();
    data->SetData(bytes.data(), bytes.size());
    Descriptor updated = m_textDescriptor;
    bool hadData = false;
    for (auto& item : updated.m_items) {
        if (item.m_key == DescriptorKey::Name(String("EngineData"))) {
            item.m_item = data;
            hadData = true;
        } else if (item.m_key.IsCode() && item.m_key.GetCode() == Key("Txt ")) {
            auto s = Kernel::MakeCounted<DescriptorItemString>();
            s->m_value = content;
            item.m_item = s;
        }
    }
    if (!hadData) return false;
    m_textDescriptor = std::move(updated);
    m_contentReplaced = true;
    ParseData pd = options;
    pd.m_parseText = true;
    // Warped text is kept unconverted; its engine data and descriptor carry the new text.
    return Convert(pd) && (m_text || m_warpStyle != "warpNone");
}

}  // namespace PSD

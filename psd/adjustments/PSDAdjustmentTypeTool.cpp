#include "psd/adjustments/PSDAdjustmentTypeTool.h"

#include <algorithm>
#include <string>
#include <vector>

#include "psd/descriptor/DescriptorCodecs.h"
#include "psd/io/PSDIO.h"
#include "psd/text/PDFDataWriter.h"
#include "psd/text/PSDTextParser.h"

namespace PSD {

namespace {

uint32_t const kEdges[4] = {Key("Left"), Key("Top "), Key("Rght"), Key("Btom")};

// "Left", "Top ", "Rght", "Btom" of a rectangle descriptor into out; other keys are ignored.
bool ReadBox(Descriptor const& text, char const* key, std::array<double, 4>& out,
             PSDReport& report) {
    auto item = text.Get<DescriptorItemDescriptor>(key);
    if (!item) return true;
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

// Sets the edges of the box descriptor under key, each in the item type and unit it has. A new
// item replaces the old one: copies of the document share descriptor items. False when the
// descriptor holds no such box.
bool WriteBox(Descriptor& text, char const* key, std::array<double, 4> const& box) {
    bool written = false;
    for (auto& entry : text.m_items) {
        auto item = entry.m_item.DynamicCast<DescriptorItemDescriptor const>();
        if (!item || entry.m_key != DescriptorKey::Name(String(key))) continue;
        Descriptor d = item->GetDescriptor();
        for (auto& i : d.m_items)
            for (int e = 0; e < 4; ++e) {
                if (!i.m_key.IsCode() || i.m_key.GetCode() != kEdges[e]) continue;
                if (auto u = i.m_item.DynamicCast<DescriptorItemUnitFloat const>())
                    i.m_item = Kernel::MakeCounted<DescriptorItemUnitFloat>(u->m_unit, box[e]);
                else if (i.m_item.DynamicCast<DescriptorItemDouble const>())
                    i.m_item = Kernel::MakeCounted<DescriptorItemDouble>(box[e]);
            }
        entry.m_item = Kernel::MakeCounted<DescriptorItemDescriptor>(std::move(d));
        written = true;
    }
    return written;
}

}  // namespace

void PSDAdjustmentTypeTool::SetDrawnBoxes(std::array<double, 4> const* layout,
                                          std::array<double, 4> const& ink) {
    // The converted text's copies follow only the boxes the block holds, so that it reads as
    // what a save writes.
    bool layoutKept = layout && WriteBox(m_textDescriptor, "bounds", *layout);
    bool inkKept = WriteBox(m_textDescriptor, "boundingBox", ink);
    if (!m_text || !(layoutKept || inkKept)) return;
    auto text = Kernel::MakeCounted<PSDText>(*m_text);
    if (layoutKept) text->m_boundsBox = *layout;
    if (inkKept) text->m_boundingBox = ink;
    m_text = text;
}

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

struct RunArrays {
    Kernel::Counted<PDFArray> elements, lengths;
    explicit RunArrays(PDFDictionary* engine, char const* key) {
        auto run = engine ? engine->GetValue(key).DynamicCast<PDFDictionary>() : nullptr;
        if (!run) return;
        elements = run->GetValue("RunArray").DynamicCast<PDFArray>();
        lengths = run->GetValue("RunLengthArray").DynamicCast<PDFArray>();
        if (!elements || !lengths || elements->GetCount() != lengths->GetCount() ||
            !lengths->GetCount())
            elements = lengths = nullptr;
    }
    long Length(size_t i) const {
        return lengths->GetAt(i) ? std::max(0, lengths->GetAt(i)->GetInt(0)) : 0;
    }
    // Keeps the runs whose new end lies past the one before, the last reaching the text's end.
    void Fit(std::vector<long> ends, long total) {
        std::vector<Kernel::Counted<PDFData>> kept;
        std::vector<Kernel::Counted<PDFData>> sizes;
        ends.back() = total;
        long from = 0;
        for (size_t i = 0; i < ends.size(); ++i)
            if (ends[i] > from || (i + 1 == ends.size() && kept.empty())) {
                kept.push_back(elements->GetAt(i));
                sizes.push_back(Kernel::MakeCounted<PDFInt>(int32_t(ends[i] - from)));
                from = ends[i];
            }
        elements->m_items = std::move(kept);
        lengths->m_items = std::move(sizes);
    }
};

// Style runs keep their lengths over a new text (the last takes up the difference), never
// ending inside a surrogate pair.
void FitStyleRuns(PDFDictionary* engine, std::u16string const& text) {
    RunArrays runs(engine, "StyleRun");
    if (!runs.lengths) return;
    long const total = long(text.size());
    std::vector<long> ends;
    long end = 0;
    for (size_t i = 0; i < runs.lengths->GetCount(); ++i) {
        end = std::min(total, end + runs.Length(i));
        if (end > 0 && end < total && text[size_t(end)] >= 0xDC00 && text[size_t(end)] <= 0xDFFF &&
            text[size_t(end) - 1] >= 0xD800 && text[size_t(end) - 1] <= 0xDBFF)
            ++end;
        ends.push_back(end);
    }
    runs.Fit(std::move(ends), total);
}

// Paragraph runs keep their number of paragraphs: the second paragraph of the new text keeps
// the second paragraph's alignment and indents.
void FitParagraphRuns(PDFDictionary* engine, std::u16string const& old,
                      std::u16string const& text) {
    RunArrays runs(engine, "ParagraphRun");
    if (!runs.lengths) return;
    std::vector<long> breaks;  // the end of each paragraph of the new text
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == u'\r') breaks.push_back(long(i) + 1);
    size_t paragraph = 0;
    long oldEnd = 0;
    std::vector<long> ends;
    for (size_t i = 0; i < runs.lengths->GetCount(); ++i) {
        long from = std::min(long(old.size()), oldEnd);
        oldEnd += runs.Length(i);
        long to = std::min(long(old.size()), oldEnd);
        size_t count = size_t(std::count(old.begin() + from, old.begin() + to, u'\r'));
        paragraph += std::max<size_t>(count, 1);
        ends.push_back(breaks.empty() ? 0 : breaks[std::min(paragraph, breaks.size()) - 1]);
    }
    runs.Fit(std::move(ends), long(text.size()));
}

// Copies of the document share the engine data: edits work on their own dictionaries and
// arrays (the values in them are never changed in place).
Kernel::Counted<PDFData> CopyContainers(Kernel::Counted<PDFData> const& v) {
    if (auto d = v.DynamicCast<PDFDictionary const>()) {
        auto copy = Kernel::MakeCounted<PDFDictionary>();
        for (auto const& item : d->GetItems())
            copy->Append(item.m_key, CopyContainers(item.m_value));
        return copy;
    }
    if (auto a = v.DynamicCast<PDFArray const>()) {
        auto copy = Kernel::MakeCounted<PDFArray>();
        for (auto const& item : a->GetItems()) copy->m_items.push_back(CopyContainers(item));
        return copy;
    }
    return v;
}

// The dictionary under key in d, made (at the end) when missing or of another kind.
Kernel::Counted<PDFDictionary> ChildDictionary(PDFDictionary& d, char const* key) {
    for (auto& item : d.m_items)
        if (item.m_key == key) {
            if (auto child = item.m_value.DynamicCast<PDFDictionary>()) return child;
            auto child = Kernel::MakeCounted<PDFDictionary>();
            item.m_value = child;
            return child;
        }
    auto child = Kernel::MakeCounted<PDFDictionary>();
    d.Append(key, child);
    return child;
}

void SetItem(PDFDictionary& d, String const& key, Kernel::Counted<PDFData> value) {
    for (auto& item : d.m_items)
        if (item.m_key == key) {
            item.m_value = std::move(value);
            return;
        }
    d.Append(key, std::move(value));
}

// The index of the font in the document's font set, appended to it (and to the resource
// dictionary's set, which the editor keeps alike) when missing.
int FontIndex(PDFDictionary& root, String const& name) {
    int index = -1;
    for (char const* resources : {"DocumentResources", "ResourceDict"}) {
        auto dict = root.GetValue(resources).DynamicCast<PDFDictionary>();
        if (!dict) continue;
        auto set = dict->GetValue("FontSet").DynamicCast<PDFArray>();
        if (!set) {
            set = Kernel::MakeCounted<PDFArray>();
            SetItem(*dict, String("FontSet"), set);
        }
        int found = -1;
        for (size_t i = 0; i < set->GetCount() && found < 0; ++i) {
            auto font = set->GetAt(i).DynamicCast<PDFDictionary const>();
            if (font && font->GetString("Name") == name) found = int(i);
        }
        if (found < 0) {
            auto font = Kernel::MakeCounted<PDFDictionary>();
            auto n = Kernel::MakeCounted<PDFString>();
            n->m_utf16 = Kernel::ConvertEnc(std::string_view(name));
            font->Append("Name", n);
            for (char const* key : {"Script", "FontType", "Synthetic"})
                font->Append(key, Kernel::MakeCounted<PDFInt>(0));
            found = int(set->GetCount());
            set->m_items.push_back(font);
        }
        if (index < 0 || String(resources) == "DocumentResources") index = found;
    }
    return index;
}

}  // namespace

bool PSDAdjustmentTypeTool::Commit(Kernel::Counted<PDFDictionary> root, String const* content,
                                   ParseData const& options) {
    std::string bytes = WritePDFData(*root);
    auto data = Kernel::MakeCounted<DescriptorItemPDFData>();
    data->SetData(bytes.data(), bytes.size());
    Descriptor updated = m_textDescriptor;
    bool hadData = false;
    for (auto& item : updated.m_items) {
        if (item.m_key == DescriptorKey::Name(String("EngineData"))) {
            item.m_item = data;
            hadData = true;
        } else if (content && item.m_key.IsCode() && item.m_key.GetCode() == Key("Txt ")) {
            auto s = Kernel::MakeCounted<DescriptorItemString>();
            s->m_value = *content;
            item.m_item = s;
        }
    }
    if (!hadData) return false;
    Descriptor before = m_textDescriptor;
    auto engineBefore = m_engineData;
    auto textBefore = m_text;
    m_textDescriptor = std::move(updated);
    m_engineData = root;
    ParseData pd = options;
    pd.m_parseText = true;
    // Warped text is kept unconverted; its engine data and descriptor carry the new text.
    if (Convert(pd) && (m_text || m_warpStyle != "warpNone")) {
        m_contentReplaced = true;
        return true;
    }
    // Text the engine data no longer converts to leaves the layer as it was.
    m_textDescriptor = std::move(before);
    m_engineData = engineBefore;
    m_text = textBefore;
    return false;
}

bool PSDAdjustmentTypeTool::SetContent(String const& content, ParseData const& options) {
    auto root = m_engineData ? CopyContainers(m_engineData).DynamicCast<PDFDictionary>() : nullptr;
    auto editor =
        root ? root->GetValue("EngineDict", "Editor").DynamicCast<PDFDictionary>() : nullptr;
    if (!editor || !m_textDescriptor.GetItem("EngineData")) return false;
    std::u16string units = Kernel::ConvertEnc(std::string_view(content));
    auto text = Kernel::MakeCounted<PDFString>();
    text->m_utf16 = units + u"\r";  // the engine's text ends with a paragraph break
    std::u16string old;
    bool replaced = false;
    for (auto& item : editor->m_items)
        if (item.m_key == "Text") {
            if (auto s = item.m_value.DynamicCast<PDFString>()) old = s->GetGlyphs().GetUnits();
            item.m_value = text;
            replaced = true;
        }
    if (!replaced) editor->Append("Text", text);
    auto engine = root->GetValue("EngineDict").DynamicCast<PDFDictionary>();
    FitParagraphRuns(engine.Get(), old, text->m_utf16);
    FitStyleRuns(engine.Get(), text->m_utf16);
    return Commit(root, &content, options);
}

bool PSDAdjustmentTypeTool::SetStyle(size_t start, size_t length,
                                     std::vector<PDFDictionaryItem> const& fields,
                                     ParseData const& options, bool paragraphs) {
    char const* const runKey = paragraphs ? "ParagraphRun" : "StyleRun";
    char const* const sheetKey = paragraphs ? "ParagraphSheet" : "StyleSheet";
    char const* const dataKey = paragraphs ? "Properties" : "StyleSheetData";
    auto read = m_engineData.DynamicCast<PDFDictionary const>();
    auto text = read ? read->GetValue("EngineDict", "Editor", "Text").DynamicCast<PDFString const>()
                     : nullptr;
    if (!text || !m_textDescriptor.GetItem("EngineData")) return false;
    // The engine's text ends with a paragraph break: a range reaching the last character takes
    // it too, so that the break is styled as the text before it.
    std::u16string const units = text->GetGlyphs().GetUnits();
    long const total = long(units.size());
    long const shown = total > 0 ? total - 1 : 0;
    if (length == 0 || start >= size_t(shown) || length > size_t(shown) - start) return false;
    long from = long(start);
    long to = long(start + length) == shown ? total : long(start + length);
    if (paragraphs) {
        // Whole paragraphs, each with its closing break.
        while (from > 0 && units[size_t(from) - 1] != u'\r') --from;
        while (to < total && units[size_t(to) - 1] != u'\r') ++to;
    }
    // Edited on a copy, checked first: the range is known to lie within the text.
    auto root = CopyContainers(m_engineData).DynamicCast<PDFDictionary>();
    auto engine = root->GetValue("EngineDict").DynamicCast<PDFDictionary>();

    std::vector<PDFDictionaryItem> set = fields;
    for (auto& f : set)
        if (auto name = f.m_key == "Font" ? f.m_value.DynamicCast<PDFString const>() : nullptr)
            f.m_value = Kernel::MakeCounted<PDFInt>(FontIndex(*root, name->GetString()));

    RunArrays runs(engine.Get(), runKey);
    if (!runs.lengths) {
        // Text without runs gets one covering it from the default run data.
        auto run = ChildDictionary(*engine, runKey);
        auto element = CopyContainers(run->GetValue("DefaultRunData"));
        if (!element.DynamicCast<PDFDictionary const>())
            element = Kernel::MakeCounted<PDFDictionary>();
        auto elements = Kernel::MakeCounted<PDFArray>();
        elements->m_items.push_back(element);
        auto lengths = Kernel::MakeCounted<PDFArray>();
        lengths->m_items.push_back(Kernel::MakeCounted<PDFInt>(int32_t(total)));
        SetItem(*run, String("RunArray"), elements);
        SetItem(*run, String("RunLengthArray"), lengths);
        runs = RunArrays(engine.Get(), runKey);
    }
    // Each run becomes up to three: before the range, within it (with the fields set) and
    // after it; the last run reaches the text's end.
    std::vector<Kernel::Counted<PDFData>> elements, sizes;
    long runStart = 0;
    size_t const count = runs.lengths->GetCount();
    for (size_t i = 0; i < count; ++i) {
        long runEnd = i + 1 == count ? std::max(total, runStart) : runStart + runs.Length(i);
        long cuts[4] = {runStart, std::clamp(from, runStart, runEnd),
                        std::clamp(to, runStart, runEnd), runEnd};
        for (int piece = 0; piece < 3; ++piece) {
            if (cuts[piece + 1] <= cuts[piece]) continue;
            auto element = CopyContainers(runs.elements->GetAt(i));
            auto dict = element.DynamicCast<PDFDictionary>();
            if (!dict) element = dict = Kernel::MakeCounted<PDFDictionary>();
            if (piece == 1) {
                auto data = ChildDictionary(*ChildDictionary(*dict, sheetKey), dataKey);
                for (auto const& f : set) SetItem(*data, f.m_key, f.m_value);
            }
            elements.push_back(element);
            sizes.push_back(Kernel::MakeCounted<PDFInt>(int32_t(cuts[piece + 1] - cuts[piece])));
        }
        runStart = runEnd;
    }
    runs.elements->m_items = std::move(elements);
    runs.lengths->m_items = std::move(sizes);
    return Commit(root, nullptr, options);
}

}  // namespace PSD

#include "fuzz/FuzzBodies.h"

#include <cstdlib>
#include <vector>

#include "host/kernel/Memory.h"
#include "psd/adjustments/PSDAdjustment.h"
#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/descriptor/DescriptorJson.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDLinkedData.h"
#include "psd/file/PSDPatterns.h"
#include "psd/file/PSDSmartObjectJson.h"
#include "psd/file/PSDVectorJson.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"
#include "psd/render/PSDRender.h"
#include "psd/render/PSDRenderAdjustment.h"
#include "psd/render/PSDRenderText.h"
#include "psd/report/DebugTrace.h"
#include "psd/text/PDFData.h"
#include "psd/text/PDFDataWriter.h"
#include "psd/text/PSDTextEngineData.h"
#include "psd/text/PSDTextParser.h"
#include "psd/vector/PSDPath.h"

namespace fuzzbodies {

namespace {

// 256 MiB: far above any document a fuzzer builds, far below what the machine holds.
constexpr uint64_t kFuzzAllocationLimit = uint64_t(256) << 20;

void DecodeAll(PSD::PSDFile const& doc) {
    PSD::PSDReport report;
    Kernel::Counted<Raster::DynamicBitmap> bitmap;
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    (void)doc.GetBitmap(bitmap, masks, report);
    for (auto const& layer : doc.m_layers) {
        Kernel::Counted<Raster::DynamicBitmap> b;
        PSD::PSDReport r;
        (void)layer->GetBitmap(b, r);
        (void)layer->GetBitmapUserMask(b, r);
        (void)layer->GetBitmapRealMask(b, r);
    }
    // Embedded files decode too, nested documents with their own pixels.
    for (auto const& record : doc.GetLinkedRecords()) {
        (void)record->GetBitmap();
        if (auto nested = record->GetDocument()) DecodeAll(*nested);
        (void)PSD::LinkedDataJson(doc);
    }
}

Kernel::Counted<PSD::PSDFile> OpenFromMemory(uint8_t const* data, size_t size,
                                             PSD::CreateOptions const& opts) {
    PSD::PSDReport report;
    auto stream = Kernel::MemoryInStream::Create(data, size);
    return PSD::PSDFile::Create(stream, opts, report);
}

}  // namespace

void PrepareLimits() {
    Kernel::SetAllocationLimit(kFuzzAllocationLimit);
}

void FuzzOpen(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size == 0) return;
    uint8_t opt = data[size - 1];
    PSD::CreateOptions opts;
    opts.parseText = opt & 1;
    opts.parseSmartObjects = opt & 2;
    auto doc = OpenFromMemory(data, size - 1, opts);
    if (!doc) return;
    if (opt & 4) DecodeAll(*doc);
    // Rendering walks masks, clipping, groups, adjustments and effects of whatever was read;
    // small documents only, so that a claimed size cannot make it slow.
    if ((opt & 8) && uint64_t(doc->m_width) * doc->m_height <= 128 * 128 && doc->m_layers.size() <= 64) {
        PSD::PSDRenderResult result;
        std::string error;
        // Converted type is drawn again from its text first, as an edit of it would be.
        if (opt & 1)
            for (auto const& layer : doc->m_layers) (void)PSD::RedrawTypeLayer(*doc, *layer, error);
        PSD::PSDRenderOptions render;
        if (opt & 16) render.wholeZipBytes = 0;  // ZIP layers inflate by bands
        // Scaled: averaged band by band from the source rows, or enlarged.
        if (opt & 32) render.scale = (opt & 64) ? 0.05 : 0.37;
        else if (opt & 64) render.scale = 1.6;
        (void)PSD::RenderDocument(*doc, render, result, error);
    }
}

void FuzzPlaced(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size == 0) return;
    uint32_t key = data[0] & 1 ? PSD::Key("SoLd") : PSD::Key("PlLd");
    auto stream = Kernel::MemoryInStream::Create(data + 1, size - 1);
    PSD::ParseData pd;
    PSD::PSDSmartObject object;
    bool ok = key == PSD::Key("PlLd") ? object.Parse(*stream, pd) : object.ParseLayerData(key, *stream, pd);
    if (!ok) return;
    // An identifier is never longer than the format's 36 characters (UTF-8 may take more bytes).
    size_t characters = 0;
    for (unsigned char c : object.m_uniqueId) characters += (c & 0xC0) != 0x80;
    if (characters > 36) std::abort();
    (void)PSD::SmartObjectJson(object, nullptr).dump();
}

void FuzzPatterns(uint8_t const* data, size_t size) {
    PrepareLimits();
    std::vector<PSD::PSDPattern> patterns;
    std::string error;
    (void)PSD::ParsePatterns(data, size, patterns, error);
    for (auto const& p : patterns) {
        size_t pixels = size_t(p.m_width) * p.m_height;
        // Every plane the reader hands out covers the tile.
        if (p.m_channels.empty() || (!p.m_alpha.empty() && p.m_alpha.size() != pixels)) std::abort();
        for (auto const& c : p.m_channels)
            if (c.size() != pixels) std::abort();
        if (pixels) (void)p.Sample(p.m_channels.size() - 1, p.m_width - 1, p.m_height - 1);
    }
    // Read for names alone, the same patterns come back at least as far (damaged pixels stop
    // only the full read).
    std::vector<PSD::PSDPattern> names;
    (void)PSD::ParsePatterns(data, size, names, error, PSD::NoPatternsPixels);
    if (names.size() < patterns.size()) std::abort();
    for (size_t i = 0; i < patterns.size(); ++i)
        if (names[i].m_id != patterns[i].m_id || names[i].m_width != patterns[i].m_width ||
            names[i].m_colourMode != patterns[i].m_colourMode || !names[i].m_channels.empty())
            std::abort();
}

void FuzzTIFF(uint8_t const* data, size_t size) {
    PrepareLimits();
    PSD::PSDReport report;
    PSD::CreateOptions opts;
    opts.parseSmartObjects = true;
    auto stream = Kernel::MemoryInStream::Create(data, size);
    auto doc = PSD::PSDFile::CreateFromTIFF(Kernel::Counted<Kernel::InStreamSeekable>(stream), opts, report);
    if (!doc) return;
    DecodeAll(*doc);
    // Saved as a document, the layer data of a little-endian file is turned big-endian.
    auto out = Kernel::MemoryInOutStreamBase::Create();
    if (!doc->Save(*out, {})) return;
    PSD::PSDReport again;
    if (!PSD::PSDFile::Create(Kernel::MemoryInStream::Create(out->GetData()), PSD::CreateOptions{}, again))
        std::abort();  // we wrote a document we cannot read
}

void FuzzDescriptor(uint8_t const* data, size_t size) {
    PrepareLimits();
    auto stream = Kernel::MemoryInStream::Create(data, size);
    PSD::ParseData pd;
    PSD::Descriptor d;
    if (!d.Parse(*stream, pd)) return;
    // The JSON form, as dump --json prints it (names that are not UTF-8 replaced).
    (void)PSD::DescriptorJson(d).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    {
        // The text form, as dump prints it.
        PSD::String text;
        PSD::DebugDumpCapture capture(text);
        d.DebugDump(0);
    }
    auto out = Kernel::MemoryInOutStreamBase::Create();
    if (!d.Save(*out, PSD::ByteOrderFixer{true})) return;
    (void)out->Seek(0);
    PSD::ParseData pd2;
    PSD::Descriptor copy;
    // What we wrote must read back.
    if (!copy.Parse(*out, pd2)) std::abort();
}

void FuzzEffects(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size == 0) return;
    bool object = data[0] & 1;
    auto stream = Kernel::MemoryInStream::Create(data + 1, size - 1);
    PSD::ParseData pd;
    PSD::PSDLayerEffects fx;
    if (!(object ? fx.ParseObjectEffects(*stream, pd) : fx.ParseLayerEffects(*stream, pd))) return;
    (void)fx.HasEnabledEffects();
    auto out = Kernel::MemoryInOutStreamBase::Create();
    if (!fx.Save(*out, PSD::SaveData{})) return;
    // The two blocks: key at 4, length at 8, body at 12. What we wrote must read back.
    auto const& b = out->GetData();
    PSD::PSDLayerEffects copy;
    for (size_t at = 0; at + 12 <= b.size();) {
        size_t n = size_t(b[at + 8]) << 24 | size_t(b[at + 9]) << 16 | size_t(b[at + 10]) << 8 | b[at + 11];
        if (n > b.size() - at - 12) std::abort();
        auto body = Kernel::MemoryInStream::Create(b.data() + at + 12, n);
        PSD::ParseData pd2;
        bool legacy = b[at + 4] == 'l' && b[at + 5] == 'r';
        if (!(legacy ? copy.ParseLayerEffects(*body, pd2) : copy.ParseObjectEffects(*body, pd2))) std::abort();
        at += 12 + n;
    }
    if (copy.m_effects.size() != fx.m_effects.size()) std::abort();
    // Each effect's own settable fields set on it again: read values out of the editor's ranges
    // are refused, and what is accepted still saves.
    PSD::PSDLayerEffects changed;
    for (auto const& e : fx.m_effects) {
        if (!e) continue;
        nlohmann::json fields = nlohmann::json::parse(PSD::EffectJson(*e).dump());
        // Contours and the pattern on their own: a read contour the editor could not make, or a
        // pattern without identifier, refuses only them.
        nlohmann::json contours = nlohmann::json::object();
        for (char const* key : {"contour", "gloss_contour", "pattern"})
            if (fields.contains(key)) contours[key] = fields[key];
        for (char const* fixed : {"contour", "gloss_contour", "gradient", "pattern", "phase",
                                  "interpolation", "use_texture"})
            fields.erase(fixed);
        std::string why;
        if (auto c = PSD::EffectWithChanges(*e, fields, why)) changed.m_effects.push_back(c);
        if (auto c = PSD::EffectWithChanges(*e, contours, why)) changed.m_effects.push_back(c);
    }
    auto again = Kernel::MemoryInOutStreamBase::Create();
    if (!changed.m_effects.empty() && !changed.Save(*again, PSD::SaveData{})) std::abort();
}

void FuzzAdjustment(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size < 5) return;
    // Four bytes of key, then one of colour mode, then the body.
    uint32_t key = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    auto adjustment = PSD::PSDAdjustment::Create(key);
    if (!adjustment) return;
    static uint32_t const kModes[] = {1, 3, 4, 9, 2};
    PSD::ParseData pd;
    pd.m_colourMode = kModes[data[4] % 5];
    auto stream = Kernel::MemoryInStream::Create(data + 5, size - 5);
    if (!adjustment->Parse(*stream, pd)) return;
    (void)PSD::AdjustmentJson(*adjustment).dump();
    // Drawn over a few colours, as the renderer would: tables and lookup files are read here.
    {
        PSD::BlendContext ctx;
        ctx.channels = pd.m_colourMode == 4                           ? 4
                       : pd.m_colourMode == 3 || pd.m_colourMode == 9 ? 3
                                                                      : 1;
        ctx.rgb = pd.m_colourMode == 3;
        std::string undrawn;
        if (auto f =
                PSD::PSDPixelAdjustment::Create(*adjustment, ctx, pd.m_colourMode == 4, undrawn))
            for (float v : {0.0f, 0.3f, 1.0f, -2.0f}) {
                float px[4] = {v, 1 - v, v * v, 0.5f};
                f->Apply(px);
            }
    }
    auto out = Kernel::MemoryInOutStreamBase::Create();
    PSD::SaveData sd;
    if (!adjustment->IsRead() || !adjustment->SaveI(*out, sd)) return;
    // Its own simple fields set on it again: refused when out of the editor's ranges, and what is
    // accepted still saves, as the body it came from did.
    {
        nlohmann::json fields = nlohmann::json::parse(PSD::AdjustmentJson(*adjustment).dump());
        for (char const* fixed :
             {"gradient", "pattern", "phase", "interpolation", "unread", "ranges", "preset_kind",
              "preset_file_name", "lookup_type", "name", "lut_format", "lut_file_name",
              "data_order", "table_order", "map"})
            fields.erase(fixed);
        std::string why;
        if (auto changed = PSD::AdjustmentWithChanges(*adjustment, fields, why)) {
            auto changedOut = Kernel::MemoryInOutStreamBase::Create();
            if (!changed->SaveI(*changedOut, sd)) std::abort();
        }
    }
    // A lookup's table set again from its own file: the device link made from it must draw.
    if (auto const* lookup =
            dynamic_cast<PSD::PSDAdjustmentColourLookup const*>(adjustment.Get())) {
        PSD::PSDLookupTable table;
        std::string why;
        auto file = lookup->m_descriptor.Get<PSD::DescriptorItemPDFData>("LUT3DFileData");
        if (lookup->ReadTable(table, why) && file) {
            PSD::PSDAdjustmentColourLookup again = *lookup;
            std::string text(reinterpret_cast<char const*>(file->GetData()),
                             size_t(file->GetSize()));
            if (!again.SetTable(lookup->m_lutFormat == "LUTFormatCUBE" ? "cube" : "3dl", text,
                                lookup->m_name, why) ||
                again.Profile().empty())
                std::abort();
            PSD::BlendContext ctx;
            std::string undrawn;
            if (!PSD::PSDPixelAdjustment::Create(again, ctx, false, undrawn)) std::abort();
        }
    }
    // What the model wrote must read back, and write again the same bytes: the model's form is a
    // fixed point (it may differ from the input's: curve tables become points, points are sorted).
    auto again = PSD::PSDAdjustment::Create(key);
    PSD::ParseData pd2;
    pd2.m_colourMode = pd.m_colourMode;
    auto body = Kernel::MemoryInStream::Create(out->GetData());
    if (!again->Parse(*body, pd2)) std::abort();
    auto rewritten = Kernel::MemoryInOutStreamBase::Create();
    if (!again->SaveI(*rewritten, sd) || rewritten->GetData() != out->GetData()) std::abort();
}

void FuzzPaths(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size < 4) return;
    Kernel::SizeT<int> docSize{int(data[0] << 8 | data[1]), int(data[2] << 8 | data[3])};
    auto stream = Kernel::MemoryInStream::Create(data + 4, size - 4);
    PSD::PSDPath path;
    PSD::PSDLoadData ld;
    if (PSD::ParsePaths(*stream, size - 4, docSize, path, ld) != PSD::kPathParsed) return;
    (void)PSD::SubpathsJson(path).dump();
    auto out = Kernel::MemoryInOutStreamBase::Create();
    if (!PSD::SavePaths(*out, PSD::ByteOrderFixer{true}, path, {}, docSize)) std::abort();
    auto body = Kernel::MemoryInStream::Create(out->GetData());
    PSD::PSDPath again;
    PSD::PSDLoadData ld2;
    if (PSD::ParsePaths(*body, out->GetData().size(), docSize, again, ld2) != PSD::kPathParsed) std::abort();
}

namespace {

// The engine data in a type layer block, a range of its text or paragraphs styled (the range and
// the change set picked by the size): the block saved reads back as styled.
void StyleTypeLayer(uint8_t const* data, size_t size) {
    static char const* const kChanges[] = {
        R"({"size": 30, "faux_bold": true, "color": {"model": "rgb", "values": [255, 0, 0]}})",
        R"({"font": "DejaVuSans-Bold", "tracking": -50, "leading": 12})",
        R"({"horizontal_scale": 150, "baseline_shift": 3, "auto_leading": true})",
        R"({"justification": 2, "start_indent": 12, "space_before": 4})"};
    PSD::PSDAdjustmentTypeTool block;
    auto engine = Kernel::MakeCounted<PSD::DescriptorItemPDFData>();
    engine->SetData(data, size);
    block.m_textDescriptor.m_classID = PSD::DescriptorKey(PSD::Key("TxLr"));
    block.m_textDescriptor.AddItem(PSD::DescriptorKey::Name(PSD::String("EngineData")), engine);
    auto out = Kernel::MemoryInOutStreamBase::Create();
    if (!block.SaveI(*out, PSD::SaveData{})) __builtin_trap();
    PSD::ParseData pd;
    pd.m_parseText = true;
    PSD::PSDAdjustmentTypeTool tool;
    auto in = Kernel::MemoryInStream::Create(out->TakeData());
    if (!tool.Parse(*in, pd) || !tool.GetText()) return;
    std::string why;
    size_t const pick = size % 4;
    if (!(pick == 3 ? PSD::SetParagraphStyle : PSD::SetTextStyle)(
            tool, nlohmann::json::parse(kChanges[pick]), size % 5,
            size % 3 == 0 ? std::string::npos : size % 7 + 1, pd, why))
        return;
    auto saved = Kernel::MemoryInOutStreamBase::Create();
    if (!tool.SaveI(*saved, PSD::SaveData{})) __builtin_trap();
    PSD::PSDAdjustmentTypeTool back;
    auto again = Kernel::MemoryInStream::Create(saved->TakeData());
    if (!back.Parse(*again, pd) || PSD::TextJson(back) != PSD::TextJson(tool)) __builtin_trap();
}

}  // namespace

void FuzzEngineData(uint8_t const* data, size_t size) {
    PrepareLimits();
    PSD::PDFDataParser parser(data, size);
    auto root = parser.Parse();
    // A layer's engine data: converted, laid out, and written back to a tree that parses again.
    if (root.DynamicCast<PSD::PDFDictionary>()) {
        PSD::PSDReport report;
        report.m_warnings = Kernel::MakeCounted<PSD::PSDWarnings>();
        PSD::PSDTextParser text(root, report, 300.0 / 72.0, PSD::String("Fallback"));
        if (text.Parse())
            for (auto const& item : text.GetTextItems()) (void)item.GetTextHeight();
        // Drawn as a type layer would be, in engine units, on a small canvas: the glyphs'
        // bitmap stays within three times its sides whatever sizes the data claims.
        PSD::PSDTextParser units(root, report, 1.0, PSD::String("Fallback"));
        if (units.Parse()) {
            PSD::PSDText drawn;
            drawn.m_items = std::move(units.GetTextItems());
            drawn.m_transform = {1, 0, 0, 1, 8, 24};
            PSD::DrawnText out;
            std::string why;
            if (PSD::DrawText(drawn, 3, 8, 64, 64, out, why) && out.bitmap &&
                (out.bitmap->GetWidth() > 192 || out.bitmap->GetHeight() > 192))
                __builtin_trap();
        }
        std::string written = PSD::WritePDFData(*root);
        auto again = PSD::PDFDataParser(reinterpret_cast<unsigned char const*>(written.data()),
                                        written.size())
                         .Parse();
        if (!again) __builtin_trap();
        StyleTypeLayer(data, size);
    }
    // The document's engine data: its frame sets and their outlines.
    PSD::PSDTextEngineData frames;
    if (frames.Parse(data, size))
        for (auto const& f : frames.m_frameSets) (void)f.GetPolyCurve();
}

void FuzzPackBits(uint8_t const* data, size_t size) {
    if (size < 2) return;
    size_t n = size_t(data[0]) << 8 | data[1];
    std::vector<uint8_t> row(n * 2 + 1);
    (void)PSD::UnpackBits(data + 2, size - 2, row.data(), n, 1);
    (void)PSD::UnpackBits(data + 2, size - 2, row.data(), n, 2);
}

void FuzzRoundTrip(uint8_t const* data, size_t size) {
    PrepareLimits();
    if (size == 0) return;
    uint8_t opt = data[size - 1];
    auto doc = OpenFromMemory(data, size - 1, PSD::CreateOptions{});
    if (!doc) return;
    // Bit 2: the save decodes the layers' stored pixels itself, layer by layer.
    bool decodeStored = opt & 4;
    if (!decodeStored) DecodeAll(*doc);
    // Bit 4: every layer moved first, so that what it places is written from the model.
    if (opt & 16)
        for (auto const& layer : doc->m_layers)
            if (layer) (void)layer->MoveBy(3, -1);
    // Bit 5: the bottom record's layer or group restacked to the top, one in the middle removed,
    // the top one moved into the first group: trees read from damaged lists still save.
    if ((opt & 32) && !doc->m_layers.empty()) {
        (void)doc->RestackLayer(doc->m_layers.front().Get(), nullptr, 0);
        (void)doc->RemoveLayer(doc->m_layers[doc->m_layers.size() / 2].Get());
        Kernel::Counted<PSD::PSDLayer> group;
        for (auto const& layer : doc->m_layers)
            if (layer && layer->IsGroupStart()) group = layer;
        if (group && !doc->m_layers.empty())
            (void)doc->RestackLayer(doc->m_layers.back().Get(), group.Get(), 1);
    }
    auto out = Kernel::MemoryInOutStreamBase::Create();
    // Bit 3: the layers also in the other byte order, as little-endian TIFF files hold them.
    if (opt & 8) {
        auto little = Kernel::MemoryInOutStreamBase::Create();
        (void)doc->Save(*little, {.decodeStored = decodeStored, .layersLittleEndian = true, .composite = false});
        (void)doc->BlocksLostInByteOrder(false);
    }
    if (!doc->Save(*out, {.psb = bool(opt & 1), .compress = bool(opt & 2), .decodeStored = decodeStored})) return;
    PSD::PSDReport report;
    auto copy = PSD::PSDFile::Create(
        Kernel::MemoryInStream::Create(out->GetData().data(), out->GetData().size()),
        PSD::CreateOptions{}, report);
    if (!copy) std::abort();  // we wrote a document we cannot read
    DecodeAll(*copy);
}

}  // namespace fuzzbodies

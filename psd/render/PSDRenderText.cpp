#include "psd/render/PSDRenderText.h"

#include <algorithm>
#include <cmath>

#include "host/kernel/Memory.h"
#include "host/story/Outline.h"
#include "psd/adjustments/PSDAdjustmentTypeTool.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDChannelCodec.h"
#include "psd/layer/PSDLayer.h"
#include "psd/render/PSDRenderAdjustment.h"
#include "psd/render/PSDRenderSupport.h"
#include "psd/text/PSDTextParser.h"

namespace PSD {

namespace {

using Contours = std::vector<std::vector<Raster::CubicSegment>>;

// The text in the engine's own units, the ones the layer's transform maps to pixels.
Kernel::Counted<PSDText> TextInEngineUnits(PSDAdjustmentTypeTool const& tool) {
    auto text = tool.GetText();
    if (!text || text->m_scale == 1.0 || !tool.GetEngineData()) return text;
    PSDReport report;
    PSDTextParser parser(tool.GetEngineData(), report, 1.0, String(), tool.GetResolutionScale());
    if (!parser.Parse()) return nullptr;
    auto copy = Kernel::MakeCounted<PSDText>(*text);
    copy->m_items = std::move(parser.GetTextItems());
    copy->m_scale = 1.0;
    return copy;
}

}  // namespace

bool DrawTypeText(PSDAdjustmentTypeTool const& tool, uint32_t colourMode, uint16_t depth,
                  uint32_t width, uint32_t height, DrawnText& out, std::string& why) {
    out = DrawnText();
    auto text = TextInEngineUnits(tool);
    if (!text) {
        why = tool.GetWarpStyle() != "warpNone" ? "warped text is not drawn"
                                                : "the text could not be read";
        return false;
    }
    bool aliased = false;
    if (auto aa = tool.m_textDescriptor.Get<DescriptorItemEnum>(Key("AntA"))) {
        String mode = aa->m_value.m_value.ToString();
        aliased = mode == "Anno" || mode == "antiAliasNone";
    }
    return DrawText(*text, colourMode, depth, width, height, out, why, aliased);
}

bool DrawText(PSDText const& text, uint32_t colourMode, uint16_t depth, uint32_t width,
              uint32_t height, DrawnText& out, std::string& why, bool aliased) {
    out = DrawnText();
    Raster::Format format;
    Raster::FormatInfo info;
    if (colourMode == 2 || !LayerBitmapFormat(colourMode, depth, format) ||
        !Raster::GetFormatInfo(format, info)) {
        why = "no colours to draw text in for this colour mode";
        return false;
    }
    auto const& m = text.m_transform;
    if (!std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); })) {
        why = "the text's transform is not finite";
        return false;
    }
    auto place = [&m](Kernel::PointT<double> p) -> Kernel::PointT<double> {
        return {m[0] * p.x + m[2] * p.y + m[4], m[1] * p.x + m[3] * p.y + m[5]};
    };
    // Every run's glyphs in document pixels, each with its box, and the box they all cover.
    struct Piece {
        Contours contours;
        double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    };
    struct Run {
        Kernel::Counted<Renderer::Fill const> fill;
        std::vector<Piece> pieces;
    };
    std::vector<Run> runs;
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    std::array<double, 4> ink{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL}, layout = ink;
    auto grow = [](std::array<double, 4>& box, double l, double t, double r, double b) {
        box = {std::min(box[0], l), std::min(box[1], t), std::max(box[2], r), std::max(box[3], b)};
    };
    for (PSDTextItem const& item : text.m_items) {
        if (!item.m_story) continue;
        Story::Compositor compositor(*item.m_story, item.m_frame.Get());
        compositor.Compose();
        Story::ComposedColumn column = compositor.GetFirstColumn();
        // Box text hides the lines past its frame's bottom. Lines whose descenders reach past it
        // still show: a substitute font's descent need not be the font's.
        if (auto const* frame = dynamic_cast<Story::ColumnFrame const*>(item.m_frame.Get())) {
            auto& lines = column.m_lines;
            double bottom = frame->m_bounds.bottom;
            lines.erase(std::find_if(lines.begin(), lines.end(),
                                     [bottom](auto const& l) { return l.baseline > bottom; }),
                        lines.end());
        } else {
            out.pointText = true;
            for (auto const& l : column.m_lines)
                if (l.end > l.start)
                    grow(layout, l.x, l.baseline - l.ascent, l.x + l.width, l.baseline + l.descent);
        }
        Story::OutlinedText outlined = Story::OutlineColumn(*item.m_story, column);
        for (auto const& name : outlined.substituted)
            if (std::find(out.substituted.begin(), out.substituted.end(), name.c_str()) ==
                out.substituted.end())
                out.substituted.emplace_back(name.c_str());
        out.missingGlyphs += outlined.missingGlyphs;
        for (auto& outlinedRun : outlined.runs) {
            Run run{outlinedRun.fill, {}};
            size_t from = 0;
            for (size_t end : outlinedRun.pieceEnds) {
                Piece piece;
                bool finite = true;
                std::array<double, 4> pieceInk{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
                for (size_t i = from; i < end && i < outlinedRun.contours.size(); ++i) {
                    auto& contour = outlinedRun.contours[i];
                    for (auto& segment : contour)
                        for (auto& p : segment) {
                            grow(pieceInk, p.x, p.y, p.x, p.y);
                            p = place(p);
                            finite = finite && std::isfinite(p.x) && std::isfinite(p.y);
                            piece.left = std::min(piece.left, p.x);
                            piece.right = std::max(piece.right, p.x);
                            piece.top = std::min(piece.top, p.y);
                            piece.bottom = std::max(piece.bottom, p.y);
                        }
                    piece.contours.push_back(std::move(contour));
                }
                from = end;
                // Sizes past what doubles hold leave no glyph to draw.
                if (!finite || !(piece.right > piece.left) || !(piece.bottom > piece.top)) continue;
                grow(ink, pieceInk[0], pieceInk[1], pieceInk[2], pieceInk[3]);
                left = std::min(left, piece.left), right = std::max(right, piece.right);
                top = std::min(top, piece.top), bottom = std::max(bottom, piece.bottom);
                run.pieces.push_back(std::move(piece));
            }
            if (!run.pieces.empty()) runs.push_back(std::move(run));
        }
    }
    if (layout[2] >= layout[0] && std::isfinite(layout[0]) && std::isfinite(layout[3]))
        out.textLayout = layout;
    if (runs.empty()) return true;
    out.textInk = ink;
    // Glyphs far off the canvas are not kept: the bitmap stays within reach of what shows.
    double w = width, h = height;
    left = std::max(left, -w), top = std::max(top, -h);
    right = std::min(right, 2 * w), bottom = std::min(bottom, 2 * h);
    if (!(right > left) || !(bottom > top)) return true;
    Kernel::RectT<int32_t> box{int32_t(std::floor(left)), int32_t(std::floor(top)),
                               int32_t(std::ceil(right)), int32_t(std::ceil(bottom))};
    size_t n = size_t(box.Width()) * size_t(box.Height());
    unsigned colours = info.channels - 1;
    // Premultiplied colour and alpha, glyphs laid over each other in order. A run's own glyphs
    // overlapping in one colour add up as their union would.
    std::vector<float> acc;
    Kernel::ResizeOrThrow(acc, uint64_t(n) * info.channels);
    for (Run const& run : runs) {
        float c[5] = {0, 0, 0, 0, 0};
        auto solid = run.fill.DynamicCast<Renderer::FillSolid const>();
        if (solid && solid->GetColour())
            ColourSamples(*solid->GetColour(), colourMode, c);
        else
            ColourSamples(*Renderer::ColourRGB::Create(Renderer::RGBAF{0, 0, 0, 1}, 1, 1, String()),
                          colourMode, c);
        for (Piece const& piece : run.pieces) {
            // Cut to the box before converting: a glyph may lie at any distance, or its bounds be
            // NaN (then it is skipped).
            double x0 = std::max(piece.left, left), y0 = std::max(piece.top, top);
            double x1 = std::min(piece.right, right), y1 = std::min(piece.bottom, bottom);
            if (!(x1 > x0) || !(y1 > y0)) continue;
            Kernel::RectT<int32_t> at{std::max(box.left, int32_t(std::floor(x0))),
                                      std::max(box.top, int32_t(std::floor(y0))),
                                      std::min(box.right, int32_t(std::ceil(x1))),
                                      std::min(box.bottom, int32_t(std::ceil(y1)))};
            auto coverage = Raster::RasteriseContours(piece.contours, false, at);
            if (!coverage) continue;
            for (int32_t y = 0; y < at.Height(); ++y) {
                uint8_t const* row = coverage->GetRow(uint32_t(y));
                float* a = acc.data() + (size_t(y + at.top - box.top) * size_t(box.Width()) +
                                         size_t(at.left - box.left)) *
                                            info.channels;
                for (int32_t x = 0; x < at.Width(); ++x, a += info.channels) {
                    if (!row[x] || (aliased && row[x] < 128)) continue;
                    float t = aliased ? 1.0f : row[x] / 255.0f;
                    for (unsigned ch = 0; ch < colours; ++ch) a[ch] = a[ch] * (1 - t) + c[ch] * t;
                    a[colours] = a[colours] * (1 - t) + t;
                }
            }
        }
    }
    auto bm = Raster::DynamicBitmap::Create(uint32_t(box.Width()), uint32_t(box.Height()), format);
    for (int32_t y = 0; y < box.Height(); ++y) {
        uint8_t* row = bm->GetRow(uint32_t(y));
        float const* a = acc.data() + size_t(y) * size_t(box.Width()) * info.channels;
        for (int32_t x = 0; x < box.Width(); ++x, a += info.channels) {
            size_t px = size_t(x) * info.channels;
            float alpha = a[colours];
            // Uncovered pixels hold no colour.
            for (unsigned ch = 0; ch < colours; ++ch)
                StoreSample(row, info, px + (ch < unsigned(info.alphaChannel) ? ch : ch + 1),
                            alpha > 0 ? a[ch] / alpha : 0.0f);
            StoreSample(row, info, px + unsigned(info.alphaChannel), alpha);
        }
    }
    out.bitmap = bm;
    out.bounds = box;
    return true;
}

bool RedrawTypeLayer(PSDFile const& doc, PSDLayer& layer, std::string& why,
                     std::vector<std::string>* substituted, size_t* missingGlyphs) {
    auto tool = layer.GetAdjustment().DynamicCast<PSDAdjustmentTypeTool>();
    if (!tool) {
        why = "not a type layer";
        return false;
    }
    DrawnText drawn;
    if (!DrawTypeText(*tool, doc.GetColourMode(), doc.GetDepth(), doc.GetWidth(), doc.GetHeight(),
                      drawn, why))
        return false;
    if (substituted) *substituted = drawn.substituted;
    if (missingGlyphs) *missingGlyphs = drawn.missingGlyphs;
    Raster::Format format;
    (void)LayerBitmapFormat(doc.GetColourMode(), doc.GetDepth(), format);
    if (!drawn.bitmap) {
        drawn.bitmap = Raster::DynamicBitmap::Create(0, 0, format);
        drawn.bounds = {layer.m_left, layer.m_top, layer.m_left, layer.m_top};
    }
    tool->SetDrawnBoxes(drawn.pointText ? &drawn.textLayout : nullptr, drawn.textInk);
    layer.m_bitmap = drawn.bitmap;
    layer.m_left = drawn.bounds.left, layer.m_top = drawn.bounds.top;
    layer.m_right = drawn.bounds.right, layer.m_bottom = drawn.bounds.bottom;
    return true;
}

}  // namespace PSD

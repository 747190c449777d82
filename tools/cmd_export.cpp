// `zuzodoriv export FILE [-o DIR]`: the composite, its extra channels, every layer with pixels and
// its masks as PNG files, each embedded file of a placed layer as stored (smart-<id>.<ext>, with
// a nested document's composite beside it), and export.json listing them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>

#include "host/kernel/Dispatch.h"
#include "host/raster/ICC.h"
#include "host/raster/PNG.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDLinkedData.h"
#include "psd/layer/PSDLayer.h"
#include "psd/render/PSDRender.h"
#include "psd/render/PSDRenderAdjustment.h"
#include "psd/render/PSDRenderDashes.h"
#include "psd/vector/PSDPath.h"
#include "psd/vector/PSDVectorStroke.h"
#include "tools/Command.h"
#include "tools/OpenDocument.h"
#include "tools/WritePNG.h"

namespace zuzodoriv {

// Palette indices to RGB: the colour mode data holds 256 reds, then 256 greens, then 256 blues;
// an index the palette does not reach is black.
static BitmapRef ThroughPalette(Raster::DynamicBitmap const& bm, std::vector<uint8_t> const& palette) {
    auto out = Raster::DynamicBitmap::Create(bm.GetWidth(), bm.GetHeight(), Raster::Format::RGBA8);
    auto entry = [&](unsigned plane, uint8_t i) {
        size_t at = size_t(plane) * 256 + i;
        return at < palette.size() ? palette[at] : uint8_t(0);
    };
    for (uint32_t y = 0; y < bm.GetHeight(); ++y) {
        uint8_t const* src = bm.GetRow(y);
        uint8_t* dst = out->GetRow(y);
        for (uint32_t x = 0; x < bm.GetWidth(); ++x, src += 2, dst += 4) {
            for (unsigned c = 0; c < 3; ++c) dst[c] = entry(c, src[0]);
            dst[3] = src[1];
        }
    }
    return out;
}

BitmapRef ForPNG(BitmapRef const& bm, PSD::PSDFile const& doc) {
    if (doc.m_colourMode == uint32_t(PSD::ColourMode::Indexed) &&
        bm->GetFormat() == Raster::Format::IA8)
        return ThroughPalette(*bm, doc.m_colourModeData);
    switch (bm->GetFormat()) {
        case Raster::Format::RGBA8:
        case Raster::Format::RGBA16:
        case Raster::Format::IA8:
        case Raster::Format::IA16:
        case Raster::Format::A8:
        case Raster::Format::A16:
            return bm;
        case Raster::Format::AF: {
            auto out =
                Raster::DynamicBitmap::Create(bm->GetWidth(), bm->GetHeight(), Raster::Format::A16);
            for (uint32_t y = 0; y < bm->GetHeight(); ++y) {
                auto const* src = reinterpret_cast<uint8_t const*>(bm->GetRow(y));
                auto* dst = out->GetRow(y);
                for (uint32_t x = 0; x < bm->GetWidth(); ++x) {
                    float f;
                    std::memcpy(&f, src + 4 * size_t(x), 4);
                    f = std::isnan(f) ? 0.0f : std::clamp(f, 0.0f, 1.0f);
                    uint16_t v = uint16_t(std::lround(f * 65535.0f));
                    std::memcpy(dst + 2 * size_t(x), &v, 2);
                }
            }
            return out;
        }
        default: {
            Raster::ConvertToRGBAOptions o;
            o.profile = doc.m_iccProfile;
            o.depth = doc.m_depth == 8 ? 8 : 16;
            return Raster::ConvertToRGBA(*bm, o);
        }
    }
}

bool WritePNG(BitmapRef const& bm, PSD::PSDFile const& doc, std::filesystem::path const& path,
           std::string& error) {
    // Checked before the file is made, so that no empty file is left behind.
    if (!bm) {
        error = "no image to write";
        return false;
    }
    if (bm->GetWidth() == 0 || bm->GetHeight() == 0) {
        error = "the image is " + std::to_string(bm->GetWidth()) + " x " +
                std::to_string(bm->GetHeight()) + " pixels: PNG holds no empty image";
        return false;
    }
    BitmapRef png;
    try {
        png = ForPNG(bm, doc);
    } catch (std::bad_alloc const&) {
        error = "out of memory";
        return false;
    }
    if (!png) {
        error = "cannot convert the bitmap for PNG";
        return false;
    }
    auto out = Kernel::FileOutStream::Create(path.string(), &error);
    if (!out) return false;
    Raster::PNGWriteOptions po;
    po.compressionLevel = 3;
    // RGB and grey keep the document's colour space; CMYK and Lab were converted to sRGB.
    auto const& profile = doc.m_iccProfile;
    bool same = png.Get() == bm.Get() && profile && png->GetChannelCount() > 1;
    uint32_t space = same ? profile->GetColourSpace() : 0;
    if (space == 0x52474220u /* 'RGB ' */ && png->GetChannelCount() >= 3)
        po.iccProfile = profile->GetData();
    else if (space == 0x47524159u /* 'GRAY' */ && png->GetChannelCount() <= 2)
        po.iccProfile = profile->GetData();
    if (!Raster::WritePNGBitmap(*out, *png, po, &error)) return false;
    if (!out->Close()) {
        error = "write failed";
        return false;
    }
    return true;
}

namespace {

using nlohmann::json;

struct Options {
    std::string file;
    std::string dir;
    size_t jobs = 0;
    bool compositeOnly = false;
    bool layersOnly = false;
    bool text = false;
};

// One progress line on a terminal, redrawn in place.
class Progress {
public:
    Progress(size_t total, bool show) : m_total(total), m_show(show) { Draw(); }
    void Step() {
        size_t d = ++m_done;
        std::lock_guard<std::mutex> g(m_lock);
        (void)d;
        Draw();
    }
    void Finish() {
        if (m_show) std::cerr << "\n";
    }

private:
    void Draw() {
        if (!m_show) return;
        size_t d = m_done.load(), width = 30, fill = m_total ? d * width / m_total : width;
        std::cerr << "\r[" << std::string(fill, '#') << std::string(width - fill, ' ') << "] " << d
                  << "/" << m_total << std::flush;
    }
    size_t m_total;
    bool m_show;
    std::atomic<size_t> m_done{0};
    std::mutex m_lock;
};

json Bounds(int32_t top, int32_t left, int32_t bottom, int32_t right) {
    return {{"top", top}, {"left", left}, {"bottom", bottom}, {"right", right}};
}

// The outline as SVG path data: each curve's segments as cubics, closed curves closed.
// A path's data; dashed, each closed subpath starts where the editor starts its dashes.
std::string SvgPathData(Geometry::PolyCurveDbl const& poly, bool dashed = false) {
    std::string d;
    char buf[160];
    for (auto const& c : poly.GetCurves()) {
        auto segs = c->GetSegments();
        if (segs.empty()) continue;
        if (dashed && c->IsClosed() && segs.back()[3] == segs.front()[0])
            std::rotate(segs.begin(), segs.begin() + long(PSD::DashStart(segs)), segs.end());
        std::snprintf(buf, sizeof buf, "M%.4f %.4f", segs[0][0].x, segs[0][0].y);
        d += buf;
        for (auto const& s : segs) {
            std::snprintf(buf, sizeof buf, " C%.4f %.4f %.4f %.4f %.4f %.4f", s[1].x, s[1].y, s[2].x, s[2].y, s[3].x,
                          s[3].y);
            d += buf;
        }
        if (c->IsClosed()) d += " Z";
        d += " ";
    }
    return d;
}

std::string SvgColour(Kernel::Consolidated<Renderer::Colour> const& c) {
    if (!c) return "none";
    Renderer::RGBAF f = c->ToRGBAF();
    auto v = [](float x) { return int(std::lround(std::clamp(x, 0.0f, 1.0f) * 255.0f)); };
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", v(f.r), v(f.g), v(f.b));
    return buf;
}

Kernel::Consolidated<Renderer::Colour> SolidOf(PSD::PSDAdjustment const* a) {
    auto const* solid = dynamic_cast<PSD::PSDAdjustmentSolidColor const*>(a);
    return solid ? solid->m_colour : nullptr;
}

// A gradient as an SVG gradient over the shape's box: the ramp sampled at even steps (SVG has no
// midpoints), linear along the angle or radial; the other styles fall back to linear.
std::string SvgGradient(PSD::PSDGradientDesc const& g, std::string const& id, std::string& defs) {
    PSD::PSDGradientRamp ramp;
    if (!ramp.Build(g.m_gradient, 3, g.m_reverse)) return "none";
    std::string stops;
    char buf[200];
    constexpr int kStops = 32;
    for (int i = 0; i <= kStops; ++i) {
        PSD::RenderPixel p = ramp.At(float(i) / kStops);
        auto v = [](float x) { return int(std::lround(std::clamp(x, 0.0f, 1.0f) * 255.0f)); };
        std::snprintf(buf, sizeof buf,
                      "<stop offset=\"%.4f\" stop-color=\"#%02x%02x%02x\" stop-opacity=\"%.4f\"/>",
                      double(i) / kStops, v(p.c[0]), v(p.c[1]), v(p.c[2]), double(p.a));
        stops += buf;
    }
    double half = 0.5 * (g.m_scale > 0 ? g.m_scale : 1.0);
    if (g.m_kind == PSD::PSDGradientDesc::kRadial) {
        std::snprintf(buf, sizeof buf, "<radialGradient id=\"%s\" cx=\"0.5\" cy=\"0.5\" r=\"%.4f\">",
                      id.c_str(), half);
        defs += buf + stops + "</radialGradient>";
    } else {
        // The angle turns counter-clockwise from the x axis; SVG's y axis points down.
        double a = g.m_angle * M_PI / 180.0, dx = std::cos(a) * half, dy = -std::sin(a) * half;
        std::snprintf(buf, sizeof buf,
                      "<linearGradient id=\"%s\" x1=\"%.4f\" y1=\"%.4f\" x2=\"%.4f\" y2=\"%.4f\">",
                      id.c_str(), 0.5 - dx, 0.5 - dy, 0.5 + dx, 0.5 + dy);
        defs += buf + stops + "</linearGradient>";
    }
    return "url(#" + id + ")";
}

// A paint (solid colour or gradient); patterns and noise gradients are not drawn in SVG.
std::string SvgPaint(PSD::PSDAdjustment const* a, std::string const& id, std::string& defs) {
    if (auto solid = SolidOf(a)) return SvgColour(solid);
    if (auto const* g = dynamic_cast<PSD::PSDAdjustmentGradientFill const*>(a))
        return SvgGradient(g->m_gradient, id, defs);
    return "none";
}

// A path as an SVG document of the canvas size. A shape's fill and stroke when it has them (a
// stroke inside or outside the outline is drawn twice as wide and clipped or masked by it); the
// outline of any other layer, or a saved path, in black.
bool WriteSvg(PSD::PSDFile const& doc, PSD::PSDPath const& path, PSD::PSDLayer const* layer,
              std::filesystem::path const& file) {
    auto const& poly = path.m_replacementOutline ? path.m_replacementOutline : path.m_outline;
    if (!poly) return false;
    PSD::PSDVectorStroke const* vs = layer ? layer->m_vectorStroke.Get() : nullptr;
    std::string fill = "#000000", defs,
                data = SvgPathData(*poly, vs && vs->m_strokeEnabled && !vs->m_dashSet.empty());
    std::string rule = path.m_fillRule == 1 ? "nonzero" : "evenodd";
    PSD::PSDAdjustment const* paint = vs && vs->m_fill ? vs->m_fill.Get() : layer ? layer->GetAdjustment().Get() : nullptr;
    bool isFill = dynamic_cast<PSD::PSDAdjustmentSolidColor const*>(paint) ||
                  dynamic_cast<PSD::PSDAdjustmentGradientFill const*>(paint) ||
                  dynamic_cast<PSD::PSDAdjustmentPatternFill const*>(paint);
    if (isFill) fill = SvgPaint(paint, "fill", defs);
    if (vs && !vs->m_fillEnabled && vs->m_fill) fill = "none";
    std::string stroke, wrap;
    if (vs && vs->m_strokeEnabled) {
        double scale = (doc.m_unitConverter ? doc.m_unitConverter->GetResolution() : 72.0) / 72.0;
        double width = vs->m_lineWidth * scale;
        bool aligned = vs->m_lineAlignment != PSD::PSDVectorStroke::LineAlignment::Center;
        static char const* const kCaps[] = {"butt", "round", "square"};
        static char const* const kJoins[] = {"miter", "round", "bevel"};
        char buf[300];
        std::snprintf(buf, sizeof buf,
                      " stroke=\"%s\" stroke-width=\"%.3f\" stroke-opacity=\"%.3f\" stroke-linecap=\"%s\" "
                      "stroke-linejoin=\"%s\" stroke-miterlimit=\"%.3f\"",
                      SvgPaint(vs->m_content.Get(), "stroke", defs).c_str(), aligned ? 2 * width : width,
                      vs->m_opacity, kCaps[std::min(uint32_t(vs->m_lineCap), 2u)],
                      kJoins[std::min(uint32_t(vs->m_lineJoin), 2u)], std::max(1.0, vs->m_miterLimit));
        stroke = buf;
        if (!vs->m_dashSet.empty()) {
            // Dashes are stored in multiples of the line width.
            stroke += " stroke-dasharray=\"";
            for (size_t i = 0; i < vs->m_dashSet.size(); ++i)
                stroke += (i ? " " : "") + std::to_string(vs->m_dashSet[i] * width);
            stroke += "\" stroke-dashoffset=\"" + std::to_string(vs->m_dashOffset * width) + "\"";
        }
        if (vs->m_lineAlignment == PSD::PSDVectorStroke::LineAlignment::Inside) {
            defs += "<clipPath id=\"inside\"><path clip-rule=\"" + rule + "\" d=\"" + data + "\"/></clipPath>";
            wrap = " clip-path=\"url(#inside)\"";
        } else if (aligned) {
            defs += "<mask id=\"outside\" maskUnits=\"userSpaceOnUse\" x=\"-100%\" y=\"-100%\" "
                    "width=\"300%\" height=\"300%\"><rect x=\"-100%\" y=\"-100%\" width=\"300%\" "
                    "height=\"300%\" fill=\"white\"/><path fill=\"black\" fill-rule=\"" + rule + "\" d=\"" +
                    data + "\"/></mask>";
            wrap = " mask=\"url(#outside)\"";
        }
    }
    std::ofstream out(file);
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << doc.m_width << "\" height=\"" << doc.m_height
        << "\" viewBox=\"0 0 " << doc.m_width << " " << doc.m_height << "\">\n";
    if (!defs.empty()) out << "  <defs>" << defs << "</defs>\n";
    if (stroke.empty() || wrap.empty()) {
        out << "  <path fill=\"" << fill << "\" fill-rule=\"" << rule << "\"" << stroke << " d=\"" << data << "\"/>\n";
    } else {
        // The fill first, then the stroke alone, clipped or masked to its side of the outline.
        out << "  <path fill=\"" << fill << "\" fill-rule=\"" << rule << "\" d=\"" << data << "\"/>\n";
        out << "  <path fill=\"none\"" << stroke << wrap << " d=\"" << data << "\"/>\n";
    }
    out << "</svg>\n";
    return bool(out);
}


int RunExport(Options const& o) {
    namespace fs = std::filesystem;
    PSD::CreateOptions openOptions;
    openOptions.parseText = o.text;
    auto opened = OpenDocument(o.file, openOptions);
    if (!opened.doc) {
        std::cerr << o.file << ": " << opened.error << "\n";
        return 1;
    }
    auto& doc = opened.doc;
    fs::path dir =
        o.dir.empty() ? fs::path(fs::path(o.file).stem().string() + "-export") : fs::path(o.dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::cerr << dir.string() << ": " << ec.message() << "\n";
        return 1;
    }
    if (o.jobs) Kernel::Dispatch::SetConcurrency(o.jobs);

    std::mutex lock;
    json files = json::array();
    std::vector<std::string> failures;
    auto record = [&](json entry) {
        std::lock_guard<std::mutex> g(lock);
        files.push_back(std::move(entry));
    };
    auto fail = [&](std::string what) {
        std::lock_guard<std::mutex> g(lock);
        failures.push_back(std::move(what));
    };

    bool doComposite = !o.layersOnly, doLayers = !o.compositeOnly;
    auto const& layers = doc->m_layers;
    size_t steps = (doComposite ? 1 : 0) + (doLayers ? layers.size() : 0);
    Progress progress(steps, IsTerminal(2) && steps > 1);

    if (doComposite) {
        BitmapRef flat;
        std::vector<BitmapRef> masks;
        PSD::PSDReport r;
        if (!doc->GetBitmap(flat, masks, r)) {
            fail("composite: " + ErrorText(r));
        } else if (flat) {
            json bounds = Bounds(0, 0, int32_t(doc->m_height), int32_t(doc->m_width));
            std::string err;
            // A file saved without a real composite holds a blank one (or a writer left one
            // colour in its place): draw it from the layers.
            json source = "stored";
            if (!layers.empty() && PSD::StoredCompositeIsBlank(*doc, flat.Get())) {
                PSD::PSDRenderResult rendered;
                PSD::PSDRenderOptions ro;
                if (PSD::RenderDocument(*doc, ro, rendered, err)) {
                    std::cerr << o.file << ": the stored composite is not real; composite.png is "
                              << "rendered from the layers\n";
                    for (auto const& u : rendered.undrawn)
                        std::cerr << o.file << ": not drawn: " << u << "\n";
                    flat = rendered.bitmap;
                    source = "rendered";
                } else {
                    std::cerr << o.file << ": the stored composite is not real and rendering "
                              << "failed (" << err << "); composite.png is the stored one\n";
                }
            }
            if (WritePNG(flat, *doc, dir / "composite.png", err))
                record({{"file", "composite.png"}, {"kind", "composite"}, {"bounds", bounds},
                        {"source", source}});
            else
                fail("composite.png: " + err);
            for (size_t i = 0; i < masks.size(); ++i) {
                std::string name = "composite-alpha-" + std::to_string(i) + ".png";
                if (WritePNG(masks[i], *doc, dir / name, err))
                    record({{"file", name},
                            {"kind", "composite-alpha"},
                            {"channel", i},
                            {"name", std::string(doc->GetAlphaChannelName(i))},
                            {"bounds", bounds}});
                else
                    fail(name + ": " + err);
            }
        }
        doc->m_flattenedBitmap = nullptr;
        doc->m_masks.clear();
        progress.Step();
    }

    if (doLayers) {
        Kernel::Dispatch::DispatchParallelFor(layers.size(), [&](size_t i) {
            PSD::PSDLayer& layer = *layers[i];
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "layer-%04zu", i);
            struct Kind {
                char const* suffix;
                char const* kind;
                bool (PSD::PSDLayer::*get)(BitmapRef&, PSD::PSDReport&) const;
                BitmapRef PSD::PSDLayer::*cache;
            };
            static Kind const kinds[] = {
                {"", "layer", &PSD::PSDLayer::GetBitmap, &PSD::PSDLayer::m_bitmap},
                {"-mask", "mask", &PSD::PSDLayer::GetBitmapUserMask,
                 &PSD::PSDLayer::m_bitmapUserMask},
                {"-realmask", "realmask", &PSD::PSDLayer::GetBitmapRealMask,
                 &PSD::PSDLayer::m_bitmapRealMask},
            };
            for (auto const& k : kinds) {
                PSD::PSDReport r;
                BitmapRef bm;
                std::string name = std::string(prefix) + k.suffix + ".png";
                if (!(layer.*k.get)(bm, r)) {
                    fail(name + ": " + ErrorText(r));
                } else if (bm && !bm->IsEmpty()) {
                    json bounds;
                    if (k.cache == &PSD::PSDLayer::m_bitmap)
                        bounds = Bounds(layer.m_top, layer.m_left, layer.m_bottom, layer.m_right);
                    else {
                        auto const& m = k.cache == &PSD::PSDLayer::m_bitmapUserMask
                                            ? layer.m_userMask
                                            : layer.m_realMask;
                        bounds = Bounds(m.m_top, m.m_left, m.m_bottom, m.m_right);
                    }
                    std::string err;
                    if (WritePNG(bm, *doc, dir / name, err))
                        record({{"file", name},
                                {"kind", k.kind},
                                {"layer", i},
                                {"name", std::string(layer.m_name)},
                                {"bounds", bounds}});
                    else
                        fail(name + ": " + err);
                }
                layer.*k.cache = nullptr;  // written: let it go
            }
            progress.Step();
        });
    }
    progress.Finish();

    // Paths and vector masks as SVG.
    if (doLayers) {
        size_t n = 0;
        for (auto const& p : doc->m_paths) {
            if (!p) continue;
            std::string name = "path-" + std::to_string(n++) + ".svg";
            if (WriteSvg(*doc, *p, nullptr, dir / name))
                record({{"file", name}, {"kind", "path"}, {"name", std::string(p->m_name)}});
        }
        for (size_t i = 0; i < layers.size(); ++i) {
            if (!layers[i]->m_vectorMask) continue;
            char name[40];
            std::snprintf(name, sizeof name, "layer-%04zu-vector.svg", i);
            if (WriteSvg(*doc, *layers[i]->m_vectorMask, layers[i].Get(), dir / name))
                record({{"file", name}, {"kind", "vector"}, {"layer", i}, {"name", std::string(layers[i]->m_name)}});
        }
    }
    // The files behind placed layers, as stored, and the composite of each nested document.
    for (auto const& linked : doc->GetLinkedRecords()) {
        if (!doLayers || doc->GetLinkedLayerData(linked->m_uniqueId) != linked) continue;
        auto bytes = linked->GetBytes();
        if (bytes.empty()) continue;
        std::string id = linked->m_uniqueId;
        for (auto& ch : id)
            if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-') ch = '_';
        std::string name = "smart-" + id + "." + linked->GetExtension();
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<char const*>(bytes.data()), std::streamsize(bytes.size()));
        record({{"file", name}, {"kind", "smart-object"}, {"id", std::string(linked->m_uniqueId)}});
        auto nested = linked->GetDocument();
        if (!nested) continue;
        BitmapRef flat;
        std::vector<BitmapRef> masks;
        PSD::PSDReport r;
        std::string composite = "smart-" + id + "-composite.png", err;
        if (!nested->GetBitmap(flat, masks, r))
            fail(composite + ": " + ErrorText(r));
        else if (flat && WritePNG(flat, *nested, dir / composite, err))
            record({{"file", composite}, {"kind", "smart-object-composite"}, {"id", std::string(linked->m_uniqueId)}});
        else
            fail(composite + ": " + err);
    }
    // Each type layer's text and styles, as `info --json` gives them.
    for (size_t i = 0; o.text && i < layers.size(); ++i) {
        auto tool = layers[i]->GetAdjustment().DynamicCast<PSD::PSDAdjustmentTypeTool>();
        if (!tool) continue;
        char name[40];
        std::snprintf(name, sizeof name, "layer-%04zu-text.json", i);
        std::ofstream out(dir / name);
        out << JsonOutput(PSD::TextJson(*tool)) << "\n";
        if (!out)
            fail(std::string(name) + ": not written");
        else
            record({{"file", name}, {"kind", "text"}, {"layer", i}, {"name", std::string(layers[i]->m_name)}});
    }

    std::sort(files.begin(), files.end(), [](json const& a, json const& b) {
        return a["file"].get<std::string>() < b["file"].get<std::string>();
    });
    json manifest = {{"document", o.file},
                     {"width", doc->m_width},
                     {"height", doc->m_height},
                     {"depth", doc->m_depth},
                     {"colour_mode", PSD::ColourModeName(doc->m_colourMode)},
                     {"files", files}};
    std::ofstream(dir / "export.json") << JsonOutput(manifest) << "\n";
    for (auto const& f : failures) std::cerr << o.file << ": " << f << "\n";
    std::cout << "exported " << files.size() << " files to " << dir.string() << "\n";
    return failures.empty() ? 0 : 1;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand(
        "export", "Write the composite, layers and masks of a document as PNG files");
    cmd->add_option("file", opts->file, "Document to export")->required();
    cmd->add_option("-o,--output", opts->dir, "Folder to write into (default: <name>-export)");
    cmd->add_option("--jobs,-j", opts->jobs, "Layers decoded at once (default: all processors)");
    auto* c = cmd->add_flag("--composite-only", opts->compositeOnly,
                            "Only the composite and its extra channels");
    auto* l = cmd->add_flag("--layers-only", opts->layersOnly, "Only the layers and their masks");
    c->excludes(l);
    cmd->add_flag("--text", opts->text, "Also each type layer's text and styles as JSON");
    cmd->callback([opts] { ExitStatus() = RunExport(*opts); });
});

}  // namespace
}  // namespace zuzodoriv

// `zuzodoriv create OUT --size WxH [--layer NAME=FILE.png[@X,Y] ...] [--composite] [--psb]
// [--zip]`: builds a document from PNG files through the document-building operations. Layers are
// given bottom first; --composite also stores the layers merged (normal blending) as the composite.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <regex>

#include "host/raster/PNG.h"
#include "psd/layer/PSDLayer.h"
#include "tools/SaveOutput.h"

namespace zuzodoriv {
namespace {

struct Options {
    std::string output;
    std::string size;
    std::vector<std::string> layers;
    bool composite = false;
    bool psb = false;
    bool zip = false;
};

struct LayerArgument {
    std::string name;
    std::string file;
    int32_t x = 0;
    int32_t y = 0;
};

bool ParseSize(std::string const& s, unsigned& w, unsigned& h) {
    std::smatch m;
    static std::regex const re(R"(^\s*(\d{1,7})\s*[xX]\s*(\d{1,7})\s*$)");
    if (!std::regex_match(s, m, re)) return false;
    w = unsigned(std::stoul(m[1]));
    h = unsigned(std::stoul(m[2]));
    return w > 0 && h > 0;
}

bool ParseLayer(std::string const& s, LayerArgument& out) {
    size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == s.size()) return false;
    out.name = s.substr(0, eq);
    out.file = s.substr(eq + 1);
    // An optional "@X,Y" places the layer; without it the layer starts at the top left corner.
    std::smatch m;
    static std::regex const re(R"(^(.*)@(-?\d{1,7}),(-?\d{1,7})$)");
    if (std::regex_match(out.file, m, re)) {
        out.x = std::stoi(m[2]);
        out.y = std::stoi(m[3]);
        out.file = m[1];
    }
    return !out.file.empty();
}

// 8-bit pixels widened to 16 bits (x257), so every layer matches a 16-bit document.
Kernel::Counted<Raster::DynamicBitmap> Widen(Raster::DynamicBitmap const& src) {
    auto out =
        Raster::DynamicBitmap::Create(src.GetWidth(), src.GetHeight(), Raster::Format::RGBA16);
    for (uint32_t y = 0; y < src.GetHeight(); ++y) {
        uint8_t const* s = src.GetRow(y);
        auto* d = reinterpret_cast<uint16_t*>(out->GetRow(y));
        for (size_t i = 0; i < size_t(src.GetWidth()) * 4; ++i) d[i] = uint16_t(s[i] * 257u);
    }
    return out;
}

// Source-over compositing of every visible layer onto a transparent canvas, in floats.
template <class T>
Kernel::Counted<Raster::DynamicBitmap> Merge(PSD::PSDFile const& doc, Raster::Format format,
                                             double maxValue) {
    uint32_t w = doc.m_width, h = doc.m_height;
    std::vector<float> acc(size_t(w) * h * 4, 0.0f);
    for (auto const& layer : doc.m_layers) {
        if (!layer->m_bitmap || !layer->m_visible) continue;
        Raster::DynamicBitmap const& bm = *layer->m_bitmap;
        float opacity = layer->m_opacity / 255.0f;
        for (uint32_t ly = 0; ly < bm.GetHeight(); ++ly) {
            int64_t y = int64_t(layer->m_top) + ly;
            if (y < 0 || y >= int64_t(h)) continue;
            T const* row = reinterpret_cast<T const*>(bm.GetRow(ly));
            for (uint32_t lx = 0; lx < bm.GetWidth(); ++lx) {
                int64_t x = int64_t(layer->m_left) + lx;
                if (x < 0 || x >= int64_t(w)) continue;
                float* d = &acc[(size_t(y) * w + size_t(x)) * 4];
                float sa = float(row[4 * lx + 3] / maxValue) * opacity;
                float da = d[3], oa = sa + da * (1 - sa);
                for (int c = 0; c < 3; ++c) {
                    float sc = float(row[4 * lx + c] / maxValue);
                    d[c] = oa > 0 ? (sc * sa + d[c] * da * (1 - sa)) / oa : 0;
                }
                d[3] = oa;
            }
        }
    }
    auto out = Raster::DynamicBitmap::Create(w, h, format);
    for (uint32_t y = 0; y < h; ++y) {
        T* row = reinterpret_cast<T*>(out->GetRow(y));
        for (size_t i = 0; i < size_t(w) * 4; ++i)
            row[i] = T(std::lround(std::clamp(acc[size_t(y) * w * 4 + i], 0.0f, 1.0f) * maxValue));
    }
    return out;
}

int RunCreate(Options const& o) {
    InterruptGuard interrupts;
    unsigned w, h;
    if (!ParseSize(o.size, w, h)) {
        std::cerr << "bad --size \"" << o.size << "\": expected WIDTHxHEIGHT\n";
        return 2;
    }
    std::vector<LayerArgument> layerArgs;
    for (auto const& s : o.layers) {
        LayerArgument arg;
        if (!ParseLayer(s, arg)) {
            std::cerr << "bad --layer \"" << s
                      << "\": expected NAME=FILE.png or NAME=FILE.png@X,Y\n";
            return 2;
        }
        layerArgs.push_back(arg);
    }
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> images;
    bool deep = false;
    for (auto const& arg : layerArgs) {
        if (AbortFlag()) break;
        std::string why;
        auto bm = Raster::ReadPNGFile(arg.file, &why);
        if (!bm) {
            std::cerr << "cannot read " << arg.file << ": " << why << "\n";
            return 1;
        }
        deep = deep || bm->GetFormat() == Raster::Format::RGBA16;
        images.push_back(bm);
    }
    if (AbortFlag()) {
        std::cerr << "cancelled; " << o.output << " was not written\n";
        return 130;
    }
    Raster::Format format = deep ? Raster::Format::RGBA16 : Raster::Format::RGBA8;
    auto doc = PSD::PSDFile::CreateEmpty(w, h, o.psb, format, nullptr, nullptr);
    if (!doc) {
        std::cerr << "cannot create a " << w << " x " << h << " document"
                  << (o.psb ? " (PSB sides are at most 300000 px)"
                            : " (PSD sides are at most 30000 px; try --psb)")
                  << "\n";
        return 1;
    }
    for (size_t i = 0; i < layerArgs.size(); ++i) {
        auto bm = images[i];
        if (deep && bm->GetFormat() == Raster::Format::RGBA8) bm = Widen(*bm);
        Kernel::Counted<PSD::PSDLayer> layer(
            new PSD::PSDLayer(PSD::PSDLayer::kNormal, PSD::String(layerArgs[i].name)));
        layer->m_left = layerArgs[i].x;
        layer->m_top = layerArgs[i].y;
        layer->m_right = layerArgs[i].x + int32_t(bm->GetWidth());
        layer->m_bottom = layerArgs[i].y + int32_t(bm->GetHeight());
        layer->m_bitmap = bm;
        if (!doc->AddLayer(layer)) {
            std::cerr << "cannot add layer \"" << layerArgs[i].name << "\""
                      << (doc->HasTooManyLayers() ? ": too many layers" : ": too large") << "\n";
            return 1;
        }
    }
    if (o.composite)
        doc->SetFlattenedBitmap(deep ? Merge<uint16_t>(*doc, format, 65535.0)
                                     : Merge<uint8_t>(*doc, format, 255.0));
    return SaveDocumentToFile(*doc, o.output, o.psb, o.zip);
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("create", "Build a document from PNG files");
    cmd->add_option("output", opts->output, "Document to write")->required();
    cmd->add_option("--size", opts->size, "Document size, WIDTHxHEIGHT")->required();
    cmd->add_option("--layer", opts->layers, "NAME=FILE.png[@X,Y], bottom layer first")
        ->allow_extra_args(false)
        ->take_all();
    cmd->add_flag("--composite", opts->composite,
                  "Also store the merged layers as the composite image");
    cmd->add_flag("--psb", opts->psb, "Write the large-document format (version 2)");
    cmd->add_flag("--zip", opts->zip, "ZIP with prediction for 16- and 32-bit layer channels");
    cmd->callback([opts] { ExitStatus() = RunCreate(*opts); });
});

}  // namespace
}  // namespace zuzodoriv

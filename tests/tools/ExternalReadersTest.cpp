// Documents we write, opened by independent readers run as separate programs: python3-psd-tools
// must see the same layers (names, bounds, every channel's stored samples), and documents made by
// the create command open in OpenImageIO. Corpus documents converted by the tool are held to the
// readers by bench/readers: a dozen of them in the suite (tests/CMakeLists.txt), all in bench.
// Each test skips when its reader is absent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/raster/PNG.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/layer/PSDChannelEncoder.h"
#include "tests/psd/file/SaveTestSupport.h"
#include "tests/support/CorpusRoot.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Sha256.h"
#include "tests/support/ToolRun.h"

namespace {

using namespace savetest;
namespace fs = std::filesystem;

using testsupport::RunShell;

// The system interpreter carries the Debian python3-psd-tools package.
constexpr char kPython[] = "/usr/bin/python3";

bool HavePsdTools() {
    return RunShell(std::string(kPython) + " -c 'import psd_tools'") == 0;
}
bool HaveOpenImageIO() {
    return RunShell("iinfo --help") == 0;
}

std::string WriteDocument(PSD::PSDFile const& doc, testsupport::ScratchDir const& dir,
                          std::string const& name, bool psb, bool compress) {
    Saved s = SaveToMemory(doc, psb, compress);
    EXPECT_TRUE(s.ok);
    return dir.Write(name, s.bytes);
}

// Lists every layer record: name, bounds, and the SHA-256 of each channel's decoded stored samples.
constexpr char kPsdToolsScript[] = R"PY(
import sys, json, hashlib
from psd_tools import PSDImage
from psd_tools.constants import Tag
def dump(path):
    p = PSDImage.open(path)
    lm = p._record.layer_and_mask_information
    li = lm.layer_info
    if (li is None or not li.layer_records) and lm.tagged_blocks is not None:
        for tag in (Tag.LAYER_16, Tag.LAYER_32):
            if tag in lm.tagged_blocks:
                li = lm.tagged_blocks.get_data(tag)
    out = {"version": p.version, "width": p.width, "height": p.height, "depth": p.depth, "layers": []}
    recs = li.layer_records if li is not None and li.layer_records else []
    for rec, cds in zip(recs, li.channel_image_data if recs else []):
        name = None
        if rec.tagged_blocks is not None and Tag.UNICODE_LAYER_NAME in rec.tagged_blocks:
            name = rec.tagged_blocks.get_data(Tag.UNICODE_LAYER_NAME)
        if name is None:
            name = rec.name
        e = {"name": str(name).rstrip("\x00"), "bbox": [rec.left, rec.top, rec.right, rec.bottom], "channels": {}}
        for ci, cd in zip(rec.channel_info, cds):
            m = rec.mask_data
            if int(ci.id) >= -1:
                w, h = rec.right - rec.left, rec.bottom - rec.top
            elif int(ci.id) == -2:
                w, h = m.right - m.left, m.bottom - m.top
            else:
                w, h = m.real_right - m.real_left, m.real_bottom - m.real_top
            d = cd.get_data(w, h, p.depth, p.version) if w > 0 and h > 0 else b""
            e["channels"][str(int(ci.id))] = hashlib.sha256(bytes(d)).hexdigest()
        out["layers"].append(e)
    return out
for path in sys.argv[1:]:
    print(json.dumps(dump(path)))
)PY";

std::string ChannelHash(Raster::DynamicBitmap const* bm, unsigned channel, unsigned depth,
                        bool invert) {
    testsupport::Sha256 sha;
    if (bm && !bm->IsEmpty()) {
        std::vector<uint8_t> row(size_t(bm->GetWidth()) * depth / 8);
        for (uint32_t y = 0; y < bm->GetHeight(); ++y) {
            PSD::ExtractChannelRow({bm, channel, depth, invert}, y, row.data());
            sha.Update(row.data(), row.size());
        }
    }
    return sha.HexDigest();
}

Raster::Format MaskFormatOf(Raster::Format f) {
    if (f == Raster::Format::RGBA16 || f == Raster::Format::IA16 || f == Raster::Format::LABA16)
        return Raster::Format::A16;
    return f == Raster::Format::RGBAF ? Raster::Format::AF : Raster::Format::A8;
}

Kernel::Counted<PSD::PSDFile> LayeredDocument(Raster::Format f) {
    auto doc = PSD::PSDFile::CreateEmpty(70, 50, false, f, nullptr, nullptr);
    auto flat = Pattern(70, 50, f, 1);
    auto const& info = flat->GetFormatInfo();
    flat->FillChannel(unsigned(info.alphaChannel), info.isFloat               ? 1.0
                                                   : info.bytesPerSample == 2 ? 65535.0
                                                                              : 255.0);
    doc->SetFlattenedBitmap(flat);
    doc->AddLayer(MakeLayer("Bottom layer", 0, 0, Pattern(70, 50, f, 2)));
    auto masked = MakeLayer("Masked \xC3\xA9t\xC3\xA9", 10, 5, Pattern(33, 21, f, 3));
    masked->m_userMask.m_present = true;
    masked->m_userMask.m_left = 12;
    masked->m_userMask.m_top = 8;
    masked->m_userMask.m_right = 30;
    masked->m_userMask.m_bottom = 20;
    masked->m_userMask.m_invert = true;
    masked->m_bitmapUserMask = Pattern(18, 12, MaskFormatOf(f), 4);
    doc->AddLayer(masked);
    doc->AddLayer(MakeLayer("Off canvas", -5, 40, Pattern(20, 20, f, 5)));
    return doc;
}

TEST(ExternalReaders, PsdToolsSeesOurLayersAndSamples) {
    if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools is not installed";
    testsupport::ScratchDir dir;
    fs::path script = dir.path / "dump.py";
    std::ofstream(script) << kPsdToolsScript;
    // Every variant is written first and read by one interpreter run.
    struct Variant {
        std::string what;
        Kernel::Counted<PSD::PSDFile> doc;
        bool psb;
        std::string file;
    };
    std::vector<Variant> variants;
    std::string files;
    for (auto f : {Raster::Format::RGBA8, Raster::Format::RGBA16, Raster::Format::IA8,
                   Raster::Format::CMYKA8}) {
        for (bool psb : {false, true}) {
            for (bool compress : {false, true}) {
                Variant v{std::string(Raster::FormatName(f)) + (psb ? " PSB" : " PSD") +
                              (compress ? " zip" : ""),
                          LayeredDocument(f),
                          psb,
                          {}};
                v.file = WriteDocument(
                    *v.doc, dir, "doc" + std::to_string(variants.size()) + ".psd", psb, compress);
                files += " " + v.file;
                variants.push_back(v);
            }
        }
    }
    std::string text;
    ASSERT_EQ(RunShell(std::string(kPython) + " " + script.string() + files, &text), 0);
    std::istringstream lines(text);
    for (auto const& v : variants) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << v.what;
        auto j = nlohmann::json::parse(line);
        auto const& doc = v.doc;
        std::string const& what = v.what;
        EXPECT_EQ(j["version"], v.psb ? 2 : 1) << what;
        EXPECT_EQ(j["width"], 70);
        EXPECT_EQ(j["height"], 50);
        ASSERT_EQ(j["layers"].size(), doc->m_layers.size()) << what;
        for (size_t i = 0; i < doc->m_layers.size(); ++i) {
            PSD::PSDLayer const& l = *doc->m_layers[i];
            auto const& e = j["layers"][i];
            SCOPED_TRACE(what + " layer " + l.m_name);
            EXPECT_EQ(e["name"].get<std::string>(), l.m_name);
            EXPECT_EQ(e["bbox"], nlohmann::json({l.m_left, l.m_top, l.m_right, l.m_bottom}));
            unsigned depth = doc->m_depth;
            auto const& ch = e["channels"];
            unsigned colour = PSD::ColourChannelCount(doc->m_colourMode, false);
            ASSERT_EQ(ch.size(), colour + 1 + (l.m_bitmapUserMask ? 1 : 0));
            unsigned alpha = unsigned(l.m_bitmap->GetFormatInfo().alphaChannel);
            EXPECT_EQ(ch["-1"], ChannelHash(l.m_bitmap.Get(), alpha, depth, false));
            for (unsigned c = 0; c < colour; ++c)
                EXPECT_EQ(ch[std::to_string(c)], ChannelHash(l.m_bitmap.Get(), c, depth, false))
                    << c;
            if (l.m_bitmapUserMask) {
                EXPECT_EQ(ch["-2"],
                          ChannelHash(l.m_bitmapUserMask.Get(), 0, depth, l.m_userMask.m_invert));
            }
        }
    }
}

// Documents made by create open in OpenImageIO with every layer, with or without --zip (which
// leaves 8-bit channels RLE) and as PSB.
TEST(ExternalReaders, CreatedDocumentsOpenInOpenImageIO) {
    if (!HaveOpenImageIO()) GTEST_SKIP() << "OpenImageIO is not installed";
    testsupport::ScratchDir dir;
    auto png = [&](std::string const& name, uint32_t w, uint32_t h, unsigned seed) {
        auto out = Kernel::FileOutStream::Create((dir.path / name).string());
        EXPECT_TRUE(out &&
                    Raster::WritePNGBitmap(*out, *Pattern(w, h, Raster::Format::RGBA8, seed)) &&
                    out->Close());
        return (dir.path / name).string();
    };
    std::string a = png("a.png", 40, 30, 1), b = png("b.png", 12, 9, 2);
    for (char const* args : {"", " --zip", " --zip --psb"}) {
        SCOPED_TRACE(args);
        std::string out = (dir.path / "made.psd").string();
        int status;
        std::string text =
            testsupport::RunTool("create '" + out + "' --size 50x40 --layer 'A=" + a +
                                     "' --layer 'B=" + b + "@-3,20' --composite" + args,
                                 &status);
        ASSERT_EQ(status, 0) << text;
        std::string info;
        EXPECT_EQ(RunShell("iinfo -v -a --hash '" + out + "'", &info), 0);
        EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
        EXPECT_NE(info.find("3 subimages"), std::string::npos) << info;
    }
}

}  // namespace

// Effects written from the model (each layer's master switch turned over, so that no stored
// effects block is copied) open in psd-tools with the enabled effects we read (it lists no
// others).
TEST(ExternalReaders, PsdToolsSeesEffectsWeWrite) {
    fs::path corpus = testsupport::CorpusRoot();
    if (!fs::exists(corpus / "MANIFEST.tsv")) GTEST_SKIP() << "no corpus at " << corpus;
    if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools is not installed";
    char const* const docs[] = {
        "ag-psd/test/read/effects/src.psd",
        "ag-psd/test/read/group-drop-shadows/src.psd",
        "psd-tools/tests/psd_files/effects/double-stroke-effects.psd",
        "psd-tools/tests/psd_files/effects/stroke-effects.psd",
        "psd-tools/tests/psd_files/effect-stroke-gradient.psd",
    };
    testsupport::ScratchDir dir;
    for (char const* path : docs) {
        SCOPED_TRACE(path);
        Kernel::Counted<Kernel::InStreamSeekable> in(
            Kernel::FileInStream::Open((corpus / path).string(), nullptr));
        ASSERT_TRUE(in);
        PSD::PSDReport r;
        auto doc = PSD::PSDFile::Create(in, {}, r);
        ASSERT_TRUE(doc);
        std::vector<std::string> ours;
        for (auto const& l : doc->m_layers) {
            auto fx = l->GetEffects();
            if (!fx || l->m_background) continue;
            fx->m_masterSwitch = !fx->m_masterSwitch;
            for (auto const& e : fx->m_effects)
                if (e->m_enabled) ours.push_back(std::string(l->m_name) + " " + e->GetTypeName());
        }
        std::string file = WriteDocument(*doc, dir, "fx.psd", false, false);
        std::string script =
            "import sys\nfrom psd_tools import PSDImage\nseen = set()\n"
            "for l in PSDImage.open(sys.argv[1]).descendants():\n"
            "    if id(l._record) in seen: continue\n"  // a layer may be listed twice
            "    seen.add(id(l._record))\n"
            "    for e in l.effects: print(l.name, type(e).__name__)\n";
        fs::path py = dir.path / "fx.py";
        std::ofstream(py) << script;
        fs::path listing = dir.path / "fx.txt";
        ASSERT_EQ(RunShell(std::string(kPython) + " '" + py.string() + "' '" + file + "' > '" +
                           listing.string() + "' 2>/dev/null"),
                  0);
        std::ifstream lines(listing);
        std::vector<std::string> theirs;
        for (std::string line; std::getline(lines, line);) theirs.push_back(line);
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        EXPECT_EQ(theirs, ours);
    }
}

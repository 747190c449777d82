// The convert and create commands run as a separate process: what they write reads back, bad
// arguments leave nothing behind, and Ctrl-C during a save leaves neither output nor partial file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/raster/PNG.h"
#include "tests/psd/file/SaveTestSupport.h"
#include "tests/support/MinimalDocument.h"
#include "tests/support/RoundTrip.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/ToolRun.h"

extern char** environ;

namespace {

using namespace savetest;
namespace fs = std::filesystem;

using Dir = testsupport::ScratchDir;

pid_t Spawn(std::vector<std::string> const& args) {
    std::vector<char*> argv;
    std::string cli = ZUZODORIV_CLI;
    argv.push_back(cli.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunCli(std::vector<std::string> const& args) {
    return Wait(Spawn(args));
}

void WritePNG(fs::path const& file, Raster::DynamicBitmap const& bm) {
    auto out = Kernel::FileOutStream::Create(file.string());
    ASSERT_TRUE(out && Raster::WritePNGBitmap(*out, bm) && out->Close());
}

Kernel::Counted<PSD::PSDFile> Open(fs::path const& file) {
    PSD::PSDReport r;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(file.string()));
    if (!in) return nullptr;
    auto doc = PSD::PSDFile::Create(in, PSD::CreateOptions{}, r);
    EXPECT_TRUE(doc) << ErrorText(r);
    return doc;
}

TEST(CommandsExternal, CreateBuildsTheLayersAndTheComposite) {
    Dir dir;
    auto a = Pattern(40, 30, Raster::Format::RGBA8, 1);
    a->FillChannel(3, 255);
    auto b = Pattern(12, 9, Raster::Format::RGBA8, 2);
    WritePNG(dir.path / "a.png", *a);
    WritePNG(dir.path / "b.png", *b);
    fs::path out = dir.path / "made.psd";
    ASSERT_EQ(RunCli({"create", out.string(), "--size", "50x40", "--layer",
                      "Base=" + (dir.path / "a.png").string(), "--layer",
                      "Top=" + (dir.path / "b.png").string() + "@-3,20", "--composite"}),
              0);
    EXPECT_EQ(dir.Count(".partial-"), 0u);
    auto doc = Open(out);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->m_layers.size(), 2u);
    EXPECT_EQ(doc->m_layers[0]->m_name, "Base");
    EXPECT_EQ(doc->m_layers[1]->m_name, "Top");
    EXPECT_EQ(doc->m_layers[1]->m_left, -3);
    EXPECT_EQ(doc->m_layers[1]->m_top, 20);
    EXPECT_EQ(doc->m_layers[1]->m_right, 9);
    PSD::PSDReport r;
    Kernel::Counted<Raster::DynamicBitmap> bm;
    ASSERT_TRUE(doc->m_layers[1]->GetBitmap(bm, r));
    EXPECT_TRUE(SameBitmap(bm.Get(), b.Get()));
    std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
    ASSERT_TRUE(doc->GetBitmap(bm, masks, r));
    // Where only the opaque base lies, the composite is the base.
    EXPECT_EQ(0, std::memcmp(bm->GetRow(0), a->GetRow(0), 40 * 4));
    // Outside every layer it is transparent.
    EXPECT_EQ(bm->GetRow(35)[45 * 4 + 3], 0);
}

TEST(CommandsExternal, FailuresLeaveNoOutput) {
    Dir dir;
    std::string out = (dir.path / "never.psd").string();
    std::string junk = dir.Write("junk.psd", {'n', 'o', 't', ' ', 'a', ' ', 'd', 'o', 'c'});
    // A PSB-sized document cannot be converted to PSD.
    auto wide = PSD::PSDFile::CreateEmpty(30001, 1, true, Raster::Format::IA8, nullptr, nullptr);
    Saved s = SaveToMemory(*wide, true, false);
    ASSERT_TRUE(s.ok);
    std::string psb = dir.Write("wide.psb", s.bytes);
    std::vector<std::string> const cases[] = {
        {"create", out, "--size", "0x5"},
        {"create", out, "--size", "banana"},
        {"create", out, "--size", "30001x5"},
        {"create", out, "--size", "5x5", "--layer", "x=" + (dir.path / "missing.png").string()},
        {"create", out, "--size", "5x5", "--layer", "nofile"},
        {"convert", (dir.path / "missing.psd").string(), out},
        {"convert", junk, out},
        {"convert", psb, out},
    };
    for (auto const& args : cases) {
        EXPECT_NE(RunCli(args), 0) << args[0] << " " << args.back();
        EXPECT_FALSE(fs::exists(out)) << args[0] << " " << args.back();
        EXPECT_EQ(dir.Count(".partial-"), 0u);
    }
    EXPECT_EQ(RunCli({"convert", psb, out, "--psb"}), 0);
    fs::remove(out);
    // A document without columns has nothing to draw: the render fails without an empty PNG.
    testsupport::Header flat;
    flat.width = 0;
    std::string empty = dir.Write("empty.psd", testsupport::Document(flat, {}, {}, {}, {0, 0}));
    std::string png = (dir.path / "never.png").string();
    EXPECT_EQ(RunCli({"render", empty, "-o", png}), 1);
    EXPECT_FALSE(fs::exists(png));

    // A layer whose stored channel does not decode (the save decodes layers as it goes) fails the
    // convert with the layer named.
    auto doc = PSD::PSDFile::CreateEmpty(40, 30, false, Raster::Format::RGBA8, nullptr, nullptr);
    doc->AddLayer(MakeLayer("fine", 0, 0, Pattern(40, 30, Raster::Format::RGBA8, 1)));
    doc->AddLayer(MakeLayer("bad", 0, 0, Pattern(40, 30, Raster::Format::RGBA8, 2)));
    Saved good = SaveToMemory(*doc, false, false);
    ASSERT_TRUE(good.ok);
    PSD::PSDReport r;
    auto opened = Reopen(good.bytes, r);
    ASSERT_TRUE(opened);
    good.bytes[opened->m_layers[1]->m_dataPosition + 1] = 9;  // an unknown compression code
    std::string damaged = dir.Write("damaged.psd", good.bytes);
    int status = 0;
    std::string said = testsupport::RunTool("convert " + damaged + " " + out, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("layer 1 \"bad\": Unknown raster compression method : 9"),
              std::string::npos)
        << said;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(dir.Count(".partial-"), 0u);
}

TEST(CommandsExternal, ConvertWritesADamagedCompositeBlank) {
    // The layers come through, the composite is white in every channel (the extra one too) and
    // the document says its merged data is not real. The document had merged transparency.
    struct Case {
        char const* what;
        Raster::Format format, mask;
        bool cut;  // the image data cut short, else an unknown compression code
    } const cases[] = {{"8-bit cut", Raster::Format::RGBA8, Raster::Format::A8, true},
                       {"16-bit CMYK code", Raster::Format::CMYKA16, Raster::Format::A16, false},
                       {"32-bit grey cut", Raster::Format::IAF, Raster::Format::AF, true}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        Dir dir;
        auto doc = PSD::PSDFile::CreateEmpty(24, 16, false, c.format, nullptr, nullptr);
        doc->AddLayer(MakeLayer("one", 2, 3, Pattern(12, 9, c.format, 3)));
        ASSERT_TRUE(doc->SetFlattenedBitmap(Pattern(24, 16, c.format, 5)));
        doc->SetMasks({Pattern(24, 16, c.mask, 6)}, {"extra"});
        Saved s = SaveToMemory(*doc, false, false);
        ASSERT_TRUE(s.ok);
        PSD::PSDReport r;
        auto opened = Reopen(s.bytes, r);
        ASSERT_TRUE(opened) << ErrorText(r);
        uint64_t image = opened->GetImageDataPosition();
        if (c.cut)
            s.bytes.resize(size_t(image) + 40);
        else
            s.bytes[size_t(image) + 1] = 7;
        std::string in = dir.Write("in.psd", s.bytes), out = (dir.path / "out.psd").string();
        int status = 0;
        std::string said = testsupport::RunTool("convert " + in + " " + out, &status);
        ASSERT_EQ(status, 0) << said;
        EXPECT_NE(said.find("warning: "), std::string::npos) << said;
        EXPECT_NE(said.find("marked as not real merged data"), std::string::npos) << said;
        auto back = Open(out);
        ASSERT_TRUE(back);
        EXPECT_FALSE(back->m_hasRealMergedData);
        // The merged transparency goes with the merged image; the extra channel stays, named.
        EXPECT_EQ(back->m_channelCount, opened->m_channelCount - 1);
        EXPECT_EQ(back->m_mergedTransparency, 0u);
        EXPECT_EQ(back->GetAlphaChannelName(0), "extra");
        ASSERT_EQ(back->m_layers.size(), 1u);
        Kernel::Counted<Raster::DynamicBitmap> bm, flat;
        std::vector<Kernel::Counted<Raster::DynamicBitmap>> masks;
        ASSERT_TRUE(back->m_layers[0]->GetBitmap(bm, r));
        EXPECT_TRUE(SameBitmap(bm.Get(), doc->m_layers[0]->m_bitmap.Get()));
        ASSERT_TRUE(back->GetBitmap(flat, masks, r)) << ErrorText(r);
        ASSERT_EQ(masks.size(), 1u);
        for (auto const* b : {flat.Get(), masks[0].Get()}) {
            ASSERT_EQ(b->GetFormat(), b == flat.Get() ? c.format : c.mask);
            auto white = Raster::DynamicBitmap::Create(b->GetWidth(), b->GetHeight(), b->GetFormat());
            for (unsigned ch = 0; ch < white->GetChannelCount(); ++ch)
                white->FillChannel(ch, white->GetFormatInfo().isFloat ? 1.0 : 65535.0);
            EXPECT_TRUE(SameBitmap(b, white.Get()));
        }
    }
}

TEST(CommandsExternal, InterruptingASaveLeavesNothingBehind) {
    Dir dir;
    // Big enough that the save is still running when the signal arrives.
    auto doc =
        PSD::PSDFile::CreateEmpty(3000, 3000, false, Raster::Format::RGBA8, nullptr, nullptr);
    for (int i = 0; i < 4; ++i) {
        auto bm = Raster::DynamicBitmap::Create(3000, 3000, Raster::Format::RGBA8);
        uint32_t x = 2463534242u + uint32_t(i);
        for (size_t k = 0; k < bm->GetDataSize(); ++k) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            bm->GetData()[k] = uint8_t(x);
        }
        doc->AddLayer(MakeLayer("noise", 0, 0, bm));
    }
    fs::path in = dir.path / "big.psd";
    {
        auto file = Kernel::FileOutStream::Create(in.string());
        ASSERT_TRUE(file);
        ASSERT_TRUE(doc->Save(*file, {.decodeStored = false}));
        ASSERT_TRUE(file->Close());
    }
    doc = nullptr;
    int cancelled = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        fs::path out = dir.path / "out.psd";
        pid_t pid = Spawn({"convert", in.string(), out.string(), "--zip"});
        ASSERT_GT(pid, 0);
        // Wait for the partial file: the save has begun.
        auto start = std::chrono::steady_clock::now();
        while (dir.Count(".partial-") == 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::kill(pid, SIGINT);
        int status = Wait(pid);
        EXPECT_EQ(dir.Count(".partial-"), 0u);
        if (status == 130) {
            ++cancelled;
            EXPECT_FALSE(fs::exists(out));
        } else {
            // The save won the race: then the output must be whole.
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(Open(out));
            fs::remove(out);
        }
        if (cancelled) break;
    }
    EXPECT_GT(cancelled, 0) << "the save always finished before the signal";
}

}  // namespace

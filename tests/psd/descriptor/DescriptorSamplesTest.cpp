// Raw descriptor bodies from the corpus: every one parses, and every one without engine data is
// written back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "psd/report/DebugTrace.h"
#include "psd/descriptor/Descriptor.h"
#include "tests/support/CorpusFiles.h"
#include "tests/support/Cuts.h"

using namespace PSD;
namespace fs = std::filesystem;

namespace {

enum class Form { Body, Versioned };

// Parses size bytes as a body or a versioned descriptor; *used gets the bytes read.
bool Parse(Form form, uint8_t const* data, size_t size, Descriptor& d, ParseData& pd,
           size_t* used = nullptr) {
    auto s = Kernel::MemoryInStream::Create(data, size);
    bool ok = form == Form::Body ? d.ParseDesc(*s, pd) : d.Parse(*s, pd);
    if (used) *used = size_t(s->GetPosition());
    return ok;
}

// Parses a descriptor at [offset, end) and checks the round trip; counts what was checked.
void CheckDescriptorAt(std::vector<uint8_t> const& bytes, size_t offset, size_t end, Form form,
                       std::string const& what, int& roundTrips) {
    SCOPED_TRACE(what);
    std::vector<uint8_t> region(bytes.begin() + long(offset), bytes.begin() + long(end));
    ParseData pd;
    Descriptor d;
    size_t used = 0;
    ASSERT_TRUE(Parse(form, region.data(), region.size(), d, pd, &used))
        << (pd.m_report.m_error ? std::string(pd.m_report.m_error->Report()) : "no error");
    // Whatever follows the descriptor is padding.
    for (size_t i = used; i < region.size(); ++i) EXPECT_EQ(region[i], 0) << "unread byte at " << i;

    // The dump visits every item without failing.
    String dump;
    {
        DebugDumpCapture capture(dump);
        d.DebugDump(0);
    }
    EXPECT_NE(dump.find("<descritor key="), String::npos);

    auto out = Kernel::MemoryInOutStreamBase::Create();
    bool saved =
        form == Form::Body ? d.SaveDesc(*out, ByteOrderFixer{}) : d.Save(*out, ByteOrderFixer{});
    ASSERT_TRUE(saved);
    EXPECT_EQ(out->GetData(), std::vector<uint8_t>(region.begin(), region.begin() + long(used)));
    ++roundTrips;

    // Cut short anywhere, the same bytes fail cleanly with a truncation error. Large samples are
    // cut at a spread of offsets to keep the run short.
    testsupport::ExpectEveryCutTruncated(
        std::vector<uint8_t>(region.begin(), region.begin() + long(used)),
        [&](std::vector<uint8_t> const& part) {
            ParseData p;
            Descriptor c;
            return Parse(form, part.data(), part.size(), c, p) ? -1
                                                               : testsupport::ErrorCodeOf(p.m_report);
        },
        0, used <= 4096 ? 1 : used / 512);
}

uint32_t BigEndian32(std::vector<uint8_t> const& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

}  // namespace

TEST(DescriptorSamples, RawDescriptorBodies) {
    fs::path dir = testsupport::CorpusRoot() / "psd-tools/tests/descriptors";
    auto files = testsupport::FilesIn(dir);
    if (files.empty()) GTEST_SKIP() << "no corpus at " << dir;
    int roundTrips = 0;
    for (auto const& f : files) {
        auto bytes = testsupport::ReadWholeFile(f);
        CheckDescriptorAt(bytes, 0, bytes.size(), Form::Body, f.filename().string(), roundTrips);
    }
    EXPECT_EQ(roundTrips, int(files.size()));
}

TEST(DescriptorSamples, TaggedBlockBodies) {
    fs::path dir = testsupport::CorpusRoot() / "psd-tools/tests/tagged_blocks";
    auto files = testsupport::FilesIn(dir);
    if (files.empty()) GTEST_SKIP() << "no corpus at " << dir;
    // Block bodies that are a versioned descriptor, after a block-specific header of this size.
    std::map<std::string, size_t> const descriptorBlocks = {
        {"cinf", 0}, {"extn", 0}, {"frgb", 0}, {"CAI", 4}};
    // Blocks whose bodies are no descriptor at all.
    std::vector<std::string> const otherBlocks = {
        "Patt",           "curves",          "levels_clipstudio", "levels_photoshop",
        "filter_effects", "tagged_blocks_v2"};
    int roundTrips = 0, checked = 0, unknownTypes = 0;
    for (auto const& f : files) {
        std::string name = f.filename().string();
        // "cinf.dat", "PxSc_1.dat", "levels_clipstudio_1.dat": the block name before any sample
        // number.
        std::string key = name.substr(0, name.rfind('.'));
        if (size_t u = key.rfind('_');
            u != std::string::npos && u + 1 < key.size() &&
            key.find_first_not_of("0123456789", u + 1) == std::string::npos)
            key.resize(u);
        auto bytes = testsupport::ReadWholeFile(f);
        if (key == "PxSc") {
            // This one holds a 64-bit integer item ("comp"), a type the format reader does not
            // know: it must fail with that tag named, not crash or misread.
            ParseData pd;
            Descriptor d;
            EXPECT_FALSE(Parse(Form::Versioned, bytes.data(), bytes.size(), d, pd));
            ASSERT_TRUE(pd.m_report.m_error);
            EXPECT_EQ(pd.m_report.m_error->Report(), "Unknown descriptor type : comp");
            EXPECT_FALSE(d.m_items.empty());
            ++unknownTypes;
        } else if (auto it = descriptorBlocks.find(key); it != descriptorBlocks.end()) {
            ASSERT_GE(bytes.size(), it->second + 4) << name;
            CheckDescriptorAt(bytes, it->second, bytes.size(), Form::Versioned, name, roundTrips);
            ++checked;
        } else if (key == "shmd") {
            // Metadata: a count, then items of signature, key, copy flag and padding, length, data.
            // "mlst" and "cust" items hold versioned descriptors.
            ASSERT_GE(bytes.size(), 4u);
            uint32_t count = BigEndian32(bytes, 0);
            size_t at = 4;
            for (uint32_t i = 0; i < count; ++i) {
                ASSERT_LE(at + 16, bytes.size()) << name;
                std::string itemKey(bytes.begin() + long(at) + 4, bytes.begin() + long(at) + 8);
                size_t length = BigEndian32(bytes, at + 12);
                ASSERT_LE(length, bytes.size() - at - 16) << name;
                if (itemKey == "mlst" || itemKey == "cust") {
                    CheckDescriptorAt(bytes, at + 16, at + 16 + length, Form::Versioned,
                                      name + ":" + itemKey, roundTrips);
                    ++checked;
                } else {
                    EXPECT_EQ(itemKey, "sgrp") << "unexpected metadata item in " << name;
                }
                at += 16 + length;
            }
        } else {
            EXPECT_TRUE(std::find(otherBlocks.begin(), otherBlocks.end(), key) != otherBlocks.end())
                << "a new sample " << name << " needs to be classified";
        }
    }
    EXPECT_GE(checked, 8);
    EXPECT_EQ(unknownTypes, 1);
    EXPECT_EQ(roundTrips, checked);
}

// Guards against damaged bytes that crash or fail silently: every failure stores its error.
TEST(DescriptorSamples, DamagedBytesFailCleanlyOrParse) {
    fs::path root = testsupport::CorpusRoot() / "psd-tools/tests";
    std::pair<fs::path, Form> const samples[] = {
        {root / "descriptors/0.dat", Form::Body},
        {root / "descriptors/1.dat", Form::Body},
        {root / "tagged_blocks/cinf.dat", Form::Versioned}};
    for (auto const& [path, form] : samples) {
        auto bytes = testsupport::ReadWholeFile(path);
        if (bytes.empty()) GTEST_SKIP() << "no corpus at " << root;
        SCOPED_TRACE(path.string());
        testsupport::ExpectDamageAcceptedOrRefused(bytes, [f = form](std::vector<uint8_t> const& bad, size_t at) {
            ParseData pd;
            Descriptor d;
            bool ok = Parse(f, bad.data(), bad.size(), d, pd);
            // A failure always says why, except a wrong version, which records nothing.
            EXPECT_TRUE(ok || pd.m_report.m_error || (f == Form::Versioned && at < 4));
            return ok;
        });
    }
}

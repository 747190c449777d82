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

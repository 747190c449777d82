// Every corpus document: the resources our writer emits read back to the same settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "psd/file/ImageResourcesTestSupport.h"
#include "support/CorpusRoot.h"

using namespace resourcetest;

namespace {

using testsupport::CorpusRoot;

TEST(ImageResourcesCorpus, WrittenResourcesReadBackToTheSameSettings) {
    namespace fs = std::filesystem;
    fs::path root = CorpusRoot();
    if (!fs::is_directory(root)) GTEST_SKIP() << "no corpus at " << root;
    std::vector<fs::path> files;
    for (auto const& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".psd" || ext == ".psb") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    size_t checked = 0;
    for (auto const& path : files) {
        Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(path.string()));
        if (!in) continue;
        PSD::PSDReport report;
        auto doc = PSD::PSDFile::Create(in, PSD::CreateOptions{}, report);
        if (!doc) continue;
        SCOPED_TRACE(fs::relative(path, root).string());
        ++checked;
        auto back = WriteAndRead(*doc);
        ExpectSameSettings(*doc, *back);
        // Channels without a stored name gain one: "Transparency" for the merged transparency,
        // an empty name for the others.
        std::vector<PSD::String> names = doc->m_alphaChannelNames;
        if (names.empty() && doc->m_mergedTransparency) names.emplace_back("Transparency");
        unsigned colours =
            doc->m_colourMode > 9 ? 0 : PSD::ColourChannelCount(doc->m_colourMode, false);
        if (doc->m_channelCount > colours && names.size() < size_t(doc->m_channelCount - colours))
            names.resize(doc->m_channelCount - colours);
        EXPECT_EQ(back->m_alphaChannelNames, names);
    }
    EXPECT_GT(checked, 300u);
}

}  // namespace

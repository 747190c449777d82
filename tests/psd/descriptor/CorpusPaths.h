// Where the shared corpus lives for unit tests that read its raw samples.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/CorpusRoot.h"

namespace desctest {

using testsupport::CorpusRoot;

inline std::vector<uint8_t> ReadWholeFile(std::filesystem::path const& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>());
}

// Regular files of a folder, sorted by name; empty when the folder is missing.
inline std::vector<std::filesystem::path> FilesIn(std::filesystem::path const& dir) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (auto const& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace desctest

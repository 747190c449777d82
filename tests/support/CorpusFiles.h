// The corpus's files for the unit tests that read them: by extension, by folder, and whole.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "support/CorpusRoot.h"

namespace testsupport {

// The corpus files with one of the given extensions (lower case, with the dot), sorted.
inline std::vector<std::filesystem::path> CorpusFiles(std::initializer_list<char const*> exts) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(CorpusRoot(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string ext = it->path().extension().string();
        for (auto& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (it->is_regular_file() && std::find(exts.begin(), exts.end(), ext) != exts.end())
            out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
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

inline std::vector<uint8_t> ReadWholeFile(std::filesystem::path const& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace testsupport

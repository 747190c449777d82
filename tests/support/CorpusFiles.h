// The corpus files with one of the given extensions (lower case, with the dot), sorted.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/CorpusRoot.h"

namespace testsupport {

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

}  // namespace testsupport

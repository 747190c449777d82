// Where the real documents live: $ZUZODORIV_CORPUS, or ../shared/corpus beside the source tree.
#pragma once

#include <cstdlib>
#include <filesystem>

namespace testsupport {

inline std::filesystem::path CorpusRoot() {
    if (char const* env = std::getenv("ZUZODORIV_CORPUS"); env && *env) return env;
    return std::filesystem::path(ZUZODORIV_SOURCE_DIR) / ".." / "shared" / "corpus";
}

}  // namespace testsupport

// Running the zuzodoriv tool from tests, on documents written to temporary files.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// Runs the tool with the arguments and returns what it printed (stdout and stderr); the exit
// status goes to *status when given (-1 when the tool did not exit normally).
inline std::string RunTool(std::string const& args, int* status = nullptr) {
    std::string out;
    if (status) *status = -1;
    FILE* p = popen((std::string(ZUZODORIV_CLI) + " " + args + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// A document on disk for as long as the object lives; names are unique per process.
struct TempFile {
    std::filesystem::path path;
    explicit TempFile(std::vector<uint8_t> const& bytes, std::string const& stem = "doc") {
        path = std::filesystem::temp_directory_path() /
               ("zuzodoriv-" + stem + "-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter++) + ".psd");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<char const*>(bytes.data()), long(bytes.size()));
    }
    ~TempFile() { std::filesystem::remove(path); }
    static inline int counter = 0;
};

}  // namespace testsupport

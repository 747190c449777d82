// A temporary folder per test for tests that run programs, and running a shell command.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// Removed with everything in it when the object goes; named after the process and the test.
struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = std::filesystem::temp_directory_path() /
               ("zuzodoriv-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "." +
                info->name());
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    // Writes a file into the folder and returns its path.
    std::string Write(std::string const& name, std::vector<uint8_t> const& bytes) const {
        std::ofstream(path / name, std::ios::binary)
            .write(reinterpret_cast<char const*>(bytes.data()), std::streamsize(bytes.size()));
        return (path / name).string();
    }
    // How many entries have a name holding text.
    size_t Count(std::string const& text) const {
        size_t n = 0;
        for (auto const& e : std::filesystem::directory_iterator(path))
            if (e.path().filename().string().find(text) != std::string::npos) ++n;
        return n;
    }
};

// Runs a shell command with stderr discarded; returns its exit status (-1 when it did not exit
// normally) and its stdout in *out.
inline int RunShell(std::string const& cmd, std::string* out = nullptr) {
    FILE* p = ::popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = ::pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport

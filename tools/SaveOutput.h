// Writing a document from the command line: a progress bar on a terminal, a temporary file that
// is renamed over the target only when the save succeeded, and Ctrl-C turned into the save's
// abort flag so that a cancelled save leaves nothing behind.
#pragma once

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>

#include "host/kernel/Stream.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDSaveData.h"
#include "tools/Command.h"

namespace zuzodoriv {

// Set from the signal handler; the save polls it between sections, layers and rows.
inline bool& AbortFlag() {
    static bool flag = false;
    return flag;
}

extern "C" inline void OnInterrupt(int) {
    AbortFlag() = true;
}

// Routes SIGINT and SIGTERM to the abort flag while it lives.
class InterruptGuard {
public:
    InterruptGuard() {
        AbortFlag() = false;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }
    InterruptGuard(InterruptGuard const&) = delete;
    InterruptGuard& operator=(InterruptGuard const&) = delete;

private:
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// A bar redrawn in place on stderr when it is a terminal.
class TerminalSaveProgress : public PSD::PSDSaveProgress {
public:
    explicit TerminalSaveProgress(std::string label)
        : m_label(std::move(label)), m_show(IsTerminal(2)) {}
    void OnUpdate(uint64_t done, uint64_t total) override {
        if (!m_show) return;
        std::lock_guard<std::mutex> g(m_drawLock);
        unsigned width = 30, fill = total ? unsigned(done * width / total) : width;
        std::cerr << "\r" << m_label << " [" << std::string(fill, '#')
                  << std::string(width - fill, ' ') << "] " << done << "/" << total << std::flush;
        m_drawn = true;
    }
    void Finish() {
        if (m_drawn) std::cerr << "\n";
        m_drawn = false;
    }

private:
    std::string m_label;
    bool m_show;
    bool m_drawn = false;
    std::mutex m_drawLock;
};

// Saves into "<target>.partial-<pid>" beside the target and renames it over the target on success;
// on any failure or cancellation the partial file is removed. Returns 0, 1 (failure) or 130
// (cancelled), with a message on stderr; when saveError is given, a failure of the save itself
// (not of the file) leaves its message there instead, for the caller to explain.
inline int SaveDocumentToFile(PSD::PSDFile const& doc, std::string const& target, bool psb,
                              bool compress, bool decodeStored = false,
                              std::string* saveError = nullptr) {
    namespace fs = std::filesystem;
    std::string temp = target + ".partial-" + std::to_string(::getpid());
    std::string why;
    auto out = Kernel::FileOutStream::Create(temp, &why);
    if (!out) {
        std::cerr << "cannot write " << target << ": " << why << "\n";
        return 1;
    }
    Kernel::Counted<TerminalSaveProgress> progress(new TerminalSaveProgress("saving"));
    bool ok = doc.Save(*out, psb, compress, decodeStored, progress, &AbortFlag());
    progress->Finish();
    bool closed = out->Close();
    out = nullptr;
    std::error_code ec;
    if (AbortFlag()) {
        fs::remove(temp, ec);
        std::cerr << "cancelled; " << target << " was not written\n";
        return 130;
    }
    if (!ok || !closed) {
        fs::remove(temp, ec);
        std::string message = "saving " + target + " failed" + (ok ? ": write error" : "");
        if (!ok && saveError)
            *saveError = message;
        else
            std::cerr << message << "\n";
        return 1;
    }
    fs::rename(temp, target, ec);
    if (ec) {
        std::string reason = ec.message();
        fs::remove(temp, ec);
        std::cerr << "cannot write " << target << ": " << reason << "\n";
        return 1;
    }
    return 0;
}

}  // namespace zuzodoriv

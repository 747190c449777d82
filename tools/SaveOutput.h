// Writing a document from the command line: a progress bar on a terminal, a temporary file that
// is renamed over the target only when the save succeeded, and Ctrl-C turned into the save's
// abort flag so that a cancelled save leaves nothing behind.
#pragma once

#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "host/kernel/Stream.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDSaveFile.h"
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

// Saves through PSD::SaveToFile with a progress bar and the interrupt flag. Returns 0, 1 (failure)
// or 130 (cancelled), with a message on stderr; when saveError is given, a failure of the save
// itself (not of the file) leaves its message there instead, for the caller to explain.
inline int SaveDocumentToFile(PSD::PSDFile const& doc, std::string const& target, bool psb,
                              bool compress, bool decodeStored = false,
                              std::string* saveError = nullptr, bool fromModel = false) {
    Kernel::Counted<TerminalSaveProgress> progress(new TerminalSaveProgress("saving"));
    std::string message;
    auto status = PSD::SaveToFile(doc, target,
                                  {.psb = psb, .compress = compress, .decodeStored = decodeStored,
                                   .fromModel = fromModel, .progress = progress, .abort = &AbortFlag()},
                                  message);
    progress->Finish();
    switch (status) {
        case PSD::SaveFileStatus::Saved:
            return 0;
        case PSD::SaveFileStatus::Cancelled:
            std::cerr << message << "\n";
            return 130;
        case PSD::SaveFileStatus::Failed:
            if (saveError) {
                *saveError = message;
                return 1;
            }
            break;
        case PSD::SaveFileStatus::WriteFailed:
        case PSD::SaveFileStatus::CannotWrite:
            break;
    }
    std::cerr << message << "\n";
    return 1;
}

}  // namespace zuzodoriv

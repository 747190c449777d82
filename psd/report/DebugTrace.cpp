#include "psd/report/DebugTrace.h"

namespace PSD {

namespace {
thread_local Kernel::StringT<Kernel::TEncUtf8>* t_capture = nullptr;
}  // namespace

void DebugTrace(std::string_view text) {
    if (t_capture)
        t_capture->append(text);
    else
        Kernel::Trace(text);
}

bool DebugTraceActive() {
    return t_capture != nullptr || Kernel::TraceEnabled();
}

void DebugTraceIndent(int indent) {
    if (indent > 0) DebugTrace(std::string(size_t(indent), '\t'));
}

DebugDumpCapture::DebugDumpCapture(Kernel::StringT<Kernel::TEncUtf8>& out) : m_previous(t_capture) {
    t_capture = &out;
}

DebugDumpCapture::~DebugDumpCapture() {
    t_capture = m_previous;
}

}  // namespace PSD

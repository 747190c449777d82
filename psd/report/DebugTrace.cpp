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

Kernel::StringT<Kernel::TEncUtf8> DebugQuoted(std::string_view text, char open, char close) {
    Kernel::StringT<Kernel::TEncUtf8> out;
    out.reserve(text.size() + 2);
    out += open;
    for (unsigned char c : text) {
        char const* named = c == '\\'   ? "\\\\"
                            : c == '\n' ? "\\n"
                            : c == '\r' ? "\\r"
                            : c == '\t' ? "\\t"
                            : c == '\b' ? "\\b"
                            : c == '\f' ? "\\f"
                                        : nullptr;
        if (named) {
            out += named;
        } else if (c == static_cast<unsigned char>(open) ||
                   c == static_cast<unsigned char>(close)) {
            out += '\\';
            out += char(c);
        } else if (c < 32 || c == 127) {
            char octal[5] = {'\\', char('0' + (c >> 6)), char('0' + ((c >> 3) & 7)),
                             char('0' + (c & 7)), 0};
            out += octal;
        } else {
            out += char(c);
        }
    }
    out += close;
    return out;
}

DebugDumpCapture::DebugDumpCapture(Kernel::StringT<Kernel::TEncUtf8>& out) : m_previous(t_capture) {
    t_capture = &out;
}

DebugDumpCapture::~DebugDumpCapture() {
    t_capture = m_previous;
}

}  // namespace PSD

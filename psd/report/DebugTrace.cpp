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

Kernel::StringT<Kernel::TEncUtf8> DebugQuoted(std::string_view text) {
    Kernel::StringT<Kernel::TEncUtf8> out;
    out.reserve(text.size() + 2);
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\0':
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    static char const kHex[] = "0123456789abcdef";
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

DebugDumpCapture::DebugDumpCapture(Kernel::StringT<Kernel::TEncUtf8>& out) : m_previous(t_capture) {
    t_capture = &out;
}

DebugDumpCapture::~DebugDumpCapture() {
    t_capture = m_previous;
}

}  // namespace PSD

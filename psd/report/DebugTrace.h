// Where the debugging dumps of descriptors and engine data go: the host's diagnostic trace, or,
// while a capture is alive on the calling thread, a string (the dump tool prints it).
#pragma once

#include <string_view>

#include "host/kernel/String.h"

namespace PSD {

// Sends text to the active capture of this thread, or else to Kernel::Trace.
void DebugTrace(std::string_view text);
// True when DebugTrace output goes anywhere (a capture, or an enabled trace).
bool DebugTraceActive();
// "\t" repeated indent times.
void DebugTraceIndent(int indent);
// Text in double quotes, with quotes, backslashes and control characters escaped C-style (a
// terminator the writer stored shows as \0), so that a dump stays one line per item.
Kernel::StringT<Kernel::TEncUtf8> DebugQuoted(std::string_view text);

// While alive, DebugTrace output of this thread is appended to the given string. Captures nest;
// the innermost wins.
class DebugDumpCapture {
public:
    explicit DebugDumpCapture(Kernel::StringT<Kernel::TEncUtf8>& out);
    ~DebugDumpCapture();
    DebugDumpCapture(DebugDumpCapture const&) = delete;
    DebugDumpCapture& operator=(DebugDumpCapture const&) = delete;

private:
    Kernel::StringT<Kernel::TEncUtf8>* m_previous;
};

}  // namespace PSD

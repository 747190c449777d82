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
// Text between open and close, with those two, backslashes and control characters escaped the
// way both C and PDF literals read them (\n, \t..., others in octal: a stored terminator shows
// as \000), so that a dump stays one line per item.
Kernel::StringT<Kernel::TEncUtf8> DebugQuoted(std::string_view text, char open = '"',
                                              char close = '"');

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

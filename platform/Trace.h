#pragma once
// The debug trace sink: one line per call. Silent unless MORFWUPLOAD_TRACE=1, in which case
// each line goes to stderr. A front end or a test may install its own sink (for --trace, or to
// capture the lines).

#include <functional>
#include <string_view>

// Emits one trace line. A text that does not end in "\n" gets one.
void TraceDebug(const char* pszText);

// The sink receives each line without its final "\n". An empty function restores the default.
using TraceSink = std::function<void(std::string_view line)>;
TraceSink SetTraceSink(TraceSink sink);

// Turns the default sink's stderr output on or off (the environment decides at start-up).
void SetTraceToStderr(bool bOn);

#pragma once
// Windows has no signals to cancel another process with. A morfw process there also takes its
// cancel from a named event of its own, which its runner sets (as a Ctrl-C at the console would
// cancel it): "Local\morfw-session-cancel-PID". Whichever side comes first makes the event.

#include <string>

inline std::string SessionCancelEventName(unsigned long nProcessId) {
    return "Local\\morfw-session-cancel-" + std::to_string(nProcessId);
}

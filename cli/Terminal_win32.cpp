// The console on Windows: whether it takes the status line's escape sequences, and its width.
#include "cli/Terminal.h"

#include "platform/Win32.h"

#include <io.h>

namespace cli {

namespace {
HANDLE ConsoleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

bool IsCapableTerminal(int fd) {
    if (!_isatty(fd))
        return false;
    // The status line moves the cursor with escape sequences: only where the console takes them.
    DWORD dwMode = 0;
    const HANDLE h = ConsoleOf(fd);
    return GetConsoleMode(h, &dwMode) &&
           SetConsoleMode(h, dwMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(ConsoleOf(fd), &info)) {
        const int n = info.srWindow.Right - info.srWindow.Left + 1;
        if (n > 0)
            return n;
    }
    return 80;
}

int TerminalLines(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(ConsoleOf(fd), &info)) {
        const int n = info.srWindow.Bottom - info.srWindow.Top + 1;
        if (n > 0)
            return n;
    }
    return 24;
}

} // namespace cli

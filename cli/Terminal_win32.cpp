// Writing to descriptors and the console on Windows. The standard streams are switched to
// binary, so that the log text goes out byte for byte as on Linux (LF line ends); a console
// shows LF as a new line all the same.
#include "cli/Terminal.h"

#include "platform/Win32.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace cli {

namespace {
HANDLE ConsoleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

const bool g_bBinary = [] {
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    return true;
}();
} // namespace

bool WriteAll(int fd, std::string_view text) {
    (void)g_bBinary;
    while (!text.empty()) {
        const auto nChunk = static_cast<unsigned>(std::min<std::size_t>(text.size(), 1 << 20));
        const int n = _write(fd, text.data(), nChunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

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

} // namespace cli

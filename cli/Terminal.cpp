#include "cli/Terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
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
    if (!isatty(fd))
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

int TerminalColumns(int fd) {
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

namespace {
bool StartsCharacter(unsigned char c) {
    return (c & 0xC0) != 0x80;
}
bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}
} // namespace

std::size_t DisplayColumns(std::string_view text) {
    std::size_t n = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (StartsCharacter(c) && !IsControl(c))
            ++n;
    }
    return n;
}

std::string_view FitColumns(std::string_view text, std::size_t nColumns) {
    std::size_t cols = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (StartsCharacter(c) && !IsControl(c)) {
            if (cols == nColumns)
                return text.substr(0, i);
            ++cols;
        }
    }
    return text;
}

} // namespace cli

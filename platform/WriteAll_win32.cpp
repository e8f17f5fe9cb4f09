// The standard streams are switched to binary, so that text goes out byte for byte as on Linux
// (LF line ends); a console shows LF as a new line all the same.
#include "platform/WriteAll.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace {
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

// The standard streams are switched to binary, so that text goes out byte for byte as on Linux
// (LF line ends); a console shows LF as a new line all the same.
#include "platform/WriteAll.h"

#include "platform/Win32.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

bool AppendWhole(int fd, std::string_view text, std::string_view strFirst) {
    // A lock of the whole possible file: another append waits for it (LockFileEx without
    // LOCKFILE_FAIL_IMMEDIATELY), so it cannot land inside this one.
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED ov{};
    if (h == INVALID_HANDLE_VALUE ||
        !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov)) {
        errno = EIO;
        return false;
    }
    const long long nSize = _lseeki64(fd, 0, SEEK_END);
    bool bOk = nSize >= 0 && (nSize > 0 || WriteAll(fd, strFirst)) && WriteAll(fd, text);
    const int nErrno = errno;
    if (!bOk && nSize >= 0)
        _chsize_s(fd, nSize);
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov);
    errno = nErrno;
    return bOk;
}

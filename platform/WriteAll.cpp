#include "platform/WriteAll.h"

#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool AppendWhole(int fd, std::string_view text, std::string_view strFirst) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    struct stat st {};
    bool bOk =
        fstat(fd, &st) == 0 && (st.st_size > 0 || WriteAll(fd, strFirst)) && WriteAll(fd, text);
    const int nErrno = errno;
    if (!bOk && S_ISREG(st.st_mode) && ftruncate(fd, st.st_size) != 0) {
        // The part that went out stays; errno still says why the write failed.
    }
    flock(fd, LOCK_UN);
    errno = nErrno;
    return bOk;
}

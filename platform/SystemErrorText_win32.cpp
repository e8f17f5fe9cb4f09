#include "platform/SystemErrorText.h"

#include "platform/Win32.h"

std::string SystemErrorText(unsigned long dwError) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             dwError, 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' ||
                     buf[n - 1] == '.'))
        --n;
    return n ? std::string(buf, n) : "error " + std::to_string(dwError);
}

// The process's thread count (from /proc) and CPU time.
#include "SimTestHost.h"

#include "platform/CpuTime.h"

#include <filesystem>

namespace simtest {

int ThreadCount() {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

double ProcessCpuSeconds() {
    return ::ProcessCpuSeconds();
}

} // namespace simtest

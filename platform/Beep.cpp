#include "platform/Beep.h"

#include "platform/Sleep.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

BeepSink& Sink() {
    static BeepSink s;
    return s;
}

} // namespace

BeepSink SetBeepSink(BeepSink sink) {
    std::lock_guard lock(SinkMutex());
    BeepSink old = std::move(Sink());
    Sink() = std::move(sink);
    return old;
}

void Beep(DWORD dwFreq, DWORD dwDuration) {
    BeepSink sink;
    {
        std::lock_guard lock(SinkMutex());
        sink = Sink();
    }
    if (sink) {
        sink(dwFreq, dwDuration);
        return;
    }
    if (isatty(STDERR_FILENO)) {
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }
    Sleep(dwDuration);
}

#include "platform/Beep.h"

#include "platform/SystemSinks.h"

#include <mutex>

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
    SystemBeep(dwFreq, dwDuration);
}

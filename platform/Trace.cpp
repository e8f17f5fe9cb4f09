#include "platform/Trace.h"

#include "platform/SystemSinks.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::atomic<int> g_nStderr{-1}; // -1: not yet read from the environment

bool TraceToStderr() {
    int v = g_nStderr.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* env = std::getenv("MORFWUPLOAD_TRACE");
        v = (env && std::strcmp(env, "1") == 0) ? 1 : 0;
        int expected = -1;
        g_nStderr.compare_exchange_strong(expected, v);
        v = g_nStderr.load(std::memory_order_relaxed);
    }
    return v == 1;
}

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

TraceSink& Sink() {
    static TraceSink s;
    return s;
}

// A sink is set: read without the mutex, so a trace nobody reads costs the port's threads
// neither a lock they would share nor a copy of the line.
std::atomic<bool> g_bSink{false};

} // namespace

void SetTraceToStderr(bool bOn) { g_nStderr.store(bOn ? 1 : 0); }

TraceSink SetTraceSink(TraceSink sink) {
    std::lock_guard lock(SinkMutex());
    TraceSink old = std::move(Sink());
    Sink() = std::move(sink);
    g_bSink.store(static_cast<bool>(Sink()));
    return old;
}

void TraceDebug(const char* pszText) {
    if (!g_bSink.load() && !TraceToSystemListens() && !TraceToStderr())
        return;
    std::string_view line(pszText ? pszText : "");
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::lock_guard lock(SinkMutex()); // keeps lines from different threads whole
    if (Sink()) {
        Sink()(line);
        return;
    }
    std::string out(line);
    out += '\n';
    TraceToSystem(out.c_str()); // the debugger's output on Windows; nothing on Linux
    if (TraceToStderr())
        std::fwrite(out.data(), 1, out.size(), stderr);
}

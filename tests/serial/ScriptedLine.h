#pragma once
// A line the test drives by hand, registered under "script:". The test holds the shared
// state; the port owns the line object.

#include "platform/Event.h"
#include "serial/SerialLine.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ScriptState {
    std::mutex m;
    // Received side: chunks as Read hands them out; a chunk's breaks and errors come with its
    // last byte.
    struct Chunk {
        std::string bytes;
        RxInfo info;
    };
    std::deque<Chunk> rx;
    CEvent rxReady;
    std::atomic<bool> gone{false};
    std::atomic<bool> goneOnRead{false}; // the next Read finds the line gone
    std::atomic<int> maxReadCapacity{0};
    std::atomic<int> waitRxCalls{0};

    // Transmit side: writes wait for the gate; drains wait for `drained`.
    CEvent writeGate{true};
    CEvent writeEntered;
    CEvent drained{true};
    std::string written;
    std::atomic<int> writes{0};
    std::atomic<int> drainCalls{0};
    std::atomic<int> tryTake{-1}; // how many bytes TryWrite takes at once; -1: Write alone
    std::vector<LineWait> writeResults;

    // Set-up steps that fail on request, and what the port asked of the line.
    bool failRaw = false, failConfigure = false, failQueues = false, failEvents = false;
    bool failEventObjects = false; // the system gives no event objects
    std::atomic<int> opens{0};
    ModemStatus modem; // what GetModemStatus reports
    std::vector<DCB> configured;
    std::vector<std::string> calls; // "break on", "dtr off", ...

    void Push(const std::string& bytes, int nBreaks = 0, int nErrors = 0) {
        std::lock_guard lock(m);
        rx.push_back({bytes, RxInfo{nBreaks, nErrors}});
        rxReady.Set();
    }
    std::string Written() {
        std::lock_guard lock(m);
        return written;
    }
};

class CScriptedLine final : public ISerialLine {
public:
    explicit CScriptedLine(std::shared_ptr<ScriptState> s) : m_s(std::move(s)) {}

    HRESULT Configure(const DCB& dcb) override {
        std::lock_guard lock(m_s->m);
        if (m_s->failConfigure)
            return E_FAIL;
        m_s->configured.push_back(dcb);
        return S_OK;
    }
    LineWait WaitRx(const CEvent& stop, DWORD ms) override {
        ++m_s->waitRxCalls;
        // A harsh line: once gone it answers at once, so a port that waited on it again
        // would spin.
        if (m_s->gone)
            return LineWait::Gone;
        switch (WaitForEither(stop, m_s->rxReady, ms)) {
        case WAIT_OBJECT_0:
            return LineWait::Stopped;
        case WAIT_OBJECT_0 + 1:
            return LineWait::Ready;
        default:
            return LineWait::TimedOut;
        }
    }
    int Read(char* pDest, int nCapacity, RxInfo& info) override {
        std::lock_guard lock(m_s->m);
        if (nCapacity > m_s->maxReadCapacity)
            m_s->maxReadCapacity = nCapacity;
        if (m_s->goneOnRead)
            m_s->gone = true;
        if (m_s->gone)
            return -1;
        if (m_s->rx.empty()) {
            m_s->rxReady.Reset();
            return 0;
        }
        auto& c = m_s->rx.front();
        const int n = std::min(nCapacity, static_cast<int>(c.bytes.size()));
        c.bytes.copy(pDest, static_cast<size_t>(n));
        c.bytes.erase(0, static_cast<size_t>(n));
        if (c.bytes.empty()) {
            info.nBreaks += c.info.nBreaks;
            info.nLineErrors += c.info.nLineErrors;
            m_s->rx.pop_front();
        }
        if (m_s->rx.empty())
            m_s->rxReady.Reset();
        return n;
    }
    LineWait Write(const char* pData, int nLength, const CEvent& stop, DWORD ms) override {
        ++m_s->writes;
        if (m_s->gone)
            return Record(LineWait::Gone);
        m_s->writeEntered.Set();
        switch (WaitForEither(stop, m_s->writeGate, ms)) {
        case WAIT_OBJECT_0:
            return Record(LineWait::Stopped);
        case WAIT_OBJECT_0 + 1:
            break;
        default:
            return Record(LineWait::TimedOut);
        }
        std::lock_guard lock(m_s->m);
        m_s->written.append(pData, static_cast<size_t>(nLength));
        m_s->writeResults.push_back(LineWait::Ready);
        return LineWait::Ready;
    }
    int TryWrite(const char* pData, int nLength) override {
        const int nTake = std::min(m_s->tryTake.load(), nLength);
        if (nTake < 0 || m_s->gone)
            return -1;
        std::lock_guard lock(m_s->m);
        m_s->written.append(pData, static_cast<size_t>(nTake));
        return nTake;
    }
    LineWait WaitTxDrained(const CEvent& stop, DWORD ms) override {
        ++m_s->drainCalls;
        if (m_s->gone)
            return LineWait::Gone;
        switch (WaitForEither(stop, m_s->drained, ms)) {
        case WAIT_OBJECT_0:
            return LineWait::Stopped;
        case WAIT_OBJECT_0 + 1:
            return LineWait::Ready;
        default:
            return LineWait::TimedOut;
        }
    }
    HRESULT SetBreak(bool bOn) override { return Call(bOn ? "break on" : "break off"); }
    HRESULT SetDtr(bool bOn) override { return Call(bOn ? "dtr on" : "dtr off"); }
    HRESULT SetRts(bool bOn) override { return Call(bOn ? "rts on" : "rts off"); }
    HRESULT GetModemStatus(ModemStatus* pStatus) override {
        std::lock_guard lock(m_s->m);
        *pStatus = m_s->modem;
        return S_OK;
    }
    HRESULT PrepareRaw() override { return m_s->failRaw ? E_FAIL : S_OK; }
    HRESULT SetQueueSizes(int nIn, int nOut) override {
        return m_s->failQueues || nIn != 4096 || nOut != 4096 ? E_FAIL : S_OK;
    }
    HRESULT PrepareEvents() override {
        return m_s->failEventObjects ? E_OUTOFMEMORY : m_s->failEvents ? E_FAIL : S_OK;
    }

private:
    LineWait Record(LineWait w) {
        std::lock_guard lock(m_s->m);
        m_s->writeResults.push_back(w);
        return w;
    }
    HRESULT Call(const char* what) {
        std::lock_guard lock(m_s->m);
        m_s->calls.emplace_back(what);
        return S_OK;
    }
    std::shared_ptr<ScriptState> m_s;
};

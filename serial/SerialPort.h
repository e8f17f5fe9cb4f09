#pragma once
// The serial port: two byte rings, a transmit thread that drains the transmit ring into the
// line, and a receive thread that fills the receive ring from it and turns line events into
// the port's signalling events. Callers never block on the line: Send hands bytes to a line
// that takes them at once or queues them, and returns; the waits take explicit time-outs.

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "platform/ThreadThunk.h"
#include "serial/CircularBuffer.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialLine.h"
#include "serial/SerialPortInterface.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <vector>

// Line events, as the threads hand them to OnCommEvent.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
// Line-error bits passed to OnCommError.
inline constexpr DWORD CE_FRAME = 0x0008;

class CSerialPort : public ISerialPort {
public:
    // Creates the ring mutexes and reads the port list (once, for the object's life).
    CSerialPort();
    // The same, with the port list read from another tree (see EnumerateSerialPorts).
    CSerialPort(const std::string& strSysClassTty, const std::string& strDevDir);

    // Hands the bytes to the line when it takes them at once and nothing is queued before
    // them, else queues them for the transmit thread: 0, or 1 when the ring overran (the
    // oldest queued bytes are lost) or the port is closed. A length above the ring's capacity
    // (4096) raises the ring's count error: callers keep each Send within it.
    int Send(const void* pData, int nLength) override;
    // Called on the receive thread after received bytes have been appended to the ring, with
    // the count the ring then held.
    virtual void OnRxData(int nRxCount);
    // Closes the port. A class that overrides Transmit or Receive closes it in its own
    // destructor, before its part of the object is gone.
    ~CSerialPort() override;
    // The thread bodies; each result becomes its thread's exit code.
    virtual DWORD Transmit(void* pParam);
    virtual DWORD Receive(void* pParam);

    HRESULT Open(const PORTMODE& mode) override;
    bool Close() override;
    HRESULT SetPortMode(const PORTMODE& mode) override;
    HRESULT GetPortMode(DCB& dcb) override;
    HRESULT SetPortMode(const DCB& dcb) override;
    int WaitTxEmpty(DWORD dwMilliseconds) override;
    int WaitRxBreak(DWORD dwMilliseconds) override;
    int WaitRxCount(int nCount, DWORD dwMilliseconds) override;
    // Breaks received since the last Open (kept after Close): a session that never saw one
    // heard nothing from the unit, or has an adapter that does not report them.
    int GetRxBreakCount() const { return m_nRxBreaks.load(std::memory_order_relaxed); }
    HRESULT SetBreak() override;
    HRESULT ClearBreak() override;
    HRESULT EscapeFunction(DWORD dwFunction) override;
    void ClearRxBuffer() override;
    void ClearTxBuffer() override;
    int GetRxCount() override;
    char PeekRx(int nIndex) override;
    int ReadRx(char* pDest, int& nCount) override;

    // The nIndex-th listed port, or null past the end. Valid for the object's life.
    const char* GetPortName(int nIndex) const;
    // Whether the listed port nIndex is the kernel console (listed, never chosen on its own).
    bool IsConsolePortAt(int nIndex) const;
    // The same port with its USB details, or null past the end.
    const SerialPortInfo* GetPortInfo(int nIndex) const;

    bool IsOpen() const { return m_pLine != nullptr; }
    std::string GetOpenFailureReason() const override { return m_strOpenFailure; }
    std::string GetModeFailureReason() const override { return m_strModeFailure; }
    // The name of the open port; "" while closed.
    const std::string& GetOpenPortName() const { return m_strPortName; }

protected:
    bool AllocateBuffers(int nSize);
    // True when the thread runs; for a thread already started, whether it still runs.
    bool StartTransmitThread();
    bool StopTransmitThread();
    bool StartReceiveThread();
    bool StopReceiveThread();

    // 0 when the bytes went to the line, 1 when a stop request cut the write short (the rest
    // is discarded), E_FAIL otherwise (the bytes are lost).
    int WriteTxBuffer();
    // Handles one set of line events, in the order received bytes, transmit empty, break.
    DWORD OnCommEvent(DWORD dwEvtMask);
    // Line errors are counted by the line and otherwise ignored.
    HRESULT OnCommError(DWORD dwErrors);
    // Under m_hRxMutex, after the ring or the awaited count changed.
    void UpdateRxInterest(int nRxCount);
    // The session's thread, as a wait begins (what it waits for) and ends (0): tells the line
    // when the receive thread's interest changed.
    void SetRxWaiter(int nWanted);
    // Moves what the line holds into the receive ring, in pieces of the scratch buffer.
    // Returns the number of bytes appended, or -1 when the line has gone away.
    int ReadRxData(RxInfo& info);

private:
    void Init(const std::string& strSysClassTty, const std::string& strDevDir);
    // Keeps and traces the reason, plays the beep code, closes the port and returns the open
    // failure.
    HRESULT FailOpen(std::initializer_list<int> groups, std::string strReason);

    std::unique_ptr<CEvent> m_hTxReady; // bytes queued, not yet seen out with the ring empty
    std::list<std::string> m_PortNames;
    std::vector<SerialPortInfo> m_PortInfos;
    CThreadThunk* m_pTxThunk = nullptr;
    std::unique_ptr<CThread> m_hTxThread;
    std::unique_ptr<CEvent> m_hStopTxThread;
    std::unique_ptr<CEvent> m_hTxEmpty;
    std::unique_ptr<CEvent> m_hRxBreak;
    std::unique_ptr<CEvent> m_hRxData; // the receive ring holds m_nRxWanted bytes or more
    // The count WaitRxCount waits for (one waiter at a time, the session's thread): the receive
    // thread wakes it only once that many bytes are in, not for each piece of an answer. 0 when
    // nobody waits.
    std::atomic<int> m_nRxWanted{0};
    // How many more bytes that waiter needs (1 when nobody waits), changed under m_hRxMutex with
    // the ring's count: a line that hands bytes over one at a time wakes the receive thread only
    // when that many can be read (or a break), not for every byte of an answer.
    std::atomic<int> m_nRxInterest{1};
    std::atomic<int> m_nRxBreaks{0};
    CThreadThunk* m_pRxThunk = nullptr;
    std::unique_ptr<CThread> m_hRxThread;
    std::unique_ptr<CEvent> m_hStopRxThread;
    // Wakes the transmit thread: bytes queued, the ring cleared, or a stop request.
    std::unique_ptr<CEvent> m_hTxKick;
    CMutex m_hRxMutex;
    CMutex m_hTxMutex;
    // Under m_hTxMutex: the transmit thread has taken bytes from the ring and not yet handed
    // them all to the line; Sends since the port was made; that count when the transmit
    // thread last looked at the ring, before a drain wait (transmit-empty covers those alone).
    bool m_bTxWriting = false;
    std::uint64_t m_nTxSends = 0;
    std::uint64_t m_nTxDrainFrom = 0;
    CCircularBuffer m_RxBuffer;
    CCircularBuffer m_TxBuffer;
    std::string m_strPortName;
    std::string m_strOpenFailure; // why the last Open failed; "" after one that succeeded
    std::string m_strModeFailure; // why the last SetPortMode failed; "" after one that did not
    std::unique_ptr<ISerialLine> m_pLine; // the open line; null while closed
    DCB m_dcb;                            // the line state last applied

    // Receive thread only: the 2048-byte scratch buffer each read goes through.
    static constexpr int kRxScratch = 2048;
    char m_RxScratch[kRxScratch] = {};
    // Transmit thread only: sized on the first drain.
    std::vector<char> m_TxScratch;
};

#pragma once
// The port operations the upload session and its stages use. CSerialPort implements them over
// a real line; the engine's tests put a scripted unit on a virtual clock in its place.

#include "platform/Status.h"
#include "platform/Types.h"
#include "serial/PortMode.h"

#include <string>

class ISerialPort {
public:
    virtual ~ISerialPort() = default;

    // 0, E_OUTOFMEMORY or E_PORT_OPEN_FAILED. Must be called on a closed port.
    virtual HRESULT Open(const PORTMODE& mode) = 0;
    // Always true; safe on a closed port and more than once.
    virtual bool Close() = 0;
    // Why the last Open failed, in words an operator can act on ("busy: /dev/ttyUSB0 is open
    // in minicom (pid 1234)"); "" when it did not fail or the port cannot say.
    virtual std::string GetOpenFailureReason() const { return {}; }

    virtual HRESULT SetPortMode(const PORTMODE& mode) = 0;
    // Why the last line setting failed ("the line refused 738 baud with 8 data bits: the driver
    // runs 1200 baud instead (more than 2 % off)"); "" after one that succeeded, or when the port
    // cannot say. Kept after Close, cleared by Open.
    virtual std::string GetModeFailureReason() const { return {}; }
    virtual HRESULT GetPortMode(DCB& dcb) = 0;
    virtual HRESULT SetPortMode(const DCB& dcb) = 0;

    // 0 when queued, 1 when queuing overran the transmit ring (the oldest bytes are lost).
    virtual int Send(const void* pData, int nLength) = 0;
    // 0 when the transmit side is (or becomes) empty within the time, otherwise 1.
    virtual int WaitTxEmpty(DWORD dwMilliseconds) = 0;
    // 0 when a break is (or arrives) within the time; the break is then consumed. Otherwise 1.
    virtual int WaitRxBreak(DWORD dwMilliseconds) = 0;
    // 0 when the receive ring holds at least nCount bytes, now or before the time runs out;
    // it returns the moment they are there. Otherwise 1.
    virtual int WaitRxCount(int nCount, DWORD dwMilliseconds) = 0;

    virtual HRESULT SetBreak() = 0;
    virtual HRESULT ClearBreak() = 0;
    // SETDTR, SETRTS, CLRDTR, CLRRTS.
    virtual HRESULT EscapeFunction(DWORD dwFunction) = 0;

    virtual void ClearRxBuffer() = 0;
    virtual void ClearTxBuffer() = 0;
    virtual int GetRxCount() = 0;
    // Raises the ring's index error outside 0 .. count-1.
    virtual char PeekRx(int nIndex) = 0;
    // 0 after removing up to nCount bytes (nCount lowered to what was removed); 1 when empty.
    virtual int ReadRx(char* pDest, int& nCount) = 0;
};

#pragma once
// Turns what the kernel delivers with PARMRK set back into plain received bytes:
//   \377 \377    one data byte 0xFF
//   \377 \0 \0   a break: one 0x00 byte in the stream, counted as a break
//   \377 \0 X    byte X received with a framing or parity error: X, counted as a line error
// A NUL received with an error looks exactly like a break and is taken as one. A stray \377 X
// (never sent by the kernel) gives X, counted as a line error. A marker may be split across
// reads; the decoder keeps its place between calls.

#include "serial/SerialLine.h"

class CParmrkDecoder {
public:
    // Decodes nCount bytes from pSrc into pDest and adds what it found to info. pDest may be
    // pSrc: the output never runs ahead of the input, so it never holds more than nCount.
    // Returns the number of bytes written to pDest.
    int Decode(const char* pSrc, int nCount, char* pDest, RxInfo& info);

    // Forgets a marker begun in an earlier read (after the line's input was flushed).
    void Reset() { m_state = State::Data; }
    // True while a marker has begun but not ended.
    bool InMarker() const { return m_state != State::Data; }

private:
    enum class State {
        Data,     // plain bytes
        Mark,     // after \377
        MarkZero, // after \377 \0
    };
    State m_state = State::Data;
};

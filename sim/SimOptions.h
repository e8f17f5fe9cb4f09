#pragma once
// The options of a simulated unit: what follows "sim:" in a port name, comma-separated
// key=value pairs ("sim:seed=3,noise=1e-5,drop=0.02").

#include "platform/Types.h"
#include "sim/SimAdapter.h"

#include <cstdint>
#include <string>
#include <vector>

struct SimOptions {
    std::uint64_t nSeed = 1;             // seed=N: every random choice of the line and the unit
    double dNoise = 0.0;                 // noise=P: probability that a bit flips, both directions
    std::vector<DWORD> rates{4800, 738}; // rates=A,B,...: bootstrap rates the unit accepts
    bool bEcho = true;                   // echo=0: no echo in bootstrap mode
    bool bOk = true;                     // ok=0: the first loader never answers "OK"
    double dDrop = 0.0;                  // drop=P: probability that a record gets no answer
    double dBadAck = 0.0;        // badack=P: probability that a record's answer has a wrong byte
    int nUnplug = 0;             // unplug=N (N >= 1): the line goes away after N answered load
                                 // records; 0 (no unplug= given): never
    double dLatencyMs = 1.0;     // latency=MS: the unit's time to handle a record or command
    double dRestartMs = 3000.0;  // restart=MS: the second loader's start time
    double dBreakDelayMs = 60.0; // breakdelay=MS: from the unlock's drop to the unit's break
    std::string strImageDir;     // images=DIR: the image set the unit knows (empty: default)
    std::string strDumpFile;     // dump=FILE: the unit's records, written when the line closes
    bool bTrace = false;         // trace=1: the unit's events go to the debug trace
    SimAdapterKind adapter = SimAdapterKind::Uart; // adapter=NAME: the host's adapter
    // loopback=1: a loopback plug instead of a unit: what the host sends comes back (through
    // the adapter's model), RTS drives CTS, DTR drives DSR and DCD. No image set is needed.
    bool bLoopback = false;
};

// Parses the text after "sim:" (the prefix itself is also accepted and skipped). Empty text
// gives the defaults. False on an unknown key, a malformed or out-of-range value; *pstrError
// then says which, in one line.
bool ParseSimOptions(const std::string& strText, SimOptions& opts, std::string* pstrError);

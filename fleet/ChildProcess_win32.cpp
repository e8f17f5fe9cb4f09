#include "fleet/ChildProcess.h"

#include "platform/CancelEventName.h"
#include "platform/SystemErrorText.h"
#include "platform/Win32.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

namespace fleet {

namespace {

// Set by every reader thread when its pipe gave something: the runner's one thread waits for it.
HANDLE OutputEvent() {
    static const HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return h;
}

// The sessions' job: closed when the runner's process ends, however it ends, which ends them
// all (a runner that dies cancels nothing, but leaves nothing running on a port either). A
// session that crashes ends at once, without the system's error report waiting for a click.
HANDLE SessionJob() {
    static const HANDLE h = [] {
        const HANDLE job = CreateJobObjectW(nullptr, nullptr);
        if (job) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
            info.BasicLimitInformation.LimitFlags =
                JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info);
        }
        return job;
    }();
    return h;
}

std::wstring Wide(const std::string& s) {
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// One argument as the C runtime's start-up code splits a command line: quoted when it holds a
// blank or a quote (or is empty), backslashes doubled only before a quote.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring q = L"\"";
    std::size_t nBackslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++nBackslashes;
            continue;
        }
        q.append(c == L'"' ? nBackslashes * 2 + 1 : nBackslashes, L'\\');
        nBackslashes = 0;
        q += c;
    }
    q.append(nBackslashes * 2, L'\\');
    return q + L"\"";
}


std::wstring ThisProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void CloseIfOpen(HANDLE& h) {
    if (h && h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    h = nullptr;
}

} // namespace

struct ChildProcess::System {
    HANDLE hProcess = nullptr;
    DWORD dwPid = 0;
    HANDLE hCancel = nullptr; // the session's cancel, which its CancelSignals waits for
    bool bKilled = false;
    bool bExited = false;
    ChildExit exit;

    // Filled by the reader threads.
    std::mutex mutex;
    std::string out, err;
    bool bOutEnded = false, bErrEnded = false;
    std::thread outReader, errReader;

    void ReadPipe(HANDLE hPipe, bool bStdout) noexcept {
        char buf[65536];
        for (bool bEnd = false; !bEnd;) {
            DWORD n = 0;
            bEnd = !ReadFile(hPipe, buf, sizeof buf, &n, nullptr);
            try {
                std::lock_guard lock(mutex);
                (bStdout ? out : err).append(buf, n);
            } catch (...) {
                bEnd = true; // out of memory: this stream ends here
            }
            if (bEnd) {
                std::lock_guard lock(mutex);
                (bStdout ? bOutEnded : bErrEnded) = true;
            }
            SetEvent(OutputEvent());
        }
        CloseHandle(hPipe);
    }
};

ChildProcess::ChildProcess() : m_pSys(std::make_unique<System>()) {}

ChildProcess::~ChildProcess() {
    System& s = *m_pSys;
    if (s.hProcess && !s.bExited) {
        TerminateProcess(s.hProcess, 1);
        WaitForSingleObject(s.hProcess, INFINITE);
    }
    // The pipes end with the process.
    if (s.outReader.joinable())
        s.outReader.join();
    if (s.errReader.joinable())
        s.errReader.join();
    CloseIfOpen(s.hCancel);
    CloseIfOpen(s.hProcess);
}

bool ChildProcess::Start(const std::string& strProgram, const std::vector<std::string>& args,
                         std::string& strError) {
    System& s = *m_pSys;
    const std::wstring program = strProgram.empty() ? ThisProgram() : Wide(strProgram);
    std::wstring commandLine;
    for (const auto& a : args)
        commandLine += (commandLine.empty() ? L"" : L" ") + Quoted(Wide(a));

    // Only the session's own ends of its pipes and its empty standard input go to it: another
    // session holding a pipe's end would keep that pipe from ever ending.
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE hNul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr);
    bool bOk = hNul != INVALID_HANDLE_VALUE && CreatePipe(&outRead, &outWrite, nullptr, 0) &&
               CreatePipe(&errRead, &errWrite, nullptr, 0) &&
               SetHandleInformation(outWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
               SetHandleInformation(errWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    DWORD dwError = bOk ? 0 : GetLastError();

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = hNul;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = errWrite;
    HANDLE inherited[3] = {hNul, outWrite, errWrite};
    std::vector<char> attributes;
    if (bOk) {
        SIZE_T nSize = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &nSize);
        attributes.resize(nSize);
        auto* pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (nSize > 0 && InitializeProcThreadAttributeList(pList, 1, 0, &nSize)) {
            if (UpdateProcThreadAttribute(pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                          sizeof inherited, nullptr, nullptr))
                si.lpAttributeList = pList;
            else
                DeleteProcThreadAttributeList(pList);
        }
    }

    PROCESS_INFORMATION pi{};
    if (bOk) {
        // No console of its own and none shared: a Ctrl-C at the console reaches the runner
        // alone, which passes it on once to each session. Suspended until it is in the job.
        const DWORD dwFlags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS |
                              (si.lpAttributeList ? EXTENDED_STARTUPINFO_PRESENT : 0);
        bOk = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, dwFlags,
                             nullptr, nullptr, &si.StartupInfo, &pi) != FALSE;
        dwError = bOk ? 0 : GetLastError();
    }
    if (si.lpAttributeList)
        DeleteProcThreadAttributeList(si.lpAttributeList);
    CloseIfOpen(outWrite);
    CloseIfOpen(errWrite);
    if (hNul != INVALID_HANDLE_VALUE)
        CloseHandle(hNul);
    if (!bOk) {
        CloseIfOpen(outRead);
        CloseIfOpen(errRead);
        strError = SystemErrorText(dwError);
        return false;
    }

    s.hProcess = pi.hProcess;
    s.dwPid = pi.dwProcessId;
    // The cancel exists before the session runs: one sent at once is not lost.
    s.hCancel = CreateEventA(nullptr, TRUE, FALSE, SessionCancelEventName(pi.dwProcessId).c_str());
    if (const HANDLE job = SessionJob())
        AssignProcessToJobObject(job, pi.hProcess); // a runner in a job that forbids it: none
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    s.outReader = std::thread([&s, outRead] { s.ReadPipe(outRead, true); });
    s.errReader = std::thread([&s, errRead] { s.ReadPipe(errRead, false); });
    return true;
}

int ChildProcess::Pid() const {
    return static_cast<int>(m_pSys->dwPid);
}

bool ChildProcess::Signal(int nSignal) {
    System& s = *m_pSys;
    if (!s.hProcess || s.bExited || WaitForSingleObject(s.hProcess, 0) != WAIT_TIMEOUT)
        return false;
    if (nSignal == kSignalKill) {
        s.bKilled = TerminateProcess(s.hProcess, 1) != FALSE;
        return s.bKilled;
    }
    return s.hCancel && SetEvent(s.hCancel);
}

void ChildProcess::Read(std::string& strOut, std::string& strErr) {
    System& s = *m_pSys;
    std::lock_guard lock(s.mutex);
    strOut += s.out;
    strErr += s.err;
    s.out.clear();
    s.err.clear();
}

bool ChildProcess::OutputEnded() const {
    System& s = *m_pSys;
    std::lock_guard lock(s.mutex);
    return !s.hProcess || (s.bOutEnded && s.bErrEnded);
}

bool ChildProcess::Reap() {
    System& s = *m_pSys;
    if (s.bExited || !s.hProcess || WaitForSingleObject(s.hProcess, 0) != WAIT_OBJECT_0)
        return s.bExited;
    s.bExited = true;
    DWORD dwCode = 0;
    GetExitCodeProcess(s.hProcess, &dwCode);
    if (s.bKilled) {
        s.exit.bByItself = false;
        s.exit.strCause = "TerminateProcess";
    } else if (dwCode >= 0xC0000000UL) {
        // An exception nobody handled: the system's code of it (0xC0000005, an access violation).
        char buf[32];
        std::snprintf(buf, sizeof buf, "exception 0x%08lX", static_cast<unsigned long>(dwCode));
        s.exit.bByItself = false;
        s.exit.strCause = buf;
    } else {
        s.exit.nExitCode = static_cast<int>(dwCode);
    }
    FILETIME created{}, ended{}, kernel{}, user{};
    if (GetProcessTimes(s.hProcess, &created, &ended, &kernel, &user)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                       t.dwLowDateTime);
        };
        s.exit.dCpuSeconds = (ticks(kernel) + ticks(user)) / 1e7;
    }
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(s.hProcess, &counters, sizeof counters))
        s.exit.nPeakRssKiB = static_cast<long>(counters.PeakWorkingSetSize / 1024);
    return true;
}

const ChildExit& ChildProcess::Exit() const {
    return m_pSys->exit;
}

int WaitForChildren(std::span<ChildProcess* const> children, int nTimeoutMs,
                    std::span<WaitItem> extra) {
    // The reader threads' one event, the caller's items, and the processes whose output has
    // ended but which have not yet ended themselves (usually none: a process's end ends its
    // pipes, but the pipes may end first).
    std::vector<HANDLE> handles = {OutputEvent()};
    for (const WaitItem& item : extra) {
        if (item.fd != -1)
            handles.push_back(HandleOfWait(item.fd));
    }
    bool bMore = false; // more than one wait can take: such ends are looked for every 50 ms
    for (ChildProcess* pChild : children) {
        ChildProcess::System& s = pChild->Sys();
        if (s.hProcess && !s.bExited && pChild->OutputEnded()) {
            if (handles.size() < MAXIMUM_WAIT_OBJECTS)
                handles.push_back(s.hProcess);
            else
                bMore = true;
        }
    }
    DWORD dwTimeout = nTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(nTimeoutMs);
    if (bMore)
        dwTimeout = std::min<DWORD>(dwTimeout, 50);
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                           FALSE, dwTimeout);
    if (r == WAIT_FAILED)
        return -1;
    int n = r == WAIT_TIMEOUT ? 0 : 1;
    // The caller's items are manual-reset: each one that is set is said so.
    for (WaitItem& item : extra) {
        item.revents = 0;
        if (item.fd != -1 && WaitForSingleObject(HandleOfWait(item.fd), 0) == WAIT_OBJECT_0) {
            item.revents = kWaitInput;
            ++n;
        }
    }
    return n;
}

} // namespace fleet

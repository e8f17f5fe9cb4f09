#pragma once
// A pseudo-terminal pair for the tests: the master side plays the unit, the slave's path is
// what the port opens.

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

class CPtyPair {
public:
    CPtyPair() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        char name[128];
        if (ptsname_r(m_master, name, sizeof name) == 0)
            m_strSlave = name;
        // The master stays readable after the slave closes only while someone holds the
        // slave open; the tests open and close it many times, so hold it here too.
        m_keep = open(m_strSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~CPtyPair() {
        CloseMaster();
        if (m_keep >= 0)
            close(m_keep);
    }
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    bool Ok() const { return m_master >= 0 && !m_strSlave.empty() && m_keep >= 0; }
    int Master() const { return m_master; }
    const std::string& Slave() const { return m_strSlave; }
    // Our own hold of the slave (-1 once dropped).
    int Keep() const { return m_keep; }
    void CloseMaster() {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }
    // Lets a later open of the slave stand alone (a hold of our own would keep the pty's state).
    void DropKeep() {
        if (m_keep >= 0)
            close(m_keep);
        m_keep = -1;
    }

    bool WriteAll(const void* p, size_t n) const {
        const char* c = static_cast<const char*>(p);
        while (n > 0) {
            const ssize_t w = write(m_master, c, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            c += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    // Reads until n bytes have come or the time runs out.
    std::vector<unsigned char> ReadN(size_t n, int nTimeoutMs) const {
        std::vector<unsigned char> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            unsigned char buf[4096];
            const ssize_t r = read(m_master, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
            else if (r < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
        return out;
    }

private:
    int m_master = -1;
    int m_keep = -1;
    std::string m_strSlave;
};

#include "tests/support/Pty.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

CPtyPair::CPtyPair() {
    char name[256] = {};
    termios tio{};
    cfmakeraw(&tio);
    if (openpty(&m_fdMaster, &m_fdSlave, name, &tio, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    fcntl(m_fdMaster, F_SETFD, FD_CLOEXEC);
    fcntl(m_fdSlave, F_SETFD, FD_CLOEXEC);
    m_strSlavePath = name;
}

CPtyPair::~CPtyPair() {
    HangUp();
    ReleaseSlave();
}

void CPtyPair::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_fdMaster, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += size_t(n);
    }
}

std::string CPtyPair::Receive(size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{m_fdMaster, POLLIN, 0};
        if (poll(&pfd, 1, int(left.count())) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(m_fdMaster, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string CPtyPair::Drain(std::chrono::milliseconds quiet) {
    std::string got;
    for (;;) {
        std::string more = Receive(65536, quiet);
        if (more.empty())
            return got;
        got += more;
    }
}

void CPtyPair::HangUp() {
    if (m_fdMaster >= 0)
        close(m_fdMaster);
    m_fdMaster = -1;
}

void CPtyPair::ReleaseSlave() {
    if (m_fdSlave >= 0)
        close(m_fdSlave);
    m_fdSlave = -1;
}

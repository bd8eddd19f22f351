#include "tools/sim/PtyLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// 57600 baud with a start bit, 8 data bits and a stop bit.
constexpr auto kByteTime = std::chrono::nanoseconds(1'000'000'000LL * 10 / 57600);
constexpr auto kThrottledAfter = std::chrono::milliseconds(100);

} // namespace

CPtyLine::CPtyLine(bool bLinePacing, bool bDropWhileClosed, int nUnreadLimit)
    : m_bLinePacing(bLinePacing), m_bDropWhileClosed(bDropWhileClosed), m_nUnreadLimit(nUnreadLimit) {}

CPtyLine::~CPtyLine() {
    HangUp();
}

bool CPtyLine::Open(std::string& strError) {
    char name[256] = {};
    termios tio{};
    cfmakeraw(&tio);
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    if (openpty(&m_fdMaster, &m_fdSlave, name, &tio, nullptr) != 0) {
        strError = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    fcntl(m_fdMaster, F_SETFD, FD_CLOEXEC);
    fcntl(m_fdSlave, F_SETFD, FD_CLOEXEC);
    fcntl(m_fdMaster, F_SETFL, fcntl(m_fdMaster, F_GETFL) | O_NONBLOCK);
    m_strSlavePath = name;

    // Our own slave descriptor was opened before the watch exists, so it is not counted as a client.
    m_fdWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fdWatch < 0 || inotify_add_watch(m_fdWatch, name, IN_OPEN | IN_CLOSE) < 0) {
        strError = std::string("cannot watch the port for opens: ") + strerror(errno);
        return false;
    }
    return true;
}

bool CPtyLine::MakeLink(const std::string& strLink, std::string& strError) {
    if (symlink(m_strSlavePath.c_str(), strLink.c_str()) != 0) {
        strError = "cannot make the port link '" + strLink + "': " + strerror(errno);
        return false;
    }
    m_strLink = strLink;
    return true;
}

bool CPtyLine::HandleWatchEvents() {
    if (m_fdWatch < 0)
        return false;
    bool bLastClosed = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(m_fdWatch, buf, sizeof buf);
        if (n <= 0)
            break;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            if (ev->mask & IN_OPEN)
                ++m_nClients;
            if ((ev->mask & IN_CLOSE) && m_nClients > 0) {
                if (--m_nClients == 0)
                    bLastClosed = true;
            }
            p += sizeof(inotify_event) + ev->len;
        }
    }
    // What the last client left unread dies with its port, as on a real line.
    if (bLastClosed && m_bDropWhileClosed && m_fdSlave >= 0)
        tcflush(m_fdSlave, TCIFLUSH);
    return bLastClosed;
}

std::string CPtyLine::ReadInput() {
    std::string in;
    if (m_fdMaster < 0)
        return in;
    char buf[4096];
    for (;;) {
        ssize_t n = read(m_fdMaster, buf, sizeof buf);
        if (n > 0) {
            in.append(buf, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return in;
}

void CPtyLine::Queue(std::string_view bytes) {
    if (bytes.empty())
        return;
    if (!OutputPending()) {
        m_strOut.clear();
        m_nOutPos = 0;
        m_tBurstStart = SimClock::now();
        m_nBurstSent = 0;
    }
    m_strOut.append(bytes);
}

void CPtyLine::DiscardPending() {
    m_strOut.clear();
    m_nOutPos = 0;
    m_bBlocked = false;
}

void CPtyLine::Service(SimClock::time_point now) {
    m_bBlocked = false;
    if (!OutputPending())
        return;
    size_t allowed = m_strOut.size() - m_nOutPos;
    if (m_bLinePacing) {
        auto due = size_t((now - m_tBurstStart) / kByteTime) + 1;
        allowed = due > m_nBurstSent ? std::min(allowed, due - m_nBurstSent) : 0;
    }
    if (allowed == 0)
        return;
    size_t sent = 0;
    // The moment the bytes go onto the line is taken before the write, so a reader woken by them can never
    // seem to have reacted before they were sent.
    SimClock::time_point tWrite = SimClock::now();
    if (m_fdMaster < 0 || (m_bDropWhileClosed && m_nClients == 0)) {
        sent = allowed; // on the wire, but nobody listens
    } else if (size_t room = Room(); room == 0) {
        // A port full for a while is throttled: it takes nothing, and what reaches the adapter meanwhile is
        // lost. (Full for a moment is a reader catching up with a burst of this program's own lateness.)
        if (!m_tFullSince)
            m_tFullSince = tWrite;
        if (tWrite - *m_tFullSince >= kThrottledAfter) {
            sent = allowed;
            m_nDroppedUnread += allowed;
        } else {
            m_bBlocked = !m_bLinePacing;
        }
    } else if (room < allowed) {
        m_tFullSince.reset();
        ssize_t n = write(m_fdMaster, m_strOut.data() + m_nOutPos, room);
        sent = n > 0 ? size_t(n) : 0;
    } else {
        m_tFullSince.reset();
        ssize_t n = write(m_fdMaster, m_strOut.data() + m_nOutPos, allowed);
        if (n > 0)
            sent = size_t(n);
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            m_bBlocked = true;
        else if (n < 0 && errno != EINTR)
            sent = allowed; // the line is broken; the board's output goes nowhere
    }
    m_nOutPos += sent;
    m_nBurstSent += sent;
    if (sent < allowed && !m_bLinePacing)
        m_bBlocked = true;
    if (!OutputPending())
        m_tDrained = tWrite;
}

size_t CPtyLine::Room() const {
    int nUnread = 0;
    if (m_nUnreadLimit <= 0 || ioctl(m_fdSlave, FIONREAD, &nUnread) != 0)
        return SIZE_MAX;
    return nUnread >= m_nUnreadLimit ? 0 : size_t(m_nUnreadLimit - nUnread);
}

std::optional<SimClock::time_point> CPtyLine::NextDue() const {
    if (!OutputPending() || !m_bLinePacing || m_bBlocked)
        return std::nullopt;
    return m_tBurstStart + kByteTime * int64_t(m_nBurstSent);
}

void CPtyLine::HangUp() {
    // The name first, as the device node of a pulled adapter goes before anything else.
    if (!m_strLink.empty())
        unlink(m_strLink.c_str());
    m_strLink.clear();
    for (int* fd : {&m_fdWatch, &m_fdSlave, &m_fdMaster}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    DiscardPending();
}

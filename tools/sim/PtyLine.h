#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using SimClock = std::chrono::steady_clock;

// The board's end of the serial line: the master side of a pseudo-terminal. The board keeps a slave
// descriptor of its own, so programs can open and close the port as often as they like without a hang-up.
//
// Output goes out paced at 57600 baud (8N1: 10 bit times a byte) or as fast as the pty takes it. Opens and
// closes of the port by other programs are watched, so that output written while nobody has the port open
// can be dropped, as a real UART's output is lost on a closed port.
class CPtyLine {
public:
    // nUnreadLimit > 0: an adapter without flow control behind a tty that throttles: once that many bytes
    // wait unread in the port, what the board sends is lost instead of waiting (a pseudo-terminal would
    // make the board wait).
    CPtyLine(bool bLinePacing, bool bDropWhileClosed, int nUnreadLimit = 0);
    ~CPtyLine();
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    // False with a message when the pty could not be made.
    bool Open(std::string& strError);
    const std::string& SlavePath() const { return m_strSlavePath; }
    // A name of the port's own, as a symbolic link to the slave. It goes away with the device, so a
    // program that opens it after the hang-up finds nothing, never a later pty that got the same number.
    bool MakeLink(const std::string& strLink, std::string& strError);
    // The name programs should open: the link when there is one.
    const std::string& PortPath() const { return m_strLink.empty() ? m_strSlavePath : m_strLink; }

    // Descriptors for the main loop's poll: the master and the open/close watch (-1 once hung up).
    int MasterFd() const { return m_fdMaster; }
    int WatchFd() const { return m_fdWatch; }

    // Reads the open/close events; call before reading input so that a client's open is known before its
    // bytes. Returns true when the last client has just closed the port.
    bool HandleWatchEvents();
    int ClientCount() const { return m_nClients; }

    // Everything that arrived, without waiting. Empty when nothing did.
    std::string ReadInput();

    void Queue(std::string_view bytes);
    bool OutputPending() const { return m_nOutPos < m_strOut.size(); }
    // Drops output not yet written (the board lost power).
    void DiscardPending();
    // Writes what the pacing allows by now.
    void Service(SimClock::time_point now);
    bool WantsWritable() const { return m_bBlocked; }
    // When the next paced byte is due, if output waits for time rather than for the pty.
    std::optional<SimClock::time_point> NextDue() const;
    // When the output queue last ran empty: the moment the write of its last byte began.
    SimClock::time_point LastDrained() const { return m_tDrained; }

    // Bytes lost because the port held nUnreadLimit unread bytes.
    size_t DroppedUnread() const { return m_nDroppedUnread; }

    // The device vanishes: every descriptor of the pty is closed.
    void HangUp();
    bool IsHungUp() const { return m_fdMaster < 0; }

private:
    // How many more bytes the port takes before the throttled adapter drops them; SIZE_MAX: no limit.
    size_t Room() const;

    bool m_bLinePacing;
    bool m_bDropWhileClosed;
    int m_nUnreadLimit;
    size_t m_nDroppedUnread = 0;
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    int m_fdWatch = -1;
    int m_nClients = 0;
    std::string m_strSlavePath;
    std::string m_strLink;

    std::string m_strOut;
    size_t m_nOutPos = 0;
    SimClock::time_point m_tBurstStart{};
    size_t m_nBurstSent = 0;
    bool m_bBlocked = false;
    SimClock::time_point m_tDrained{};
    std::optional<SimClock::time_point> m_tFullSince; // unread output at the limit since then
};

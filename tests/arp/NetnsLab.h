#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SCommandResult {
    int nExit = -1; // -1 when the command could not run or was killed after its time limit
    std::string strOut;
    std::string strErr;
};

// Runs a program (found through PATH and the sbin directories) and waits at most timeoutMs for it.
SCommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs = 15000);

// Moves the calling thread into network namespace `ns` (one made with `ip netns add`); threads it starts
// afterwards are in it too. False when that failed: the thread is then still where it was, and must not go
// on with anything that could send a packet.
bool EnterNetns(const std::string& ns);

// The same for the object's life: the thread goes back to the namespace it was in when the object goes.
class CInNamespace {
public:
    explicit CInNamespace(const std::string& ns);
    ~CInNamespace();
    CInNamespace(const CInNamespace&) = delete;
    CInNamespace& operator=(const CInNamespace&) = delete;
    bool In() const { return m_bIn; }

private:
    int m_fdOld = -1;
    bool m_bIn = false;
};

// What one run of the probe program printed.
struct SProbeResult {
    bool bRan = false;
    int nResult = -1;
    std::string strMac;
    std::string strMethod;
    std::string strLog; // unescaped: CR LF line ends as the log console stores them
    long nElapsedMs = -1;
    std::string strRaw; // everything it printed, for failure messages
};

// Network namespaces of the test's own, a host side and a board side, joined by a veth pair: "qh0"
// (MAC 02:00:00:00:00:01) in the host namespace, "qb0" in the board namespace. Both are up, IPv6 is off in
// both (so that the interfaces stay quiet and packet counts mean something), the host side holds
// 10.0.0.1/24 unless told otherwise. Everything the tests run that might send a packet runs inside these
// namespaces; the root namespace is never touched. The destructor deletes both namespaces, and with them
// the interfaces, also when the test failed.
class CNetnsLab {
public:
    explicit CNetnsLab(bool bHostAddress = true);
    ~CNetnsLab();
    CNetnsLab(const CNetnsLab&) = delete;
    CNetnsLab& operator=(const CNetnsLab&) = delete;

    // Non-empty when namespaces cannot be made here (not root, no ip tool): the test is skipped.
    const std::string& SkipReason() const { return m_strSkipReason; }
    // False when setting up failed for another reason (the failure is already reported).
    bool Ok() const { return m_bOk; }

    const std::string& HostNs() const { return m_strHostNs; }
    const std::string& BoardNs(size_t nLink = 0) const { return m_boardNs[nLink]; }

    // One more link like the first, as a PC with a card per board has: "qh<k>" in the host namespace (with
    // the same 10.0.0.1/24 unless the lab was made without it), "qb0" in a board namespace of its own, both
    // up. Returns k, or -1 when it failed (the failure is reported).
    int AddLink();

    // Runs argv inside the namespace. With bCheck, a failing command fails the test.
    SCommandResult Exec(const std::string& ns, const std::vector<std::string>& argv, bool bCheck = true);
    // `ip <args>` inside the namespace; a failure fails the test.
    bool Ip(const std::string& ns, const std::vector<std::string>& args);
    void SetSysctl(const std::string& ns, const std::string& assignment);

    // A counter of /sys/class/net/<ifname>/statistics in the namespace; -1 when unreadable.
    int64_t Counter(const std::string& ns, const std::string& ifname, const std::string& counter);

    // Gives the board side of a link its address (10.0.0.50/24) and a MAC address.
    bool PlugBoard(const std::string& mac, size_t nLink = 0);

    // Runs the probe for ip in the host namespace with the probe's options; bUnprivileged runs it as the
    // user nobody with every capability dropped.
    SProbeResult Probe(const std::string& ip, const std::vector<std::string>& options,
                       bool bUnprivileged = false);

private:
    bool Setup();
    bool AddNamespace(const std::string& ns);
    bool Connect(size_t nLink);
    static void RemoveLeftovers();

    std::string m_strSkipReason;
    bool m_bOk = false;
    bool m_bHostAddress = true;
    std::string m_strId;
    std::string m_strHostNs;
    std::vector<std::string> m_boardNs;
    std::vector<std::string> m_created; // deleted by the destructor, the interfaces with them
};

// In a test: skipped where the lab cannot be made here, failed where it could not be set up.
#define REQUIRE_LAB(lab)                                                                                     \
    do {                                                                                                     \
        if (!(lab).SkipReason().empty())                                                                     \
            GTEST_SKIP() << (lab).SkipReason();                                                              \
        ASSERT_TRUE((lab).Ok());                                                                             \
    } while (0)

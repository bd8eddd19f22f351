#include "tests/arp/NetnsLab.h"

#include <QStandardPaths>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef QAN_ARP_PROBE
#error "QAN_ARP_PROBE must name the probe program"
#endif

namespace {

constexpr const char* kNsPrefix = "qarp";

QString FindProgram(const std::string& name) {
    QString found = QStandardPaths::findExecutable(QString::fromStdString(name));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(QString::fromStdString(name),
                                               {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    return found;
}

std::string Join(const std::vector<std::string>& argv) {
    std::string s;
    for (const auto& a : argv)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

// posix_spawn rather than QProcess: QProcess's child runs code in the parent's memory before it starts the
// program, which leaves the ThreadSanitizer build blind to the calling thread's synchronisation afterwards.
SCommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs) {
    SCommandResult result;
    if (argv.empty())
        return result;
    std::string program = FindProgram(argv[0]).toStdString();
    if (program.empty()) {
        result.strErr = argv[0] + ": not found";
        return result;
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        result.strErr = argv[0] + ": does not start";
        return result;
    }
    // Reads both pipes until the program has ended (a child it left running may keep them open) or the time
    // runs out.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.strOut, &result.strErr};
    for (pollfd& f : fds)
        fcntl(f.fd, F_SETFL, O_NONBLOCK);
    auto drain = [&] {
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            ssize_t n;
            while (fds[i].fd >= 0 && (n = read(fds[i].fd, buffer, sizeof buffer)) > 0)
                texts[i]->append(buffer, size_t(n));
            if (fds[i].fd >= 0 && n == 0) { // end of file: poll() skips it from now on
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    };
    int status = 0;
    bool bTimedOut = false;
    for (;;) {
        poll(fds, 2, 20);
        drain();
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            bTimedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
    }
    drain();
    for (pollfd& f : fds) {
        if (f.fd >= 0)
            close(f.fd);
    }
    if (bTimedOut) {
        result.strErr = argv[0] + ": killed after its time limit";
        return result;
    }
    result.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

CNetnsLab::CNetnsLab(bool bHostAddress) : m_bHostAddress(bHostAddress) {
    if (geteuid() != 0) {
        m_strSkipReason = "network namespaces need root (ip netns add); these tests run as root on CI";
        return;
    }
    if (FindProgram("ip").isEmpty()) {
        m_strSkipReason = "the ip program (iproute2) is not installed";
        return;
    }
    static std::atomic<int> s_nLab{0};
    m_strId = std::to_string(getpid()) + "-" + std::to_string(s_nLab++);
    m_strHostNs = std::string(kNsPrefix) + "h" + m_strId;
    RemoveLeftovers();
    m_bOk = Setup();
}

CNetnsLab::~CNetnsLab() {
    // Deleting a namespace deletes its interfaces; a veth pair goes with the first of its two.
    for (const std::string& ns : m_created)
        RunCommand({"ip", "netns", "delete", ns});
}

// Namespaces of earlier runs whose process is gone (a crashed test cannot clean up after itself).
void CNetnsLab::RemoveLeftovers() {
    SCommandResult list = RunCommand({"ip", "netns", "list"});
    std::istringstream lines(list.strOut);
    std::string line;
    while (std::getline(lines, line)) {
        std::string name = line.substr(0, line.find(' '));
        if (name.rfind(kNsPrefix, 0) != 0 || name.size() < 6)
            continue;
        std::string rest = name.substr(5);
        pid_t pid = pid_t(atoi(rest.substr(0, rest.find('-')).c_str()));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            RunCommand({"ip", "netns", "delete", name});
    }
}

bool CNetnsLab::AddNamespace(const std::string& ns) {
    SCommandResult add = RunCommand({"ip", "netns", "add", ns});
    if (add.nExit != 0) {
        m_strSkipReason = "cannot create a network namespace: " + add.strErr;
        return false;
    }
    m_created.push_back(ns);
    SetSysctl(ns, "net.ipv6.conf.all.disable_ipv6=1");
    SetSysctl(ns, "net.ipv6.conf.default.disable_ipv6=1");
    return Ip(ns, {"link", "set", "lo", "up"});
}

bool CNetnsLab::Setup() {
    return AddNamespace(m_strHostNs) && Connect(0);
}

int CNetnsLab::AddLink() {
    if (!m_bOk)
        return -1;
    size_t nLink = m_boardNs.size();
    return Connect(nLink) ? int(nLink) : -1;
}

bool CNetnsLab::Connect(size_t nLink) {
    std::string ns = std::string(kNsPrefix) + "b" + m_strId + (nLink == 0 ? "" : "-" + std::to_string(nLink));
    if (!AddNamespace(ns))
        return false;
    m_boardNs.push_back(ns);
    std::string host = "qh" + std::to_string(nLink);
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", unsigned(nLink + 1));
    // Made inside the host namespace, with the peer put straight into the board namespace.
    if (!Ip(m_strHostNs,
            {"link", "add", host, "address", mac, "type", "veth", "peer", "name", "qb0", "netns", ns}))
        return false;
    if (m_bHostAddress && !Ip(m_strHostNs, {"addr", "add", "10.0.0.1/24", "dev", host}))
        return false;
    if (!Ip(m_strHostNs, {"link", "set", host, "up"}) || !Ip(ns, {"link", "set", "qb0", "up"}))
        return false;
    for (int i = 0; i < 100; ++i) {
        if (Exec(m_strHostNs, {"cat", "/sys/class/net/" + host + "/operstate"}, false)
                .strOut.rfind("up", 0) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the veth pair does not come up";
    return false;
}

SCommandResult CNetnsLab::Exec(const std::string& ns, const std::vector<std::string>& argv, bool bCheck) {
    std::vector<std::string> full = {"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    SCommandResult result = RunCommand(full);
    if (bCheck && result.nExit != 0)
        ADD_FAILURE() << "in " << ns << ": " << Join(argv) << " failed (" << result.nExit
                      << "): " << result.strErr;
    return result;
}

bool CNetnsLab::Ip(const std::string& ns, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Exec(ns, argv).nExit == 0;
}

void CNetnsLab::SetSysctl(const std::string& ns, const std::string& assignment) {
    Exec(ns, {"sysctl", "-qw", assignment});
}

int64_t CNetnsLab::Counter(const std::string& ns, const std::string& ifname, const std::string& counter) {
    SCommandResult r = Exec(ns, {"cat", "/sys/class/net/" + ifname + "/statistics/" + counter}, false);
    if (r.nExit != 0 || r.strOut.empty())
        return -1;
    return std::stoll(r.strOut);
}

bool CNetnsLab::PlugBoard(const std::string& mac, size_t nLink) {
    return Ip(BoardNs(nLink), {"link", "set", "qb0", "address", mac}) &&
           Ip(BoardNs(nLink), {"addr", "add", "10.0.0.50/24", "dev", "qb0"});
}

SProbeResult CNetnsLab::Probe(const std::string& ip, const std::vector<std::string>& options,
                              bool bUnprivileged) {
    std::vector<std::string> argv;
    if (bUnprivileged)
        argv = {"setpriv",         "--reuid=nobody",      "--regid=nogroup", "--clear-groups",
                "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs",  "--"};
    argv.push_back(QAN_ARP_PROBE);
    argv.push_back(ip);
    argv.insert(argv.end(), options.begin(), options.end());
    SCommandResult r = Exec(m_strHostNs, argv);

    SProbeResult probe;
    probe.strRaw = r.strOut + r.strErr;
    std::istringstream lines(r.strOut);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (key == "result")
            probe.nResult = atoi(value.c_str());
        else if (key == "mac")
            probe.strMac = value;
        else if (key == "method")
            probe.strMethod = value;
        else if (key == "elapsed_ms")
            probe.nElapsedMs = atol(value.c_str());
        else if (key == "log")
            probe.strLog = Unescape(value);
    }
    probe.bRan = r.nExit == 0 && probe.nResult >= 0;
    return probe;
}

bool EnterNetns(const std::string& ns) {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool bEntered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        close(fd);
    return bEntered;
}

CInNamespace::CInNamespace(const std::string& ns) {
    m_fdOld = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    m_bIn = m_fdOld >= 0 && EnterNetns(ns);
}

CInNamespace::~CInNamespace() {
    if (m_bIn)
        setns(m_fdOld, CLONE_NEWNET);
    if (m_fdOld >= 0)
        close(m_fdOld);
}

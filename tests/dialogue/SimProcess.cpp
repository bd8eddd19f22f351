#include "tests/dialogue/SimProcess.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

namespace {

struct SArgv {
    std::vector<std::string> strings;
    std::vector<char*> ptrs;
    explicit SArgv(const std::vector<std::string>& args) {
        strings.push_back(CSimProcess::Path());
        strings.insert(strings.end(), args.begin(), args.end());
        for (auto& s : strings)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
};

// Forks and execs the board; only async-signal-safe calls in the child.
int Spawn(SArgv& argv, const std::string& workDir, int fdOut, int fdErr) {
    const char* dir = workDir.empty() ? nullptr : workDir.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (dir && chdir(dir) != 0)
            _exit(126);
        int fdNull = open("/dev/null", O_RDONLY);
        dup2(fdNull, 0);
        dup2(fdOut, 1);
        if (fdErr >= 0)
            dup2(fdErr, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv.ptrs[0], argv.ptrs.data());
        _exit(127);
    }
    return pid;
}

bool WaitPid(int pid, milliseconds timeout, int& status) {
    auto deadline = steady_clock::now() + timeout;
    for (;;) {
        int rc = waitpid(pid, &status, WNOHANG);
        if (rc == pid)
            return true;
        if (rc < 0)
            return false;
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

} // namespace

std::string CSimProcess::Path() {
    return (QCoreApplication::applicationDirPath() + "/qan640-sim").toStdString();
}

CSimProcess::CSimProcess(const std::vector<std::string>& args, const std::string& strWorkDir) {
    // The port gets a name of its own in a private directory: pty numbers are reused at once, and a test
    // running beside this one must never reach this board, nor this test a later board, by a stale number.
    std::vector<std::string> all = args;
    if (std::find(args.begin(), args.end(), "--link") == args.end()) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qan640-port-XXXXXX";
        if (mkdtemp(pattern.data())) {
            m_strLinkDir = pattern;
            all.insert(all.end(), {"--link", m_strLinkDir + "/ttyQAN0"});
        }
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    SArgv argv(all);
    m_pid = Spawn(argv, strWorkDir, fds[1], -1);
    close(fds[1]);
    m_fdOut = fds[0];
    if (m_pid < 0)
        return;
    // The first line is the port path.
    std::string line;
    auto deadline = steady_clock::now() + 5s;
    while (line.find('\n') == std::string::npos && steady_clock::now() < deadline) {
        pollfd pfd{m_fdOut, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(m_fdOut, buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, size_t(n));
    }
    if (size_t nl = line.find('\n'); nl != std::string::npos)
        m_strPort = line.substr(0, nl);
}

CSimProcess::~CSimProcess() {
    if (m_pid > 0) {
        int status = 0;
        kill(m_pid, SIGTERM);
        if (!WaitPid(m_pid, 3s, status)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
    }
    if (m_fdOut >= 0)
        close(m_fdOut);
    if (!m_strLinkDir.empty()) {
        unlink((m_strLinkDir + "/ttyQAN0").c_str()); // left behind only by a board that had to be killed
        rmdir(m_strLinkDir.c_str());
    }
}

void CSimProcess::Signal(int sig) const {
    if (m_pid > 0)
        kill(m_pid, sig);
}

std::optional<int> CSimProcess::WaitExit(milliseconds timeout) {
    int status = 0;
    if (m_pid <= 0 || !WaitPid(m_pid, timeout, status))
        return std::nullopt;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

CSimProcess::SRun CSimProcess::RunToEnd(const std::vector<std::string>& args, milliseconds timeout) {
    SRun run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    SArgv argv(args);
    int pid = Spawn(argv, {}, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    auto deadline = steady_clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && steady_clock::now() < deadline) {
        if (poll(fds, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            (i == 0 ? run.strOut : run.strErr).append(buf, size_t(n));
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (pid > 0 && !WaitPid(pid, milliseconds(100), status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return run;
    }
    run.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

CRawPort::CRawPort(const std::string& strPath) {
    m_fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
}

CRawPort::~CRawPort() {
    Close();
}

void CRawPort::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

void CRawPort::Send(const std::string& bytes) {
    size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

std::string CRawPort::ReadUntil(const std::string& text, milliseconds timeout) {
    std::string got;
    auto deadline = steady_clock::now() + timeout;
    while (m_fd >= 0 && got.find(text) == std::string::npos) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string CRawPort::ReadQuiet(milliseconds quiet) {
    std::string got;
    while (m_fd >= 0) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, int(quiet.count())) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::vector<STranscriptEntry> ReadTranscript(const std::string& strPath) {
    std::vector<STranscriptEntry> entries;
    std::ifstream in(strPath);
    for (std::string line; std::getline(in, line);) {
        STranscriptEntry e;
        std::istringstream fields(line);
        fields >> e.dTime >> e.strKind;
        if (fields.peek() == ' ')
            fields.get();
        std::getline(fields, e.strText);
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::string> TranscriptCommands(const std::string& strPath) {
    std::vector<std::string> cmds;
    for (const auto& e : ReadTranscript(strPath))
        if (e.strKind == "CMD")
            cmds.push_back(e.strText);
    return cmds;
}

double MonotonicSeconds() {
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> FastBoardArgs() {
    return {"--pace",      "full", "--boot-ms",           "40",  "--tftp-ms",           "20",
            "--eeprom-ms", "10",   "--countdown-step-ms", "600", "--power-cycle-delay", "500"};
}

void WriteWholeRunFiles(const std::string& strDir) {
    for (const char* sub : {"/U-Boot_Producao", "/tftp"})
        mkdir((strDir + sub).c_str(), 0755);
    std::ofstream(strDir + "/U-Boot_Producao/u-boot_aut_rs232.ldr", std::ios::binary)
        << std::string(3000, 'L');
    std::ofstream(strDir + "/tftp/u-boot_2_lote.ldr", std::ios::binary) << std::string(1000, 'x');
}

std::vector<std::string> WholeRunBoardArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args = FastBoardArgs();
    for (const char* a : {"--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr", "--tftp-dir", "tftp"})
        args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

SRunOptions WholeRunOptions(IArpQuery* pArp) {
    SRunOptions options;
    options.loader.dwPassPauseMs = 50;
    options.loader.dwFinalPauseMs = 100;
    options.pArpQuery = pArp;
    return options;
}

std::string MacHookFor(const std::string& strBoardNs, const std::string& strMac) {
    // The link goes down for the change: a veth takes a new address only while it is down.
    std::string ip = "ip -n " + strBoardNs + " link set qb0 ";
    return "[ -n \"$QAN640_MAC\" ] && " + ip + "down && " + ip + "address " + strMac + " && " + ip + "up";
}

void UseWholeRunDir(const std::string& strDir) {
    WriteWholeRunFiles(strDir);
    if (chdir(strDir.c_str()) != 0)
        perror(strDir.c_str());
    const char* path = getenv("PATH");
    std::string strPath = (QCoreApplication::applicationDirPath() + "/../test-path").toStdString() + ":" +
                          (path ? path : "/usr/bin:/bin");
    setenv("PATH", strPath.c_str(), 1);
}

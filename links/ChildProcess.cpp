#include "links/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
// This C library's header lacks the C++ linkage guards.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/wait.h>
#include <unistd.h>

CChildProcess::~CChildProcess() {
    if (m_pid > 0)
        KillAndReap();
}

namespace {

// What the child needs between fork and exec, prepared before the fork: after it, only calls that are safe
// in a child of a threaded process are made.
struct SChildSetup {
    const char* program;
    char* const* argv;
    int fdIn, fdOut, fdShared;
    int fdReport; // close-on-exec: the exec's error goes back through it; it closes on success
    pid_t parent;
};

// fd as the child's descriptor target, kept open across the exec.
bool PlaceAt(int fd, int target) {
    if (fd == target)
        return fcntl(fd, F_SETFD, 0) == 0;
    return dup2(fd, target) == target;
}

[[noreturn]] void ExecChild(const SChildSetup& s) {
    // The child ends with the thread that started it (the one that waits for it): when the program is
    // killed, its loader does not go on holding the board's port. A parent that died before this line was
    // missed by it, hence the check.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != s.parent)
        _exit(127);
    // A process group of its own (numbered after the child), so that a stop ends whatever the loader
    // started too: a wrapper script's real loader would otherwise go on holding the port.
    setpgid(0, 0);
    // The child starts with no signal blocked and the usual actions for signals this process ignores.
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int fdReport = fcntl(s.fdReport, F_DUPFD_CLOEXEC, STDERR_FILENO + 2);
    bool bPlaced = fdReport >= 0 && PlaceAt(s.fdIn, STDIN_FILENO) && PlaceAt(s.fdOut, STDOUT_FILENO) &&
                   PlaceAt(s.fdOut, STDERR_FILENO) &&
                   (s.fdShared < 0 || PlaceAt(s.fdShared, STDERR_FILENO + 1));
    // Whatever else this process holds (serial ports, sockets, descriptors of other libraries that were
    // opened without close-on-exec) stays out of the child.
    int nFirstClosed = s.fdShared < 0 ? STDERR_FILENO + 1 : STDERR_FILENO + 2;
    if (bPlaced && close_range(unsigned(nFirstClosed), ~0u, CLOSE_RANGE_CLOEXEC) == 0)
        execvp(s.program, s.argv);
    int error = errno;
    if (fdReport >= 0 && write(fdReport, &error, sizeof error) < 0)
        _exit(127);
    _exit(127);
}

} // namespace

bool CChildProcess::Spawn(const char* program, const std::vector<std::string>& args, int fdIn, int fdOut,
                          int fdShared, int& error) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    CUniqueFd fdReportRead(report[0]), fdReportWrite(report[1]);
    SChildSetup setup{program, argv.data(), fdIn, fdOut, fdShared, report[1], getpid()};
    pid_t pid = fork();
    if (pid == 0)
        ExecChild(setup);
    if (pid < 0) {
        error = errno;
        return false;
    }
    m_pid = pid;
    // Also from this side, so that the group exists before anything signals it.
    setpgid(pid, pid);
    fdReportWrite.Close();
    int nChildError = 0;
    ssize_t n;
    while ((n = read(fdReportRead.Get(), &nChildError, sizeof nChildError)) < 0 && errno == EINTR) {
    }
    if (n > 0) {
        error = nChildError;
        Reap();
        return false;
    }

    // The child stays ours until this process reaps it, so its pid cannot be reused in between.
    m_fdProcess = CUniqueFd(pidfd_open(pid, 0));
    if (!m_fdProcess.IsOpen()) {
        error = errno;
        KillAndReap();
        return false;
    }
    return true;
}

void CChildProcess::EndGroup() const {
    if (m_pid > 0)
        kill(-m_pid, SIGKILL);
}

int CChildProcess::Reap() {
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    m_fdProcess.Close();
    return status;
}

void CChildProcess::KillAndReap() {
    EndGroup();
    if (m_fdProcess.IsOpen())
        pidfd_send_signal(m_fdProcess.Get(), SIGKILL, nullptr, 0);
    else
        kill(m_pid, SIGKILL);
    Reap();
}

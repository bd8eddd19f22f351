#include "links/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
// This C library's header lacks the C++ linkage guards.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

CChildProcess::~CChildProcess() {
    if (m_pid > 0)
        KillAndReap();
}

bool CChildProcess::Spawn(const char* program, const std::vector<std::string>& args, int fdIn, int fdOut,
                          int& error) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fdIn, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fdOut, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fdOut, STDERR_FILENO);
    // Whatever else this process holds (serial ports, sockets, descriptors of other libraries that were
    // opened without close-on-exec) stays out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The child starts with no signal blocked and the usual actions for signals this process ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A process group of its own (numbered after the child), so that a stop ends whatever the loader
    // started too: a wrapper script's real loader would otherwise go on holding the port.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    error = posix_spawnp(&pid, program, &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return false;

    m_pid = pid;
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

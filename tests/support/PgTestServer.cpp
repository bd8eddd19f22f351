#include "tests/support/PgTestServer.h"

#include "linedb/LineDb.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The newest installed server's programs: /usr/lib/postgresql/<version>/bin.
std::string ServerBinDir() {
    std::error_code ec;
    int nBest = -1;
    std::string strBest;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        int nVersion = std::atoi(entry.path().filename().c_str());
        std::string strBin = entry.path().string() + "/bin";
        if (nVersion > nBest && access((strBin + "/initdb").c_str(), X_OK) == 0 &&
            access((strBin + "/pg_ctl").c_str(), X_OK) == 0) {
            nBest = nVersion;
            strBest = strBin;
        }
    }
    return strBest;
}

// The user the server runs as when the tests run as root (the server refuses root); null when there is none.
const passwd* RootsServerUser() {
    const passwd* pUser = getpwnam("postgres");
    return pUser ? pUser : getpwnam("nobody");
}

} // namespace

CPgTestServer::~CPgTestServer() {
    if (m_bRunning)
        Stop();
    if (!m_strFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }
    if (m_fdWatcher >= 0) {
        close(m_fdWatcher);
        while (waitpid(m_pidWatcher, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

// pUser: the server's user when it is not the test's own.
std::string CPgTestServer::StartWatcher(const passwd* pUser) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + strerror(errno);
    // A shell, so that the child of a process with threads only execs; it holds nothing of the test's but
    // the pipe's reading end.
    std::string strAs = !pUser ? ""
                               : "setpriv --reuid=" + std::to_string(pUser->pw_uid) +
                                     " --regid=" + std::to_string(pUser->pw_gid) + " --clear-groups ";
    // A server a test left stopped (SIGSTOP) is let go on first, or it would never stop.
    std::string strScript =
        "cat >/dev/null; if [ -f \"$1/data/postmaster.pid\" ]; then"
        " p=$(head -n 1 \"$1/data/postmaster.pid\"); pkill -CONT -P \"$p\"; kill -CONT \"$p\"; " +
        strAs + "\"$2/pg_ctl\" -D \"$1/data\" -w -t 30 -m immediate stop; fi; rm -rf \"$1\"";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return std::string("fork: ") + strerror(errno);
    if (pid == 0) {
        int fdNull = open("/dev/null", O_RDWR);
        if (dup2(fds[0], 0) < 0 || fdNull < 0 || dup2(fdNull, 1) < 0 || dup2(fdNull, 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0);
        // Its own process group: a signal to the test's group (Ctrl-C) leaves it to clean up.
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", strScript.c_str(), "sh", m_strFolder.c_str(), m_strBinDir.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    m_fdWatcher = fds[1];
    m_pidWatcher = pid;
    return "";
}

std::string CPgTestServer::Conninfo() const {
    return "host=" + m_strFolder + " user=qan dbname=postgres";
}

std::string CPgTestServer::Query(const char* pszSql) const {
    CLineDb db(Conninfo());
    std::string strError;
    if (db.Connect(strError, false) != CLineDb::EState::Ready)
        return "error: " + strError;
    std::optional<CPgResult> result = db.Exec(pszSql, {}, strError);
    if (!result)
        return "error: " + strError;
    return result->Rows() ? result->Text(0, 0) : "";
}

std::string CPgTestServer::Run(const std::string& strProgram, const std::vector<std::string>& args) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (uid == 0) {
        const passwd* pUser = RootsServerUser();
        if (!pUser)
            return "no user to run the server as";
        uid = pUser->pw_uid;
        gid = pUser->pw_gid;
    }
    std::string strPath = m_strBinDir + "/" + strProgram;
    std::vector<char*> argv{strPath.data()};
    std::vector<std::string> copies = args;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string strLog = m_strFolder + "/" + strProgram + ".out";
    // The child's freopen would write out a copy of what the caller's streams still buffer.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return std::string("fork: ") + strerror(errno);
    if (pid == 0) {
        if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        if (chdir(m_strFolder.c_str()) != 0)
            _exit(126);
        if (!freopen(strLog.c_str(), "a", stdout) || !freopen(strLog.c_str(), "a", stderr))
            _exit(126);
        execv(strPath.c_str(), argv.data());
        _exit(127);
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)
        return "";
    return strProgram + " failed (status " + std::to_string(nStatus) + "), see " + strLog;
}

std::string CPgTestServer::Start() {
    if (m_bRunning)
        return "";
    if (m_strFolder.empty()) {
        m_strBinDir = ServerBinDir();
        if (m_strBinDir.empty())
            return "PostgreSQL's server programs are not installed (/usr/lib/postgresql/*/bin): "
                   "scripts/install-deps installs them";
        char folder[] = "/tmp/qan640-pg-XXXXXX";
        if (!mkdtemp(folder))
            return std::string("mkdtemp: ") + strerror(errno);
        m_strFolder = folder;
        const passwd* pUser = nullptr;
        if (getuid() == 0) {
            pUser = RootsServerUser();
            if (!pUser || chown(folder, pUser->pw_uid, pUser->pw_gid) != 0)
                return "cannot hand the server's folder to its user";
        }
        std::string strError = StartWatcher(pUser);
        if (!strError.empty())
            return strError;
        strError = Run("initdb", {"-D", m_strFolder + "/data", "-U", "qan", "-A", "trust", "--no-sync",
                                  "--no-locale", "-E", "UTF8"});
        if (!strError.empty())
            return strError;
    }
    std::string strError =
        Run("pg_ctl", {"-D", m_strFolder + "/data", "-l", m_strFolder + "/server.log", "-w", "-t", "60", "-o",
                       "-c listen_addresses= -c unix_socket_directories=" + m_strFolder +
                           " -c fsync=off -c max_connections=50",
                       "start"});
    m_bRunning = strError.empty();
    return strError;
}

bool CPgTestServer::SignalAll(int nSignal) const {
    FILE* pPidFile = fopen((m_strFolder + "/data/postmaster.pid").c_str(), "r");
    int nServer = 0;
    if (!pPidFile || fscanf(pPidFile, "%d", &nServer) != 1 || nServer <= 0) {
        if (pPidFile)
            fclose(pPidFile);
        return false;
    }
    fclose(pPidFile);
    // The server's processes are its children (backends, writer, checkpointer, ...).
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        int nPid = atoi(entry.path().filename().c_str());
        FILE* pStat = nPid > 0 ? fopen((entry.path() / "stat").c_str(), "r") : nullptr;
        int nParent = 0;
        if (pStat && fscanf(pStat, "%*d (%*[^)]) %*c %d", &nParent) == 1 && nParent == nServer)
            kill(nPid, nSignal);
        if (pStat)
            fclose(pStat);
    }
    return kill(nServer, nSignal) == 0;
}

std::string CPgTestServer::Stop() {
    if (!m_bRunning)
        return "";
    m_bRunning = false;
    SignalAll(SIGCONT); // a test that stopped the server and failed before it let it go
    return Run("pg_ctl", {"-D", m_strFolder + "/data", "-w", "-t", "60", "-m", "fast", "stop"});
}

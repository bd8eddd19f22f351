#include "tests/support/CupsTestServer.h"

#include "core/PlainFile.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

void WriteText(const std::string& strPath, const std::string& strText, mode_t mode = 0644) {
    std::ofstream(strPath) << strText;
    chmod(strPath.c_str(), mode);
}

// Runs argv with CUPS_SERVER set (strSocket non-empty); its exit status, -1 when it did not run. The child's
// environment is made before the fork: the test's process has threads.
int Spawn(const std::vector<std::string>& args, const std::string& strSocket, bool bWait,
          pid_t* pPid = nullptr) {
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p)
        if (std::string_view(*p).substr(0, 12) != "CUPS_SERVER=")
            env.emplace_back(*p);
    if (!strSocket.empty())
        env.push_back("CUPS_SERVER=" + strSocket);
    std::vector<char*> argv, envp;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    for (const std::string& s : env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // The tools' chatter ("scheduler is not running" while cupsd starts) is no part of the test's output.
        int fdNull = open("/dev/null", O_WRONLY);
        if (fdNull >= 0) {
            dup2(fdNull, STDOUT_FILENO);
            dup2(fdNull, STDERR_FILENO);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pPid)
        *pPid = pid;
    if (!bWait)
        return 0;
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

} // namespace

CCupsTestServer::~CCupsTestServer() {
    Stop();
    if (!m_strFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }
}

std::string CCupsTestServer::Start() {
    if (access("/usr/sbin/cupsd", X_OK) != 0 || access("/usr/sbin/lpadmin", X_OK) != 0)
        return "cupsd ou lpadmin ausente (scripts/install-deps)";
    if (geteuid() != 0)
        return "cupsd de teste precisa de root";
    char folder[] = "/tmp/qan640-cups-XXXXXX";
    if (!mkdtemp(folder))
        return "mkdtemp";
    m_strFolder = folder;
    m_strSocket = m_strFolder + "/cups.sock";
    chmod(folder, 0755);
    for (const char* pszSub : {"root", "spool", "cache", "state", "tmp", "log", "out", "bin", "bin/backend"})
        mkdir((m_strFolder + "/" + pszSub).c_str(), 0755);
    chmod((m_strFolder + "/out").c_str(), 0777);
    chmod((m_strFolder + "/tmp").c_str(), 01777);
    for (const char* pszSub : {"filter", "daemon", "cgi-bin", "monitor", "notifier"})
        symlink((std::string("/usr/lib/cups/") + pszSub).c_str(), (m_strFolder + "/bin/" + pszSub).c_str());
    WriteText(m_strFolder + "/bin/backend/capture",
              "#!/bin/sh\n[ $# -eq 0 ] && { echo 'direct capture \"Unknown\" \"capture\"'; exit 0; }\n"
              "out=\"${DEVICE_URI#capture:}-$1\"\n"
              "if [ $# -ge 6 ]; then cat \"$6\" > \"$out.part\"; else cat > \"$out.part\"; fi\n"
              "chmod 644 \"$out.part\" && mv \"$out.part\" \"$out\"\n",
              0755);
    WriteText(
        m_strFolder + "/cupsd.conf",
        "Listen " + m_strSocket +
            "\nLogLevel warn\nWebInterface No\nBrowsing No\nDefaultAuthType None\n"
            "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
            "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow all\n  </Limit>\n</Policy>\n");
    const std::string& f = m_strFolder;
    WriteText(f + "/cups-files.conf", "ServerRoot " + f + "/root\nRequestRoot " + f + "/spool\nTempDir " + f +
                                          "/tmp\nCacheDir " + f + "/cache\nStateDir " + f +
                                          "/state\nErrorLog " + f + "/log/error_log\nAccessLog " + f +
                                          "/log/access_log\nPageLog " + f + "/log/page_log\nServerBin " + f +
                                          "/bin\nDataDir /usr/share/cups\n");
    if (Spawn({"/usr/sbin/cupsd", "-f", "-c", f + "/cupsd.conf", "-s", f + "/cups-files.conf"}, "", false,
              &m_pid) != 0)
        return "cupsd não iniciou";
    for (int i = 0; i < 100; ++i) {
        if (RunTool({"/usr/bin/lpstat", "-r"}).empty())
            return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "cupsd não responde em " + m_strSocket;
}

void CCupsTestServer::Stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    int nStatus = 0;
    while (waitpid(m_pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

std::string CCupsTestServer::RunTool(const std::vector<std::string>& args) const {
    int nExit = Spawn(args, m_strSocket, true);
    return nExit == 0 ? "" : args[0] + " terminou com " + std::to_string(nExit);
}

std::string CCupsTestServer::AddQueue(const std::string& strName, bool bStopped) {
    std::string strError = RunTool(
        {"/usr/sbin/lpadmin", "-p", strName, "-E", "-v", "capture:" + m_strFolder + "/out/" + strName});
    if (strError.empty() && bStopped)
        strError = RunTool({"/usr/sbin/cupsdisable", strName});
    return strError;
}

std::string CCupsTestServer::JobDocument(const std::string& strQueue, int nJobId, int nTimeoutMs) const {
    std::string strPath = m_strFolder + "/out/" + strQueue + "-" + std::to_string(nJobId);
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (access(strPath.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ReadSmallPlainFile(strPath.c_str(), 1 << 20).value_or("");
}

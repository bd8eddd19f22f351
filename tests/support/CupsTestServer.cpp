#include "tests/support/CupsTestServer.h"

#include "core/PlainFile.h"
#include "core/UniqueFd.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void WriteText(const std::string& strPath, const std::string& strText, mode_t mode = 0644) {
    std::ofstream(strPath) << strText;
    chmod(strPath.c_str(), mode);
}

// Starts a program of the distribution, its output and input /dev/null (the tools' chatter is no part of a
// test's output).
bool Start(CChildProcess& child, const std::vector<std::string>& args) {
    CUniqueFd fdNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    int nError = 0;
    return child.Spawn(args[0].c_str(), args, fdNull.Get(), fdNull.Get(), -1, nError);
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
    if (!::Start(m_cupsd, {"/usr/sbin/cupsd", "-f", "-c", f + "/cupsd.conf", "-s", f + "/cups-files.conf"}))
        return "cupsd não iniciou";
    m_bRunning = true;
    for (int i = 0; i < 100; ++i) {
        if (RunTool({"/usr/bin/lpstat", "-r"}).empty())
            return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "cupsd não responde em " + m_strSocket;
}

void CCupsTestServer::Stop() {
    if (!m_bRunning)
        return;
    kill(m_cupsd.ProcessGroup(), SIGTERM);
    m_cupsd.Reap();
    m_bRunning = false;
}

std::string CCupsTestServer::RunTool(std::vector<std::string> args) const {
    args.insert(args.begin() + 1, {"-h", m_strSocket});
    CChildProcess tool;
    int nStatus = ::Start(tool, args) ? tool.Reap() : -1;
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? "" : args[0] + " falhou";
}

std::string CCupsTestServer::AddQueue(const std::string& strName, bool bStopped) {
    // A server that has just started answers before it takes every request: asked again for 5 s at most.
    std::string strError;
    for (int i = 0; i < 50 && !(strError = RunTool({"/usr/sbin/lpadmin", "-p", strName, "-E", "-v",
                                                    "capture:" + m_strFolder + "/out/" + strName}))
                                   .empty();
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

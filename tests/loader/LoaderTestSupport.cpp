#include "tests/loader/LoaderTestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

CEnvOverride::CEnvOverride(const char* name, const std::string& value) : m_strName(name) {
    const char* old = getenv(name);
    m_bHadOld = old != nullptr;
    if (old)
        m_strOld = old;
    setenv(name, value.c_str(), 1);
}

CEnvOverride::~CEnvOverride() {
    if (m_bHadOld)
        setenv(m_strName.c_str(), m_strOld.c_str(), 1);
    else
        unsetenv(m_strName.c_str());
}

CWorkingDir::CWorkingDir(const std::string& dir) {
    m_strOld = std::filesystem::current_path().string();
    std::filesystem::current_path(dir);
}

CWorkingDir::~CWorkingDir() {
    std::error_code ec;
    std::filesystem::current_path(m_strOld, ec);
}

std::set<std::string> OpenDescriptors() {
    std::set<std::string> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        throw std::runtime_error("cannot list /proc/self/fd");
    std::string self = std::to_string(dirfd(dir));
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == self)
            continue;
        char target[4096] = {};
        ssize_t n = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        fds.insert(name + " -> " + (n > 0 ? std::string(target, size_t(n)) : "?"));
    }
    closedir(dir);
    return fds;
}

bool NoChildrenLeft() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string TestPathDir() {
    return QAN_TEST_PATH_DIR;
}

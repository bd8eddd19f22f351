#include "records/DurableFile.h"

#include "core/SystemError.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>

CUniqueFd OpenSharedFile(const std::string& strPath, int nFlags) {
    return CUniqueFd(open(strPath.c_str(), nFlags | O_CLOEXEC, 0666));
}

bool MakeSharedFolder(const std::string& strPath) {
    if (mkdir(strPath.c_str(), 0777) == 0) {
        SyncFolderOf(strPath);
        return true;
    }
    if (errno != EEXIST)
        return false;
    struct stat st = {};
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = ENOTDIR;
    return false;
}

std::string WriteAllAndSync(int fd, std::string_view strBytes) {
    size_t nDone = 0;
    while (nDone < strBytes.size()) {
        ssize_t n = write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return SystemErrorText(n < 0 ? errno : ENOSPC);
        nDone += size_t(n);
    }
    return fsync(fd) == 0 ? "" : SystemErrorText(errno);
}

void SyncFolderOf(const std::string& strPath) {
    size_t slash = strPath.rfind('/');
    std::string strDir = slash == std::string::npos ? "." : strPath.substr(0, slash == 0 ? 1 : slash);
    CUniqueFd fdDir(open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fdDir.IsOpen())
        fsync(fdDir.Get());
}

std::string ReadAllBounded(int fd, size_t nMax) {
    std::string text;
    char buffer[4096];
    while (text.size() < nMax) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    return text;
}

bool LockBounded(int fd, int nWaitMs) {
    constexpr int kPollMs = 2;
    auto changeOf = [fd] {
        struct stat st = {};
        fstat(fd, &st);
        return std::make_tuple(st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    };
    auto last = changeOf();
    for (int nWaited = 0, nStill = 0;; nWaited += kPollMs, nStill += kPollMs) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (auto now = changeOf(); now != last) {
            last = now;
            nStill = 0;
        }
        if (nStill >= nWaitMs || nWaited >= 10 * nWaitMs) {
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

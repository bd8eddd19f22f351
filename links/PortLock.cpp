#include "links/PortLock.h"

#include "core/SystemError.h"
#include "links/PortName.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char* kPrefix = "qan640-port";
constexpr const char* kSuffix = ".lock";
constexpr size_t kMaxEncoded = 200; // leaves room for the prefix, the checksum and the suffix in NAME_MAX
constexpr int kMaxAttempts = 10;    // the file swapped under us this often in a row: give up

std::string ErrnoText(const std::string& strWhat, int nErr) {
    return strWhat + ": " + SystemErrorText(nErr);
}

// The device's real path, so that /dev/serial/by-id/... and /dev/ttyUSB0 meet. A device that does not exist
// (yet) is named by its folder's real path and its own name, so that every spelling still meets.
std::string RealPortPath(const std::string& strPort) {
    auto real = [](const std::string& strPath) -> std::optional<std::string> {
        char* pszReal = realpath(strPath.c_str(), nullptr);
        if (!pszReal)
            return std::nullopt;
        std::string strReal = pszReal;
        free(pszReal);
        return strReal;
    };
    std::string strPath = PortDevicePath(strPort);
    if (std::optional<std::string> strReal = real(strPath))
        return *strReal;
    size_t slash = strPath.rfind('/');
    std::string strFolder = slash == std::string::npos ? "." : slash == 0 ? "/" : strPath.substr(0, slash);
    std::string strName = slash == std::string::npos ? strPath : strPath.substr(slash + 1);
    std::string strRealFolder = real(strFolder).value_or(strFolder);
    return strRealFolder + (strRealFolder.ends_with('/') ? "" : "/") + strName;
}

} // namespace

std::string CPortLock::LockFileNameFor(const std::string& strPort) {
    // Every node of one character device (a second /dev, a node made with mknod) is the same port.
    struct stat st;
    if (stat(PortDevicePath(strPort).c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return DeviceLockFileName(major(st.st_rdev), minor(st.st_rdev));
    return LockFileName(RealPortPath(strPort));
}

std::string CPortLock::DeviceLockFileName(unsigned nMajor, unsigned nMinor) {
    return std::string(kPrefix) + "-" + std::to_string(nMajor) + "-" + std::to_string(nMinor) + kSuffix;
}

CPortLock::CPortLock(std::string strLockDir)
    : m_strLockDir(strLockDir.empty() ? DefaultLockDir() : std::move(strLockDir)) {}

std::string CPortLock::DefaultLockDir() {
    struct stat st;
    if (stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) &&
        (st.st_mode & S_ISVTX))
        return "/run/lock";
    return "/tmp";
}

std::string CPortLock::LockFileName(const std::string& strRealPath) {
    std::string strEncoded;
    for (unsigned char c : strRealPath) {
        if (c == '/') {
            strEncoded += '_';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '-') {
            strEncoded += char(c);
        } else {
            char szHex[4];
            snprintf(szHex, sizeof szHex, "%%%02X", c);
            strEncoded += szHex;
        }
    }
    if (strEncoded.size() > kMaxEncoded) {
        uint64_t nHash = 14695981039346656037ull; // FNV-1a: the same in every build of either program
        for (unsigned char c : strRealPath)
            nHash = (nHash ^ c) * 1099511628211ull;
        char szHash[20];
        snprintf(szHash, sizeof szHash, "~%016llx", static_cast<unsigned long long>(nHash));
        strEncoded = strEncoded.substr(0, kMaxEncoded) + szHash;
    }
    return kPrefix + strEncoded + kSuffix;
}

CPortLock::EResult CPortLock::Acquire(const std::string& strPort) {
    Release();
    m_strError.clear();
    m_strLockFile = m_strLockDir + "/" + LockFileNameFor(strPort);
    const char* pszFile = m_strLockFile.c_str();

    for (int nAttempt = 0; nAttempt < kMaxAttempts; ++nAttempt) {
        // An existing file is opened without O_CREAT: in a sticky folder the kernel may refuse O_CREAT on
        // another user's file even where the file itself may be opened. Read access is all flock needs.
        // O_NOFOLLOW and O_NONBLOCK: a link or a FIFO planted under that name is refused, not followed or
        // waited on.
        CUniqueFd fd(open(pszFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.IsOpen() && errno == ENOENT) {
            fd = CUniqueFd(open(pszFile, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (!fd.IsOpen() && errno == EEXIST)
                continue; // another run made it just now: open theirs
            // The umask decides who may write; every user must at least read it to take the lock, whatever
            // umask this run has.
            struct stat st;
            if (fd.IsOpen() && fstat(fd.Get(), &st) == 0)
                fchmod(fd.Get(), (st.st_mode & 07777) | S_IRUSR | S_IRGRP | S_IROTH);
        }
        if (!fd.IsOpen()) {
            m_strError = ErrnoText(m_strLockFile, errno);
            return EResult::Unusable;
        }
        struct stat stOpen;
        if (fstat(fd.Get(), &stOpen) != 0 || !S_ISREG(stOpen.st_mode)) {
            m_strError = m_strLockFile + ": not a regular file";
            return EResult::Unusable;
        }
        if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return EResult::InUse;
            m_strError = ErrnoText(m_strLockFile, errno);
            return EResult::Unusable;
        }
        // The holder before us may have removed the file between our open and our lock; the name may even
        // stand for a newer file already. Only the file under the name counts.
        struct stat stNamed;
        if (stat(pszFile, &stNamed) == 0 && stNamed.st_dev == stOpen.st_dev &&
            stNamed.st_ino == stOpen.st_ino) {
            m_fd = std::move(fd);
            return EResult::Locked;
        }
    }
    m_strError = m_strLockFile + ": replaced again and again while being locked";
    return EResult::Unusable;
}

void CPortLock::Release() {
    if (!m_fd.IsOpen())
        return;
    // The run's loader inherits the locked file and may still be ending after us. Were the name removed
    // while it holds the lock, the next run would lock a new file of that name beside the loader's claim.
    // So the name goes only once a fresh open of it can be locked, that is when nobody holds the claim any
    // more; a run that opened the file before it went finds it no longer under the name (Acquire).
    m_fd.Close();
    const char* pszFile = m_strLockFile.c_str();
    CUniqueFd fd(open(pszFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsOpen() || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return;
    // Only holders remove the name, so while we hold this file's lock the name cannot come to stand for
    // another file between the check and the removal. Where the folder does not let this user remove it,
    // the file stays, unlocked and empty.
    struct stat stOpen, stNamed;
    if (fstat(fd.Get(), &stOpen) == 0 && stat(pszFile, &stNamed) == 0 && stNamed.st_dev == stOpen.st_dev &&
        stNamed.st_ino == stOpen.st_ino)
        unlink(pszFile);
}

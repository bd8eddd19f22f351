// The port lock that a run takes before its loader starts: one holder per device whatever the spelling of
// its name, gone with the holder however it ends, and shared by every user of the PC.
#include "links/PortLock.h"

#include "tests/support/TempWorkDir.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using EResult = CPortLock::EResult;

// A folder like /run/lock (world-writable, sticky) with two stand-in devices, a link to the first and a
// name that resolves nowhere.
struct SLockDir {
    CTempWorkDir work;
    std::string strDir = work.Path().toStdString();
    std::string strLocks = strDir + "/locks";
    SLockDir() {
        mkdir(strLocks.c_str(), 0755);
        chmod(strLocks.c_str(), 01777);
        chmod(strDir.c_str(), 0755);
        WriteFileBytes(strDir + "/ttyA", "");
        WriteFileBytes(strDir + "/ttyB", "");
        EXPECT_EQ(symlink((strDir + "/ttyA").c_str(), (strDir + "/by-id-A").c_str()), 0);
    }
};

// Runs fn in a child process (optionally as another user) and returns its exit status; the child reports
// through its status only.
int InChild(const std::function<int()>& fn, uid_t uid = 0) {
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && (setgid(65534) != 0 || setuid(uid) != 0))
            _exit(99);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(PortLock, OneHolderPerDeviceWhateverItsName) {
    SLockDir d;
    CPortLock holder(d.strLocks);
    ASSERT_EQ(holder.Acquire(d.strDir + "/ttyA"), EResult::Locked) << holder.Error();
    struct SCase {
        std::string strPort;
        EResult eExpected;
    };
    const SCase cases[] = {
        {d.strDir + "/ttyA", EResult::InUse},
        {d.strDir + "/by-id-A", EResult::InUse}, // a link to the same device
        {"./ttyA", EResult::InUse},              // relative to the working directory
        {d.strDir + "/ttyB", EResult::Locked},
        {d.strDir + "/missing", EResult::Locked},
    };
    for (const SCase& c : cases) {
        CPortLock other(d.strLocks);
        EXPECT_EQ(other.Acquire(c.strPort), c.eExpected) << c.strPort;
    }
    // A device that does not exist yet is claimed under the same absolute name however it is written.
    CPortLock missing(d.strLocks);
    ASSERT_EQ(missing.Acquire(d.strDir + "/missing"), EResult::Locked);
    EXPECT_EQ(CPortLock(d.strLocks).Acquire("./missing"), EResult::InUse);

    std::string strFile = holder.LockFile();
    holder.Release();
    EXPECT_FALSE(holder.IsHeld());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(strFile))) << "the holder removes its file";
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(d.strDir + "/by-id-A"), EResult::Locked);
}

// A second node of one device (a container's /dev, a node made with mknod) meets the first; another device
// does not. Made in the test's folder after devices that are no serial port.
TEST(PortLock, EveryNodeOfOneDeviceSharesTheClaim) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make device nodes";
    SLockDir d;
    struct stat stNull, stZero;
    ASSERT_EQ(stat("/dev/null", &stNull), 0);
    ASSERT_EQ(stat("/dev/zero", &stZero), 0);
    for (auto [pszName, dev] :
         {std::pair{"/nodeA", stNull.st_rdev}, {"/nodeB", stNull.st_rdev}, {"/other", stZero.st_rdev}})
        ASSERT_EQ(mknod((d.strDir + pszName).c_str(), S_IFCHR | 0600, dev), 0) << pszName;
    CPortLock holder(d.strLocks);
    ASSERT_EQ(holder.Acquire(d.strDir + "/nodeA"), EResult::Locked) << holder.Error();
    EXPECT_EQ(holder.LockFile(),
              d.strLocks + "/" + CPortLock::DeviceLockFileName(major(stNull.st_rdev), minor(stNull.st_rdev)));
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(d.strDir + "/nodeB"), EResult::InUse);
    EXPECT_EQ(CPortLock(d.strLocks).Acquire("/dev/null"), EResult::InUse);
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(d.strDir + "/other"), EResult::Locked);
}

TEST(PortLock, KilledHolderLeavesThePortFree) {
    SLockDir d;
    std::string strPort = d.strDir + "/ttyA";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        CPortLock lock(d.strLocks);
        char c = lock.Acquire(strPort) == EResult::Locked ? 'L' : 'F';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(strPort), EResult::InUse);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    // Its file is still there; the lock is not.
    CPortLock after(d.strLocks);
    EXPECT_EQ(after.Acquire(strPort), EResult::Locked) << after.Error();
}

// The loader inherits the locked file and may outlive the program's part of the run: the claim and its file
// stay until the loader's copy closes too.
TEST(PortLock, InheritedCopyKeepsTheClaimAfterRelease) {
    SLockDir d;
    std::string strPort = d.strDir + "/ttyA";
    CPortLock run(d.strLocks);
    ASSERT_EQ(run.Acquire(strPort), EResult::Locked) << run.Error();
    std::string strFile = run.LockFile();
    int nLoaderCopy = dup(run.Fd());
    run.Release();
    EXPECT_TRUE(QFile::exists(QString::fromStdString(strFile)));
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(strPort), EResult::InUse);
    close(nLoaderCopy);
    EXPECT_EQ(CPortLock(d.strLocks).Acquire(strPort), EResult::Locked);
}

// Runs that claim and let go as fast as they can: a run that opened the file just before its holder removed
// it must not count it as a claim, so two holders never overlap.
TEST(PortLock, RacingRunsNeverHoldTogether) {
    SLockDir d;
    std::string strPort = d.strDir + "/ttyA";
    struct SShared {
        std::atomic<int> nHolders, nOverlaps, nClaims, nRefusals;
    };
    void* pMem = mmap(nullptr, sizeof(SShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pMem, MAP_FAILED);
    auto* pShared = new (pMem) SShared{};
    auto race = [&] {
        for (int i = 0; i < 3000; ++i) {
            CPortLock lock(d.strLocks);
            EResult e = lock.Acquire(strPort);
            if (e == EResult::Unusable)
                return 1;
            if (e != EResult::Locked) {
                pShared->nRefusals++;
                continue;
            }
            if (pShared->nHolders.fetch_add(1) != 0)
                pShared->nOverlaps++;
            pShared->nClaims++;
            sched_yield();
            pShared->nHolders--;
        }
        return 0;
    };
    pid_t pid = fork();
    if (pid == 0)
        _exit(race());
    int nOwn = race();
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(nOwn, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(pShared->nOverlaps.load(), 0);
    EXPECT_GT(pShared->nRefusals.load(), 0) << "the runs never met";
    EXPECT_GT(pShared->nClaims.load(), 0);
    munmap(pMem, sizeof(SShared));
}

// Operators with a strict umask still leave files that the next operator can lock; a file that one operator
// cannot remove stands in nobody's way.
TEST(PortLock, SharedBetweenUsers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as several users";
    passwd* pNobody = getpwnam("nobody");
    ASSERT_NE(pNobody, nullptr);
    const uid_t operatorA = pNobody->pw_uid, operatorB = 4242;
    SLockDir d;
    std::string strPort = d.strDir + "/ttyA";
    auto tryLock = [&] {
        umask(077);
        return int(CPortLock(d.strLocks).Acquire(strPort));
    };

    mode_t oldMask = umask(077);
    CPortLock root(d.strLocks);
    ASSERT_EQ(root.Acquire(strPort), EResult::Locked);
    umask(oldMask);
    EXPECT_EQ(InChild(tryLock, operatorA), int(EResult::InUse)) << "opened and found held, not unusable";
    root.Release();

    // A ends without letting go (as if killed): its file stays behind, owned by A.
    EXPECT_EQ(InChild(
                  [&] {
                      umask(077);
                      auto* pLock = new CPortLock(d.strLocks);
                      return pLock->Acquire(strPort) == EResult::Locked ? 0 : 1;
                  },
                  operatorA),
              0);
    std::string strFile = d.strLocks + "/" + CPortLock::LockFileName(strPort);
    ASSERT_TRUE(QFile::exists(QString::fromStdString(strFile)));
    // B locks A's file and cannot remove it when done; A locks it again after B.
    EXPECT_EQ(InChild(tryLock, operatorB), int(EResult::Locked));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(strFile)));
    EXPECT_EQ(InChild(tryLock, operatorA), int(EResult::Locked));
}

TEST(PortLock, PlantedLinkOrFifoIsRefusedNotFollowed) {
    SLockDir d;
    std::string strName = d.strLocks + "/" + CPortLock::LockFileName(d.strDir + "/ttyA");
    std::string strVictim = d.strDir + "/victim";
    WriteFileBytes(strVictim, "keep");
    for (bool bFifo : {false, true}) {
        unlink(strName.c_str());
        ASSERT_EQ(bFifo ? mkfifo(strName.c_str(), 0666) : symlink(strVictim.c_str(), strName.c_str()), 0);
        CPortLock lock(d.strLocks);
        EXPECT_EQ(lock.Acquire(d.strDir + "/ttyA"), EResult::Unusable) << bFifo;
        EXPECT_NE(lock.Error().find(strName), std::string::npos) << lock.Error();
    }
    EXPECT_EQ(ReadFileBytes(strVictim), "keep");
}

TEST(PortLock, LockFileNames) {
    EXPECT_EQ(CPortLock::DeviceLockFileName(188, 0), "qan640-port-188-0.lock");
    EXPECT_EQ(CPortLock::LockFileName("/dev/ttyUSB0"), "qan640-port_dev_ttyUSB0.lock");
    // "/" and "_" never meet, nor any other character with its escape.
    EXPECT_NE(CPortLock::LockFileName("/dev/a_b"), CPortLock::LockFileName("/dev/a/b"));
    EXPECT_NE(CPortLock::LockFileName("/dev/a%5F"), CPortLock::LockFileName("/dev/a_"));
    std::string strLong(400, 'x');
    std::string a = CPortLock::LockFileName("/" + strLong + "a"),
                b = CPortLock::LockFileName("/" + strLong + "b");
    EXPECT_LE(a.size(), 255u);
    EXPECT_NE(a, b);
}

// One main for every test program: a /run/lock of its own, a QApplication on the offscreen platform (widget
// tests need it, the serial port's notifiers need an application), then GoogleTest.
#include <QApplication>
#include <QDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// The port claims of the programs under test and the serial port library's own "LCK.." files (made in the
// first of /var/lock, /run/lock, /tmp... that it may write, whatever a program is told) go to the system's
// /run/lock. Where the tests may (as root), this process and everything it starts see a fresh, empty
// /run/lock instead, which goes away with them: nothing of a test stays behind there, and the programs still
// claim their ports exactly as on a bench. Mounts of the system still reach this process; its own do not
// reach the system.
void PrivateLockFolder() {
    if (geteuid() != 0)
        return;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
        mount("tmpfs", "/run/lock", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777,size=1m") != 0)
        perror("test: no private /run/lock (lock files of this test go to the system's)");
}

} // namespace

int main(int argc, char** argv) {
    PrivateLockFolder();
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        QString runtimeDir = QDir::tempPath() + "/qan640-test-runtime-" + QString::number(getuid());
        QDir().mkpath(runtimeDir);
        QFile::setPermissions(runtimeDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtimeDir.toLocal8Bit());
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

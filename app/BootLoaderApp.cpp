#include "app/BootLoaderApp.h"

#include "app/MainDialog.h"
#include "core/StopToken.h"

#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_fdSignalWrite = -1;

void OnSignal(int) {
    char c = 1;
    ssize_t n = write(g_fdSignalWrite, &c, 1);
    (void)n;
}

} // namespace

CQan640BootLoaderApp::CQan640BootLoaderApp(int& argc, char** argv) : QApplication(argc, argv) {}

int CQan640BootLoaderApp::InitInstance() {
    CQAN640BootLoaderCommands dialog;

    int fds[2];
    std::unique_ptr<QSocketNotifier> pNotifier;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0) {
        g_fdSignalWrite = fds[1];
        pNotifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
        QPointer<CQAN640BootLoaderCommands> pDialog = &dialog;
        QObject::connect(pNotifier.get(), &QSocketNotifier::activated, &dialog, [pDialog, fd = fds[0]] {
            char buffer[16];
            while (read(fd, buffer, sizeof buffer) > 0) {
            }
            if (pDialog)
                pDialog->close();
        });
        // Each stop signal closes the window as its close box does: the run is stopped and recorded.
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (int nSignal : kRunStopSignals)
            sigaction(nSignal, &action, nullptr);
    }

    dialog.exec();

    for (int nSignal : kRunStopSignals)
        signal(nSignal, SIG_DFL);
    if (pNotifier) {
        pNotifier.reset();
        close(fds[0]);
        close(fds[1]);
        g_fdSignalWrite = -1;
    }
    return 0;
}

// qan640-sim: a virtual QAN640 board on a pseudo-terminal (see --help).
#include "tools/sim/PtyLine.h"
#include "tools/sim/SimBoard.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/Transcript.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int Fail(const std::string& message) {
    fprintf(stderr, "qan640-sim: %s\n", message.c_str());
    return 2;
}

void ReapChildren() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

timespec Until(std::optional<SimClock::time_point> deadline) {
    auto left = *deadline - SimClock::now();
    if (left < SimClock::duration::zero())
        left = SimClock::duration::zero();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

} // namespace

int main(int argc, char** argv) {
    SSimOptions opts;
    bool bHelp = false;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (auto error = ParseSimOptions(args, opts, bHelp))
        return Fail(*error);
    if (bHelp) {
        fputs(SimUsage(), stdout);
        return 0;
    }

    std::string ldr;
    if (!opts.strLdrFile.empty()) {
        std::ifstream in(opts.strLdrFile, std::ios::binary);
        ldr.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (ldr.empty())
            return Fail("the first-stage image '" + opts.strLdrFile + "' is empty");
    }

    CTranscript transcript;
    if (!opts.strTranscript.empty() && !transcript.Open(opts.strTranscript))
        return Fail("cannot write the transcript '" + opts.strTranscript + "': " + strerror(errno));

    // Signals arrive through a descriptor, so the loop handles them between steps of the board.
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int fdSignals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fdSignals < 0)
        return Fail(std::string("cannot receive signals: ") + strerror(errno));

    CPtyLine line(opts.bLinePacing, opts.bDropWhileClosed, opts.nUnreadLimit);
    std::string error;
    if (!line.Open(error))
        return Fail(error);

    if (!opts.strLink.empty() && !line.MakeLink(opts.strLink, error))
        return Fail(error);

    printf("%s\n", line.PortPath().c_str());
    fflush(stdout);
    transcript.Write(SimClock::now(), "EVENT", "port " + line.SlavePath());

    CSimBoard board(opts, line, transcript, ldr);
    board.Start();

    std::string strEnd = "terminated";
    for (bool bRunning = true; bRunning;) {
        line.Service(SimClock::now());
        board.Run();
        if (board.IsGone()) {
            strEnd = "hung up";
            break;
        }

        std::optional<SimClock::time_point> deadline = board.NextDeadline();
        if (auto due = line.NextDue(); due && (!deadline || *due < *deadline))
            deadline = due;

        pollfd fds[3] = {{fdSignals, POLLIN, 0}, {line.WatchFd(), POLLIN, 0}, {line.MasterFd(), POLLIN, 0}};
        if (line.WantsWritable())
            fds[2].events |= POLLOUT;
        timespec ts{};
        int rc = ppoll(fds, 3, deadline ? (ts = Until(deadline), &ts) : nullptr, nullptr);
        if (rc < 0 && errno != EINTR)
            return Fail(std::string("poll failed: ") + strerror(errno));
        if (rc <= 0)
            continue;

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (read(fdSignals, &si, sizeof si) == ssize_t(sizeof si)) {
                switch (si.ssi_signo) {
                case SIGUSR1:
                    board.PowerCycle();
                    break;
                case SIGCHLD:
                    ReapChildren();
                    break;
                default:
                    bRunning = false;
                    break;
                }
            }
        }
        // Opens before input: a program that wrote to the port had opened it first.
        if (fds[1].revents & POLLIN) {
            if (line.HandleWatchEvents() && opts.bExitOnClose) {
                strEnd = "port closed";
                bRunning = false;
            }
        }
        if (fds[2].revents & POLLIN) {
            std::string in = line.ReadInput();
            board.OnInput(in, SimClock::now());
        }
    }

    transcript.Write(SimClock::now(), "EVENT", "exit: " + strEnd);
    line.HangUp();
    ReapChildren();
    return 0;
}

// Reaction latency of the boot-monitor exchanges: from the board putting the last byte of a prompt on the
// line to the board receiving the first byte of the next command. The virtual board stamps both moments
// in its transcript with the steady clock, so the figure includes the pty in both directions, the serial
// port layer, the byte-by-byte reading and the echo into the log.
//
// Each command first waits for the line to have been quiet for CBootMonitorDialogue::kQuietMs, on purpose;
// the raw prompt-to-command figures include that wait, the reaction figures are what comes on top of it.
//
// Last line of output (the reaction beyond the quiet wait): median_ms=M p99_ms=P n=N
#include "links/Uart.h"
#include "provisioning/BootMonitorDialogue.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRounds = 80; // three exchanges a round

struct SBoard {
    pid_t pid = -1;
    std::string port;

    ~SBoard() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }

    bool Start(const std::string& sim, const std::string& transcript) {
        std::vector<std::string> args = {sim,
                                         "--start-in-monitor",
                                         "--pace",
                                         "full",
                                         "--crlf-one-line", // one prompt per command
                                         "--power-cycle-on-signal",
                                         "--tftp-ms",
                                         "0",
                                         "--eeprom-ms",
                                         "0",
                                         "--transcript",
                                         transcript};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(fds[1], 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        pollfd pfd{fds[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&pfd, 1, 5000) > 0 && read(fds[0], &c, 1) == 1)
            line += c;
        close(fds[0]);
        if (line.empty() || line.back() != '\n')
            return false;
        port = line.substr(0, line.size() - 1);
        return true;
    }
};

std::string ProgramDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path(buf, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/'));
}

// Latencies in ms: each command's first byte against the last prompt that went out before it.
std::vector<double> Latencies(const std::string& transcript) {
    struct SEntry {
        double t;
        bool bPrompt;
    };
    std::vector<SEntry> entries;
    std::ifstream in(transcript);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        double t = 0;
        std::string kind, text;
        fields >> t >> kind;
        std::getline(fields, text);
        if (kind == "PROMPT")
            entries.push_back({t, true});
        else if (kind == "CMD" &&
                 text.size() > 1) // " text": an empty line is WaitPrompt's LF, not a reaction
            entries.push_back({t, false});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SEntry& a, const SEntry& b) { return a.t < b.t; });
    std::vector<double> ms;
    double lastPrompt = -1;
    for (const auto& e : entries) {
        if (e.bPrompt) {
            lastPrompt = e.t;
        } else if (lastPrompt >= 0) {
            ms.push_back((e.t - lastPrompt) * 1000.0);
            lastPrompt = -1;
        }
    }
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    char dirTemplate[] = "/tmp/qan640-latency-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        fprintf(stderr, "cannot make a temporary directory\n");
        return 1;
    }
    std::string dir = dirTemplate;
    std::string transcript = dir + "/transcript.txt";

    int failures = 0;
    {
        SBoard board;
        if (!board.Start(ProgramDir() + "/qan640-sim", transcript)) {
            fprintf(stderr, "cannot start %s/qan640-sim\n", ProgramDir().c_str());
            return 1;
        }
        CUart uart(300);
        if (!uart.Open(board.port, 57600)) {
            fprintf(stderr, "cannot open %s\n", board.port.c_str());
            return 1;
        }
        CLogConsole log;
        CBootMonitorDialogue dlg(uart, log, "u-boot_2_lote.ldr");
        if (!dlg.WaitPrompt()) {
            fprintf(stderr, "no prompt\n");
            return 1;
        }
        for (int i = 0; i < kRounds; ++i) {
            std::string size;
            failures += !dlg.SendTftp(size);
            failures += !dlg.SendEepromWrite(size);
            failures += !dlg.SendBootargs("00:11:22:33:44:55");
        }
    }

    std::vector<double> ms = Latencies(transcript);
    std::remove(transcript.c_str());
    rmdir(dir.c_str());
    if (ms.empty()) {
        fprintf(stderr, "no latencies in the transcript\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size() - 1) + 0.5))]; };
    printf("raw prompt-to-command: median_ms=%.3f p99_ms=%.3f quiet_ms=%u\n", at(0.50), at(0.99),
           unsigned(CBootMonitorDialogue::kQuietMs));
    for (double& m : ms)
        m -= double(CBootMonitorDialogue::kQuietMs);
    // The tail depends on how busy the machine's cores are; the load average lets a reader judge a run.
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    printf("exchanges=%d failed=%d loadavg=%s\n", 3 * kRounds, failures,
           load.substr(0, load.find(' ')).c_str());
    printf("min_ms=%.3f p90_ms=%.3f max_ms=%.3f\n", ms.front(), at(0.90), ms.back());
    printf("median_ms=%.3f p99_ms=%.3f n=%zu\n", at(0.50), at(0.99), ms.size());
    return failures == 0 ? 0 : 1;
}

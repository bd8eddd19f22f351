// A scripted loader child for the runner's tests. It is started with the loader's command line
// (-l IMAGE PORT --prompt); the PORT argument names the scenario to play. Output goes out with one write()
// per piece, and a piece that must arrive in a read of its own is held back until the runner has read
// everything before it, so chunk boundaries do not depend on timing.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Put(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(20);
        done += size_t(n);
    }
}

// Waits until the reader has taken everything written so far.
void WaitDrained() {
    for (;;) {
        int pending = 0;
        if (ioctl(STDOUT_FILENO, FIONREAD, &pending) != 0 || pending == 0)
            return;
        usleep(1000);
    }
}

std::string OpenDescriptors() {
    std::string list;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return "?";
    int self = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = atoi(entry->d_name);
        if (fd > 2 && fd != self)
            list += std::string(entry->d_name) + " ";
    }
    closedir(dir);
    return list;
}

[[noreturn]] void SleepForever() {
    for (;;)
        pause();
}

} // namespace

int main(int argc, char** argv) {
    // The runner hands over the port's device path: a bare scenario name arrives as /dev/<name>.
    std::string scenario = argc > 3 ? argv[3] : "";
    if (scenario.rfind("/dev/", 0) == 0)
        scenario.erase(0, 5);

    if (scenario == "split-marker") {
        Put("run minicom o");
        WaitDrained();
        Put("r kermit\n");
        return 0;
    }
    if (scenario == "press-x3") {
        Put("Press A\nPress B\nPress C\n");
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        poll(&pfd, 1, 10000);
        usleep(300000); // room for any further answers to arrive
        int pending = 0;
        ioctl(STDIN_FILENO, FIONREAD, &pending);
        Put("answers=" + std::to_string(pending) + "\n");
        return 0;
    }
    if (scenario == "failed-exit0") {
        Put("Loading\nTransfer Failed\nafter the failure\n");
        return 0;
    }
    if (scenario == "minicom-exit3") {
        Put("before\nrun minicom or kermit\nafter\n");
        return 3;
    }
    if (scenario == "no-marker") {
        Put("some output\n");
        return 0;
    }
    if (scenario == "full-chunk") {
        Put(std::string(1200, 'a') + "\n");
        return 0;
    }
    if (scenario == "stderr") {
        Put("on stdout\n");
        WaitDrained();
        const char text[] = "on stderr\n";
        if (write(STDERR_FILENO, text, sizeof text - 1) < 0)
            return 21;
        return 0;
    }
    if (scenario == "flood") {
        std::string line = std::string(99, 'x') + "\n";
        for (int i = 0; i < 10000; ++i)
            Put(line);
        return 0;
    }
    if (scenario == "silent")
        SleepForever();
    if (scenario == "chatty") {
        for (int i = 0;; ++i) {
            Put("line " + std::to_string(i) + "\n");
            usleep(5000);
        }
    }
    if (scenario == "closed-stdin") {
        close(STDIN_FILENO);
        Put("Press Enter\n");
        WaitDrained();
        return 0;
    }
    if (scenario == "exit-7") {
        Put("ending with 7\n");
        return 7;
    }

    // Any other port name: report what arrived, for the tests of the command line and the child's setup.
    struct stat out {
    }, err{};
    fstat(STDOUT_FILENO, &out);
    fstat(STDERR_FILENO, &err);
    char cwd[4096] = "?";
    if (!getcwd(cwd, sizeof cwd))
        strcpy(cwd, "?");
    std::string report = "argc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i)
        report += "arg" + std::to_string(i) + "=" + argv[i] + "\n";
    report += "cwd=" + std::string(cwd) + "\n";
    report += "fds=" + OpenDescriptors() + "\n";
    report +=
        std::string("merged=") + (out.st_ino == err.st_ino && out.st_dev == err.st_dev ? "1" : "0") + "\n";
    Put(report);
    return 0;
}

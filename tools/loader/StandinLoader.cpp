// Stand-in for the external first-stage loader, for tests and for bench runs against the virtual board.
// It takes the same command line as the real tool (-l IMAGE PORT --prompt), reads the image, asks for Enter
// on its standard input, writes the whole image to the port (raw, 57600 baud, 8N1), releases the port and
// says that a terminal program can now be used. Environment switches make it misbehave on purpose; see
// Usage().

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* g_pszName = "bfin-uclinux-ldr";

constexpr size_t kMaxImageBytes = 16u << 20;
constexpr int kSlices = 8;
constexpr int kWriteTimeoutMs = 10000;

void Usage(FILE* out) {
    fprintf(
        out,
        "usage: %s -l IMAGE PORT [--prompt]\n"
        "\n"
        "Stand-in first-stage loader for tests. Writes the whole IMAGE to the serial device PORT (raw,\n"
        "57600 baud, 8N1), drains and closes it, then prints a line saying that minicom or kermit can\n"
        "now be used, and exits 0.\n"
        "\n"
        "  -l, --load IMAGE  the image to send (must exist and be readable)\n"
        "  --prompt          before sending, print a \"Press\" prompt and wait for a line feed on\n"
        "                    standard input\n"
        "  -h, --help        this text\n"
        "\n"
        "Environment switches (the program under test passes no extra arguments):\n"
        "  QAN640_LDR_MODE=ok           normal behaviour (the default)\n"
        "  QAN640_LDR_MODE=fail         stop after the prompt without sending; exit 1, no \"Failed\" line\n"
        "  QAN640_LDR_MODE=failed-text  stop after the prompt with a \"Failed\" line; exit 1\n"
        "  QAN640_LDR_MODE=hang         print nothing and never end (until killed)\n"
        "  QAN640_LDR_MODE=flood        print QAN640_LDR_FLOOD_BYTES (default 1048576) bytes of debug\n"
        "                               lines after the prompt, then go on normally\n"
        "  QAN640_LDR_MODE=no-answer    after the prompt, wait for a board that never answers: print a\n"
        "                               line every QAN640_LDR_INTERVAL_MS (default 1000) ms, never end\n"
        "  QAN640_LDR_EXIT=N            exit code of the ok, fail and failed-text endings\n"
        "  QAN640_LDR_ARGS_FILE=FILE    write the received arguments to FILE, each ended by a NUL byte\n"
        "  QAN640_LDR_WRAPPER=wait      act as a site's wrapper script: start a copy of this program that\n"
        "                               does the work, wait for it and exit with its exit code\n"
        "  QAN640_LDR_WRAPPER=leave     start that copy and exit 0 at once, leaving it running\n"
        "  QAN640_LDR_PID_FILE=FILE     with QAN640_LDR_WRAPPER: write the copy's pid to FILE\n"
        "\n"
        "Exit codes: 0 done, 1 failure (image, port, transfer), 2 wrong arguments.\n",
        g_pszName);
}

// Output goes straight to the descriptor, unbuffered: whoever reads it must see a prompt before this
// program waits for the answer.
void WriteText(int fd, const char* format, va_list args) {
    char buf[1024];
    int n = vsnprintf(buf, sizeof buf, format, args);
    if (n < 0)
        return;
    size_t length = std::min(size_t(n), sizeof buf - 1);
    size_t done = 0;
    while (done < length) {
        ssize_t w = write(fd, buf + done, length - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += size_t(w);
    }
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteText(STDOUT_FILENO, format, args);
    va_end(args);
}

// A failure: one line on standard error, then the exit code.
[[noreturn]] void Fail(int code, const char* format, ...) {
    std::string line = std::string(format) + "\n";
    va_list args;
    va_start(args, format);
    WriteText(STDERR_FILENO, line.c_str(), args);
    va_end(args);
    exit(code);
}

[[noreturn]] void WrongArguments(const char* what) {
    fprintf(stderr, "%s: %s\n", g_pszName, what);
    fprintf(stderr, "usage: %s -l IMAGE PORT [--prompt]   (--help for more)\n", g_pszName);
    exit(2);
}

std::string Env(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value && *value ? value : fallback;
}

long EnvNumber(const char* name, long fallback) {
    const char* value = getenv(name);
    if (!value || !*value)
        return fallback;
    char* end = nullptr;
    long n = strtol(value, &end, 10);
    return *end == '\0' ? n : fallback;
}

[[noreturn]] void SleepForever() {
    for (;;)
        pause();
}

void WriteArgsFile(int argc, char** argv) {
    std::string path = Env("QAN640_LDR_ARGS_FILE", "");
    if (path.empty())
        return;
    FILE* f = fopen(path.c_str(), "wbe");
    if (!f)
        return;
    for (int i = 1; i < argc; ++i)
        fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
    fclose(f);
}

std::vector<unsigned char> ReadImage(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail(1, "Failed to read image %s: %s", path.c_str(), strerror(errno));
    std::vector<unsigned char> image;
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail(1, "Failed to read image %s: %s", path.c_str(), strerror(errno));
        if (n == 0)
            break;
        image.insert(image.end(), buf, buf + n);
        if (image.size() > kMaxImageBytes)
            Fail(1, "Failed to read image %s: larger than %zu bytes", path.c_str(), kMaxImageBytes);
    }
    close(fd);
    if (image.empty())
        Fail(1, "Failed to read image %s: the file is empty", path.c_str());
    return image;
}

int OpenPort(const std::string& port) {
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        Fail(1, "Failed to open serial port %s: %s", port.c_str(), strerror(errno));
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        Fail(1, "Failed to set up serial port %s: %s", port.c_str(), strerror(errno));
    cfmakeraw(&tio);
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        Fail(1, "Failed to set up serial port %s: %s", port.c_str(), strerror(errno));
    return fd;
}

// Waits for the operator's line feed.
void WaitForEnter() {
    for (;;) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(1, "Failed: standard input closed while waiting for Enter");
        if (c == '\n')
            return;
    }
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        pollfd pfd{fd, POLLOUT, 0};
        int rc = poll(&pfd, 1, kWriteTimeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0)
            errno = 0;
        if (rc <= 0)
            return false;
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

void Flood() {
    long total = EnvNumber("QAN640_LDR_FLOOD_BYTES", 1L << 20);
    long sent = 0;
    for (unsigned line = 0; sent < total; ++line) {
        char buf[128];
        int n = snprintf(buf, sizeof buf, "debug: block %06u header 0x%08x flags 0x%04x checksum ok\n", line,
                         line * 2654435761u, line & 0xffff);
        Say("%s", buf);
        sent += n;
    }
}

// A site's wrapper script around the real loader: the work is done by a child, which ends only when
// something ends it or it is done.
void RunAsWrapper(char** argv) {
    std::string wrapper = Env("QAN640_LDR_WRAPPER", "");
    if (wrapper.empty())
        return;
    if (wrapper != "wait" && wrapper != "leave")
        WrongArguments(("unknown QAN640_LDR_WRAPPER " + wrapper).c_str());
    unsetenv("QAN640_LDR_WRAPPER");
    pid_t pid = fork();
    if (pid < 0)
        Fail(1, "Failed to start the loader: %s", strerror(errno));
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        Fail(1, "Failed to start the loader: %s", strerror(errno));
    }
    std::string pidFile = Env("QAN640_LDR_PID_FILE", "");
    if (!pidFile.empty()) {
        if (FILE* f = fopen(pidFile.c_str(), "we")) {
            fprintf(f, "%d\n", int(pid));
            fclose(f);
        }
    }
    if (wrapper == "leave")
        exit(0);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

} // namespace

int main(int argc, char** argv) {
    RunAsWrapper(argv);
    WriteArgsFile(argc, argv);

    std::string image, port;
    bool bPrompt = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        }
        if (arg == "-l" || arg == "--load") {
            if (i + 1 >= argc)
                WrongArguments("option -l needs an image file");
            image = argv[++i];
        } else if (arg == "--prompt") {
            bPrompt = true;
        } else if (!arg.empty() && arg[0] == '-' && arg.size() > 1) {
            WrongArguments(("unknown option " + arg).c_str());
        } else if (port.empty()) {
            port = arg;
            if (port.empty())
                WrongArguments("empty port name");
        } else {
            WrongArguments(("unexpected argument " + arg).c_str());
        }
    }
    if (image.empty())
        WrongArguments("no image given (-l IMAGE)");
    if (port.empty())
        WrongArguments("no serial port given");

    std::string mode = Env("QAN640_LDR_MODE", "ok");
    if (mode != "ok" && mode != "fail" && mode != "failed-text" && mode != "hang" && mode != "flood" &&
        mode != "no-answer")
        WrongArguments(("unknown QAN640_LDR_MODE " + mode).c_str());
    int exitCode = int(EnvNumber("QAN640_LDR_EXIT", mode == "ok" || mode == "flood" ? 0 : 1));

    if (mode == "hang")
        SleepForever();

    std::vector<unsigned char> data = ReadImage(image);
    Say("Stand-in LDR loader\n");
    Say("Image %s: %zu bytes\n", image.c_str(), data.size());
    int fd = OpenPort(port);
    Say("Port %s open at 57600 baud, 8N1\n", port.c_str());

    if (bPrompt) {
        Say("Press Enter once the board is powered with its boot jumper fitted\n");
        WaitForEnter();
    }

    if (mode == "fail") {
        close(fd);
        Say("Transfer aborted\n");
        return exitCode;
    }
    if (mode == "failed-text") {
        close(fd);
        Say("Failed to start the transfer: the board did not acknowledge\n");
        return exitCode;
    }
    if (mode == "no-answer") {
        long intervalMs = EnvNumber("QAN640_LDR_INTERVAL_MS", 1000);
        Say("Waiting for the board to answer\n");
        for (long seconds = 1;; ++seconds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
            Say("Still waiting for the board (%ld)\n", seconds);
        }
    }
    if (mode == "flood")
        Flood();

    Say("Sending %zu bytes\n", data.size());
    size_t sent = 0;
    for (int slice = 1; slice <= kSlices; ++slice) {
        size_t end = data.size() * size_t(slice) / kSlices;
        if (!WriteAll(fd, data.data() + sent, end - sent))
            Fail(1, "Failed to send the image: %s", errno ? strerror(errno) : "the port does not take data");
        sent = end;
        Say("[%3d%%] %zu of %zu bytes\n", slice * 100 / kSlices, sent, data.size());
    }
    if (tcdrain(fd) != 0)
        Fail(1, "Failed to drain the port: %s", strerror(errno));
    close(fd);
    Say("\nTransfer complete, port %s released.\n", port.c_str());
    Say("You can now run minicom or kermit on %s to reach the boot monitor.\n", port.c_str());
    return exitCode;
}

#include "links/LoaderRunner.h"

#include "core/DebugOutput.h"
#include "core/SystemError.h"
#include "core/UniqueFd.h"
#include "links/ChildProcess.h"
#include "links/PortName.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

const char* const CLoaderRunner::kImagePath = "./U-Boot_Producao/u-boot_aut_rs232.ldr";

namespace {

constexpr std::string_view kMarkerPress = "Press";
constexpr std::string_view kMarkerFinished = "run minicom or kermit";
constexpr std::string_view kMarkerFailed = "Failed";
constexpr std::string_view kSeparator = "\n-----------\n";
constexpr char kAnswer = '\n';
// What is read away after the child's end at most: a pipe holds 64 KiB unless enlarged.
constexpr uint64_t kMaxRestAfterExit = 1 << 20;

bool Contains(std::string_view line, std::string_view marker) {
    return line.find(marker) != std::string_view::npos;
}

// Shows a line byte by byte: a NUL in the loader's output is skipped instead of cutting the line short.
void ShowLine(CLogConsole& log, std::string_view line) {
    for (char c : line)
        log.AppendLogChar(static_cast<unsigned char>(c), false);
    log.AppendLogChar(0, true);
}

// A descriptor above the standard three, so that placing the child's ends on 0, 1 and 2 never overwrites
// another of them (possible when the program runs with a standard descriptor closed).
bool LiftAboveStandard(CUniqueFd& fd) {
    if (fd.Get() > 2)
        return true;
    int lifted = fcntl(fd.Get(), F_DUPFD_CLOEXEC, 3);
    if (lifted < 0)
        return false;
    fd = CUniqueFd(lifted);
    return true;
}

bool MakePipe(CUniqueFd& readEnd, CUniqueFd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd = CUniqueFd(fds[0]);
    writeEnd = CUniqueFd(fds[1]);
    return LiftAboveStandard(readEnd) && LiftAboveStandard(writeEnd);
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// An executable regular file, as this process would be allowed to start it.
int ExecutableError(const std::string& strPath) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode) || faccessat(AT_FDCWD, strPath.c_str(), X_OK, AT_EACCESS) != 0)
        return EACCES;
    return 0;
}

// Writes one byte to the child's input. A child that has closed its input gives a broken pipe, which must
// come back as an error and not as SIGPIPE, whose default action would end the whole program.
enum class EWrite { Written, Broken, Skipped };
EWrite WriteAnswer(int fd) {
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);

    ssize_t n;
    do {
        n = write(fd, &kAnswer, 1);
    } while (n < 0 && errno == EINTR);
    int error = errno;

    if (n < 0 && error == EPIPE && !sigismember(&oldSet, SIGPIPE)) {
        // Take back the SIGPIPE this write raised while it is still blocked for this thread.
        timespec zero{};
        while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);

    if (n == 1)
        return EWrite::Written;
    if (n < 0 && error == EPIPE)
        return EWrite::Broken;
    // A child that lets 64 KiB of answers pile up unread loses this one; nothing else to do about it.
    return EWrite::Skipped;
}

enum class ERead { Data, End, Stopped };

bool PollRetrying(pollfd* pfds, nfds_t count, int timeoutMs) {
    for (;;) {
        int rc = poll(pfds, count, timeoutMs);
        if (rc >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

SLoaderChunkResult ScanLoaderChunk(std::string_view chunk, CLogConsole& log) {
    SLoaderChunkResult result;
    size_t pos = 0;
    while (pos < chunk.size()) {
        size_t end = chunk.find('\n', pos);
        if (end == std::string_view::npos)
            end = chunk.size();
        std::string_view line = chunk.substr(pos, end - pos);
        pos = end + 1;

        if (Contains(line, kMarkerFinished)) {
            result.m_bFinished = true;
            break;
        }
        if (line.size() > 2) {
            if (Contains(line, kMarkerPress)) {
                result.m_bEnterRequested = true;
            } else {
                ShowLine(log, line);
                if (line.front() != '[')
                    log.AppendLogText("\n", true);
            }
        }
        if (Contains(line, kMarkerFailed)) {
            result.m_bFailed = true;
            break;
        }
    }
    return result;
}

CLoaderRunner::CLoaderRunner(CRunState& run, CLogConsole& log, CStopToken stop, SLoaderOptions options)
    : m_run(run), m_log(log), m_stop(std::move(stop)), m_options(std::move(options)) {}

// One call's child as the steps share it: the child, the runner's ends of its two pipes, and whether the
// child has been seen to end.
struct CLoaderRunner::SCall {
    CChildProcess child;
    CUniqueFd fdInput;  // the child's standard input
    CUniqueFd fdOutput; // the child's standard output and standard error
    bool bChildEnded = false;

    // One read of at most kChunkSize bytes: waits until output is there, the output ends (the pipe is
    // closed, or the child has ended and nothing is left to read) or a stop is requested.
    ERead ReadChunk(char* buffer, size_t& length, int fdWake) {
        for (;;) {
            ssize_t n = read(fdOutput.Get(), buffer, kChunkSize);
            if (n > 0) {
                length = size_t(n);
                return ERead::Data;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                return ERead::End;
            if (errno == EINTR)
                continue;
            if (bChildEnded)
                return ERead::End;
            pollfd pfds[] = {
                {fdOutput.Get(), POLLIN, 0}, {child.ProcessFd(), POLLIN, 0}, {fdWake, POLLIN, 0}};
            if (!PollRetrying(pfds, 3, -1))
                return ERead::End;
            if (pfds[2].revents)
                return ERead::Stopped;
            // Output written before the child ended is in the pipe by now; the next read takes it.
            if (pfds[1].revents)
                bChildEnded = true;
        }
    }

    // The pause between passes ends early once the child has ended (what is left is read at once) and at a
    // stop request. False on a stop.
    bool Pause(uint32_t ms, const CStopToken& stop) {
        if (bChildEnded)
            return !stop.StopRequested();
        pollfd pfds[] = {{child.ProcessFd(), POLLIN, 0}, {stop.WakeFd(), POLLIN, 0}};
        PollRetrying(pfds, 2, int(ms));
        if (pfds[1].revents)
            return false;
        if (pfds[0].revents)
            bChildEnded = true;
        return true;
    }
};

bool CLoaderRunner::CheckSetUp(std::string& strReason) const {
    const std::string& program = m_options.strProgram;
    int nError = ENOENT;
    std::string strFound = program;
    if (program.find('/') != std::string::npos) {
        nError = ExecutableError(program);
    } else {
        // As the start looks it up: each PATH entry in turn, an empty one being the working directory.
        const char* pszPath = getenv("PATH");
        std::string strPath = pszPath ? pszPath : "/bin:/usr/bin";
        for (size_t pos = 0; nError != 0 && pos <= strPath.size();) {
            size_t end = std::min(strPath.find(':', pos), strPath.size());
            std::string strDir = strPath.substr(pos, end - pos);
            std::string strCandidate = (strDir.empty() ? "." : strDir) + "/" + program;
            int nCandidateError = ExecutableError(strCandidate);
            // One that is there but cannot be started says more than the ones that are not there.
            if (nCandidateError != ENOENT && nCandidateError != ENOTDIR && nError == ENOENT) {
                nError = nCandidateError;
                strFound = strCandidate;
            }
            if (nCandidateError == 0)
                nError = 0;
            pos = end + 1;
        }
        if (nError == ENOENT) {
            strReason = program + " não encontrado no PATH";
            return false;
        }
    }
    if (nError != 0) {
        strReason = strFound + ": " + SystemErrorText(nError);
        return false;
    }

    // Without O_NONBLOCK a FIFO in the image's place would hold the run here until something wrote to it.
    CUniqueFd fdImage(open(kImagePath, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    nError = !fdImage.IsOpen()                ? errno
             : fstat(fdImage.Get(), &st) != 0 ? errno
             : S_ISDIR(st.st_mode)            ? EISDIR
                                              : 0;
    if (nError != 0) {
        strReason = std::string("imagem ") + kImagePath + ": " + SystemErrorText(nError);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        strReason = std::string("imagem ") + kImagePath +
                    (S_ISREG(st.st_mode) ? ": arquivo vazio" : ": não é um arquivo comum");
        return false;
    }
    return true;
}

int CLoaderRunner::RunBfinUcLinux() {
    m_strFailure.clear();
    m_nPasses = 0;
    m_nDrainedBytes = 0;
    SCall call;
    if (!StartLoader(call))
        return 0;
    if (!ReadAndAnswer(call) || !WaitForExit(call))
        return AbandonLoader(call);
    int result = ReleaseLoader(call);
    if (!m_stop.SleepFor(m_options.dwFinalPauseMs))
        return 0;
    return result;
}

bool CLoaderRunner::StartLoader(SCall& call) {
    CUniqueFd inRead, outWrite;
    if (!MakePipe(inRead, call.fdInput) || !MakePipe(call.fdOutput, outWrite)) {
        m_strFailure = "não foi possível criar os canais do carregador: " + SystemErrorText(errno);
        return false;
    }
    if (m_stop.StopRequested())
        return false;
    // An empty argument would leave the loader to guess a port.
    if (m_run.m_strPort.empty()) {
        m_strFailure = "nenhuma porta serial para o carregador";
        return false;
    }

    int error = 0;
    // The loader gets the path that CUart opens afterwards.
    const std::string& program = m_options.strProgram;
    if (!call.child.Spawn(program.c_str(),
                          {program, "-l", kImagePath, PortDevicePath(m_run.m_strPort), "--prompt"},
                          inRead.Get(), outWrite.Get(), m_fdPortClaim, error)) {
        m_strFailure = "não foi possível iniciar " + program + ": " + SystemErrorText(error);
        return false;
    }
    m_run.m_hLoaderProcess.Set(call.child.ProcessFd(), call.child.ProcessGroup());

    // Only the child holds these now, so the output pipe ends once the child (and whatever it started) is
    // gone and everything has been read.
    inRead.Close();
    outWrite.Close();
    SetNonBlocking(call.fdOutput.Get());
    SetNonBlocking(call.fdInput.Get());
    return true;
}

bool CLoaderRunner::ReadAndAnswer(SCall& call) {
    SLoaderChunkResult seen; // what the chunks so far asked for
    char buffer[kChunkSize + 2];
    for (;;) {
        size_t length = 0;
        ERead read = call.ReadChunk(buffer, length, m_stop.WakeFd());
        if (read == ERead::Stopped)
            return false;
        bool bBroken = read == ERead::End;

        if (read == ERead::Data) {
            buffer[length] = '\n';
            buffer[length + 1] = '\0';
            std::string_view chunk(buffer, length + 1);
            OutputDebugText(std::string(chunk));
            OutputDebugText(std::string(kSeparator));

            SLoaderChunkResult scan = ScanLoaderChunk(chunk, m_log);
            seen.m_bEnterRequested = seen.m_bEnterRequested || scan.m_bEnterRequested;
            seen.m_bFailed = seen.m_bFailed || scan.m_bFailed;
            seen.m_bFinished = seen.m_bFinished || scan.m_bFinished;
        }

        if (seen.m_bEnterRequested) {
            seen.m_bEnterRequested = false;
            if (WriteAnswer(call.fdInput.Get()) == EWrite::Broken)
                bBroken = true;
        }

        if (bBroken || seen.m_bFailed || seen.m_bFinished)
            return true;
        if (!call.Pause(m_options.dwPassPauseMs, m_stop))
            return false;
        if (++m_nPasses >= kMaxPasses)
            return true;
    }
}

bool CLoaderRunner::WaitForExit(SCall& call) {
    // No time limit: the child ends by itself, or the window ends it. Whatever it still prints is read away,
    // so that a child that goes on talking after the reading passes never stalls on a full pipe.
    char buffer[kChunkSize + 2];
    bool bDraining = true;
    while (!call.bChildEnded) {
        pollfd pfds[] = {{call.child.ProcessFd(), POLLIN, 0},
                         {m_stop.WakeFd(), POLLIN, 0},
                         {bDraining ? call.fdOutput.Get() : -1, POLLIN, 0}};
        if (!PollRetrying(pfds, 3, -1) || pfds[1].revents)
            return false;
        if (pfds[2].revents) {
            ssize_t n = read(call.fdOutput.Get(), buffer, sizeof buffer);
            if (n > 0)
                m_nDrainedBytes += uint64_t(n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                bDraining = false;
        }
        if (pfds[0].revents)
            call.bChildEnded = true;
    }
    // What the child wrote just before it ended is still in the pipe: read that away too, so that the count
    // of discarded bytes does not depend on when the end was noticed. Bounded, as something the child
    // started may still be writing.
    for (uint64_t nRest = 0; bDraining && nRest < kMaxRestAfterExit;) {
        ssize_t n = read(call.fdOutput.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        m_nDrainedBytes += uint64_t(n);
        nRest += uint64_t(n);
    }
    return true;
}

int CLoaderRunner::ReleaseLoader(SCall& call) {
    // Forget the child before reaping it: from here on the window can no longer reach it. Whatever it left
    // running in its group may hold the port that the next stage opens: it ends with the child.
    m_run.m_hLoaderProcess.Clear();
    call.child.EndGroup();
    int status = call.child.Reap();
    int result = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    if (WIFEXITED(status) && result == 0)
        m_strFailure = m_options.strProgram + " terminou com o código " + std::to_string(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        m_strFailure = m_options.strProgram + " foi encerrado pelo sinal " + std::to_string(WTERMSIG(status));

    if (m_nDrainedBytes > 0)
        OutputDebugText("BfinUcLinux: " + std::to_string(m_nDrainedBytes.load()) +
                        " bytes of output after the reading loop discarded\n");

    call.fdInput.Close();
    call.fdOutput.Close();
    return result;
}

int CLoaderRunner::AbandonLoader(SCall& call) {
    m_run.m_hLoaderProcess.Clear();
    call.child.KillAndReap();
    return 0;
}

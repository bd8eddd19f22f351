#include "tests/ports/ChildProcess.h"

#include <cerrno>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

int RunInChild(const std::function<int()>& body, bool bAsNobody, unsigned limitSeconds) {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        alarm(limitSeconds);
        if (bAsNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(120);
        _exit(body());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

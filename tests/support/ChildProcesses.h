#pragma once

#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Runs fn(0) .. fn(n-1) at once, each in a child process of its own whose exit status is fn's, and waits for
// all of them; a child that fails (or dies) fails the test.
inline void RunInChildProcesses(int n, const std::function<int(int)>& fn) {
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(fn(i));
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

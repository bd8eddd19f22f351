#pragma once

#include <functional>

// Runs `body` in a forked child and returns its exit status (the body's result), or -1 when the child did
// not exit normally (killed, or still running after `limitSeconds`). With bAsNobody the child first drops
// root to the unprivileged user 65534, so that file permissions apply to it.
int RunInChild(const std::function<int()>& body, bool bAsNobody, unsigned limitSeconds = 10);

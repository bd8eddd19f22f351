#include "core/DebugOutput.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;
DebugOutputSink g_sink;
} // namespace

void OutputDebugText(const std::string& text) {
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(text);
        return;
    }
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink) {
    std::lock_guard lock(g_mutex);
    std::swap(g_sink, sink);
    return sink;
}

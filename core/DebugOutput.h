#pragma once

#include <functional>
#include <string>

// The developers' diagnostic channel (standard error here). Texts go out as they are, without a line end
// of their own. Tests redirect it.
void OutputDebugText(const std::string& text);

using DebugOutputSink = std::function<void(const std::string&)>;
// Replaces the channel; an empty sink restores standard error. Returns the previous sink.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

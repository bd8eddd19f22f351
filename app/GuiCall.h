#pragma once

#include "core/StopToken.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

// Calls from the worker into the window. The function runs on the thread of `context` (the GUI thread) while
// the caller waits, as the window's own synchronous messages would. The wait ends, without running the
// function, when a stop is requested or when `context` is destroyed before the call got its turn.
//
// A call that has not started when the caller gives up never runs. One that has started (a message box
// that is open, say) runs on after the caller has left: the function must therefore capture values or
// shared state only, never references into the caller's frame. It runs only while `context` exists, so it
// may use `context`. `context` itself must outlive the calling worker: its owner raises the stop request
// and waits for the worker before destroying it.
//
// Called on the context's own thread, the function runs at once.
bool CallOnGuiThread(QObject* context, const CStopToken& stop, std::function<void()> fn);

template <class R>
std::optional<R> CallOnGuiThread(QObject* context, const CStopToken& stop, std::function<R()> fn) {
    auto pResult = std::make_shared<std::optional<R>>();
    bool bRan = CallOnGuiThread(context, stop, [pResult, fn = std::move(fn)] { *pResult = fn(); });
    if (!bRan)
        return std::nullopt;
    return std::move(*pResult);
}

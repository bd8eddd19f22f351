#pragma once

#include "core/StopToken.h"
#include "labels/Label.h"
#include "provisioning/Operator.h"
#include "provisioning/RunResult.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// How long a job waits on the CUPS server at most: connecting, and then all its answers together.
inline constexpr int kLabelWaitMs = 3000;
// How long a verdict waits for its label's job to be accepted before its row is written (the job goes on).
inline constexpr int kVerdictLabelWaitMs = 1500;

// The label sent to its queue through libcups, on the calling thread: a PDF the program draws, or the ZPL
// template filled and sent raw (application/vnd.cups-raw). Empty when the server accepted the job (its id in
// nJobId), otherwise why not (Portuguese): no server, no such queue, the queue stopped or refusing jobs.
// Every wait lasts kLabelWaitMs at most and ends on a stop.
std::string PrintLabel(const SLabelConfig& config, const SLabelContent& content, const CStopToken& stop,
                       int& nJobId);

// A front end's printing thread: a label goes out without holding the run that verified its board, nor the
// next one. One job at a time; a new one waits for the one under way.
class CLabelPrinter {
public:
    CLabelPrinter() = default;
    // Stops a job under way (its waits end at once) and waits for the thread.
    ~CLabelPrinter();
    CLabelPrinter(const CLabelPrinter&) = delete;
    CLabelPrinter& operator=(const CLabelPrinter&) = delete;

    // Starts the job on the printing thread; fnDone hears there how it went (empty: accepted).
    void Print(SLabelConfig config, SLabelContent content, std::function<void(const std::string&)> fnDone);
    // Waits up to nMs for the job under way; true when none is left.
    bool WaitIdle(int nMs);

private:
    CStopSource m_stop;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_bBusy = false;
    std::thread m_thread;
};

// At a verified run's verdict, before its row is written: the label to printer, waited for nWaitMs at most.
// The note for the row when it was not printed ("Etiqueta não impressa: ...") or not confirmed in time; empty
// when the server accepted it. fnLate hears on the printing thread how a job not confirmed in time ended.
std::string PrintVerdictLabel(CLabelPrinter& printer, const SLabelConfig& config,
                              const SLabelContent& content, int nWaitMs,
                              std::function<void(const std::string&)> fnLate);

// The printed label scanned back by the operator (IOperator::AskLabelScan) until it shows strMac or the
// operator gives up: the row's note either way ("Etiqueta conferida: ..." or "Etiqueta não conferida...").
std::string ScanBackNote(IOperator& op, const std::string& strMac, const CStopToken& stop);

// The label of a run at its verdict, for both front ends: printed for a verified board when the site prints
// labels (config), or the file's problem (strConfigError), then scanned back when the site wants it. The
// row's note, empty when the job was accepted and nothing was scanned; fnShow hears every line for the
// operator, the note now and a late job's outcome when it comes.
std::string LabelAtVerdict(const SRunResult& verdict, const std::optional<SLabelConfig>& config,
                           const std::string& strConfigError, CLabelPrinter& printer,
                           const std::string& strStation,
                           const std::function<void(const std::string&)>& fnShow, IOperator& op,
                           const CStopToken& stop);

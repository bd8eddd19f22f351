#include "labels/LabelPrinter.h"

#include "records/RunRecord.h"

#include <atomic>
#include <chrono>
#include <cups/cups.h>
#include <memory>

namespace {

struct SHttpClose {
    void operator()(http_t* p) const { httpClose(p); }
};
struct SDestFree {
    void operator()(cups_dest_t* p) const { cupsFreeDests(1, p); }
};
struct SInfoFree {
    void operator()(cups_dinfo_t* p) const { cupsFreeDestInfo(p); }
};

// What a wait on the server looks at: libcups asks each time an answer has been late for kPollS.
constexpr double kPollS = 0.1;
struct SWaitLimit {
    CStopToken stop;
    std::chrono::steady_clock::time_point tDeadline;
};

int GoOnWaiting(http_t*, void* pData) {
    const SWaitLimit& limit = *static_cast<const SWaitLimit*>(pData);
    return !limit.stop.StopRequested() && std::chrono::steady_clock::now() < limit.tDeadline;
}

std::string CupsReason(const char* pszWhat) {
    const char* pszText = cupsLastErrorString();
    return std::string(pszWhat) + (pszText && *pszText ? std::string(": ") + pszText : std::string());
}

} // namespace

std::string PrintLabel(const SLabelConfig& config, const SLabelContent& content, const CStopToken& stop,
                       int& nJobId) {
    nJobId = 0;
    std::string strError;
    std::string strDocument =
        config.bZpl ? FilledZpl(config.strZplTemplate, content) : LabelPdf(config, content, strError);
    if (strDocument.empty())
        return strError.empty() ? "etiqueta vazia" : strError;
    std::string strServer = config.strServer.empty() ? cupsServer() : config.strServer;
    // libcups looks at the connection's cancel flag while it connects: a stop sets it. It reads the flag as a
    // plain int, which an atomic int of the same size and form is.
    std::atomic<int> nCancel = 0;
    static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);
    std::jthread watcher([&nCancel, stop](std::stop_token done) {
        while (!done.stop_requested())
            if (!stop.SleepFor(20)) {
                nCancel = 1;
                return;
            }
    });
    std::unique_ptr<http_t, SHttpClose> pHttp(httpConnect2(strServer.c_str(), ippPort(), nullptr, AF_UNSPEC,
                                                           cupsEncryption(), 1, kLabelWaitMs,
                                                           reinterpret_cast<int*>(&nCancel)));
    if (!pHttp)
        return stop.StopRequested() ? "impressão interrompida"
                                    : "servidor CUPS " + strServer + " não responde";
    // Every later wait on the server ends on a stop, and all of them together within kLabelWaitMs.
    SWaitLimit limit{stop, std::chrono::steady_clock::now() + std::chrono::milliseconds(kLabelWaitMs)};
    httpSetTimeout(pHttp.get(), kPollS, GoOnWaiting, &limit);
    std::unique_ptr<cups_dest_t, SDestFree> pDest(
        cupsGetNamedDest(pHttp.get(), config.strQueue.c_str(), nullptr));
    if (!pDest)
        return "fila " + config.strQueue + " não existe no servidor CUPS " + strServer;
    // A stopped queue would keep the label and print it later, on another board's turn.
    const char* pszState = cupsGetOption("printer-state", pDest->num_options, pDest->options);
    if (pszState && std::string(pszState) == "5")
        return "fila " + config.strQueue + " parada";
    const char* pszAccepting = cupsGetOption("printer-is-accepting-jobs", pDest->num_options, pDest->options);
    if (pszAccepting && std::string(pszAccepting) == "false")
        return "fila " + config.strQueue + " não aceita trabalhos";
    std::unique_ptr<cups_dinfo_t, SInfoFree> pInfo(cupsCopyDestInfo(pHttp.get(), pDest.get()));
    if (stop.StopRequested())
        return "impressão interrompida";
    std::string strTitle = "QAN640 " + content.strMac;
    if (cupsCreateDestJob(pHttp.get(), pDest.get(), pInfo.get(), &nJobId, strTitle.c_str(), 0, nullptr) >
        IPP_STATUS_OK_CONFLICTING)
        return CupsReason("trabalho recusado");
    const char* pszFormat = config.bZpl ? CUPS_FORMAT_RAW : CUPS_FORMAT_PDF;
    if (cupsStartDestDocument(pHttp.get(), pDest.get(), pInfo.get(), nJobId, strTitle.c_str(), pszFormat, 0,
                              nullptr, 1) != HTTP_STATUS_CONTINUE ||
        cupsWriteRequestData(pHttp.get(), strDocument.data(), strDocument.size()) != HTTP_STATUS_CONTINUE)
        return CupsReason("etiqueta não enviada");
    if (cupsFinishDestDocument(pHttp.get(), pDest.get(), pInfo.get()) > IPP_STATUS_OK_CONFLICTING)
        return CupsReason("etiqueta não aceita");
    return "";
}

CLabelPrinter::~CLabelPrinter() {
    m_stop.RequestStop();
    if (m_thread.joinable())
        m_thread.join();
}

void CLabelPrinter::Print(SLabelConfig config, SLabelContent content,
                          std::function<void(const std::string&)> fnDone) {
    WaitIdle(-1);
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard lock(m_mutex);
        m_bBusy = true;
    }
    m_thread = std::thread(
        [this, config = std::move(config), content = std::move(content), fnDone = std::move(fnDone)] {
            int nJobId = 0;
            std::string strError = PrintLabel(config, content, m_stop.Token(), nJobId);
            if (fnDone)
                fnDone(strError);
            std::lock_guard lock(m_mutex);
            m_bBusy = false;
            m_idle.notify_all();
        });
}

bool CLabelPrinter::WaitIdle(int nMs) {
    std::unique_lock lock(m_mutex);
    if (nMs < 0) {
        m_idle.wait(lock, [this] { return !m_bBusy; });
        return true;
    }
    return m_idle.wait_for(lock, std::chrono::milliseconds(nMs), [this] { return !m_bBusy; });
}

std::string PrintVerdictLabel(CLabelPrinter& printer, const SLabelConfig& config,
                              const SLabelContent& content, int nWaitMs,
                              std::function<void(const std::string&)> fnLate) {
    struct SOutcome {
        std::mutex mutex;
        std::condition_variable done;
        bool bDone = false, bLate = false;
        std::string strError;
    };
    auto pOutcome = std::make_shared<SOutcome>();
    printer.Print(config, content, [pOutcome, fnLate = std::move(fnLate)](const std::string& strError) {
        std::unique_lock lock(pOutcome->mutex);
        pOutcome->bDone = true;
        pOutcome->strError = strError;
        pOutcome->done.notify_all();
        if (pOutcome->bLate && fnLate) {
            lock.unlock();
            fnLate(strError.empty() ? "Etiqueta impressa" : "Etiqueta não impressa: " + strError);
        }
    });
    std::unique_lock lock(pOutcome->mutex);
    if (!pOutcome->done.wait_for(lock, std::chrono::milliseconds(nWaitMs), [&] { return pOutcome->bDone; })) {
        pOutcome->bLate = true;
        return "Etiqueta enviada sem confirmação do servidor CUPS a tempo";
    }
    return pOutcome->strError.empty() ? "" : "Etiqueta não impressa: " + pOutcome->strError;
}

std::string ScanBackNote(IOperator& op, const std::string& strMac, const CStopToken& stop) {
    std::optional<uint64_t> nMac = MacValue(strMac);
    std::string strError;
    for (;;) {
        std::string strScanned;
        if (!op.AskLabelScan(strScanned, strError, stop))
            return "Etiqueta não conferida: não foi lida de volta";
        std::optional<uint64_t> nScanned = MacValue(Trimmed(strScanned));
        if (nScanned && nScanned == nMac)
            return "Etiqueta conferida: " + MacText(*nScanned);
        // What the scanner typed goes into a box and the log: printable ASCII only, and not too much of it.
        std::string strShown;
        for (char c : strScanned.substr(0, 40))
            strShown += c >= ' ' && c <= '~' ? c : '?';
        strError = "A etiqueta lida (" + strShown + ") não é a do MAC " + strMac + " desta placa";
    }
}

std::string LabelAtVerdict(const SRunResult& verdict, const std::optional<SLabelConfig>& config,
                           const std::string& strConfigError, CLabelPrinter& printer,
                           const std::string& strStation,
                           const std::function<void(const std::string&)>& fnShow, IOperator& op,
                           const CStopToken& stop) {
    if (verdict.Outcome() != ERunOutcome::Ok)
        return "";
    std::string strNote = strConfigError.empty() ? "" : "Etiqueta não impressa: " + strConfigError;
    if (config) {
        SLabelContent content{verdict.strMacSent, verdict.strSerial, std::chrono::system_clock::now(),
                              strStation};
        strNote = PrintVerdictLabel(printer, *config, content, kVerdictLabelWaitMs, fnShow);
        // A label the server refused is not there to scan; one not confirmed in time may still come out.
        if (config->bScanBack && !strNote.starts_with("Etiqueta não impressa")) {
            std::string strScan = ScanBackNote(op, verdict.strMacSent, stop);
            strNote += (strNote.empty() ? "" : "; ") + strScan;
        }
    }
    if (!strNote.empty())
        fnShow(strNote);
    return strNote;
}

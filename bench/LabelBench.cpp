// From a verified run's verdict to its label's job accepted by CUPS, as the run waits for it before writing
// its row: LabelAtVerdict against a throw-away CUPS server (Unix socket, a queue writing into its folder),
// 20 times for a PDF label the program draws and 20 times for a ZPL template filled, side by side.
//
// Usage: bench_label
// Last line: pdf_median_ms=P pdf_max_ms=PM zpl_median_ms=Z zpl_max_ms=ZM (target: medians below 1000)
#include "labels/LabelPrinter.h"
#include "tests/support/CupsTestServer.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRepeats = 20;

// Nobody at the bench: the labels are not scanned back.
class CNoOperator : public IOperator {
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string&, const CStopToken&) override { return false; }
};

// The times of kRepeats verdicts, sorted, in ms; empty when a job was not accepted.
std::vector<double> VerdictTimes(const SLabelConfig& config, CLabelPrinter& printer) {
    SRunResult verdict;
    verdict.eEnd = ERunEnd::Verified;
    verdict.strMacSent = "02:3A:7C:00:10:05";
    verdict.strSerial = "QAN00001234";
    std::vector<double> ms;
    CNoOperator op;
    for (int i = 0; i < kRepeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        std::string strNote =
            LabelAtVerdict(verdict, config, "", printer, "bench-1", [](const std::string&) {}, op, {});
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (!strNote.empty()) {
            fprintf(stderr, "%s\n", strNote.c_str());
            return {};
        }
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

} // namespace

int main() {
    CCupsTestServer cups;
    if (std::string strError = cups.Start(); !strError.empty()) {
        fprintf(stderr, "bench_label: %s\n", strError.c_str());
        return 1;
    }
    if (std::string strError = cups.AddQueue("labels"); !strError.empty()) {
        fprintf(stderr, "bench_label: %s\n", strError.c_str());
        return 1;
    }
    SLabelConfig pdf;
    pdf.strQueue = "labels";
    pdf.strServer = cups.Socket();
    SLabelConfig zpl = pdf;
    zpl.bZpl = true;
    zpl.strZplTemplate =
        "^XA^FO20,20^BCN,60,N^FD{mac}^FS^FO20,100^BXN,6,200^FD{mac}^FS^FO20,260^A0N,30^FD{serial}"
        " {date} {station}^FS^XZ\n";
    CLabelPrinter printer;
    std::vector<double> pdfMs = VerdictTimes(pdf, printer), zplMs = VerdictTimes(zpl, printer);
    if (pdfMs.empty() || zplMs.empty())
        return 1;
    printf("pdf_median_ms=%.1f pdf_max_ms=%.1f zpl_median_ms=%.1f zpl_max_ms=%.1f\n", pdfMs[kRepeats / 2],
           pdfMs.back(), zplMs[kRepeats / 2], zplMs.back());
    return 0;
}

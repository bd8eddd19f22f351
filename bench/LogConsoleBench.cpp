// Pushes board output byte by byte through the log console into a real log box (offscreen platform), from
// a worker thread as during a run, and compares handing the box only the new text with rewriting the whole
// text at each refresh.
//
// The refresh throttle runs on a virtual clock that advances with the bytes pushed (one 200 ms refresh
// interval per --bytes-per-refresh bytes), so that both variants do the same number of refreshes whatever
// the machine's speed. On a real line at 57600 baud a refresh carries about 1.1 KiB; the default of 16 KiB
// keeps the whole-text variant's run time bearable.
//
// Last line: ratio=R throughput_mib_s=T rewrite_ratio=R2
#include "app/QtLogBox.h"
#include "core/LogConsole.h"
#include "core/Worker.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The variant the benchmark compares against: every refresh rewrites the box with the whole text so far.
// It wraps the real box and turns each hand-over of new text into a rewrite of everything.
class CWholeTextLogBox : public ILogBox {
public:
    explicit CWholeTextLogBox(ILogBox& box) : m_box(box) {}

    int GetLineCount() override { return m_box.GetLineCount(); }
    int LineIndex(int line) override { return m_box.LineIndex(line); }
    int GetFirstVisibleLine() override { return m_box.GetFirstVisibleLine(); }
    void SetText(const std::string& text) override {
        m_strText = text;
        m_box.SetText(m_strText);
    }
    void AppendText(const std::string& text) override {
        m_strText += text;
        m_box.SetText(m_strText);
    }
    void SetSel(int start, int end) override { m_box.SetSel(start, end); }
    void ScrollCaret() override { m_box.ScrollCaret(); }
    void SetFirstVisibleLine(int line) override { m_box.SetFirstVisibleLine(line); }

private:
    ILogBox& m_box;
    std::string m_strText;
};

class CVirtualTicks : public ITickSource {
public:
    std::atomic<uint32_t> m_dwNow{0};
    uint32_t GetTickCount() override { return m_dwNow.load(std::memory_order_relaxed); }
};

std::string MakeBoardOutput(size_t bytes) {
    static const char* const kLines[] = {
        "Loading: #################################################################\r\n",
        "         #################################################################\r\n",
        "Bytes transferred = 262144 (40000 hex)\r\n",
        "eth0: link up, 100 Mbps full duplex\r\n",
        "VFS: Mounted root (jffs2 filesystem) on device 31:1.\r\n",
        "QAN640> ",
        "Memory: 61124k/65536k available (2140k kernel code, 4388k reserved)\r\n",
        "Configura\xE7\xE3o de rede conclu\xED"
        "da\r\n",
    };
    std::string text;
    text.reserve(bytes);
    for (size_t i = 0; text.size() < bytes; ++i)
        text += kLines[i % (sizeof kLines / sizeof *kLines)];
    text.resize(bytes);
    return text;
}

struct SResult {
    std::vector<double> mibSeconds;
    double totalSeconds = 0;
    int refreshes = 0;
};

SResult Run(const std::string& data, size_t bytesPerRefresh, bool bRewrite) {
    QPlainTextEdit edit;
    CQtLogBox::PrepareEdit(&edit);
    edit.resize(900, 500);
    edit.show();
    QApplication::processEvents();

    CStopSource stop;
    CQtLogBox box(&edit, stop.Token());
    CWholeTextLogBox wholeText(box);
    CVirtualTicks ticks;
    CLogConsole log(bRewrite ? static_cast<ILogBox*>(&wholeText) : &box, &ticks);

    SResult result;
    const size_t kMiB = 1 << 20;
    const size_t bytesPerTick = std::max<size_t>(1, bytesPerRefresh / 200);
    CWorker worker(stop.Token());
    std::atomic<bool> bDone{false};
    worker.Start([&](const CStopToken&) {
        auto t0 = Clock::now(), tMiB = t0;
        int64_t lastShown = 0;
        for (size_t i = 0; i < data.size(); ++i) {
            log.AppendLogChar(static_cast<unsigned char>(data[i]), false);
            if ((i + 1) % bytesPerTick == 0)
                ticks.m_dwNow.fetch_add(1, std::memory_order_relaxed);
            if (log.m_nLastLogLength != lastShown) {
                lastShown = log.m_nLastLogLength;
                ++result.refreshes;
            }
            if ((i + 1) % kMiB == 0) {
                auto now = Clock::now();
                result.mibSeconds.push_back(std::chrono::duration<double>(now - tMiB).count());
                tMiB = now;
            }
        }
        log.AppendLogChar(0, true);
        result.totalSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
        bDone = true;
    });
    while (!bDone)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.Wait(ULONG_MAX);
    if (edit.document()->characterCount() < 2)
        std::fprintf(stderr, "the log box stayed empty\n");
    return result;
}

void Print(const char* name, const SResult& r) {
    std::printf("%-8s refreshes=%d total_s=%.3f first_mib_s=%.4f last_mib_s=%.4f\n", name, r.refreshes,
                r.totalSeconds, r.mibSeconds.front(), r.mibSeconds.back());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    size_t mib = 8, bytesPerRefresh = 16384;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mib"))
            mib = std::strtoul(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--bytes-per-refresh"))
            bytesPerRefresh = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (mib < 2 || bytesPerRefresh == 0) {
        std::fprintf(stderr, "usage: bench_log_console [--mib N>=2] [--bytes-per-refresh N]\n");
        return 2;
    }
    QApplication app(argc, argv);
    std::string data = MakeBoardOutput(mib << 20);

    SResult ours = Run(data, bytesPerRefresh, false);
    SResult rewrite = Run(data, bytesPerRefresh, true);
    Print("append", ours);
    Print("rewrite", rewrite);
    std::printf("ratio=%.3f throughput_mib_s=%.2f rewrite_ratio=%.3f\n",
                ours.mibSeconds.back() / ours.mibSeconds.front(), double(mib) / ours.totalSeconds,
                rewrite.mibSeconds.back() / rewrite.mibSeconds.front());
    return 0;
}

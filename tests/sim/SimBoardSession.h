#pragma once

// The virtual board for the tests of the board itself: a board at full pace serving img.ldr (672 bytes), and
// the test's raw end of its port.
#include "tests/dialogue/SimProcess.h"

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kPrompt = "QAN640> ";

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

struct SBoard {
    QTemporaryDir dir;
    std::unique_ptr<CSimProcess> sim;
    std::unique_ptr<CRawPort> port;

    explicit SBoard(std::vector<std::string> extra, bool bStartInMonitor = true, bool bOpen = true) {
        std::ofstream(Path("img.ldr"), std::ios::binary) << std::string(672, 'x');
        std::vector<std::string> args = FastBoardArgs();
        args.insert(args.end(), {"--tftp-dir", Path(""), "--transcript", Transcript()});
        if (bStartInMonitor)
            args.push_back("--start-in-monitor");
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<CSimProcess>(args);
        if (bOpen && !sim->Port().empty())
            port = std::make_unique<CRawPort>(sim->Port());
    }
    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    std::string Transcript() const { return Path("transcript.txt"); }
    bool Ready() const { return port && port->IsOpen(); }

    // Sends `text` and reads until `until` shows up.
    std::string Say(const std::string& text, const std::string& until = kPrompt,
                    std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        port->Send(text);
        return port->ReadUntil(until, timeout);
    }
};

// Loads and writes a complete (or short) image, the way a provisioning run does.
inline std::string Program(SBoard& b, const char* count) {
    b.Say("\n");
    b.Say("tftp 0x1000000 img.ldr\r");
    return b.Say(std::string("eeprom write 0x1000000 0x0 ") + count + "\r");
}

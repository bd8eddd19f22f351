// Runs one ARP check the way the provisioning run does and prints what came out, for the namespace tests
// (which start it inside their own network namespaces, also as an unprivileged user).
//
//   qan_arp_probe <ipv4> [--method auto|kernel|wire] [--wait ms] [--stop-after ms] [--neigh-dump 1]
//                 [--interface NAME]...
//
// Output, one "key=value" per line: result (1/0), mac, method (auto when it ended before asking, kernel,
// wire), elapsed_ms, elapsed_us, log (CR, LF and backslash escaped as \r, \n, \\). Several --interface
// options check each card in turn, in one process (as one window does), printing these lines for each.
#include "core/LogConsole.h"
#include "mac/ArpCheck.h"
#include "mac/ArpQuery_linux.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

const char* MethodName(CLinuxArpQuery::EMethod method) {
    switch (method) {
    case CLinuxArpQuery::EMethod::Kernel:
        return "kernel";
    case CLinuxArpQuery::EMethod::Wire:
        return "wire";
    default:
        return "auto";
    }
}

int Usage() {
    fprintf(stderr, "usage: qan_arp_probe <ipv4> [--method auto|kernel|wire] [--wait ms] [--stop-after ms] "
                    "[--neigh-dump 1] [--interface NAME]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    std::string strIp = argv[1];
    auto method = CLinuxArpQuery::EMethod::Auto;
    uint32_t dwWaitMs = 3000;
    long nStopAfterMs = -1;
    bool bNeighDump = false;
    std::vector<std::string> interfaces;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc)
            return Usage();
        std::string strOption = argv[i];
        std::string strValue = argv[i + 1];
        if (strOption == "--method") {
            if (strValue == "kernel")
                method = CLinuxArpQuery::EMethod::Kernel;
            else if (strValue == "wire")
                method = CLinuxArpQuery::EMethod::Wire;
            else if (strValue != "auto")
                return Usage();
        } else if (strOption == "--wait") {
            dwWaitMs = uint32_t(strtoul(strValue.c_str(), nullptr, 10));
        } else if (strOption == "--interface") {
            interfaces.push_back(strValue);
        } else if (strOption == "--neigh-dump") {
            bNeighDump = strValue == "1";
        } else if (strOption == "--stop-after") {
            nStopAfterMs = strtol(strValue.c_str(), nullptr, 10);
        } else {
            return Usage();
        }
    }

    CStopSource stopSource;
    std::thread stopper;
    if (nStopAfterMs >= 0) {
        stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(nStopAfterMs));
            stopSource.RequestStop();
        });
    }

    if (interfaces.empty())
        interfaces.push_back("");
    for (const std::string& strInterface : interfaces) {
        CLogConsole log;
        CLinuxArpQuery query(method, dwWaitMs, strInterface);
        query.SetNeighbourDump(bNeighDump);
        std::string strMac;
        auto t0 = std::chrono::steady_clock::now();
        bool bResult = ReadMacByArp(log, strMac, strIp, stopSource.Token(), &query);
        auto elapsedUs =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
                .count();

        printf("result=%d\nmac=%s\nmethod=%s\nelapsed_ms=%lld\nelapsed_us=%lld\nlog=%s\n", bResult ? 1 : 0,
               strMac.c_str(), MethodName(query.LastMethod()), static_cast<long long>(elapsedUs / 1000),
               static_cast<long long>(elapsedUs), Escape(log.m_strLog).c_str());
    }
    if (stopper.joinable())
        stopper.join();
    return 0;
}

// Saves and reads the settings file in a process of its own, for the settings tests: they run it as an
// unprivileged user (file permissions apply) or under a time limit (a call that blocks cannot hang them).
//
//   qan_settings_probe [--save NAME]
//
// Saves NAME when given, then writes what it reads back to standard output, and exits with 0.
#include "core/Settings.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--save") == 0) {
        SaveRememberedPort(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: qan_settings_probe [--save NAME]\n");
        return 2;
    }
    std::string strPort = ReadRememberedPort();
    std::fwrite(strPort.data(), 1, strPort.size(), stdout);
    return 0;
}

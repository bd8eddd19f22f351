#pragma once

// What the benchmarks of several boards at once share: the links, one per slot, and a fresh virtual board on
// a slot's link at its realistic pace.
#include "tests/arp/NetnsLab.h"
#include "tests/dialogue/SimProcess.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// nSlots links, each with a board side that answers as a board without an address; false (said on stderr,
// after pszProgram) when the lab cannot be made here.
inline bool MakeStationLinks(CNetnsLab& lab, size_t nSlots, const char* pszProgram) {
    if (!lab.SkipReason().empty() || !lab.Ok()) {
        fprintf(stderr, "%s: %s\n", pszProgram,
                lab.SkipReason().empty() ? "the links could not be made" : lab.SkipReason().c_str());
        return false;
    }
    for (size_t k = 1; k < nSlots; ++k) {
        if (lab.AddLink() != int(k))
            return false;
    }
    for (size_t k = 0; k < nSlots; ++k)
        lab.PlugBoard("00:ff:ff:ff:ff:ff", k);
    return true;
}

// A fresh board on slot k's link, running in strDir; the program ends when it does not start.
inline std::unique_ptr<CSimProcess> StartStationBoard(CNetnsLab& lab, size_t k, const std::string& strDir) {
    // Until it has booted with a stored address, a board answers as one without any.
    for (std::vector<std::string> args : {std::vector<std::string>{"link", "set", "qb0", "down"},
                                          {"link", "set", "qb0", "address", "00:ff:ff:ff:ff:ff"},
                                          {"link", "set", "qb0", "up"}})
        lab.Ip(lab.BoardNs(k), args);
    auto pBoard = std::make_unique<CSimProcess>(
        std::vector<std::string>{"--ldr", "U-Boot_Producao/u-boot_aut_rs232.ldr", "--tftp-dir", "tftp",
                                 "--hook", MacHookFor(lab.BoardNs(k))},
        strDir);
    if (pBoard->Port().empty()) {
        fprintf(stderr, "the virtual board of slot %zu did not start\n", k + 1);
        exit(1);
    }
    return pBoard;
}

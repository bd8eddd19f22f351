#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Which network card leads to the board. Every board answers at the same address, so a PC with a board on
// each of several cards must never let the routes pick one: either the card is named (qan640-provision
// --interface, or the window's QAN640net.conf), or the board's address must be on-link through one card
// only. Judged before anything is sent to the board, and again before every ARP query.

// One interface of the PC as the system lists it, with one of its IPv4 addresses (none: bHasAddress false).
struct SNetInterface {
    std::string strName;
    bool bUp = false;
    bool bLoopback = false;
    bool bHasAddress = false;
    uint32_t dwAddress = 0; // network byte order
    uint32_t dwNetmask = 0; // network byte order
};

enum class EBoardLink {
    Ok,              // the named card, or the routes' choice with at most one card on the board's subnet
    NoSuchInterface, // the named card does not exist
    InterfaceDown,   // the named card is not up
    NoAddress,       // the named card has no address on the board's subnet
    Several,         // no card named, and the board's address is on-link through more than one
};

struct SBoardLink {
    EBoardLink eState = EBoardLink::Ok;
    std::string strInterface;       // the card named, or "" for the routes' choice
    std::vector<std::string> cards; // Several: every card on the board's subnet, in the system's order
};

// The judgement on a list of interfaces (an interface appears once per address, and once without any).
// Without strInterface, the cards that count are the ones up, other than loopback, with an address whose
// subnet holds dwBoardIp. Whether the cable is plugged in does not matter: a board being power-cycled takes
// its card's link down for a while, and the routes do not forget that card meanwhile.
SBoardLink JudgeBoardLink(uint32_t dwBoardIp, const std::string& strInterface,
                          const std::vector<SNetInterface>& interfaces);

// For the operator (Portuguese, the box of a refused run) and for the log (English, no line end). Empty
// for Ok.
std::string BoardLinkProblemText(const SBoardLink& link, const std::string& strBoardIp);
std::string BoardLinkLogText(const SBoardLink& link);

#include "mac/ArpBoardLink.h"

#include <algorithm>

namespace {

bool HoldsBoard(const SNetInterface& i, uint32_t dwBoardIp) {
    return i.bHasAddress && i.dwNetmask != 0 && (i.dwAddress & i.dwNetmask) == (dwBoardIp & i.dwNetmask) &&
           i.dwAddress != dwBoardIp;
}

std::string JoinCards(const std::vector<std::string>& cards) {
    std::string strJoined;
    for (const std::string& strCard : cards)
        strJoined += (strJoined.empty() ? "" : ", ") + strCard;
    return strJoined;
}

} // namespace

SBoardLink JudgeBoardLink(uint32_t dwBoardIp, const std::string& strInterface,
                          const std::vector<SNetInterface>& interfaces) {
    SBoardLink link;
    link.strInterface = strInterface;
    if (!strInterface.empty()) {
        bool bFound = false, bUp = false, bHolds = false;
        for (const SNetInterface& i : interfaces) {
            if (i.strName != strInterface)
                continue;
            bFound = true;
            bUp = bUp || i.bUp;
            bHolds = bHolds || HoldsBoard(i, dwBoardIp);
        }
        link.eState = !bFound   ? EBoardLink::NoSuchInterface
                      : !bUp    ? EBoardLink::InterfaceDown
                      : !bHolds ? EBoardLink::NoAddress
                                : EBoardLink::Ok;
        return link;
    }
    for (const SNetInterface& i : interfaces) {
        if (i.bUp && !i.bLoopback && HoldsBoard(i, dwBoardIp) &&
            std::find(link.cards.begin(), link.cards.end(), i.strName) == link.cards.end())
            link.cards.push_back(i.strName);
    }
    if (link.cards.size() > 1)
        link.eState = EBoardLink::Several;
    return link;
}

std::string BoardLinkProblemText(const SBoardLink& link, const std::string& strBoardIp) {
    const std::string strCard = "A placa de rede " + link.strInterface;
    switch (link.eState) {
    case EBoardLink::Ok:
        return "";
    case EBoardLink::NoSuchInterface:
        return strCard + " não existe neste PC.";
    case EBoardLink::InterfaceDown:
        return strCard + " está desativada.";
    case EBoardLink::NoAddress:
        return strCard + " não tem endereço na rede de " + strBoardIp + ".";
    case EBoardLink::Several:
        return strBoardIp + " é alcançável por mais de uma placa de rede: " + JoinCards(link.cards) +
               ".\nIndique a placa da QAN640 (--interface ou QAN640net.conf).";
    }
    return "";
}

std::string BoardLinkLogText(const SBoardLink& link) {
    switch (link.eState) {
    case EBoardLink::Ok:
        return "";
    case EBoardLink::NoSuchInterface:
        return "Error: network interface " + link.strInterface + " does not exist";
    case EBoardLink::InterfaceDown:
        return "Error: network interface " + link.strInterface + " is down";
    case EBoardLink::NoAddress:
        return "Error: network interface " + link.strInterface + " has no address on the board's subnet";
    case EBoardLink::Several:
        return "Error: the board's address is on-link through several interfaces: " + JoinCards(link.cards);
    }
    return "";
}

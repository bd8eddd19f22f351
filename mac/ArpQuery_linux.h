#pragma once

#include "mac/ArpCheck.h"

#include <cstdint>
#include <string>
#include <vector>

// The interfaces of the PC in the calling thread's network namespace. False when they cannot be listed.
bool ListNetInterfaces(std::vector<SNetInterface>& interfaces);

// The ARP query on Linux.
//
// The address must be on-link: the kernel's route to it (RTM_GETROUTE, the same lookup a socket would use)
// must leave through an interface directly, without a gateway. Otherwise nothing at all is sent and the
// query reports "no answer" at once. An interface that does not use ARP is reported as unsupported.
//
// Then, with the capability for raw packets (root, or cap_net_raw granted to the binary), the wire is asked
// directly: a broadcast ARP request on that interface, repeated every second, and the first reply from the
// address is the answer. The neighbour table plays no part, so an entry left by the board before this one
// cannot be mistaken for the answer.
//
// Without that capability the kernel resolves the neighbour: one empty UDP datagram to the address (never
// routed through a gateway) makes it look the address up, and the neighbour table is followed through
// rtnetlink (a dump of the interface's entries where the kernel refuses a single-entry request). The
// datagram leaves through the interface of the route that was checked. Only an entry confirmed during this
// query counts: it became REACHABLE, or changed its hardware address while REACHABLE, after the query
// began, or its confirmation time lies after the query's start.
// An entry that was confirmed before the query (the previous board at the same address) is never reported.
// The kernel re-probes such an entry by unicast for several seconds before it asks by broadcast again, so
// without the capability the first queries after a board change may come back without an answer.
//
// With a network card named, the route is looked up as for a socket bound to that card, and both ways of
// asking send and listen on that card only; an address on-link only through another card gets no answer.
//
// Every query ends within the wait (3 s by default), and at once when a stop is requested.
class CLinuxArpQuery : public IArpQuery {
public:
    enum class EMethod {
        Auto,   // the wire when raw packets are allowed, else the kernel's resolution
        Kernel, // always the kernel's resolution
        Wire,   // always the wire; ERROR_ACCESS_DENIED (5) without the capability
    };

    static constexpr uint32_t kDefaultWaitMs = 3000;

    explicit CLinuxArpQuery(EMethod method = EMethod::Auto, uint32_t dwWaitMs = kDefaultWaitMs,
                            std::string strInterface = {});

    uint32_t SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen,
                     const CStopToken& stop) override;
    SBoardLink FindBoardLink(uint32_t dwDestIp) override;

    // The method the last query used to ask (Auto when it ended before asking).
    EMethod LastMethod() const { return m_lastMethod; }

    // Reads the neighbour table by dump from the start, as on kernels that refuse a single-entry request
    // (the query falls back to that by itself); lets tests cover that path on any kernel.
    void SetNeighbourDump(bool bDump) { m_bNeighByDump = bDump; }

private:
    EMethod m_method;
    uint32_t m_dwWaitMs;
    std::string m_strInterface;
    EMethod m_lastMethod = EMethod::Auto;
    bool m_bNeighByDump = false;
};

#pragma once

// The kernel's resolution: one empty datagram makes the kernel look the address up, and the neighbour table
// is followed through rtnetlink until an entry confirmed during this query shows up. Needs no privilege.

#include "mac/ArpNetlink.h"

namespace arp {

struct SAnswer {
    std::array<uint8_t, kMaxLinkAddr> addr{};
    size_t nLength = 0;
};

// Decides whether what the neighbour table shows was confirmed during this query.
//
// The kernel reports how long ago it last confirmed an entry (in 10 ms steps of its own clock). An entry
// counts only when it is REACHABLE and that confirmation lies after the start of the query, judged at the
// latest moment the message can have been made: for a table read, when the request went out; for an
// event, the event itself is the confirmation (a change into REACHABLE happens with a confirmation), so
// its age must be about zero. Because ages come in whole steps, a confirmation up to one step (10 ms)
// before the start may still pass; one for the previous board, seconds or minutes old, never does, whatever
// the entry's state now. PERMANENT and NOARP entries are set by hand, never confirmed, and never taken.
class CFreshness {
public:
    explicit CFreshness(Clock::time_point start) : m_start(start) {}

    bool FromTableRead(const SNeigh& n, Clock::time_point requestSent) const;
    static bool FromEvent(const SNeigh& n);

    static constexpr int64_t kEventAgeMs = 10; // one step of the reported age

private:
    Clock::time_point m_start;
};

// Makes the kernel resolve dwDestIp on interface dwIfIndex: one empty UDP datagram to the discard port,
// sent out through that interface (the one whose route was checked) and never through a gateway.
uint32_t TriggerResolution(uint32_t dwDestIp, uint32_t dwIfIndex);

// Resolves dwDestIp on dwIfIndex through the kernel. 0 with the answer, else a result code.
uint32_t QueryByKernel(CRtnl& nl, uint32_t dwDestIp, uint32_t dwIfIndex, SAnswer& answer,
                       Clock::time_point start, Clock::time_point deadline, const CStopToken& stop);

} // namespace arp

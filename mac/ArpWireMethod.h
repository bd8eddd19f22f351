#pragma once

// The wire: with the capability for raw packets, a broadcast ARP request on the interface, repeated every
// second, and the first reply from the address is the answer. The neighbour table plays no part.

#include "mac/ArpKernelMethod.h"

namespace arp {

constexpr size_t kArpPacketSize = 28;

// 0 with a packet socket bound to the interface for ARP in fdOut, else the errno value.
int OpenArpSocket(uint32_t dwIfIndex, int& fdOut);

// An Ethernet ARP request for dwDestIp from the link's hardware address and dwSourceIp (0: an ARP probe).
std::array<uint8_t, kArpPacketSize> BuildArpRequest(const SLink& link, uint32_t dwSourceIp,
                                                    uint32_t dwDestIp);

// An Ethernet ARP reply sent by dwDestIp: its sender hardware address into answer. False for anything else.
bool ParseArpReply(const uint8_t* p, size_t length, uint32_t dwDestIp, SAnswer& answer);

// Asks the wire on fd (from OpenArpSocket) until the deadline. 0 with the answer, else a result code.
uint32_t QueryByWire(int fd, const SLink& link, uint32_t dwIfIndex, uint32_t dwSourceIp, uint32_t dwDestIp,
                     SAnswer& answer, Clock::time_point deadline, const CStopToken& stop);

} // namespace arp

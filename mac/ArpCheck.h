#pragma once

#include "core/StopToken.h"
#include "mac/ArpBoardLink.h"

#include <cstdint>
#include <memory>
#include <string>

class CLogConsole;

// Result codes of one ARP query. 0 means an answer came; the others are the platform's system error codes,
// which the check writes into the log with the suffixes below.
enum EArpError : uint32_t {
    ARP_NO_ERROR = 0,
    ARP_ERROR_GEN_FAILURE = 31,
    ARP_ERROR_NOT_SUPPORTED = 50,
    ARP_ERROR_BAD_NET_NAME = 67,
    ARP_ERROR_INVALID_PARAMETER = 87,
    ARP_ERROR_BUFFER_OVERFLOW = 111,
    ARP_ERROR_NOT_FOUND = 1168,
    ARP_ERROR_CANCELLED = 1223,
    ARP_ERROR_INVALID_USER_BUFFER = 1784,
};

// The host's ARP service: asks the network which hardware address answers for an IPv4 address.
class IArpQuery {
public:
    virtual ~IArpQuery() = default;

    // Makes the service usable for one check. A service that is loaded at run time writes why it cannot be
    // loaded into the log (no line end) and returns false; it is then not used any further.
    virtual bool Load(CLogConsole& /*log*/) { return true; }

    // One query for dwDestIp (network byte order). pMacAddr has room for 8 bytes; *pPhyAddrLen holds the
    // room the caller offers on entry and the length of the answer on return. 0 when an answer came, else
    // an EArpError code (or another system error code). Returns within a few seconds, at once on a stop.
    virtual uint32_t SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen,
                             const CStopToken& stop) = 0;

    // Releases what Load took. Called once after SendArp.
    virtual void Unload() {}

    // The network card the queries for dwDestIp would use, judged without sending anything (see
    // SBoardLink). A card that is not Ok makes the check unusable.
    virtual SBoardLink FindBoardLink(uint32_t /*dwDestIp*/) { return {}; }
};

// The platform's service. strInterface: the network card to ask on, and only on; empty for the one the
// routes choose, as long as the board's address is on-link through one card only.
std::unique_ptr<IArpQuery> CreateArpQuery(const std::string& strInterface = {});

// The log suffix for a query's error code: " (NAME)\n" for the codes of the table, "\n" for any other.
const char* ArpErrorSuffix(uint32_t dwError);

// The card that queries for strIp would use (IArpQuery::FindBoardLink), for a check before anything is sent
// to the board. A text that is not an address leaves it to the routes (the check itself then refuses it).
SBoardLink FindBoardLinkFor(IArpQuery& query, const std::string& strIp);

// Reads the hardware address that answers for strIp into strReadMac ("02:3a:7c:12:34:56", lower case).
// strReadMac is emptied first and stays empty when no usable answer came. False only when the check cannot
// be made at all (the text is not an IPv4 address, the ARP service is unusable, or the network card cannot be
// told: FindBoardLink); true otherwise, also
// when nothing answered. Faults go into the log, never to the operator. pQuery null: the platform's service.
bool ReadMacByArp(CLogConsole& log, std::string& strReadMac, const std::string& strIp,
                  const CStopToken& stop = {}, IArpQuery* pQuery = nullptr);

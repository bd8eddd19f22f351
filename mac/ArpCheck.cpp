#include "mac/ArpCheck.h"

#include "core/LogConsole.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace {

// The error code that goes with a text that is not an address. The Windows conversion may leave one; the
// POSIX one sets none, so a refused text is reported as an invalid argument there.
int ConversionErrorCode() {
#ifdef _WIN32
    return int(GetLastError());
#else
    return errno != 0 ? errno : EINVAL;
#endif
}

} // namespace

const char* ArpErrorSuffix(uint32_t dwError) {
    switch (dwError) {
    case ARP_ERROR_GEN_FAILURE:
    case ARP_ERROR_BAD_NET_NAME: // has no name of its own in the log
        return " (ERROR_GEN_FAILURE)\n";
    case ARP_ERROR_INVALID_PARAMETER:
        return " (ERROR_INVALID_PARAMETER)\n";
    case ARP_ERROR_BUFFER_OVERFLOW:
        return " (ERROR_BUFFER_OVERFLOW)\n";
    case ARP_ERROR_NOT_FOUND:
        return " (ERROR_NOT_FOUND)\n";
    case ARP_ERROR_INVALID_USER_BUFFER:
        return " (ERROR_INVALID_USER_BUFFER)\n";
    default:
        return "\n";
    }
}

SBoardLink FindBoardLinkFor(IArpQuery& query, const std::string& strIp) {
    uint32_t dwDestIp = inet_addr(strIp.c_str());
    return dwDestIp == INADDR_NONE ? SBoardLink{} : query.FindBoardLink(dwDestIp);
}

bool ReadMacByArp(CLogConsole& log, std::string& strReadMac, const std::string& strIp, const CStopToken& stop,
                  IArpQuery* pQuery) {
    char szLine[128];
    strReadMac.clear();

    // inet_addr also refuses 255.255.255.255: its value is the failure value. No host has that address.
    errno = 0;
    uint32_t dwDestIp = inet_addr(strIp.c_str());
    if (dwDestIp == INADDR_NONE) {
        snprintf(szLine, sizeof szLine, "Error in gethostbyname : %d", ConversionErrorCode());
        log.AppendLogText(szLine, false);
        return false;
    }

    std::unique_ptr<IArpQuery> pOwnQuery;
    if (!pQuery) {
        pOwnQuery = CreateArpQuery();
        pQuery = pOwnQuery.get();
    }
    if (!pQuery->Load(log))
        return false;
    if (SBoardLink link = pQuery->FindBoardLink(dwDestIp); link.eState != EBoardLink::Ok) {
        log.AppendLogText(BoardLinkLogText(link).c_str(), false);
        pQuery->Unload();
        return false;
    }

    uint32_t macAddr[2] = {0, 0};
    uint32_t dwPhyAddrLen = 6;
    uint32_t dwResult = pQuery->SendArp(dwDestIp, macAddr, &dwPhyAddrLen, stop);
    if (dwResult == ARP_NO_ERROR) {
        if (dwPhyAddrLen == 6) {
            const auto* pBytes = reinterpret_cast<const unsigned char*>(macAddr);
            for (int i = 0; i < 6; ++i) {
                snprintf(szLine, sizeof szLine, i < 5 ? "%02x:" : "%02x", pBytes[i]);
                strReadMac += szLine;
            }
        }
    } else {
        snprintf(szLine, sizeof szLine, "Error: SendArp failed with error: %d%s", int(dwResult),
                 ArpErrorSuffix(dwResult));
        log.AppendLogText(szLine, false);
    }
    pQuery->Unload();
    return true;
}

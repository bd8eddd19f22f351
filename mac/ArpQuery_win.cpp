// The ARP query on Windows: the IP helper's SendARP, looked up at run time in "iphlpapi.dll" for every check
// and released after it.
#include "mac/ArpCheck.h"

#include "core/LogConsole.h"

#include <cstdio>
#include <string>
#include <windows.h>

namespace {

typedef DWORD(WINAPI* PFN_SENDARP)(ULONG DestIP, ULONG SrcIP, PVOID pMacAddr, PULONG PhyAddrLen);

class CWinArpQuery : public IArpQuery {
public:
    explicit CWinArpQuery(std::string strInterface) : m_strInterface(std::move(strInterface)) {}
    ~CWinArpQuery() override { Unload(); }

    // SendARP picks the card itself: a named card cannot be honoured here.
    SBoardLink FindBoardLink(uint32_t) override {
        SBoardLink link;
        link.strInterface = m_strInterface;
        if (!m_strInterface.empty())
            link.eState = EBoardLink::NoSuchInterface;
        return link;
    }

    bool Load(CLogConsole& log) override {
        char szLine[128];
        m_hModule = LoadLibraryA("iphlpapi.dll");
        if (!m_hModule) {
            snprintf(szLine, sizeof szLine, "Error in LoadLibrary iphlpapi.dll : %d", int(GetLastError()));
            log.AppendLogText(szLine, false);
            return false;
        }
        // Through the generic function pointer type, which converts to any other without a warning.
        m_pfnSendArp =
            reinterpret_cast<PFN_SENDARP>(reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "SendARP")));
        if (!m_pfnSendArp) {
            snprintf(szLine, sizeof szLine, "Error in iphlpapi.dll : %d", int(GetLastError()));
            log.AppendLogText(szLine, false);
            Unload();
            return false;
        }
        return true;
    }

    // SendARP waits on its own (a few seconds at most); a stop request cannot cut it short.
    uint32_t SendArp(uint32_t dwDestIp, void* pMacAddr, uint32_t* pPhyAddrLen, const CStopToken&) override {
        ULONG ulLength = *pPhyAddrLen;
        DWORD dwResult = m_pfnSendArp(dwDestIp, 0, pMacAddr, &ulLength);
        *pPhyAddrLen = ulLength;
        return dwResult;
    }

    void Unload() override {
        if (m_hModule)
            FreeLibrary(m_hModule);
        m_hModule = nullptr;
        m_pfnSendArp = nullptr;
    }

private:
    std::string m_strInterface;
    HMODULE m_hModule = nullptr;
    PFN_SENDARP m_pfnSendArp = nullptr;
};

} // namespace

std::unique_ptr<IArpQuery> CreateArpQuery(const std::string& strInterface) {
    return std::make_unique<CWinArpQuery>(strInterface);
}

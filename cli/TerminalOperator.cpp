#include "cli/TerminalOperator.h"

#include "mac/MacInput.h"
#include "provisioning/Provisioning.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

CTerminalOperator::CTerminalOperator(std::string strMac, std::vector<std::string> offered, bool bInteractive,
                                     bool bReuseMac)
    : m_strMac(std::move(strMac)), m_offered(std::move(offered)), m_bInteractive(bInteractive),
      m_bReuseMac(bReuseMac) {}

void CTerminalOperator::Say(const std::string& strText) {
    // A script that picks lines by their stage gets every line of a box, not only its first.
    size_t pos = 0;
    for (;;) {
        size_t end = strText.find('\n', pos);
        std::string strLine = strText.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        fprintf(stderr, "[%d/%d] %s\n", m_progress.Stage(), kRunStageCount, strLine.c_str());
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
}

void CTerminalOperator::OnStageStarted(int nStage) {
    m_progress.OnStageStarted(nStage);
    if (nStage == RUN_STAGE_VERIFY)
        m_tVerifyStart = std::chrono::steady_clock::now();
    m_nStageNow = nStage;
    char elapsed[32];
    snprintf(elapsed, sizeof elapsed, "%.1f s", m_progress.ElapsedSeconds());
    Say(std::string(m_progress.StageTitle()) + " (" + elapsed + ")");
}

void CTerminalOperator::ReportWaiting() {
    if (m_nStageNow != RUN_STAGE_VERIFY || m_bLabelAsked)
        return;
    auto waited = std::chrono::steady_clock::now() - m_tVerifyStart.load();
    int nWaitedS = int(std::chrono::duration_cast<std::chrono::seconds>(waited).count());
    if (nWaitedS < m_nReportedS + kWaitReportS)
        return;
    m_nReportedS = nWaitedS - nWaitedS % kWaitReportS;
    fprintf(stderr, "[%d/%d] Sem resposta de %s há %d s\n", RUN_STAGE_VERIFY, kRunStageCount,
            CProvisioningRun::kBoardIp, m_nReportedS);
}

void CTerminalOperator::ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) {
    Say(strText);
    // The failure of the wait for the board's write, in the same stage before the power-cycle box, ends the
    // run instead.
    if (m_progress.Stage() != RUN_STAGE_POWER_CYCLE || nType != MB_TYPE_INFORMATION || stop.StopRequested())
        return;
    // Only the power-cycle box waits: the operator has something to do before the run may go on. Without
    // that wait, a line controller learns how long the run now gives the board.
    if (!m_bInteractive) {
        Say("Sem esperar Enter (--non-interactive): a espera pelo shell da QAN640 religada termina após " +
            std::to_string(m_dwRebootWaitS) + " s sem nenhum byte na porta serial");
        return;
    }
    fprintf(stderr, "Pressione Enter quando a QAN640 estiver religada. ");
    std::string strLine;
    ReadLine(strLine, stop);
}

bool CTerminalOperator::ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) {
    if (!m_strMac.empty()) {
        strMacAddress = m_strMac;
        return true;
    }
    strMacAddress.clear();
    if (!m_bInteractive)
        return false;
    if (!m_bPrefixesShown && !m_offered.empty()) {
        std::string strList;
        for (const std::string& strPrefix : m_offered)
            strList += (strList.empty() ? "" : ", ") + strPrefix;
        Say("Prefixos oferecidos: " + strList);
        m_bPrefixesShown = true;
    }
    for (;;) {
        fprintf(stderr, "Endereço MAC (ex.: %s:12:34:56; Ctrl-D cancela): ",
                m_offered.empty() ? "02:3A:7C" : m_offered.front().c_str());
        std::string strLine;
        if (ReadLine(strLine, stop) != ERead::Line) {
            fprintf(stderr, "\n");
            return false;
        }
        size_t first = strLine.find_first_not_of(" \t");
        size_t last = strLine.find_last_not_of(" \t");
        strLine = first == std::string::npos ? "" : strLine.substr(first, last - first + 1);
        // An empty answer is an OK without an address: the run asks again.
        if (strLine.empty())
            return true;
        QString message = ValidateWholeMacText(QString::fromUtf8(strLine), m_offered, strMacAddress);
        if (message.isEmpty())
            return true;
        fprintf(stderr, "%s\n", message.toUtf8().constData());
    }
}

IOperator::EReuse CTerminalOperator::ConfirmMacReuse(const std::string& strQuestion, const CStopToken&) {
    Say(strQuestion);
    // No question is asked here: the bench script says beforehand whether it provisions a board again.
    Say(m_bReuseMac ? "Sim (--reuse-mac)" : "Não: recusado sem --reuse-mac");
    return m_bReuseMac ? EReuse::Reuse : EReuse::Refuse;
}

bool CTerminalOperator::AskSerialNumber(std::string& strSerial, const std::string& strError,
                                        const CStopToken& stop) {
    if (!strError.empty())
        Say(strError);
    if (!m_strSerial.empty()) {
        // Given beforehand, it is not asked again: a serial that does not fit ends the run.
        strSerial = m_strSerial;
        return strError.empty();
    }
    if (!m_bInteractive) {
        Say("Número de série exigido: use --serial");
        return false;
    }
    return AskLine("Número de série da placa (Ctrl-D cancela): ", strSerial, stop);
}

bool CTerminalOperator::AskLabelScan(std::string& strScanned, const std::string& strError,
                                     const CStopToken& stop) {
    // The board answered already: the lines about waiting for it stop while the label is read.
    m_bLabelAsked = true;
    if (!strError.empty())
        Say(strError);
    return m_bInteractive &&
           AskLine("Leia com o leitor a etiqueta impressa para esta placa (Ctrl-D desiste): ", strScanned,
                   stop);
}

bool CTerminalOperator::AskLine(const char* pszPrompt, std::string& strAnswer, const CStopToken& stop) {
    fprintf(stderr, "%s", pszPrompt);
    if (ReadLine(strAnswer, stop) != ERead::Line) {
        fprintf(stderr, "\n");
        return false;
    }
    return true;
}

CTerminalOperator::ERead CTerminalOperator::ReadLine(std::string& strLine, const CStopToken& stop) {
    for (;;) {
        size_t nl = m_strInput.find('\n');
        if (nl != std::string::npos) {
            strLine = m_strInput.substr(0, nl);
            m_strInput.erase(0, nl + 1);
            if (!strLine.empty() && strLine.back() == '\r')
                strLine.pop_back();
            return ERead::Line;
        }
        if (stop.StopRequested())
            return ERead::Stopped;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop.WakeFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return ERead::End;
        }
        if (fds[1].revents)
            return ERead::Stopped;
        char buffer[256];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (m_strInput.empty())
                return ERead::End;
            strLine = std::move(m_strInput); // a last line without its line end
            m_strInput.clear();
            return ERead::Line;
        }
        m_strInput.append(buffer, size_t(n));
    }
}

#include "provisioning/Provisioning.h"

#include "links/LoaderRunner.h"
#include "links/Uart.h"
#include "mac/ArpCheck.h"
#include "provisioning/BootMonitorDialogue.h"

#include <algorithm>
#include <memory>

// The texts are UTF-8 here; the front ends show them as they are.
const char* const CProvisioningRun::kMsgLoaderFailed =
    "Houve um erro ao executar o BfinUcLinux.\r\nVerifique se a porta escolhida existe ou \r\n se está em "
    "uso "
    "por outra aplicação";
const char* const CProvisioningRun::kMsgOpenFailed = "Não foi possível conectar a porta serial.\r\nVerifique "
                                                     "se a porta escolhida existe ou \r\n se está em uso "
                                                     "por outra aplicação";
const char* const CProvisioningRun::kMsgNoPrompt =
    "Não foi possível receber o prompt da QAN640\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgTftpFailed =
    "Houve um erro ao enviar o comando tft\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgNoTransferSize =
    "Não foi possível receber o tamanho do arquivo enviado\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgEepromFailed =
    "Houve um erro ao enviar o comando para a eeprom\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgPowerCycle =
    "Comandos enviados com sucesso\n Desligue o QAN640, remova o jumper e religue-o";
const char* const CProvisioningRun::kMsgNoShell =
    "Houve um erro ao enviar o comando de reset\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgMacCancelled =
    "Operação cancelada.\n Endereço de MAC não especificado";
const char* const CProvisioningRun::kMsgBootargsFailed =
    "Houve um erro ao enviar o comando de definição do MAC\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgSaveenvFailed =
    "Houve um erro ao enviar o comando de gravação do MAC\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgResetFailed =
    "Houve um erro ao enviar o comando de reset do QAN640 após salvar o MAC\nReinicie a aplicação";
const char* const CProvisioningRun::kMsgArpUnusable = "Não foi possível verificar o MAC Address do QAN640";
const char* const CProvisioningRun::kMsgMacDiffers = "MAC Address do QAN640 difere do enviado";
const char* const CProvisioningRun::kMsgSuccess = "QAN640 configurando com sucesso";

namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

const char* RunStageTitle(int nStage) {
    static const char* const kTitles[kRunStageCount] = {
        "Início",
        "Carregando o primeiro estágio (BfinUcLinux)",
        "Abrindo a porta serial",
        "Configurando a porta serial",
        "Aguardando o prompt da QAN640",
        "Transferindo a imagem (tftp)",
        "Gravando a EEPROM",
        "Aguardando o operador religar a QAN640",
        "Aguardando o Linux para reiniciar (reboot)",
        "Aguardando o prompt após reiniciar",
        "Aguardando o endereço MAC",
        "Definindo o MAC (setenv bootargs)",
        "Gravando o MAC (saveenv)",
        "Reiniciando a QAN640 (reset)",
        "QAN640 configurada",
        "Verificando o MAC por ARP",
        "Fechando a porta serial",
    };
    return nStage >= 1 && nStage <= kRunStageCount ? kTitles[nStage - 1] : "";
}

CProvisioningRun::CProvisioningRun(CRunState& run, CLogConsole& log, IOperator& op, CStopToken stop)
    : m_run(run), m_log(log), m_op(op), m_stop(std::move(stop)) {}

void CProvisioningRun::EnterStage(int nStage) {
    m_result.nStage = nStage;
    if (m_pObserver)
        m_pObserver->OnStageStarted(nStage);
}

SRunResult& CProvisioningRun::MarkStopped() {
    m_result.eOutcome = ERunOutcome::Stopped;
    m_result.eEnd = ERunEnd::Stopped;
    m_result.strMessage.clear();
    return m_result;
}

SRunResult& CProvisioningRun::Finish(ERunEnd eEnd, const char* pszMessage, int nType, bool bRefresh) {
    // A failure that a stop caused is no failure of the board: nobody is left to read a box about it.
    if (m_stop.StopRequested())
        return MarkStopped();
    m_result.eEnd = eEnd;
    m_result.eOutcome = eEnd == ERunEnd::Verified ? ERunOutcome::Ok : ERunOutcome::Failed;
    m_result.strMessage = pszMessage;
    if (bRefresh)
        RefreshLog();
    m_op.ShowMessageBox(pszMessage, nType, m_stop);
    return m_result;
}

SRunResult CProvisioningRun::RunProvisioning() {
    m_result = SRunResult();
    RunStages();
    if (m_pObserver)
        m_pObserver->OnRunEnded(m_result);
    return m_result;
}

void CProvisioningRun::RunStages() {
    EnterStage(RUN_STAGE_START);
    m_log.AppendLogText("Executando BfinUcLinux \n", true);

    EnterStage(RUN_STAGE_LOADER);
    {
        CLoaderRunner loader(m_run, m_log, m_stop);
        if (!m_strLoaderProgram.empty())
            loader.SetProgram(m_strLoaderProgram);
        if (m_loaderPauses)
            loader.SetPauses(m_loaderPauses->first, m_loaderPauses->second);
        if (!loader.RunBfinUcLinux()) {
            Finish(ERunEnd::LoaderFailed, kMsgLoaderFailed, MB_TYPE_ERROR);
            return;
        }
    }

    EnterStage(RUN_STAGE_OPEN);
    auto pUart = std::make_unique<CUart>(m_dwReadTimeoutMs, m_stop);
    if (!pUart->Open(m_run.m_strPort, uint32_t(m_run.m_nBaudRate))) {
        Finish(ERunEnd::OpenFailed, kMsgOpenFailed, MB_TYPE_ERROR);
        return; // destroying the object releases whatever the failed open left held
    }
    // From here on every way out shows its box first, then closes the port, then destroys it.
    auto fail = [&](ERunEnd eEnd, const char* pszMessage) {
        Finish(eEnd, pszMessage, MB_TYPE_ERROR);
        pUart->Close();
        pUart.reset();
    };
    auto stopped = [&] {
        MarkStopped();
        pUart->Close();
        pUart.reset();
    };

    EnterStage(RUN_STAGE_STOP_BITS);
    pUart->SetStopBits(1);
    CBootMonitorDialogue dialogue(*pUart, m_log, m_run.m_strFileName, m_stop);

    EnterStage(RUN_STAGE_PROMPT);
    if (!dialogue.WaitPrompt())
        return fail(ERunEnd::NoPrompt, kMsgNoPrompt);

    EnterStage(RUN_STAGE_TFTP);
    std::string strSize;
    if (!dialogue.SendTftp(strSize))
        return fail(ERunEnd::TftpFailed, kMsgTftpFailed);
    if (strSize.empty())
        return fail(ERunEnd::NoTransferSize, kMsgNoTransferSize);

    EnterStage(RUN_STAGE_EEPROM);
    if (!dialogue.SendEepromWrite(strSize))
        return fail(ERunEnd::EepromFailed, kMsgEepromFailed);

    // The board's output while the operator powers it off and on waits in the port for the next stage.
    EnterStage(RUN_STAGE_POWER_CYCLE);
    RefreshLog();
    m_op.ShowMessageBox(kMsgPowerCycle, MB_TYPE_INFORMATION, m_stop);
    if (m_stop.StopRequested())
        return stopped();

    EnterStage(RUN_STAGE_REBOOT);
    if (!dialogue.SendReboot())
        return fail(ERunEnd::NoShell, kMsgNoShell);

    EnterStage(RUN_STAGE_PROMPT_AFTER_REBOOT);
    if (!dialogue.WaitPrompt())
        return fail(ERunEnd::NoPrompt, kMsgNoPrompt);

    EnterStage(RUN_STAGE_ASK_MAC);
    std::string strMac = AskMacAddress(m_op, m_stop);
    if (strMac.empty())
        return fail(ERunEnd::MacCancelled, kMsgMacCancelled);
    if (m_stop.StopRequested())
        return stopped();
    m_result.strMacSent = strMac;

    EnterStage(RUN_STAGE_BOOTARGS);
    if (!dialogue.SendBootargs(strMac))
        return fail(ERunEnd::BootargsFailed, kMsgBootargsFailed);

    EnterStage(RUN_STAGE_SAVEENV);
    if (!dialogue.SendSaveenv())
        return fail(ERunEnd::SaveenvFailed, kMsgSaveenvFailed);

    EnterStage(RUN_STAGE_RESET);
    if (!dialogue.SendReset())
        return fail(ERunEnd::ResetFailed, kMsgResetFailed);

    EnterStage(RUN_STAGE_CONFIGURED);
    RefreshLog();
    m_log.AppendLogText("QAN640 configurando com sucesso\n", true);
    m_log.AppendLogText("Verificando o mac address\n", true);

    EnterStage(RUN_STAGE_VERIFY);
    VerifyMac(strMac);

    if (m_result.eOutcome != ERunOutcome::Stopped)
        EnterStage(RUN_STAGE_CLOSE);
    pUart->Close();
    pUart.reset();
}

void CProvisioningRun::VerifyMac(const std::string& strMac) {
    // No bound of its own: a board that does not answer yet is asked again, once a second, until it answers
    // or the run is stopped.
    for (;;) {
        m_log.AppendLogText("\nLendo MAC address:", true);
        if (!m_stop.SleepFor(kArpPauseMs)) {
            MarkStopped();
            return;
        }
        std::string strReadMac;
        if (!ReadMacByArp(m_log, strReadMac, kBoardIp, m_stop, m_pArpQuery)) {
            Finish(ERunEnd::ArpUnusable, kMsgArpUnusable, MB_TYPE_ERROR, false);
            return;
        }
        if (m_stop.StopRequested()) {
            MarkStopped();
            return;
        }
        if (EqualIgnoringCase(strReadMac, kNoAnswerMac))
            strReadMac.clear();
        if (strReadMac.empty())
            continue;

        m_result.strMacRead = strReadMac;
        m_log.AppendLogText("\nMAC address lido:", false);
        m_log.AppendLogText(strReadMac.c_str(), true);
        if (EqualIgnoringCase(strMac, strReadMac))
            Finish(ERunEnd::Verified, kMsgSuccess, MB_TYPE_INFORMATION);
        else
            Finish(ERunEnd::MacDiffers, kMsgMacDiffers, MB_TYPE_ERROR);
        return;
    }
}

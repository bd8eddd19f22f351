#pragma once

#include "provisioning/RunResult.h"

// The exit statuses of qan640-provision: one per way a run can end, so that a bench script can tell the
// failures apart without reading the text. The README and --help list the same table.
inline constexpr int kExitVerified = 0;
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct SExitStatus {
    ERunEnd eEnd;
    int nStatus;
    const char* pszMeaning; // for --help
};

inline constexpr SExitStatus kRunExitStatuses[] = {
    {ERunEnd::Verified, kExitVerified, "MAC verificado por ARP"},
    {ERunEnd::LoaderFailed, 10, "etapa 2: o carregador (BfinUcLinux) falhou"},
    {ERunEnd::OpenFailed, 11, "etapa 3: a porta serial não abriu"},
    {ERunEnd::NoPrompt, 12, "etapa 5 ou 10: prompt da QAN640 não recebido"},
    {ERunEnd::TftpFailed, 13, "etapa 6: comando tftp falhou"},
    {ERunEnd::NoTransferSize, 14, "etapa 6: tamanho transferido não recebido"},
    {ERunEnd::EepromFailed, 15, "etapa 7: gravação da EEPROM não confirmada"},
    {ERunEnd::NoShell, 16, "etapa 9: shell do Linux não visto"},
    {ERunEnd::MacCancelled, 17, "etapa 11: endereço MAC não informado"},
    {ERunEnd::BootargsFailed, 18, "etapa 12: setenv bootargs não confirmado"},
    {ERunEnd::SaveenvFailed, 19, "etapa 13: saveenv não confirmado"},
    {ERunEnd::ResetFailed, 20, "etapa 14: shell não visto após o reset"},
    {ERunEnd::ArpUnusable, 21, "etapa 16: verificação por ARP indisponível"},
    {ERunEnd::MacDiffers, 22, "etapa 16: a placa responde com outro MAC"},
    {ERunEnd::Stopped, kExitInterrupted, "interrompido (SIGINT ou SIGTERM)"},
};

inline int ExitStatusFor(ERunEnd eEnd) {
    for (const SExitStatus& s : kRunExitStatuses)
        if (s.eEnd == eEnd)
            return s.nStatus;
    return kExitInternal;
}

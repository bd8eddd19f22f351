#pragma once

#include "provisioning/Operator.h"

#include <cstddef>
#include <iterator>
#include <string>

// How a provisioning run goes and how it ends, as its front ends and the record learn it: the stages, the
// ways a run ends, the result, and the notifications a front end can follow a run by.

// The stages of a run, in order.
enum ERunStage {
    RUN_STAGE_NONE = 0,
    RUN_STAGE_START = 1,
    RUN_STAGE_LOADER = 2,
    RUN_STAGE_OPEN = 3,
    RUN_STAGE_STOP_BITS = 4,
    RUN_STAGE_PROMPT = 5,
    RUN_STAGE_TFTP = 6,
    RUN_STAGE_EEPROM = 7,
    RUN_STAGE_POWER_CYCLE = 8,
    RUN_STAGE_REBOOT = 9,
    RUN_STAGE_PROMPT_AFTER_REBOOT = 10,
    RUN_STAGE_ASK_MAC = 11,
    RUN_STAGE_BOOTARGS = 12,
    RUN_STAGE_SAVEENV = 13,
    RUN_STAGE_RESET = 14,
    RUN_STAGE_CONFIGURED = 15,
    RUN_STAGE_VERIFY = 16,
    RUN_STAGE_CLOSE = 17,
};
constexpr int kRunStageCount = 17;

// A short Portuguese title of a stage for progress lines ("Etapa 6 de 17: ..."); "" outside 1..17.
const char* RunStageTitle(int nStage);

enum class ERunOutcome { Ok, Failed, Stopped };

// Which way a run ended; kRunEnds below says what each one shows and returns.
enum class ERunEnd {
    Verified,
    SetupFailed, // the loader or its image is missing: nothing was sent
    LoaderFailed,
    OpenFailed,
    NoPrompt,
    TftpFailed,
    NoTransferSize,
    EepromFailed,
    NoShell,
    MacCancelled,
    BootargsFailed,
    SaveenvFailed,
    ResetFailed,
    ArpUnusable,
    MacDiffers,
    MacRecorded,       // the address is already in another board (the record says so)
    MacRangeExhausted, // no free address left in the line's range
    MacRangeUnusable,  // the range file is malformed or lies outside the offered prefixes
    // The record (or a journal of a run that is gone) cannot be read, so the address cannot be checked
    MacRecordUnreadable,
    MacReserved,       // another run holds the address (under way, or gone without its row yet)
    PortInUse,         // another run holds the port: nothing was sent
    PortNotReserved,   // the port's lock could not be taken: nothing was sent
    NoBoardCard,       // the board's network card cannot be used or told: nothing was sent
    ArpTimedOut,       // the board did not answer within the run's time limit
    EepromNotVerified, // what the board read back from its EEPROM is not the transferred image
    SerialMissing,     // the site requires the board's serial number and none that fits was given
    Stopped,           // the window closed or the program was interrupted
};

constexpr ERunOutcome RunOutcomeOf(ERunEnd eEnd) {
    return eEnd == ERunEnd::Verified  ? ERunOutcome::Ok
           : eEnd == ERunEnd::Stopped ? ERunOutcome::Stopped
                                      : ERunOutcome::Failed;
}

// One way a run ends, everything the program says and returns about it: the sequence shows the box, the
// record keeps its text, the headless front end exits with the status and explains it in --help.
struct SRunEndRow {
    ERunEnd eEnd;
    // The stage whose box it is and a second one that ends the same way; RUN_STAGE_NONE where there is none
    // (a stop comes at any stage).
    int nStage;
    int nOtherStage;
    const char* pszBox;       // the closing box's text (UTF-8); "" for a stop, which shows no box
    EMessageBoxType eBoxType; // its icon
    int nExitStatus;          // of qan640-provision
    const char* pszMeaning;   // its line in qan640-provision --help, after the stages
};

// The operator's closing boxes, in the order of ERunEnd.
inline constexpr SRunEndRow kRunEnds[] = {
    {ERunEnd::Verified, RUN_STAGE_VERIFY, RUN_STAGE_NONE, "QAN640 configurando com sucesso",
     MB_TYPE_INFORMATION, 0, "MAC verificado por ARP"},
    {ERunEnd::SetupFailed, RUN_STAGE_START, RUN_STAGE_NONE,
     "Preparação incompleta: nada foi enviado à QAN640.\r\n"
     "Verifique o carregador BfinUcLinux e a imagem do primeiro estágio:",
     MB_TYPE_ERROR, 4,
     "carregador (bfin-uclinux-ldr) ou imagem do primeiro estágio ausente; nada foi enviado"},
    {ERunEnd::LoaderFailed, RUN_STAGE_LOADER, RUN_STAGE_NONE,
     "Houve um erro ao executar o BfinUcLinux.\r\n"
     "Verifique se a porta escolhida existe ou \r\n se está em uso por outra aplicação",
     MB_TYPE_ERROR, 10, "o carregador (BfinUcLinux) falhou"},
    {ERunEnd::OpenFailed, RUN_STAGE_OPEN, RUN_STAGE_NONE,
     "Não foi possível conectar a porta serial.\r\n"
     "Verifique se a porta escolhida existe ou \r\n se está em uso por outra aplicação",
     MB_TYPE_ERROR, 11, "a porta serial não abriu"},
    {ERunEnd::NoPrompt, RUN_STAGE_PROMPT, RUN_STAGE_PROMPT_AFTER_REBOOT,
     "Não foi possível receber o prompt da QAN640\nReinicie a aplicação", MB_TYPE_ERROR, 12,
     "prompt da QAN640 não recebido"},
    {ERunEnd::TftpFailed, RUN_STAGE_TFTP, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando tft\nReinicie a aplicação", MB_TYPE_ERROR, 13, "comando tftp falhou"},
    {ERunEnd::NoTransferSize, RUN_STAGE_TFTP, RUN_STAGE_NONE,
     "Não foi possível receber o tamanho do arquivo enviado\nReinicie a aplicação", MB_TYPE_ERROR, 14,
     "tamanho transferido não recebido"},
    {ERunEnd::EepromFailed, RUN_STAGE_EEPROM, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando para a eeprom\nReinicie a aplicação", MB_TYPE_ERROR, 15,
     "gravação da EEPROM não confirmada ou não concluída"},
    {ERunEnd::NoShell, RUN_STAGE_REBOOT, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando de reset\nReinicie a aplicação", MB_TYPE_ERROR, 16,
     "shell do Linux não visto"},
    {ERunEnd::MacCancelled, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "Operação cancelada.\n Endereço de MAC não especificado", MB_TYPE_ERROR, 17,
     "endereço MAC não informado"},
    {ERunEnd::BootargsFailed, RUN_STAGE_BOOTARGS, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando de definição do MAC\nReinicie a aplicação", MB_TYPE_ERROR, 18,
     "setenv bootargs não confirmado"},
    {ERunEnd::SaveenvFailed, RUN_STAGE_SAVEENV, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando de gravação do MAC\nReinicie a aplicação", MB_TYPE_ERROR, 19,
     "saveenv não confirmado"},
    {ERunEnd::ResetFailed, RUN_STAGE_RESET, RUN_STAGE_NONE,
     "Houve um erro ao enviar o comando de reset do QAN640 após salvar o MAC\nReinicie a aplicação",
     MB_TYPE_ERROR, 20, "shell não visto após o reset"},
    {ERunEnd::ArpUnusable, RUN_STAGE_VERIFY, RUN_STAGE_NONE,
     "Não foi possível verificar o MAC Address do QAN640", MB_TYPE_ERROR, 21,
     "verificação por ARP indisponível"},
    {ERunEnd::MacDiffers, RUN_STAGE_VERIFY, RUN_STAGE_NONE, "MAC Address do QAN640 difere do enviado",
     MB_TYPE_ERROR, 22, "a placa responde com outro MAC"},
    {ERunEnd::MacRecorded, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "Endereço MAC já gravado em outra placa.\nNada foi enviado à QAN640", MB_TYPE_ERROR, 30,
     "MAC já gravado em uma placa segundo o registro (--reuse-mac para a mesma placa)"},
    {ERunEnd::MacRangeExhausted, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "Não há endereço MAC livre na faixa.\nNada foi enviado à QAN640", MB_TYPE_ERROR, 31,
     "faixa de endereços MAC esgotada"},
    {ERunEnd::MacRangeUnusable, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "A faixa de endereços MAC não pode ser usada.\nNada foi enviado à QAN640", MB_TYPE_ERROR, 32,
     "arquivo de faixa de MAC inválido ou fora dos prefixos oferecidos"},
    {ERunEnd::MacRecordUnreadable, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "O registro de execuções não pode ser lido: o endereço MAC não pode ser conferido.\nNada foi enviado à "
     "QAN640",
     MB_TYPE_ERROR, 34, "registro ilegível ou execução interrompida sem linha; MAC não conferido"},
    {ERunEnd::MacReserved, RUN_STAGE_ASK_MAC, RUN_STAGE_NONE,
     "Endereço MAC reservado por outra execução:", MB_TYPE_ERROR, 33,
     "MAC reservado por outra execução (em andamento, ou sem linha no registro ainda); nada foi enviado"},
    {ERunEnd::PortInUse, RUN_STAGE_START, RUN_STAGE_NONE,
     "A porta serial escolhida já está em uso por outra execução deste programa.\r\n"
     "Aguarde o fim dela ou escolha outra porta",
     MB_TYPE_ERROR, 25, "a porta serial está em uso por outra execução; nada foi enviado"},
    {ERunEnd::PortNotReserved, RUN_STAGE_START, RUN_STAGE_NONE,
     "Não foi possível reservar a porta serial para esta execução.\r\n"
     "O log indica o arquivo de trava e o motivo",
     MB_TYPE_ERROR, 26, "a trava da porta serial não pôde ser feita; nada foi enviado"},
    {ERunEnd::NoBoardCard, RUN_STAGE_START, RUN_STAGE_NONE,
     "Não é possível usar a placa de rede da QAN640 para verificar o MAC:", MB_TYPE_ERROR, 27,
     "placa de rede da QAN640 inexistente, desativada, sem endereço ou ambígua; nada foi enviado"},
    {ERunEnd::ArpTimedOut, RUN_STAGE_VERIFY, RUN_STAGE_NONE,
     "A QAN640 não respondeu ao ARP dentro do tempo limite.\r\nVerifique o cabo de rede da QAN640",
     MB_TYPE_ERROR, 28, "sem resposta ao ARP dentro de --arp-timeout"},
    {ERunEnd::EepromNotVerified, RUN_STAGE_EEPROM, RUN_STAGE_NONE,
     "Gravação da EEPROM não conferida: a QAN640 pode não ter a imagem transferida.\nReinicie a aplicação",
     MB_TYPE_ERROR, 29, "a EEPROM lida de volta não é a imagem transferida (ou a leitura falhou)"},
    {ERunEnd::SerialMissing, RUN_STAGE_START, RUN_STAGE_NONE,
     "Número de série da placa não informado ou fora do padrão.\nNada foi enviado à QAN640", MB_TYPE_ERROR,
     35, "número de série (--serial) ausente ou fora do padrão de QAN640serial.conf; nada foi enviado"},
    // SIGINT's status; another stop signal gives 128 + its number.
    {ERunEnd::Stopped, RUN_STAGE_NONE, RUN_STAGE_NONE, "", MB_TYPE_NONE, 130, "interrompido por"},
};

constexpr const SRunEndRow& RunEndRow(ERunEnd eEnd) {
    return kRunEnds[size_t(eEnd)];
}

// Every end has its row, at its own place.
constexpr bool RunEndsInOrder() {
    for (size_t i = 0; i < std::size(kRunEnds); ++i)
        if (kRunEnds[i].eEnd != ERunEnd(i))
            return false;
    return std::size(kRunEnds) == size_t(ERunEnd::Stopped) + 1;
}
static_assert(RunEndsInOrder(), "kRunEnds must hold one row per ERunEnd, in the enum's order");

struct SRunResult {
    ERunEnd eEnd = ERunEnd::Stopped;
    // The stage that failed, the last one reached by a stopped run, RUN_STAGE_CLOSE for a verified board.
    int nStage = RUN_STAGE_NONE;
    std::string strMacSent;
    std::string strMacRead;
    // What the closing box adds to its row's text on a line of its own (which file is missing, why the
    // loader failed, the range file's line, when and where an address was stored).
    std::string strDetail;
    // How the run was done or left, whatever its end: the EEPROM's read-back turned off, a stop while the
    // board may have been writing. On the last line of the message.
    std::string strNote;
    // The address was already stored in a board and the operator said it is the same board.
    bool bMacReused = false;
    // The board's serial number, when the site requires one; and the note that the record shows this serial
    // with this address already (the same board again), for the row's message.
    std::string strSerial = {};
    bool bSameBoardAgain = false;

    ERunOutcome Outcome() const { return RunOutcomeOf(eEnd); }
    // The closing box's text (UTF-8), then the note; a stopped run has only the note.
    std::string Message() const {
        std::string strText = RunEndRow(eEnd).pszBox;
        for (const std::string* pLine : {&strDetail, &strNote})
            if (!pLine->empty())
                strText += (strText.empty() ? "" : "\n") + *pLine;
        return strText;
    }
};

// Notifications from the run, on the run's own thread. Each is short: a front end that needs its GUI thread
// queues the work there.
class IRunObserver {
public:
    virtual ~IRunObserver() = default;
    // The run as it stands as a stage begins (its stage, the MAC once sent), right before OnStageStarted:
    // for what has to be kept while the run goes on.
    virtual void OnRunProgress(const SRunResult& /*progress*/) {}
    virtual void OnStageStarted(int /*nStage*/) {}
    // The verdict, as soon as it is known: before the closing box, which may stay open for long.
    virtual void OnVerdict(const SRunResult& /*result*/) {}
    virtual void OnRunEnded(const SRunResult& /*result*/) {}
};

// qan640-provision: the provisioning run without a window, for test-bench scripts and terminals. The same
// run, the same files in the working directory and the same record as the window; each message box is a
// line on standard error and the exit status says how the run ended.
#include "cli/ExitStatus.h"
#include "cli/LineCommands.h"
#include "cli/SignalStop.h"
#include "cli/TerminalOperator.h"
#include "core/DebugOutput.h"
#include "core/HeapArenas.h"
#include "core/LogConsole.h"
#include "core/RunState.h"
#include "core/Settings.h"
#include "core/SystemError.h"
#include "core/UniqueFd.h"
#include "core/Worker.h"
#include "labels/LabelPrinter.h"
#include "ledger/RecordMacLedger.h"
#include "linedb/DbMacLedger.h"
#include "linedb/LineDb.h"
#include "mac/MacInput.h"
#include "mac/MacPrefixFile.h"
#include "mac/NetCardFile.h"
#include "provisioning/BootMonitorDialogue.h"
#include "provisioning/EepromCheckFile.h"
#include "provisioning/SerialNumber.h"
#include "records/ProgramVersion.h"
#include "records/RecordedRun.h"
#include "records/ShiftReport.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned long kMaxArpTimeoutS = 7 * 24 * 3600;

struct SOptions {
    std::string strPort;
    std::string strMac;
    std::string strSerial;
    std::string strPrintLabel;
    std::string strWorkDir;
    std::string strInterface;
    std::string strDb;
    bool bDbInit = false;
    uint32_t dwArpTimeoutS = 0;
    bool bEcho = false;
    bool bReuseMac = false;
    bool bReadBack = true;
    bool bInteractive = true;
    bool bHelp = false;
    bool bVersion = false;
    bool bReport = false;
    bool bCsv = false;
    std::optional<std::chrono::system_clock::time_point> tSince;
};

// The program's uses, one usage line each in --help.
enum EUse : unsigned { kUseRun = 1, kUseReport = 2, kUseDbInit = 4, kUseInfo = 8, kUseLabel = 16 };
constexpr EUse kUses[] = {kUseRun, kUseReport, kUseDbInit, kUseLabel, kUseInfo};

// One option as the parser takes it and --help shows it. Apply takes its value (empty for an option without
// one) and says what is wrong with it, or nothing.
struct SOption {
    const char* pszName;
    const char* pszValue; // the value's name in --help; null: the option takes no value
    unsigned nUses;       // the usage lines it belongs to
    std::string strHelp;  // its lines in --help, after the name (lines after the first are indented)
    std::optional<std::string> (*Apply)(SOptions&, const std::string&); // null: a line of --help only
    const char* pszUsage = nullptr; // how the usage line shows it, when not as "[NAME VALUE]"
};

template <bool SOptions::*pField, bool bValue>
std::optional<std::string> SetFlag(SOptions& options, const std::string&) {
    options.*pField = bValue;
    return std::nullopt;
}

template <std::string SOptions::*pField>
std::optional<std::string> SetText(SOptions& options, const std::string& strValue) {
    options.*pField = strValue;
    return std::nullopt;
}

std::optional<std::string> SetArpTimeout(SOptions& options, const std::string& strSeconds) {
    unsigned long nSeconds = 0;
    auto [end, ec] = std::from_chars(strSeconds.data(), strSeconds.data() + strSeconds.size(), nSeconds);
    if (ec != std::errc() || end != strSeconds.data() + strSeconds.size() || nSeconds == 0 ||
        nSeconds > kMaxArpTimeoutS)
        return "--arp-timeout " + strSeconds + ": um número de segundos de 1 a " +
               std::to_string(kMaxArpTimeoutS);
    options.dwArpTimeoutS = uint32_t(nSeconds);
    return std::nullopt;
}

std::optional<std::string> SetSince(SOptions& options, const std::string& strDate) {
    options.tSince = LocalMidnight(strDate);
    if (!options.tSince)
        return "--since " + strDate + ": uma data AAAA-MM-DD, ex. 2024-05-01";
    return std::nullopt;
}

constexpr unsigned kUseRunOrReport = kUseRun | kUseReport | kUseDbInit;

// Every option, in the order --help lists them.
const SOption kOptions[] = {
    {"--port", "PORTA", kUseRun, "porta serial (ttyUSB0 é /dev/ttyUSB0; um nome com \"/\" é um caminho)",
     SetText<&SOptions::strPort>, "--port PORTA"},
    {"--mac", "MAC", kUseRun,
     std::string("endereço MAC completo, ex. 02:3A:7C:12:34:56; o prefixo deve ser um\n"
                 "dos oferecidos em ") +
         kMacPrefixFileName + "; sem --mac, o endereço é pedido no terminal",
     SetText<&SOptions::strMac>, "[--mac MAC | --mac next]"},
    {"--mac next", nullptr, 0, std::string("o próximo endereço livre da faixa de ") + kMacRangeFileName,
     nullptr},
    {"--serial", "SÉRIE", kUseRun,
     std::string("número de série da placa, exigido quando existe ") + kSerialPatternFileName +
         " (o padrão\ndo local); sem --serial, pedido no terminal",
     SetText<&SOptions::strSerial>},
    {"--reuse-mac", nullptr, kUseRun,
     "aceita um MAC que o registro mostra já gravado (a mesma placa de novo)",
     SetFlag<&SOptions::bReuseMac, true>},
    {"--workdir", "DIR", kUseRunOrReport, "diretório de trabalho (padrão: o atual)",
     SetText<&SOptions::strWorkDir>},
    {"--interface", "PLACA", kUseRun,
     std::string("placa de rede da QAN640 para a verificação do MAC (padrão: a de ") + kNetCardFileName +
         "\npara esta porta; sem ela, a única placa na rede de 10.0.0.50)",
     SetText<&SOptions::strInterface>},
    {"--arp-timeout", "SEGUNDOS", kUseRun,
     "tempo máximo de espera pela resposta da QAN640 ao ARP (padrão: sem\n"
     "limite); sem resposta, uma linha a cada 10 s",
     SetArpTimeout},
    {"--db", "CONEXÃO", kUseRunOrReport,
     std::string("banco de dados da linha (cadeia de conexão ou URI do libpq; padrão: a de\n") +
         kLineDbFileName + "); a senha vem de ~/.pgpass, PGPASSFILE ou um arquivo de serviço",
     SetText<&SOptions::strDb>},
    {"--db-init", nullptr, kUseDbInit, "cria ou atualiza as tabelas do banco de dados da linha e termina",
     SetFlag<&SOptions::bDbInit, true>, "--db-init"},
    {"--no-readback", nullptr, kUseRun,
     std::string("não confere a EEPROM lendo-a de volta (como a linha \"readback off\" em\n") +
         kEepromCheckFileName + "); o log, a linha de progresso e o registro dizem que não foi conferida",
     SetFlag<&SOptions::bReadBack, false>},
    {"--echo", nullptr, kUseRun, "copia para a saída padrão tudo o que o log mostra, a placa incluída",
     SetFlag<&SOptions::bEcho, true>},
    {"--non-interactive", nullptr, kUseRun, "não espera o Enter da etapa 8; exige --mac",
     SetFlag<&SOptions::bInteractive, false>},
    {"--report", nullptr, kUseReport,
     std::string("relatório de produção do banco de dados da linha, se houver, senão\n"
                 "de ") +
         kRunRecordFileName +
         ", com esta máquina como estação:\n"
         "rendimento por dia e estação (placas verificadas / placas\n"
         "tentadas), falhas por etapa e MACs gravados por mais de uma\n"
         "execução. Placa tentada: execução que chegou à etapa 2 (o\n"
         "carregador) ou além; erros de preparação e interrupções na etapa 1\n"
         "não contam. Cada execução conta: uma placa refeita conta duas vezes",
     SetFlag<&SOptions::bReport, true>, "--report"},
    {"--since", "DATA", kUseReport,
     "com --report: só execuções iniciadas a partir de DATA (AAAA-MM-DD,\n"
     "meia-noite local); um MAC gravado de novo lista também as anteriores",
     SetSince},
    {"--csv", nullptr, kUseReport, "com --report: as mesmas tabelas em CSV, para planilhas",
     SetFlag<&SOptions::bCsv, true>},
    {"--print-label", "MAC", kUseLabel,
     std::string("imprime de novo a etiqueta da placa verificada com este MAC, da sua\nlinha em ") +
         kRunRecordFileName + ", pela fila de " + kLabelConfigFileName + ", e termina",
     SetText<&SOptions::strPrintLabel>, "--print-label MAC"},
    {"--help", nullptr, kUseInfo, "este texto", SetFlag<&SOptions::bHelp, true>, "--help | --version"},
    {"-h", nullptr, 0, "", SetFlag<&SOptions::bHelp, true>},
    {"--version", nullptr, kUseInfo, "a versão do programa", SetFlag<&SOptions::bVersion, true>, ""},
};

// A status's line in --help: a failure names its stages, "etapa 5 ou 10: ...".
std::string ExitMeaning(const SRunEndRow& row) {
    if (RunOutcomeOf(row.eEnd) != ERunOutcome::Failed)
        return row.pszMeaning;
    std::string strStages = "etapa " + std::to_string(row.nStage);
    if (row.nOtherStage != RUN_STAGE_NONE)
        strStages += " ou " + std::to_string(row.nOtherStage);
    return strStages + ": " + row.pszMeaning;
}

// How an option shows on a usage line: "[NAME VALUE]" unless it says otherwise.
std::string UsageForm(const SOption& option) {
    if (option.pszUsage)
        return option.pszUsage;
    return std::string("[") + option.pszName + (option.pszValue ? std::string(" ") + option.pszValue : "") +
           "]";
}

// One line per use of the program: what that use requires, then its other options, wrapped.
void PrintUsageLines() {
    constexpr size_t kWidth = 88;
    const std::string strIndent(7, ' ');
    for (EUse eUse : kUses) {
        std::string strLine = (eUse == kUses[0] ? std::string("Uso: ") : strIndent) + kProgram;
        size_t nLineStart = 0;
        for (bool bRequired : {true, false}) {
            for (const SOption& option : kOptions) {
                std::string strShown = UsageForm(option);
                if (!(option.nUses & eUse) || strShown.empty() || strShown.starts_with('[') == bRequired)
                    continue;
                if (strLine.size() - nLineStart + 1 + strShown.size() > kWidth) {
                    nLineStart = strLine.size() + 1;
                    strLine += "\n" + strIndent;
                } else {
                    strLine += " ";
                }
                strLine += strShown;
            }
        }
        printf("%s\n", strLine.c_str());
    }
}

// Characters, not bytes, for the columns of --help.
size_t Utf8Length(const std::string& text) {
    return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Each option with its value's name, and its text in a column beside it.
void PrintOptionLines() {
    for (const SOption& option : kOptions) {
        if (option.strHelp.empty())
            continue;
        std::string strName = std::string("  ") + option.pszName + (option.pszValue ? " " : "") +
                              (option.pszValue ? option.pszValue : "");
        std::string strText = option.strHelp;
        for (size_t pos = 0; (pos = strText.find('\n', pos)) != std::string::npos; pos += 23)
            strText.insert(pos + 1, std::string(22, ' '));
        size_t nLength = Utf8Length(strName);
        std::string strGap = nLength >= 22 ? "\n" + std::string(22, ' ') : std::string(22 - nLength, ' ');
        printf("%s%s%s\n", strName.c_str(), strGap.c_str(), strText.c_str());
    }
}

// Every status once, in their order: the run's ends, a stop per signal, and the ones no run gives.
std::vector<std::pair<int, std::string>> AllExitStatuses() {
    std::vector<std::pair<int, std::string>> statuses;
    for (const SRunEndRow& row : kRunEnds) {
        if (row.eEnd != ERunEnd::Stopped) {
            statuses.emplace_back(row.nExitStatus, ExitMeaning(row));
            continue;
        }
        for (int nSignal : kRunStopSignals)
            statuses.emplace_back(ExitStatusForSignal(nSignal), std::string(row.pszMeaning) + " SIG" +
                                                                    sigabbrev_np(nSignal) + " (128 + " +
                                                                    std::to_string(nSignal) + ")");
    }
    statuses.emplace_back(kExitVerifiedNotRecorded,
                          std::string("placa configurada, registro não salvo (linha de ") +
                              kRunRecordFileName + " ou log)");
    statuses.emplace_back(
        kExitNotRecorded,
        "placa não configurada (falha ou interrupção, ver \"Resultado:\"), registro não salvo");
    statuses.emplace_back(kExitUsage, "uso incorreto: opção desconhecida, --port ausente, valor ausente ou "
                                      "começado por --,\n       MAC recusado, --non-interactive sem --mac, "
                                      "--arp-timeout que não é um número "
                                      "de segundos,\n       --since que não é uma data, --report com opções "
                                      "de execução");
    statuses.emplace_back(
        kExitWorkDirUnusable,
        std::string("diretório de trabalho (--workdir) inexistente ou inacessível, ou --report sem ler ") +
            kRunRecordFileName + "; nada foi executado");
    statuses.emplace_back(kExitDbConfig, std::string("banco de dados da linha: ") + kLineDbFileName +
                                             " ou --db ilegível ou com senha; nada foi executado");
    statuses.emplace_back(kExitDbRefused, "banco de dados da linha recusou a conexão ou não tem o esquema "
                                          "deste programa (--db-init); nada foi executado");
    statuses.emplace_back(
        kExitDbUnavailable,
        "banco de dados da linha indisponível com --mac next (ou --db-init); nada foi executado");
    statuses.emplace_back(kExitDbStationTaken, std::string("o nome desta estação pertence a outro computador "
                                                           "no banco de dados da linha (") +
                                                   kStationFileName + "); nada foi executado");
    statuses.emplace_back(kExitInternal, "erro interno");
    std::stable_sort(statuses.begin(), statuses.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return statuses;
}

void PrintHelp() {
    PrintUsageLines();
    printf("\n"
           "Provisiona uma QAN640 sem janela: o mesmo processo da janela, do carregador ao MAC\n"
           "verificado por ARP, com os mesmos arquivos no diretório de trabalho.\n"
           "\n");
    PrintOptionLines();
    printf("\n"
           "Na saída de erro: uma linha por etapa (\"[6/17] título (tempo decorrido)\"), o texto de cada\n"
           "mensagem e o resultado. Cada execução acrescenta uma linha a %s e grava o log em\n"
           "%s/<início>-<porta>.log. SIGINT, SIGTERM, SIGHUP ou SIGQUIT interrompem a execução como o\n"
           "fechamento da janela; o código de saída é então 128 + o número do sinal.\n"
           "\n"
           "Código de saída:\n",
           kRunRecordFileName, kRunLogFolderName);
    for (const auto& [nStatus, strMeaning] : AllExitStatuses())
        printf("  %3d  %s\n", nStatus, strMeaning.c_str());
}

int Usage(const std::string& strProblem) {
    fprintf(stderr, "%s: %s\nUse --help para ver as opções.\n", kProgram, strProblem.c_str());
    return kExitUsage;
}

// Takes the option at argv[i] (and its value, which may be the next argument); the problem when it is
// refused. A value never begins with "--": "--port --mac X" lacks the port, rather than naming it "--mac".
std::optional<std::string> TakeOption(int argc, char** argv, int& i, SOptions& options,
                                      unsigned& nUsesGiven) {
    std::string strArg = argv[i];
    std::optional<std::string> value;
    size_t eq = strArg.find('=');
    if (strArg.starts_with("--") && eq != std::string::npos) {
        value = strArg.substr(eq + 1);
        strArg.resize(eq);
    }
    const SOption* pOption =
        std::find_if(std::begin(kOptions), std::end(kOptions),
                     [&](const SOption& option) { return option.Apply && strArg == option.pszName; });
    if (pOption == std::end(kOptions))
        return "opção desconhecida: " + strArg;
    if (!pOption->pszValue) {
        if (value)
            return strArg + " não leva valor";
    } else {
        if (!value && i + 1 < argc)
            value = argv[++i];
        if (!value || value->empty() || value->starts_with("--"))
            return strArg + " precisa de um valor (que não começa com --)";
    }
    if (pOption->nUses != kUseRunOrReport)
        nUsesGiven |= pOption->nUses;
    return pOption->Apply(options, value.value_or(""));
}

// Fills options; returns an exit status when the program should end at once.
std::optional<int> ParseOptions(int argc, char** argv, SOptions& options) {
    unsigned nUsesGiven = 0; // the uses whose own options were given
    for (int i = 1; i < argc; ++i) {
        if (std::optional<std::string> strProblem = TakeOption(argc, argv, i, options, nUsesGiven))
            return Usage(*strProblem);
    }
    if (options.bHelp) {
        PrintHelp();
        return 0;
    }
    if (options.bVersion) {
        printf("%s %s\n", kProgram, kProgramVersion);
        return 0;
    }
    if (!options.bReport && (options.bCsv || options.tSince))
        return Usage(std::string(options.bCsv ? "--csv" : "--since") + " só com --report");
    // The report reads the record and touches no board: an option of a run has no meaning there.
    if (options.bReport)
        return nUsesGiven & (kUseRun | kUseDbInit)
                   ? std::optional<int>(
                         Usage("--report não combina com opções de execução (--port, --mac, ...)"))
                   : std::nullopt;
    if (!options.strPrintLabel.empty())
        return nUsesGiven & ~unsigned(kUseLabel | kUseInfo)
                   ? std::optional<int>(Usage("--print-label não combina com outras opções"))
                   : std::nullopt;
    if (options.strPort.empty() && !options.bDbInit)
        return Usage("falta --port");
    if (options.strMac.empty() && !options.bInteractive)
        return Usage("--non-interactive exige --mac");
    return std::nullopt;
}

// strLogDir: where the log's path starts from, as the user gave it (--workdir), or empty.
void PrintOutcome(const SRunResult& result, const CRunArchive::SArchived& archived, double dElapsedS,
                  const std::string& strLogDir) {
    char elapsed[32];
    snprintf(elapsed, sizeof elapsed, "%.1f s", dElapsedS);
    std::string strStage = std::to_string(result.nStage) + " (" + RunStageTitle(result.nStage) + ")";
    switch (result.Outcome()) {
    case ERunOutcome::Ok:
        fprintf(stderr, "Resultado: MAC %s verificado, %s\n", result.strMacSent.c_str(), elapsed);
        break;
    case ERunOutcome::Failed:
        fprintf(stderr, "Resultado: falha na etapa %s, %s\n", strStage.c_str(), elapsed);
        break;
    case ERunOutcome::Stopped:
        fprintf(stderr, "Resultado: interrompido na etapa %s, %s\n", strStage.c_str(), elapsed);
        if (!result.strNote.empty())
            fprintf(stderr, "%s\n", result.strNote.c_str());
        break;
    }
    for (const std::string& strProblem : archived.problems)
        fprintf(stderr, "%s\n", strProblem.c_str());
    if (!archived.row.strLogFile.empty())
        fprintf(stderr, "Log: %s%s\n", strLogDir.c_str(), archived.row.strLogFile.c_str());
}

// Enters --workdir; strLogDir gets the log's path as the user can open it from where the program was
// started: the run's paths are relative to the working directory, which --workdir names as the user wrote it.
std::optional<int> EnterWorkDir(const SOptions& options, std::string& strLogDir) {
    if (!options.strWorkDir.empty() && chdir(options.strWorkDir.c_str()) != 0) {
        fprintf(stderr, "%s: não foi possível usar o diretório de trabalho %s: %s\n", kProgram,
                options.strWorkDir.c_str(), SystemErrorText(errno).c_str());
        return kExitWorkDirUnusable;
    }
    strLogDir = options.strWorkDir;
    while (strLogDir.size() > 1 && strLogDir.back() == '/')
        strLogDir.pop_back();
    if (!strLogDir.empty() && strLogDir != "/")
        strLogDir += '/';
    return std::nullopt;
}

// The line's database, when one is configured (--db, else QAN640db.conf): its connection string, judged
// before anything runs.
std::optional<int> ReadConninfo(const SOptions& options, std::optional<std::string>& conninfo) {
    std::string strDbError;
    conninfo = options.strDb.empty() ? ReadLineDbConninfo(".", strDbError) : std::optional(options.strDb);
    if (!conninfo && !strDbError.empty()) {
        fprintf(stderr, "%s: %s\n", kProgram, strDbError.c_str());
        return kExitDbConfig;
    }
    return std::nullopt;
}

// Connects to the line's database. A server down mid-shift does not stop the line for typed addresses: the
// record checks them and the rows wait in the outbox. Handing out the next address needs the line's own
// answer.
std::optional<int> ConnectLineDb(const SOptions& options, CLineDb& lineDb) {
    std::string strDbError;
    CLineDb::EState eState = lineDb.Connect(strDbError);
    if (eState == CLineDb::EState::Unreachable) {
        if (options.strMac == "next") {
            fprintf(stderr, "%s: --mac next recusado: %s\n", kProgram, strDbError.c_str());
            return kExitDbUnavailable;
        }
        fprintf(stderr,
                "Aviso: %s; o MAC é conferido só com %s e o registro vai ao banco quando ele voltar\n",
                strDbError.c_str(), kRunRecordFileName);
    } else if (eState != CLineDb::EState::Ready) {
        fprintf(stderr, "%s: %s\n", kProgram, strDbError.c_str());
        return LineDbExitStatus(eState);
    }
    return std::nullopt;
}

// --mac next: the range's next free address, taken before anything runs, so that an exhausted or unusable
// range sends nothing at all.
std::optional<int> TakeNextMac(IMacLedger& ledger, std::string& strMac) {
    SMacTaken taken = ledger.TakeNext();
    if (taken.eStatus == SMacTaken::EStatus::NoRange)
        return Usage(std::string("--mac next: não há ") + kMacRangeFileName);
    if (taken.eStatus == SMacTaken::EStatus::Unavailable) {
        fprintf(stderr, "%s: --mac next recusado: %s\n", kProgram, taken.strMessage.c_str());
        return kExitDbUnavailable;
    }
    if (taken.eStatus != SMacTaken::EStatus::Taken) {
        ERunEnd eEnd = taken.eStatus == SMacTaken::EStatus::Exhausted    ? ERunEnd::MacRangeExhausted
                       : taken.eStatus == SMacTaken::EStatus::Unreadable ? ERunEnd::MacRecordUnreadable
                                                                         : ERunEnd::MacRangeUnusable;
        fprintf(stderr, "%s: %s\n", kProgram, taken.strMessage.c_str());
        return RunEndRow(eEnd).nExitStatus;
    }
    strMac = taken.strMac;
    fprintf(stderr, "MAC da faixa: %s\n", taken.strMac.c_str());
    return std::nullopt;
}

// The address given (or taken), judged by the MAC dialog's rules and against the prefix file; strMac gets it
// as the run sends it.
std::optional<int> CheckGivenMac(const std::string& strGiven, const CMacPrefixList& prefixes,
                                 std::string& strMac) {
    if (strGiven.empty())
        return std::nullopt;
    QString message =
        ValidateWholeMacText(QString::fromLocal8Bit(strGiven.c_str()), prefixes.m_entries, strMac);
    if (!message.isEmpty())
        return Usage("--mac " + strGiven + ": " + message.toStdString());
    return std::nullopt;
}

// How the program ends after a run: a board missing from the record first, then a stop by a signal, then
// the run's own end.
int ExitStatusAfter(const SRunResult& result, const CRecordedRun& run, const CSignalStop& signalStop) {
    if (!run.Archived().bSaved)
        return result.Outcome() == ERunOutcome::Ok ? kExitVerifiedNotRecorded : kExitNotRecorded;
    if (result.Outcome() == ERunOutcome::Stopped && signalStop.Signal() != 0)
        return ExitStatusForSignal(signalStop.Signal());
    return RunEndRow(result.eEnd).nExitStatus;
}

// One run on options.strPort with the address strMac (empty: asked at the terminal), on a worker thread (the
// serial port wants a thread that Qt started), reported on standard error.
int ProvisionBoard(const SOptions& options, const std::string& strMac, const CMacPrefixList& prefixes,
                   IMacLedger& ledger, CLineDb* pLineDb, const std::string& strStation, CStopSource& stop,
                   const CSignalStop& signalStop, const std::string& strLogDir) {
    SaveRememberedPort(options.strPort);
    CRunState runState;
    runState.m_strPort = options.strPort;
    CEchoLogBox echo;
    CLogConsole log(options.bEcho ? &echo : nullptr);
    CTerminalOperator op(strMac, prefixes.m_entries, options.bInteractive, options.bReuseMac);
    op.SetSerial(options.strSerial);
    SRunOptions runOptions;
    runOptions.pMacLedger = &ledger;
    runOptions.strInterface =
        options.strInterface.empty() ? ReadNetCard(options.strPort) : options.strInterface;
    runOptions.dwArpTimeoutS = options.dwArpTimeoutS;
    runOptions.bReadBackEeprom = options.bReadBack && ReadBackFromFile();
    runOptions.serialRule = ReadSerialRule(runOptions.strSerialRuleError).value_or(SSerialRule());
    // Without Enter at stage 8 the operator is told how long stage 9 waits for the board to come back:
    // its failed reads in a row, each the serial port's read time-out.
    op.SetRebootWaitS(CBootMonitorDialogue::kRebootBudgetInARow * runOptions.dwReadTimeoutMs / 1000);
    CRecordedRun run(runState, log, op, runOptions);
    std::optional<CLineDbOutlet> outlet;
    if (pLineDb)
        run.SetStation(strStation, &outlet.emplace(*pLineDb, ".", strStation));
    CLabelPrinter labelPrinter;
    std::string strLabelError;
    std::optional<SLabelConfig> labelConfig = ReadLabelConfig(strLabelError);
    run.SetVerdictHook([&](const SRunResult& verdict) {
        return LabelAtVerdict(
            verdict, labelConfig, strLabelError, labelPrinter, strStation,
            // Also from the printing thread: a line of its own, no stage.
            [](const std::string& strLine) { fprintf(stderr, "Aviso: %s\n", strLine.c_str()); }, op,
            stop.Token());
    });
    SRunResult result;

    CWorker worker(stop.Token());
    if (!worker.Start([&](const CStopToken& token) { result = run.Run(token, &op); })) {
        fprintf(stderr, "%s: a execução não pôde começar\n", kProgram);
        return kExitInternal;
    }
    while (!worker.Wait(200))
        op.ReportWaiting();
    // A label not confirmed at the verdict says how it ended before the program does.
    labelPrinter.WaitIdle(kLabelWaitMs);
    if (options.bEcho)
        fflush(stdout);
    PrintOutcome(result, run.Archived(), op.ElapsedSeconds(), strLogDir);
    return ExitStatusAfter(result, run, signalStop);
}

} // namespace

// --print-label: the label of the latest verified run of the address in the record, as it was printed then.
int ReprintLabel(const std::string& strGiven, const CStopToken& stop) {
    std::optional<uint64_t> nMac = MacValue(strGiven);
    if (!nMac)
        return Usage("--print-label " + strGiven + ": não é um endereço MAC");
    std::string strError;
    std::optional<SLabelConfig> config = ReadLabelConfig(strError);
    if (!config) {
        fprintf(stderr, "%s: %s\n", kProgram,
                strError.empty() ? (std::string("não há ") + kLabelConfigFileName).c_str()
                                 : strError.c_str());
        return kExitLabelNotPrinted;
    }
    std::optional<SRunRecordRow> found;
    CUniqueFd fd(open(kRunRecordFileName, O_RDONLY | O_CLOEXEC));
    if (fd.IsOpen())
        ForEachRecordLineIn(fd.Get(), [&](std::string_view line) {
            std::optional<SRunRecordRow> row = ParseRunRecordRow(line);
            if (row && row->strOutcome == "ok" && MacValue(row->strMacSent) == nMac)
                found = std::move(row);
        });
    if (!found) {
        fprintf(stderr, "%s: nenhuma execução verificada com o MAC %s em %s\n", kProgram,
                MacText(*nMac).c_str(), kRunRecordFileName);
        return kExitLabelNotPrinted;
    }
    SLabelContent content{MacText(*nMac), found->strSerial, found->tEnd, ThisStationName()};
    int nJobId = 0;
    strError = PrintLabel(*config, content, stop, nJobId);
    if (!strError.empty()) {
        fprintf(stderr, "Etiqueta não impressa: %s\n", strError.c_str());
        return kExitLabelNotPrinted;
    }
    fprintf(stderr, "Etiqueta de %s enviada à fila %s (trabalho %d)\n", content.strMac.c_str(),
            config->strQueue.c_str(), nJobId);
    return 0;
}

int main(int argc, char** argv) {
    LimitHeapArenas();
    // Before any thread exists, so that every thread leaves the stop signals to the watcher.
    CStopSource stop;
    CSignalStop signalStop(stop);
    // Output to a closed pipe (an --echo piped into a program that ended) must not end the run unrecorded.
    signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    // Standard error carries the operator's lines here; the loader's raw output that the diagnostic channel
    // would add to them is in the log anyway (the log file, --echo).
    SetDebugOutputSink([](const std::string&) {});

    SOptions options;
    std::string strLogDir;
    std::optional<std::string> conninfo;
    if (std::optional<int> nExit = ParseOptions(argc, argv, options))
        return *nExit;
    if (std::optional<int> nExit = EnterWorkDir(options, strLogDir))
        return *nExit;
    if (std::optional<int> nExit = ReadConninfo(options, conninfo))
        return *nExit;

    if (!options.strPrintLabel.empty())
        return ReprintLabel(options.strPrintLabel, stop.Token());
    if (options.bReport)
        return PrintReport(conninfo, options.tSince, options.bCsv);
    if (options.bDbInit) {
        if (!conninfo)
            return Usage(std::string("--db-init: não há ") + kLineDbFileName + " nem --db");
        return InitLineDb(*conninfo);
    }

    std::string strStation = ThisStationName();
    std::optional<CLineDb> lineDb;
    if (conninfo) {
        lineDb.emplace(*conninfo);
        lineDb->SetStop(stop.Token());
        lineDb->SetStation(strStation, ThisMachineId());
        if (std::optional<int> nExit = ConnectLineDb(options, *lineDb))
            return *nExit;
    }
    // The addresses given out: the line's database where there is one, else the record.
    std::optional<CDbMacLedger> dbLedger;
    CRecordMacLedger recordLedger;
    if (lineDb)
        dbLedger.emplace(*lineDb, strStation);
    IMacLedger& ledger = dbLedger ? static_cast<IMacLedger&>(*dbLedger) : recordLedger;

    std::string strGiven = options.strMac, strMac;
    CMacPrefixList prefixes = LoadMacPrefixList();
    if (strGiven == "next") {
        if (std::optional<int> nExit = TakeNextMac(ledger, strGiven))
            return *nExit;
    }
    if (std::optional<int> nExit = CheckGivenMac(strGiven, prefixes, strMac))
        return *nExit;
    return ProvisionBoard(options, strMac, prefixes, ledger, lineDb ? &*lineDb : nullptr, strStation, stop,
                          signalStop, strLogDir);
}

// qan640-provision's command line and what it prints, as a bench script or an operator at a terminal meets
// them: options refused before anything runs, set-up errors, the lines of a box, the stage-8 line without
// Enter, and a Log: path that opens from where the command was started.

#include "tests/cli/CliFixture.h"

#include "core/Cp1252.h"
#include "core/SystemError.h"
#include "records/ProgramVersion.h"
#include "records/ShiftReport.h"

#include <QFile>
#include <cerrno>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lines of a text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

// Refused or answered before anything runs: nothing is recorded and no stage is reached.
TEST_F(ProvisionCliTest, CommandLineAnsweredBeforeAnythingRuns) {
    WriteFileBytes(m_strDir + "/a-file", "");
    const std::string strMac = "02:3A:7C:12:34:56";
    struct SCase {
        std::vector<std::string> args;
        int nExit;
        const char* pszErr; // in standard error
        const char* pszOut; // in standard output
    };
    const std::string strVersion = std::string("qan640-provision ") + kProgramVersion + "\n";
    std::vector<SCase> cases = {
        // A value never begins with "--".
        {{"--port", "--mac", strMac, "--non-interactive"}, 2, "--port precisa de um valor", ""},
        {{"--port", "x", "--mac", "--non-interactive"}, 2, "--mac precisa de um valor", ""},
        {{"--port=--mac", strMac, "--non-interactive"}, 2, "--port precisa de um valor", ""},
        {{"--port", "x", "--mac", strMac, "--workdir", "--non-interactive"},
         2,
         "--workdir precisa de um valor",
         ""},
        // A working directory that cannot be used is the bench's set-up, not bad usage.
        {{"--port", "x", "--mac", strMac, "--non-interactive", "--workdir", "nowhere"},
         3,
         "diretório de trabalho nowhere: ",
         ""},
        {{"--port", "x", "--mac", strMac, "--non-interactive", "--workdir", "a-file"},
         3,
         "diretório de trabalho a-file: ",
         ""},
        {{"--version"}, 0, "", strVersion.c_str()},
        {{"--port", "x", "--version"}, 0, "", strVersion.c_str()},
        // Every status, a stop per signal among them.
        {{"--help"}, 0, "", "    3  diretório de trabalho (--workdir) inexistente"},
        {{"--help"}, 0, "", "    4  etapa 1: carregador (bfin-uclinux-ldr) ou imagem"},
        {{"--help"},
         0,
         "",
         "  129  interrompido por SIGHUP (128 + 1)\n  130  interrompido por SIGINT (128 + 2)\n"
         "  131  interrompido por SIGQUIT (128 + 3)\n  143  interrompido por SIGTERM (128 + 15)\n"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        SCliRun run = Run(c.args);
        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        EXPECT_NE(run.strErr.find(c.pszErr), std::string::npos) << run.strErr;
        EXPECT_NE(run.strOut.find(c.pszOut), std::string::npos) << run.strOut;
        EXPECT_EQ(run.strErr.find("[1/17]"), std::string::npos) << "nothing ran";
        EXPECT_FALSE(QFile::exists(m_tmp.path() + "/" + kRunRecordFileName));
    }
}

// A loader or image that is not there ends the run at stage 1 with status 4 and says which; every line of
// the box keeps its stage; the Log: line opens from where the command was started, with or without --workdir.
TEST_F(ProvisionCliTest, SetUpErrorsBoxLinesAndTheLogPath) {
    const std::string strBench = m_strDir + "/bench";
    ASSERT_EQ(mkdir(strBench.c_str(), 0755), 0);
    WriteWholeRunFiles(strBench);
    const std::string strImage = "U-Boot_Producao/u-boot_aut_rs232.ldr";
    struct SCase {
        const char* pszName;
        std::vector<std::string> workdir; // the --workdir option, if any
        std::string strRemove;            // a file taken away first
        bool bNoLoader;                   // PATH without the loader
        std::string strReason;            // the box's last line
        std::string strLogFrom;           // what the Log: path begins with
    };
    std::vector<SCase> cases = {
        {"no loader", {}, "", true, "bfin-uclinux-ldr não encontrado no PATH", "logs/"},
        {"no image, relative workdir",
         {"--workdir", "bench"},
         strBench + "/" + strImage,
         false,
         "imagem ./" + strImage + ": " + SystemErrorText(ENOENT),
         "bench/logs/"},
        {"no loader, workdir with a slash",
         {"--workdir", strBench + "/"},
         "",
         true,
         "bfin-uclinux-ldr não encontrado no PATH",
         strBench + "/logs/"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        if (!c.strRemove.empty())
            unlink(c.strRemove.c_str());
        SCliOptions options;
        if (c.bNoLoader)
            options.env = {{"PATH", "/usr/bin:/bin"}};
        // A port in the test's own folder: should the run get as far as the port's lock, no other test shares
        // it.
        std::vector<std::string> args = {"--port", m_strDir + "/no-port", "--mac", "02:3A:7C:12:34:56",
                                         "--non-interactive"};
        args.insert(args.end(), c.workdir.begin(), c.workdir.end());
        SCliRun run = Run(args, options);

        EXPECT_EQ(run.nExit, 4) << run.strErr;
        std::vector<std::string> lines = Lines(run.strErr);
        std::vector<std::string> expected = {
            "[1/17] Início (0.0 s)", "[1/17] Preparação incompleta: nada foi enviado à QAN640.",
            "[1/17] Verifique o carregador BfinUcLinux e a imagem do primeiro estágio:",
            "[1/17] " + c.strReason};
        ASSERT_GE(lines.size(), expected.size() + 2) << run.strErr;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected);
        std::string strLog = lines.back();
        ASSERT_EQ(strLog.rfind("Log: " + c.strLogFrom, 0), 0u) << run.strErr;
        std::string strLogFile = strLog.substr(5);
        if (strLogFile[0] != '/')
            strLogFile = m_strDir + "/" + strLogFile; // where the command was started
        std::string strLogText = ReadFileBytes(strLogFile);
        EXPECT_NE(strLogText.find(EncodeCp1252(c.strReason) + "\r\n"), std::string::npos) << strLogText;
        WriteWholeRunFiles(strBench);
    }
}

// Without Enter at stage 8 the box's lines keep their stage and one more says how long stage 9 waits for
// the board: 800 failed reads in a row of 300 ms each.
TEST_F(ProvisionCliTest, NonInteractivePowerCycleSaysHowLongItWaits) {
    StartBoard(
        {"--fault", "no-shell-after-power-cycle"}); // stage 9 waits: the run never reaches the ARP check
    SCliOptions options;
    options.pszSignalAt = "[9/17]";
    options.nSignal = SIGTERM;
    SCliRun run =
        Run({"--port", m_pBoard->Port(), "--mac", "02:3A:7C:12:34:56", "--non-interactive"}, options);
    EXPECT_EQ(run.nExit, 143) << run.strErr;
    std::vector<std::string> lines = Lines(run.strErr);
    auto box = std::find(lines.begin(), lines.end(), "[8/17] Comandos enviados com sucesso");
    ASSERT_TRUE(lines.end() - box >= 3) << run.strErr;
    EXPECT_EQ(box[1], "[8/17]  Desligue o QAN640, remova o jumper e religue-o");
    EXPECT_EQ(box[2], "[8/17] Sem esperar Enter (--non-interactive): a espera pelo shell da QAN640 religada "
                      "termina após 240 s sem nenhum byte na porta serial");
}

// --report reads the record of the working directory and touches nothing else: no record is an empty report,
// a torn line is left out and counted, --since cuts at the bench's local midnight, --csv gives the tables to
// a spreadsheet and the notes to standard error; bad usage is refused as for a run.
TEST_F(ProvisionCliTest, ShiftReport) {
    const std::string strBench = m_strDir + "/bench";
    ASSERT_EQ(mkdir(strBench.c_str(), 0755), 0);
    SCliOptions saoPaulo;
    saoPaulo.env = {{"TZ", "America/Sao_Paulo"}};
    SCliRun empty = Run({"--report", "--workdir", "bench"}, saoPaulo);
    EXPECT_EQ(empty.nExit, 0) << empty.strErr;
    EXPECT_NE(empty.strOut.find("Nenhum registro ainda: QAN640runs.csv não existe.\n0 execuções"),
              std::string::npos)
        << empty.strOut;

    // 23:30 in São Paulo is the next day in UTC: the run belongs to 1 May.
    const std::string strRecord = strBench + "/" + kRunRecordFileName;
    SRunRecordRow row;
    row.tStart = row.tEnd = *ParseIsoTime("2024-05-01T23:30:00-03:00");
    row.strPort = "ttyUSB0";
    row.strMacSent = "02:3A:7C:00:00:01";
    row.strOutcome = "ok";
    row.nStage = RUN_STAGE_CLOSE;
    ASSERT_EQ(AppendRunRecord(strRecord, FormatRunRecordRow(row)), "");
    ASSERT_EQ(AppendRunRecord(strRecord, "2024-05-02T07:00:00-03:00,\"torn"), "");
    row.tStart = row.tEnd = *ParseIsoTime("2024-05-02T08:00:00-03:00");
    row.strOutcome = "failed";
    row.nStage = RUN_STAGE_TFTP;
    ASSERT_EQ(AppendRunRecord(strRecord, FormatRunRecordRow(row)), "");
    const std::string strStation = ThisStationName();

    struct SCase {
        std::vector<std::string> args;
        int nExit;
        std::vector<std::string> out; // each in standard output
        std::string strNotOut;        // nowhere in standard output
        const char* pszErr;           // in standard error
    };
    std::vector<SCase> cases = {
        {{"--report"},
         0,
         {"1 linha de QAN640runs.csv que não é uma execução", "2 execuções", "2024-05-01  " + strStation,
          "2024-05-02  " + strStation, "    6  Transferindo a imagem (tftp)       1"},
         "\xEF\xBB\xBF",
         ""},
        {{"--report", "--since", "2024-05-02"},
         0,
         {", desde 2024-05-02 00:00\n", "1 execução\n", "2024-05-02  " + strStation},
         "2024-05-01",
         ""},
        {{"--report", "--csv", "--since=2024-05-02"},
         0,
         {"\xEF\xBB\xBFRendimento por dia e estação", "2024-05-02," + strStation + ",0,1,0.0\r\n",
          "\r\n6,Transferindo a imagem (tftp),1\r\n"},
         "linha",
         "1 linha de QAN640runs.csv que não é uma execução"},
        {{"--report", "--since", "2024-02-30"},
         2,
         {},
         "Relatório",
         "--since 2024-02-30: uma data AAAA-MM-DD"},
        {{"--report", "--since", "1/5/2024"}, 2, {}, "Relatório", "--since 1/5/2024: uma data AAAA-MM-DD"},
        {{"--report", "--since", "2024-5-1"}, 2, {}, "Relatório", "--since 2024-5-1: uma data AAAA-MM-DD"},
        {{"--report", "--since"}, 2, {}, "Relatório", "--since precisa de um valor"},
        {{"--csv"}, 2, {}, "Rendimento", "--csv só com --report"},
        {{"--since", "2024-05-02", "--port", "x"}, 2, {}, "Rendimento", "--since só com --report"},
        {{"--report", "--port", "x"}, 2, {}, "Rendimento", "--report não combina com opções de execução"},
        {{"--report=1"}, 2, {}, "Rendimento", "--report não leva valor"},
    };
    for (const SCase& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--workdir", "bench"});
        SCOPED_TRACE(args[0] + " " + args[1]);
        SCliRun run = Run(args, saoPaulo);
        EXPECT_EQ(run.nExit, c.nExit) << run.strErr;
        for (const std::string& strOut : c.out)
            EXPECT_NE(run.strOut.find(strOut), std::string::npos) << strOut << " in:\n" << run.strOut;
        EXPECT_EQ(run.strOut.find(c.strNotOut), std::string::npos) << run.strOut;
        EXPECT_NE(run.strErr.find(c.pszErr), std::string::npos) << run.strErr;
    }
    EXPECT_FALSE(QFile::exists(m_tmp.path() + "/" + kRunRecordFileName)) << "the report writes no record";
}

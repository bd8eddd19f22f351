// The shift report: what counts as a board tried and verified on which day, failures per stage, addresses
// stored by more than one run, the cut by date, and the record read for it.

#include "records/ShiftReport.h"

#include "tests/support/CsvRead.h"
#include "tests/support/TempWorkDir.h"

#include <gtest/gtest.h>

namespace {

// Runs are dated in the bench's local time (São Paulo, -03:00): a run at 23:30 belongs to that day, though
// it is the next day in UTC.
class ShiftReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "America/Sao_Paulo", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

SStationRun StationRun(const char* pszStation, const char* pszStart, const char* pszMac,
                       const char* pszOutcome, int nStage, const char* pszPort = "ttyUSB0") {
    SStationRun run{pszStation, {}};
    run.row.tStart = run.row.tEnd = ParseIsoTime(pszStart).value();
    run.row.strPort = pszPort;
    run.row.strMacSent = pszMac;
    run.row.strOutcome = pszOutcome;
    run.row.nStage = nStage;
    return run;
}

const char* kMac1 = "02:3A:7C:00:00:01";
const char* kMac2 = "02:3A:7C:00:00:02";
const char* kMac3 = "02:3A:7C:00:00:03";

std::vector<SStationRun> Shift() {
    return {
        StationRun("bancada-2", "2024-05-02T08:00:00-03:00", kMac2, "ok", 17, "ttyUSB1"),
        StationRun("bancada-1", "2024-05-01T09:00:00-03:00", kMac1, "ok", 17),
        StationRun("bancada-1", "2024-05-01T10:00:00-03:00", "", "failed", 6),
        StationRun("bancada-1", "2024-05-01T11:00:00-03:00", "", "failed", 1),  // set-up: no board tried
        StationRun("bancada-1", "2024-05-01T12:00:00-03:00", "", "stopped", 1), // stopped before the loader
        StationRun("bancada-2", "2024-05-01T23:30:00-03:00", kMac2, "failed", 13,
                   "ttyUSB1"), // past bootargs: stored
        StationRun("bancada-1", "2024-05-02T09:00:00-03:00", "", "interrupted", 2),
        StationRun("bancada-1", "2024-04-20T09:00:00-03:00", kMac1, "ok", 17, "ttyACM0"),
        StationRun("bancada-2", "2024-05-02T10:00:00-03:00", kMac3, "failed", 12), // at bootargs: not stored
        StationRun("bancada-2", "2024-05-02T11:00:00-03:00", kMac3, "ok", 17),
    };
}

std::vector<std::string> YieldLines(const SShiftReport& report) {
    std::vector<std::string> lines;
    for (const SYieldCount& y : report.yields)
        lines.push_back(y.strDay + " " + y.strStation + " " + std::to_string(y.nVerified) + "/" +
                        std::to_string(y.nTried));
    return lines;
}

std::vector<std::string> FailureLines(const SShiftReport& report) {
    std::vector<std::string> lines;
    for (const SStageFailures& f : report.failures)
        lines.push_back(std::to_string(f.nStage) + ":" + std::to_string(f.nFailures));
    return lines;
}

std::vector<std::string> SharedLines(const SShiftReport& report) {
    std::vector<std::string> lines;
    for (const SSharedMac& mac : report.sharedMacs) {
        std::string line = mac.strMac;
        for (const SStationRun& run : mac.runs)
            line +=
                " " + FormatLocalTime(run.row.tStart, "%m-%d") + "@" + run.strStation + ":" + run.row.strPort;
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST_F(ShiftReportTest, CountsAndTheCutByDate) {
    struct SCase {
        const char* pszSince; // null: every run
        int nRuns;
        std::vector<std::string> yields;
        std::vector<std::string> failures;
        std::vector<std::string> shared;
    };
    std::vector<SCase> cases = {
        {nullptr,
         10,
         {"2024-04-20 bancada-1 1/1", "2024-05-01 bancada-1 1/2", "2024-05-01 bancada-2 0/1",
          "2024-05-02 bancada-1 0/1", "2024-05-02 bancada-2 2/3"},
         {"1:1", "6:1", "12:1", "13:1"},
         {"02:3A:7C:00:00:01 04-20@bancada-1:ttyACM0 05-01@bancada-1:ttyUSB0",
          "02:3A:7C:00:00:02 05-01@bancada-2:ttyUSB1 05-02@bancada-2:ttyUSB1"}},
        {"2024-05-01T00:00:00-03:00",
         9,
         {"2024-05-01 bancada-1 1/2", "2024-05-01 bancada-2 0/1", "2024-05-02 bancada-1 0/1",
          "2024-05-02 bancada-2 2/3"},
         {"1:1", "6:1", "12:1", "13:1"},
         // An address stored again in the window is listed with its runs from before it.
         {"02:3A:7C:00:00:01 04-20@bancada-1:ttyACM0 05-01@bancada-1:ttyUSB0",
          "02:3A:7C:00:00:02 05-01@bancada-2:ttyUSB1 05-02@bancada-2:ttyUSB1"}},
        {"2024-05-02T00:00:00-03:00",
         4,
         {"2024-05-02 bancada-1 0/1", "2024-05-02 bancada-2 2/3"},
         {"12:1"},
         {"02:3A:7C:00:00:02 05-01@bancada-2:ttyUSB1 05-02@bancada-2:ttyUSB1"}},
        {"2024-06-01T00:00:00-03:00", 0, {}, {}, {}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszSince ? c.pszSince : "every run");
        SShiftReport report = ComputeShiftReport(
            Shift(), c.pszSince ? ParseIsoTime(c.pszSince).value() : std::chrono::system_clock::time_point());
        EXPECT_EQ(report.nRuns, c.nRuns);
        EXPECT_EQ(YieldLines(report), c.yields);
        EXPECT_EQ(FailureLines(report), c.failures);
        EXPECT_EQ(SharedLines(report), c.shared);
    }
}

// The same tables as aligned text and as CSV: columns measured in characters, the yield with the reader's
// decimal mark, names that look like formulas kept as text.
TEST_F(ShiftReportTest, TextAndCsv) {
    std::vector<SStationRun> runs = {
        StationRun("estação-ç", "2024-05-01T09:00:00-03:00", kMac1, "ok", 17, "=porta"),
        StationRun("estação-ç", "2024-05-01T10:00:00-03:00", kMac1, "ok", 17, "ttyUSB0"),
        StationRun("b", "2024-05-01T10:00:00-03:00", "", "failed", 6),
        StationRun("b", "2024-05-01T11:00:00-03:00", "", "ok", 17),
        StationRun("b", "2024-05-01T12:00:00-03:00", "", "ok", 17),
    };
    runs[1].row.strMessage = std::string("QAN640 configurando com sucesso") + kMacReuseConfirmedNote;
    runs[1].row.strSerial = "QAN00001234";
    runs[1].row.strOperator = "maria";
    SShiftReport report = ComputeShiftReport(runs, {});
    SReportSource source{kRunRecordFileName, false, 2};

    std::string strText = FormatShiftReport(report, source, false);
    EXPECT_NE(strText.find("2 linhas de QAN640runs.csv"), std::string::npos) << strText;
    size_t pos = strText.find("2024-05-01  b  ");
    ASSERT_NE(pos, std::string::npos) << strText;
    std::string strB = strText.substr(pos, strText.find('\n', pos) - pos);
    pos = strText.find("2024-05-01  estação-ç  ");
    ASSERT_NE(pos, std::string::npos) << strText;
    std::string strStation = strText.substr(pos, strText.find('\n', pos) - pos);
    EXPECT_TRUE(strB.ends_with("66,7 %")) << strB;
    EXPECT_TRUE(strStation.ends_with("100,0 %")) << strStation;
    // "ç", "ã" and "ç" are two bytes each but one column each.
    EXPECT_EQ(strB.size() + 3, strStation.size()) << strB << "\n" << strStation;
    EXPECT_NE(strText.find("    6  Transferindo a imagem (tftp)       1"), std::string::npos) << strText;

    std::vector<std::vector<std::string>> rows = ParseCsv(FormatShiftReport(report, source, true));
    std::vector<std::vector<std::string>> expected = {
        {"\xEF\xBB\xBFRendimento por dia e estação (placas verificadas / placas tentadas)"},
        {"Dia", "Estação", "Verificadas", "Tentadas", "Rendimento (%)"},
        {"2024-05-01", "b", "2", "3", "66.7"},
        {"2024-05-01", "estação-ç", "2", "2", "100.0"},
        {""},
        {"Falhas por etapa"},
        {"Etapa", "Título", "Falhas"},
        {"6", "Transferindo a imagem (tftp)", "1"},
        {""},
        {"MACs gravados por mais de uma execução (a mesma placa refeita ou placas diferentes)"},
        {"MAC", "Início", "Estação", "Porta", "Resultado", "Etapa", "Série", "Operador", "Mesma placa"},
        {kMac1, "2024-05-01T09:00:00-03:00", "estação-ç", "'=porta", "ok", "17", "", "", ""},
        {kMac1, "2024-05-01T10:00:00-03:00", "estação-ç", "ttyUSB0", "ok", "17", "QAN00001234", "maria",
         "confirmada"},
    };
    EXPECT_EQ(rows, expected);
}

// The record as the report reads it: no record is an empty report, lines that are not rows are counted.
TEST_F(ShiftReportTest, RecordRead) {
    CTempWorkDir dir;
    std::vector<SStationRun> runs;
    SReportSource source{kRunRecordFileName};
    EXPECT_EQ(ReadRecordRuns(kRunRecordFileName, "pc", runs, source), "");
    EXPECT_TRUE(source.bMissing);
    EXPECT_TRUE(runs.empty());
    EXPECT_NE(
        FormatShiftReport(ComputeShiftReport(runs, {}), source, false).find("QAN640runs.csv não existe"),
        std::string::npos);

    SRunRecordRow row = StationRun("", "2024-05-01T09:00:00-03:00", kMac1, "ok", 17, "=x").row;
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, FormatRunRecordRow(row)), "");
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, "2024-05-01T09:00:00-03:00,\"torn"), "");
    ASSERT_EQ(AppendRunRecord(kRunRecordFileName, FormatRunRecordRow(row)), "");
    source = {kRunRecordFileName};
    EXPECT_EQ(ReadRecordRuns(kRunRecordFileName, "pc", runs, source), "");
    EXPECT_FALSE(source.bMissing);
    EXPECT_EQ(source.nSkippedRows, 1);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].strStation, "pc");
    EXPECT_EQ(runs[1].row.strPort, "=x");
    EXPECT_EQ(runs[1].row.tStart, row.tStart);
}

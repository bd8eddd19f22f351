// The line's page against a throw-away server: its figures are the shift report's, a station's row reaches
// an open page at once, the database goes away and comes back, and a real browser renders the page.

#include "line/LineServer.h"
#include "linedb/LineDbRows.h"
#include "provisioning/RunResult.h"
#include "records/ShiftReport.h"
#include "tests/support/PgTestServer.h"
#include "tests/support/TempWorkDir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kHostilePort = "<script>alert(1)</script>";

class LineServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_server.Start(), "");
        m_strDir = m_dir.Path().toStdString();
        WriteFileBytes(m_strDir + "/QAN640mac.conf", "02:3A:7C\n");
        WriteFileBytes(m_strDir + "/QAN640macrange.conf", "02:3A:7C:00:10:00\n02:3A:7C:00:11:FF\n");
        std::string strError;
        m_pDb = std::make_unique<CLineDb>(m_server.Conninfo());
        ASSERT_EQ(m_pDb->Connect(strError, false), CLineDb::EState::Ready) << strError;
        ASSERT_TRUE(m_pDb->InitSchema(strError)) << strError;
        m_pLine = std::make_unique<CLineServer>(
            SLineServerConfig{m_server.Conninfo(), "127.0.0.1", 0, m_strDir, 600});
        ASSERT_TRUE(m_pLine->Start(strError)) << strError;
    }
    void TearDown() override { m_pLine.reset(); }

    void Send(const std::string& strStation, const std::string& strPort, const char* pszOutcome, int nStage,
              const std::string& strMac = "") {
        SRunRecordRow row;
        row.tStart = std::chrono::system_clock::now() - std::chrono::milliseconds(10 * (100 - m_nRuns));
        row.tEnd = row.tStart + std::chrono::seconds(60);
        row.strPort = strPort;
        row.strMacSent = row.strMacRead = strMac;
        row.strOutcome = pszOutcome;
        row.nStage = nStage;
        std::string strError;
        ASSERT_TRUE(SendLineDbRow(*m_pDb, strStation + "/r" + std::to_string(++m_nRuns), strStation, row,
                                  strError, row.strOutcome == "failed" ? "log da falha\r\n" : ""))
            << strError;
    }

    // The page's figures once they satisfy done (or the last ones after nMs).
    QJsonObject FiguresWhen(const std::function<bool(const QJsonObject&)>& done, int nMs = 5000) {
        QJsonObject json;
        for (auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
             std::chrono::steady_clock::now() < tEnd;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            json = QJsonDocument::fromJson(QByteArray::fromStdString(m_pLine->CurrentJson())).object();
            if (done(json))
                break;
        }
        return json;
    }
    QJsonObject FiguresOfRuns(int nRuns) {
        return FiguresWhen([nRuns](const QJsonObject& j) { return j["execucoes"].toInt() == nRuns; });
    }

    CTempWorkDir m_dir;
    std::string m_strDir;
    CPgTestServer m_server;
    std::unique_ptr<CLineDb> m_pDb;
    std::unique_ptr<CLineServer> m_pLine;
    int m_nRuns = 0;
};

} // namespace

// The page's figures for a day's rows are the shift report's for the same rows (the yields per station and
// for the line, failures per stage, an address stored twice), and every port's last run is listed.
TEST_F(LineServerTest, FiguresAreTheShiftReports) {
    Send("bench-1", "/dev/ttyUSB0", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:00");
    Send("bench-1", "/dev/ttyUSB0", "failed", RUN_STAGE_LOADER);
    Send("bench-1", "/dev/ttyUSB1", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:01");
    Send("bench-1", "/dev/ttyUSB1", "failed", RUN_STAGE_NONE); // never reached a board
    Send("bench-2", kHostilePort, "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:01");
    Send("bench-2", kHostilePort, "failed", RUN_STAGE_VERIFY, "02:3A:7C:00:10:02");
    const QJsonObject json = FiguresOfRuns(6);
    ASSERT_EQ(json["estado"].toString(), "ok") << m_pLine->CurrentJson();

    std::string strError;
    auto tDay = std::chrono::system_clock::now() - std::chrono::seconds(120);
    std::optional<std::vector<SStationRun>> runs = FetchLineRuns(*m_pDb, tDay, strError);
    ASSERT_TRUE(runs) << strError;
    SShiftReport report = ComputeShiftReport(*runs, tDay);
    const QJsonArray stations = json["estacoes"].toArray();
    ASSERT_EQ(stations.size(), qsizetype(report.yields.size()));
    int nVerified = 0, nTried = 0;
    for (qsizetype i = 0; i < stations.size(); ++i) {
        const SYieldCount& count = report.yields[size_t(i)];
        EXPECT_EQ(stations[i]["estacao"].toString().toStdString(), count.strStation);
        EXPECT_EQ(stations[i]["verificadas"].toInt(), count.nVerified);
        EXPECT_EQ(stations[i]["tentadas"].toInt(), count.nTried);
        nVerified += count.nVerified;
        nTried += count.nTried;
    }
    EXPECT_EQ(std::make_pair(nVerified, nTried), std::make_pair(3, 5)) << "the rows' own figures";
    EXPECT_EQ(json["linha"]["verificadas"].toInt(), 3);
    EXPECT_EQ(json["linha"]["tentadas"].toInt(), 5);
    EXPECT_DOUBLE_EQ(json["linha"]["rendimento"].toDouble(), 60.0);
    const QJsonArray failures = json["falhasPorEtapa"].toArray();
    ASSERT_EQ(failures.size(), qsizetype(report.failures.size()));
    for (qsizetype i = 0; i < failures.size(); ++i)
        EXPECT_EQ(std::make_pair(failures[i]["etapa"].toInt(), failures[i]["falhas"].toInt()),
                  std::make_pair(report.failures[size_t(i)].nStage, report.failures[size_t(i)].nFailures));
    ASSERT_EQ(report.sharedMacs.size(), 1u);
    EXPECT_EQ(json["macsRepetidos"][0]["mac"].toString().toStdString(), report.sharedMacs[0].strMac);

    const QJsonArray ports = json["portas"].toArray();
    ASSERT_EQ(ports.size(), 3);
    EXPECT_EQ(ports[0]["resultado"].toString(), "failed") << "ttyUSB0's last run";
    EXPECT_EQ(ports[2]["porta"].toString(), QString(kHostilePort));
    EXPECT_EQ(json["falhas"].toArray().size(), 3) << "every failed run has its log";
    EXPECT_EQ(json["enderecos"]["restantes"].toInt(), 512 - 3);
    EXPECT_TRUE(json["enderecos"]["aviso"].toBool()) << "fewer than 600 left";

    httplib::Client client("127.0.0.1", m_pLine->Port());
    httplib::Result log =
        client.Get(("/api/log?run=" + json["falhas"][0]["id"].toString().toStdString()).c_str());
    ASSERT_TRUE(log);
    EXPECT_EQ(log->body, "log da falha\r\n");
    httplib::Result page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos) << "no inline script";
}

// A row a station sends reaches a page's open event stream within a second, and the stream goes on after
// the database was stopped and started again, whose absence it reports.
TEST_F(LineServerTest, RowsReachAnOpenPageAndTheDatabaseComesBack) {
    std::mutex mutex;
    std::string strEvents;
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        httplib::Client client("127.0.0.1", m_pLine->Port());
        client.set_read_timeout(20);
        client.Get("/api/eventos", [&](const char* pData, size_t nSize) {
            std::lock_guard lock(mutex);
            strEvents.append(pData, nSize);
            return !bDone.load();
        });
    });
    auto waitFor = [&](const std::string& strText, int nMs) {
        for (auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
             std::chrono::steady_clock::now() < tEnd;
             std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            std::lock_guard lock(mutex);
            if (strEvents.find(strText) != std::string::npos)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(waitFor("\"estado\":\"ok\"", 5000)) << strEvents;

    auto tSent = std::chrono::steady_clock::now();
    Send("bench-3", "/dev/ttyACM7", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:20");
    EXPECT_TRUE(waitFor("/dev/ttyACM7", 1000)) << strEvents;
    printf("row to page: %lld ms\n", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - tSent)
                                         .count());

    ASSERT_EQ(m_server.Stop(), "");
    EXPECT_TRUE(waitFor("sem-banco", 5000)) << "the page says the database is gone";
    ASSERT_EQ(m_server.Start(), "");
    m_pDb->Disconnect();
    Send("bench-3", "/dev/ttyACM8", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:21");
    EXPECT_TRUE(waitFor("/dev/ttyACM8", 5000)) << "listening again after the restart";
    EXPECT_EQ(m_pLine->CurrentJson().find("password"), std::string::npos);
    bDone = true;
    Send("bench-3", "/dev/ttyACM9", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:22"); // wakes the reader to end
    reader.join();
}

// A real browser renders the page from the server: the yields are shown, a hostile port name is text. With
// QAN_LINE_SCREENSHOTS set, the page is also photographed at a phone's and a wall screen's width there.
TEST_F(LineServerTest, BrowserShowsTheFiguresAsText) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer does not follow a fork of a process with threads (the browser's start)";
#endif
    const char* pszBrowser = "/usr/bin/chromium-headless-shell";
    if (access(pszBrowser, X_OK) != 0)
        GTEST_SKIP() << "chromium-headless-shell not installed (scripts/install-deps)";
    Send("bench-1", kHostilePort, "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:00");
    Send("bench-1", kHostilePort, "failed", RUN_STAGE_LOADER);
    Send("bench-2", "/dev/ttyUSB0", "ok", RUN_STAGE_VERIFY, "02:3A:7C:00:10:01");
    ASSERT_EQ(FiguresOfRuns(3)["estado"].toString(), "ok");
    // A page with its live stream open never lets the browser's virtual time run out: this moment's figures.
    std::string strUrl = "http://127.0.0.1:" + std::to_string(m_pLine->Port()) + "/?instantaneo";
    auto browse = [&](QStringList args) {
        QProcess browser;
        args = QStringList{"--no-sandbox", "--disable-gpu", "--user-data-dir=" + m_dir.Path() + "/browser",
                           "--virtual-time-budget=3000", "--hide-scrollbars"} +
               args + QStringList{QString::fromStdString(strUrl)};
        browser.start(pszBrowser, args);
        if (!browser.waitForFinished(30000)) {
            browser.kill();
            browser.waitForFinished();
        }
        return browser.readAllStandardOutput().toStdString();
    };
    std::string strDom = browse({"--dump-dom"});
    EXPECT_NE(strDom.find("Linha: 66,7 % (2 de 3)"), std::string::npos) << strDom;
    EXPECT_NE(strDom.find("<td>bench-1</td><td>1</td><td>2</td><td>50,0 %</td>"), std::string::npos)
        << strDom;
    EXPECT_NE(strDom.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << strDom;
    EXPECT_EQ(strDom.find("<script>alert"), std::string::npos);
    if (const char* pszShots = getenv("QAN_LINE_SCREENSHOTS"))
        for (const char* pszSize : {"390,1400", "1920,1080"})
            browse(
                {QString("--screenshot=%1/linha-%2.png").arg(pszShots, QString(pszSize).section(',', 0, 0)),
                 QString("--window-size=") + pszSize});
}

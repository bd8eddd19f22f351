// Labels at the bench: a verified board's label goes to the queue of QAN640label.conf, --print-label prints
// it again from the board's row, and a queue that is missing leaves the board verified, its row saying so.

#include "labels/Label.h"
#include "tests/cli/CliFixture.h"
#include "tests/support/CupsTestServer.h"

TEST_F(ProvisionCliTest, LabelOfAVerifiedBoard) {
    CCupsTestServer cups;
    if (std::string strSkip = cups.Start(); !strSkip.empty())
        GTEST_SKIP() << strSkip;
    ASSERT_EQ(cups.AddQueue("labels"), "");
    auto configure = [&](const std::string& strQueue) {
        WriteFileBytes(m_strDir + "/" + kLabelConfigFileName, "# etiquetas\nqueue " + strQueue + "\nserver " +
                                                                  cups.Socket() + "\ntemplate pdf 60x30\n");
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"labels", ""}, {"nope", "Etiqueta não impressa: fila nope não existe"}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [strQueue, strNote] = cases[i];
        SCOPED_TRACE(strQueue);
        configure(strQueue);
        CNetnsLab lab;
        REQUIRE_LAB(lab);
        StartBoardInLab(lab);
        SCliOptions options;
        options.strNs = lab.HostNs();
        SCliRun run = Run({"--port", m_pBoard->Port(), "--mac", "02:3A:7C:00:00:0" + std::to_string(i + 1),
                           "--non-interactive"},
                          options);
        EXPECT_EQ(run.nExit, 0) << run.strErr;
        std::vector<std::vector<std::string>> rows = Rows();
        ASSERT_EQ(rows.size(), i + 1);
        EXPECT_EQ(rows[i][kOutcome], "ok");
        if (strNote.empty()) {
            EXPECT_EQ(rows[i][kMessage].find("Etiqueta"), std::string::npos) << rows[i][kMessage];
            EXPECT_TRUE(cups.JobDocument("labels", 1, 5000).starts_with("%PDF-"));
        } else {
            EXPECT_NE(rows[i][kMessage].find(strNote), std::string::npos) << rows[i][kMessage];
            EXPECT_NE(run.strErr.find("Aviso: " + strNote), std::string::npos) << run.strErr;
        }
        m_pBoard.reset();
    }
    configure("labels");
    SCliRun again = Run({"--print-label", "02-3a-7c-00-00-01"});
    EXPECT_EQ(again.nExit, 0) << again.strErr;
    EXPECT_NE(again.strErr.find("Etiqueta de 02:3A:7C:00:00:01 enviada à fila labels (trabalho 2)"),
              std::string::npos)
        << again.strErr;
    EXPECT_TRUE(cups.JobDocument("labels", 2, 5000).starts_with("%PDF-"));
    SCliRun none = Run({"--print-label", "02:3A:7C:00:00:09"});
    EXPECT_EQ(none.nExit, kExitLabelNotPrinted);
    EXPECT_NE(none.strErr.find("nenhuma execução verificada com o MAC 02:3A:7C:00:00:09"), std::string::npos)
        << none.strErr;
}

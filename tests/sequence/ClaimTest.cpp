// What a run makes sure of before the board hears anything from it (its port, the board's network card), and
// the MAC check's time limit.

#include "links/PortLock.h"
#include "tests/sequence/SequenceFixture.h"

#include <sys/stat.h>

namespace {

bool ImageReceived(const std::string& strTranscript) {
    for (const STranscriptEntry& e : ReadTranscript(strTranscript))
        if (e.strKind == "EVENT" && e.strText == "first-stage image received")
            return true;
    return false;
}

} // namespace

TEST_F(SequenceTest, NothingIsSentBeforeThePortAndTheCardAreTheRuns) {
    struct SCase {
        const char* pszName;
        ERunEnd eEnd;
        const char* pszDetail; // the box's line after the end's text
        const char* pszLog;
    };
    const SCase cases[] = {
        {"port held by another run", ERunEnd::PortInUse, "", "Port in use by another run (lock "},
        {"lock file unusable", ERunEnd::PortNotReserved, "", "Port lock not taken: "},
        {"card ambiguous", ERunEnd::NoBoardCard,
         "10.0.0.50 é alcançável por mais de uma placa de rede: eth1, eth2.\nIndique a placa da QAN640 "
         "(--interface ou QAN640net.conf).",
         "Error: the board's address is on-link through several interfaces: eth1, eth2\r\n"},
        {"card missing", ERunEnd::NoBoardCard, "A placa de rede eth9 não existe neste PC.",
         "Error: network interface eth9 does not exist\r\n"},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_op.m_boxes.clear();
        m_fakeArp.Reset();
        m_log.ClearLog();
        StartBoard({});
        CPortLock other(m_strDir);
        std::string strFifo;
        if (c.eEnd == ERunEnd::PortInUse) {
            ASSERT_EQ(other.Acquire(m_run.m_strPort), CPortLock::EResult::Locked);
        } else if (c.eEnd == ERunEnd::PortNotReserved) {
            // Something that is no lock file has taken the lock file's name (in a folder of the test's own).
            m_strPortLockDir = m_strDir;
            strFifo = m_strDir + "/" + CPortLock::LockFileNameFor(m_run.m_strPort);
            ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
        } else if (std::string(c.pszDetail).find("eth1") != std::string::npos) {
            m_fakeArp.m_link = {EBoardLink::Several, "", {"eth1", "eth2"}};
        } else {
            m_fakeArp.m_link = {EBoardLink::NoSuchInterface, "eth9", {}};
        }
        SRunResult result = Run();
        m_strPortLockDir.clear();
        if (!strFifo.empty())
            unlink(strFifo.c_str()); // the next cases lock in the same folder

        EXPECT_EQ(result.eEnd, c.eEnd);
        EXPECT_EQ(result.nStage, RUN_STAGE_START);
        std::string strBox = RunEndRow(c.eEnd).pszBox + std::string(*c.pszDetail ? "\n" : "") + c.pszDetail;
        ASSERT_EQ(m_op.m_boxes.size(), 1u);
        EXPECT_EQ(m_op.m_boxes[0].strText, strBox);
        EXPECT_EQ(m_op.m_boxes[0].nType, 16);
        EXPECT_EQ(result.Message(), strBox) << "what the record keeps";
        EXPECT_EQ(m_log.m_strLog.rfind(c.pszLog, 0), 0u) << m_log.m_strLog;
        EXPECT_EQ(m_log.m_strLog.find("Executando BfinUcLinux"), std::string::npos);
        EXPECT_EQ(m_fakeArp.m_nQueries, 0);
        // The board saw nothing: no first-stage image, no command.
        EXPECT_FALSE(ImageReceived(m_strDir + "/transcript"));
        EXPECT_EQ(Commands(), std::vector<std::string>());
        ExpectCleanEnd();
        m_pBoard.reset();
    }
    // The port is free again once the run has ended, whichever way.
    m_fakeArp.Reset();
    StartBoard({});
    SRunResult result = Run();
    EXPECT_EQ(result.eEnd, ERunEnd::Verified);
    CPortLock after;
    EXPECT_EQ(after.Acquire(m_run.m_strPort), CPortLock::EResult::Locked);
}

TEST_F(SequenceTest, MacCheckEndsAtItsTimeLimit) {
    m_fakeArp.m_answers = {""}; // no board answers
    m_dwArpTimeoutS = 2;
    StartBoard({});
    SRunResult result = Run();
    EXPECT_EQ(result.eEnd, ERunEnd::ArpTimedOut);
    ASSERT_FALSE(m_op.m_boxes.empty());
    EXPECT_EQ(m_op.m_boxes.back().nStage, RUN_STAGE_VERIFY);
    EXPECT_EQ(m_op.m_boxes.back().strText, RunEndRow(ERunEnd::ArpTimedOut).pszBox);
    EXPECT_GE(m_fakeArp.m_nQueries, 1);
    EXPECT_NE(m_log.m_strLog.find("\r\nNo answer within 2 s\r\n"), std::string::npos);
    ExpectCleanEnd();
}

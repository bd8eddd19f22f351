// Labels through a real CUPS server of the test's own: the PDF the program draws, rendered as the printer
// would (pdftoppm) and its barcodes read back; the ZPL template filled; and every way a label can fail to
// print, told rather than hidden.

#include "labels/LabelPrinter.h"
#include "tests/support/CupsTestServer.h"
#include "tests/support/TempWorkDir.h"

#include <QImage>
// The reader's text as UTF-8, the form its next release keeps.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>

namespace {

constexpr const char* kMac = "02:3A:7C:00:10:05";

// Every barcode of the PDF's page as read from a 300 dpi grey rendering: "<format> <text>", sorted, each
// once. The reader looks at the whole label and, as a scanner aimed at it would, at its lower right corner,
// where the DataMatrix is (the reader's matrix detector starts from the middle of the picture).
std::vector<std::string> BarcodesOf(const std::string& strPdf, const std::string& strDir) {
    std::ofstream(strDir + "/label.pdf", std::ios::binary) << strPdf;
    std::string strCommand = "pdftoppm -r 300 -gray -png " + strDir + "/label.pdf " + strDir + "/label";
    if (std::system(strCommand.c_str()) != 0)
        return {"pdftoppm failed"};
    QImage label =
        QImage(QString::fromStdString(strDir + "/label-1.png")).convertToFormat(QImage::Format_Grayscale8);
    std::set<std::string> found;
    for (const QImage& image : {label, label.copy(label.width() * 2 / 3, label.height() / 3,
                                                  label.width() / 3, label.height() * 2 / 3)}) {
        ZXing::ImageView view(image.constBits(), image.width(), image.height(), ZXing::ImageFormat::Lum,
                              int(image.bytesPerLine()));
        ZXing::DecodeHints hints;
        hints.setFormats(ZXing::BarcodeFormat::Code128 | ZXing::BarcodeFormat::DataMatrix);
        for (const ZXing::Result& result : ZXing::ReadBarcodes(view, hints))
            found.insert(std::string(ZXing::ToString(result.format())) + " " + result.text());
    }
    return {found.begin(), found.end()};
}

// The operator with a scanner in hand: each question gets the next scan; with none left they give up.
class CScanningOperator : public IOperator {
public:
    explicit CScanningOperator(std::vector<std::string> scans) : m_scans(std::move(scans)) {}
    void ShowMessageBox(const std::string&, int, const CStopToken&) override {}
    bool ExecMacDialog(std::string&, const CStopToken&) override { return false; }
    bool AskLabelScan(std::string& strScanned, const std::string& strError, const CStopToken&) override {
        m_errors.push_back(strError);
        if (m_nNext == m_scans.size())
            return false;
        strScanned = m_scans[m_nNext++];
        return true;
    }
    std::vector<std::string> m_scans, m_errors;
    size_t m_nNext = 0;
};

class LabelPrintTest : public testing::Test {
protected:
    void SetUp() override {
        std::string strSkip = m_cups.Start();
        if (!strSkip.empty())
            GTEST_SKIP() << strSkip;
        ASSERT_EQ(m_cups.AddQueue("labels"), "");
        m_pdf.strQueue = "labels";
        m_pdf.strServer = m_cups.Socket();
    }

    CCupsTestServer m_cups;
    CTempWorkDir m_dir;
    SLabelConfig m_pdf; // 60 x 30 mm
    SLabelContent m_content{kMac, "QAN00001234", std::chrono::system_clock::now(), "bench-1"};
};

} // namespace

TEST_F(LabelPrintTest, PdfLabelReadsBackAsTheMacAndSerial) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"QAN00001234", {"Code128 02:3A:7C:00:10:05", "Code128 QAN00001234", "DataMatrix 02:3A:7C:00:10:05"}},
        {"", {"Code128 02:3A:7C:00:10:05", "DataMatrix 02:3A:7C:00:10:05"}},
    };
    for (const auto& [strSerial, expected] : cases) {
        SCOPED_TRACE(strSerial);
        m_content.strSerial = strSerial;
        int nJobId = 0;
        ASSERT_EQ(PrintLabel(m_pdf, m_content, {}, nJobId), "");
        std::string strDocument = m_cups.JobDocument("labels", nJobId, 5000);
        ASSERT_TRUE(strDocument.starts_with("%PDF-")) << strDocument.substr(0, 40);
        EXPECT_EQ(BarcodesOf(strDocument, m_dir.Path().toStdString()), expected);
    }
}

TEST_F(LabelPrintTest, ZplJobIsTheTemplateFilled) {
    SLabelConfig zpl = m_pdf;
    zpl.bZpl = true;
    zpl.strZplTemplate =
        "^XA^FO20,20^BCN,60,N^FD{mac}^FS^FO20,90^A0N,30^FD{mac_hex} {serial} {station}^FS^XZ\n";
    // A station's name cannot add commands to the label's program.
    m_content.strStation = "b^ench~1";
    int nJobId = 0;
    ASSERT_EQ(PrintLabel(zpl, m_content, {}, nJobId), "");
    EXPECT_EQ(m_cups.JobDocument("labels", nJobId, 5000),
              "^XA^FO20,20^BCN,60,N^FD02:3A:7C:00:10:05^FS^FO20,90^A0N,30^FD023A7C001005 QAN00001234 b ench "
              "1^FS^XZ\n");
}

// A missing queue, a stopped one and a server that is gone: the job is refused with the reason, and at a
// verdict the board stays verified while its row's note says the label was not printed.
TEST_F(LabelPrintTest, FailuresAreTold) {
    ASSERT_EQ(m_cups.AddQueue("stopped", true), "");
    SRunResult verified;
    verified.eEnd = ERunEnd::Verified;
    verified.strMacSent = kMac;
    // The last one after the server has gone.
    const std::pair<const char*, const char*> cases[] = {
        {"nope", "fila nope não existe"}, {"stopped", "fila stopped parada"}, {"labels", "servidor CUPS "}};
    CLabelPrinter printer;
    for (const auto& [pszQueue, pszReason] : cases) {
        SCOPED_TRACE(pszQueue);
        if (pszQueue == cases[2].first)
            m_cups.Stop();
        SLabelConfig config = m_pdf;
        config.strQueue = pszQueue;
        int nJobId = 0;
        std::string strError = PrintLabel(config, m_content, {}, nJobId);
        EXPECT_NE(strError.find(pszReason), std::string::npos) << strError;
        std::vector<std::string> shown;
        CScanningOperator op({kMac});
        config.bScanBack = true;
        std::string strNote =
            LabelAtVerdict(verified, config, "", printer, "bench-1",
                           [&](const std::string& strLine) { shown.push_back(strLine); }, op, {});
        EXPECT_EQ(strNote, "Etiqueta não impressa: " + strError);
        EXPECT_EQ(shown, std::vector<std::string>{strNote});
        EXPECT_TRUE(op.m_errors.empty()) << "a label never printed is not asked for";
    }
    // A failed run prints nothing and says nothing of labels.
    SRunResult failed;
    failed.eEnd = ERunEnd::TftpFailed;
    CScanningOperator none({});
    EXPECT_EQ(LabelAtVerdict(failed, m_pdf, "", printer, "b", [](const std::string&) {}, none, {}), "");
}

// The label scanned back: the printed label's own barcode as a scanner reads it passes; a wrong one (the
// serial's barcode, a control character after it) is asked for again and shown safely; giving up is noted.
TEST_F(LabelPrintTest, ScannedBackLabelIsComparedWithTheBoard) {
    int nJobId = 0;
    ASSERT_EQ(PrintLabel(m_pdf, m_content, {}, nJobId), "");
    std::vector<std::string> read =
        BarcodesOf(m_cups.JobDocument("labels", nJobId, 5000), m_dir.Path().toStdString());
    ASSERT_EQ(read.size(), 3u);
    std::string strMacScan = read[0].substr(8), strSerialScan = read[1].substr(8); // after "Code128 "
    SRunResult verified;
    verified.eEnd = ERunEnd::Verified;
    verified.strMacSent = kMac;
    SLabelConfig config = m_pdf;
    config.bScanBack = true;
    CLabelPrinter printer;
    CScanningOperator op({strSerialScan + "\x1b", strMacScan});
    EXPECT_EQ(LabelAtVerdict(verified, config, "", printer, "b", [](const std::string&) {}, op, {}),
              std::string("Etiqueta conferida: ") + kMac);
    EXPECT_EQ(op.m_errors, (std::vector<std::string>{"", "A etiqueta lida (" + strSerialScan +
                                                             "?) não é a do MAC " + kMac + " desta placa"}));
    CScanningOperator gaveUp({"02-3a-7c-00-10-06"});
    EXPECT_EQ(ScanBackNote(gaveUp, kMac, {}), "Etiqueta não conferida: não foi lida de volta");
    EXPECT_EQ(gaveUp.m_errors.size(), 2u);
}

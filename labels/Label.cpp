#include "labels/Label.h"

#include "core/Cp1252.h"
#include "core/PlainFile.h"
#include "records/RunRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>
#include <zint.h>

namespace {

constexpr double kPointsPerMm = 72.0 / 25.4;
constexpr double kMarginMm = 1.5;
// Clear space around the bars, in modules: what scanners need to find where a symbol begins.
constexpr int kCode128QuietModules = 10;
constexpr int kDataMatrixQuietModules = 3;
constexpr size_t kMaxTemplateBytes = 64 * 1024;

std::string ReadTemplateFile(const std::string& strPath) {
    return ReadSmallPlainFile(strPath.c_str(), kMaxTemplateBytes).value_or("");
}

// A text for the label: one line, no ZPL command characters.
std::string LabelText(std::string_view text) {
    std::string out = OneLineText(ValidUtf8(text));
    for (char& c : out)
        if (c == '^' || c == '~')
            c = ' ';
    return out;
}

std::string DateText(std::chrono::system_clock::time_point t) {
    return FormatLocalTime(t, "%Y-%m-%d %H:%M");
}

// A barcode as zint draws it: its bars in its own units, its size in those units and in modules.
struct SBars {
    struct SRect {
        float x, y, w, h;
    };
    std::vector<SRect> rects;
    float fWidth = 0, fHeight = 0;
    int nModulesWide = 0;
};

std::optional<SBars> Barcode(int nSymbology, const std::string& strData, std::string& strError) {
    std::unique_ptr<zint_symbol, void (*)(zint_symbol*)> pSymbol(ZBarcode_Create(), ZBarcode_Delete);
    if (!pSymbol) {
        strError = "código de barras: sem memória";
        return std::nullopt;
    }
    pSymbol->symbology = nSymbology;
    pSymbol->show_hrt = 0; // the label writes the text itself, larger
    pSymbol->input_mode = DATA_MODE;
    if (nSymbology == BARCODE_DATAMATRIX)
        pSymbol->option_3 = DM_SQUARE;
    int nError = ZBarcode_Encode_and_Buffer_Vector(
        pSymbol.get(), reinterpret_cast<const unsigned char*>(strData.data()), int(strData.size()), 0);
    if (nError >= ZINT_ERROR || !pSymbol->vector) {
        strError = std::string("código de barras de \"") + strData + "\": " + pSymbol->errtxt;
        return std::nullopt;
    }
    SBars bars;
    for (const zint_vector_rect* p = pSymbol->vector->rectangles; p; p = p->next)
        bars.rects.push_back({p->x, p->y, p->width, p->height});
    bars.fWidth = pSymbol->vector->width;
    bars.fHeight = pSymbol->vector->height;
    bars.nModulesWide = pSymbol->width;
    return bars;
}

// The page's content stream, drawn in millimetres from the label's top left corner.
class CPdfPage {
public:
    CPdfPage(double dWidthMm, double dHeightMm) : m_dHeightMm(dHeightMm), m_dWidthMm(dWidthMm) {}

    // The bars fitted into the box, the quiet zone inside it on every side; a square symbol stays square.
    void Bars(const SBars& bars, double x, double y, double w, double h, int nQuiet, bool bSquare) {
        double dModuleMm = w / (bars.nModulesWide + 2 * nQuiet);
        if (bSquare)
            dModuleMm = std::min(dModuleMm, h / (bars.nModulesWide + 2 * nQuiet));
        double dScaleX = dModuleMm * bars.nModulesWide / bars.fWidth;
        double dScaleY = bSquare ? dScaleX : h / bars.fHeight;
        double x0 = x + nQuiet * dModuleMm, y0 = bSquare ? y + nQuiet * dModuleMm : y;
        for (const SBars::SRect& r : bars.rects)
            Rect(x0 + r.x * dScaleX, y0 + r.y * dScaleY, r.w * dScaleX, r.h * dScaleY);
    }
    // A line of text whose baseline is y millimetres from the top.
    void Text(double x, double yBaseline, double dPoints, bool bBold, std::string_view text) {
        std::string strEscaped;
        for (char c : EncodeCp1252(LabelText(text))) {
            if (c == '(' || c == ')' || c == '\\')
                strEscaped += '\\';
            strEscaped += c;
        }
        Append("BT /%s %.1f Tf %.2f %.2f Td (", bBold ? "F2" : "F1", dPoints, x * kPointsPerMm,
               (m_dHeightMm - yBaseline) * kPointsPerMm);
        m_strContent += strEscaped + ") Tj ET\n";
    }
    std::string Document() const;

private:
    void Rect(double x, double y, double w, double h) {
        Append("%.3f %.3f %.3f %.3f re f\n", x * kPointsPerMm, (m_dHeightMm - y - h) * kPointsPerMm,
               w * kPointsPerMm, h * kPointsPerMm);
    }
    template <typename... T>
    void Append(const char* pszFormat, T... args) {
        char buffer[160];
        int n = snprintf(buffer, sizeof buffer, pszFormat, args...);
        m_strContent.append(buffer, size_t(std::max(n, 0)));
    }
    double m_dHeightMm, m_dWidthMm;
    std::string m_strContent;
};

std::string CPdfPage::Document() const {
    char mediaBox[64];
    snprintf(mediaBox, sizeof mediaBox, "[0 0 %.2f %.2f]", m_dWidthMm * kPointsPerMm,
             m_dHeightMm * kPointsPerMm);
    const std::string objects[] = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        std::string("<< /Type /Page /Parent 2 0 R /MediaBox ") + mediaBox +
            " /Resources << /Font << /F1 5 0 R /F2 6 0 R >> >> /Contents 4 0 R >>",
        "<< /Length " + std::to_string(m_strContent.size()) + " >>\nstream\n" + m_strContent + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < std::size(objects); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    size_t nXref = pdf.size();
    pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t nOffset : offsets) {
        char entry[24];
        snprintf(entry, sizeof entry, "%010zu 00000 n \n", nOffset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(nXref) + "\n%%EOF\n";
    return pdf;
}

} // namespace

namespace {

// One line of the label file into config; false, with strError, for a line it cannot take.
bool TakeLabelLine(SLabelConfig& config, bool& bTemplate, std::string_view line, std::string& strError,
                   std::string (*fnReadTemplate)(const std::string&)) {
    size_t space = line.find_first_of(" \t");
    std::string_view key = line.substr(0, space);
    std::string strValue(Trimmed(space == std::string_view::npos ? "" : line.substr(space)));
    if (key == "queue" && !strValue.empty()) {
        config.strQueue = strValue;
    } else if (key == "server" && !strValue.empty()) {
        config.strServer = strValue;
    } else if (key == "template" && strValue.starts_with("pdf ")) {
        double w = 0, h = 0;
        char extra = 0;
        if (sscanf(strValue.c_str() + 4, "%lfx%lf %c", &w, &h, &extra) != 2 || w < 20 || h < 15 || w > 300 ||
            h > 300) {
            strError = "tamanho em mm como 60x30 (de 20x15 a 300x300)";
            return false;
        }
        config.bZpl = false;
        config.strZplTemplate.clear();
        config.dWidthMm = w;
        config.dHeightMm = h;
        bTemplate = true;
    } else if (key == "scan-back" && (strValue == "on" || strValue == "off")) {
        config.bScanBack = strValue == "on";
    } else if (key == "template" && !strValue.empty()) {
        config.bZpl = true;
        config.strZplTemplate = fnReadTemplate(strValue);
        if (config.strZplTemplate.empty()) {
            strError = "o modelo " + strValue + " não pode ser lido";
            return false;
        }
        bTemplate = true;
    } else {
        strError = "\"" + std::string(line) + "\" não é queue, template, server nem scan-back (on ou off)";
        return false;
    }
    return true;
}

} // namespace

std::optional<SLabelConfig> LabelConfigFromText(std::string_view text, std::string& strError,
                                                std::string (*fnReadTemplate)(const std::string&)) {
    SLabelConfig config;
    bool bTemplate = false;
    bool bOk = true;
    ForEachSettingLine(text, [&](int nLine, std::string_view line) {
        bOk = TakeLabelLine(config, bTemplate, line, strError, fnReadTemplate);
        if (!bOk)
            strError =
                std::string(kLabelConfigFileName) + ", linha " + std::to_string(nLine) + ": " + strError;
        return bOk;
    });
    if (!bOk)
        return std::nullopt;
    if (config.strQueue.empty() || !bTemplate) {
        strError = std::string(kLabelConfigFileName) + ": faltam " +
                   (config.strQueue.empty() ? "a fila (queue)" : "o modelo (template)");
        return std::nullopt;
    }
    return config;
}

std::optional<SLabelConfig> ReadLabelConfig(std::string& strError) {
    strError.clear();
    std::optional<std::string> text = ReadSmallPlainFile(kLabelConfigFileName, kMaxTemplateBytes);
    if (!text) {
        if (access(kLabelConfigFileName, F_OK) == 0)
            strError = std::string(kLabelConfigFileName) + ": não pode ser lido";
        return std::nullopt;
    }
    return LabelConfigFromText(*text, strError, ReadTemplateFile);
}

std::string FilledZpl(const std::string& strTemplate, const SLabelContent& content) {
    std::string strHex;
    for (char c : content.strMac)
        if (c != ':' && c != '-')
            strHex += c;
    const std::pair<const char*, std::string> values[] = {
        {"{mac}", LabelText(content.strMac)},         {"{mac_hex}", LabelText(strHex)},
        {"{serial}", LabelText(content.strSerial)},   {"{date}", DateText(content.tWhen)},
        {"{station}", LabelText(content.strStation)},
    };
    std::string out;
    for (size_t pos = 0; pos < strTemplate.size();) {
        bool bFilled = false;
        for (const auto& [pszName, strValue] : values) {
            if (strTemplate.compare(pos, strlen(pszName), pszName) == 0) {
                out += strValue;
                pos += strlen(pszName);
                bFilled = true;
                break;
            }
        }
        if (!bFilled)
            out += strTemplate[pos++];
    }
    return out;
}

std::string LabelPdf(const SLabelConfig& config, const SLabelContent& content, std::string& strError) {
    std::optional<SBars> mac128 = Barcode(BARCODE_CODE128, content.strMac, strError);
    std::optional<SBars> macMatrix =
        mac128 ? Barcode(BARCODE_DATAMATRIX, content.strMac, strError) : std::nullopt;
    std::optional<SBars> serial128;
    if (macMatrix && !content.strSerial.empty())
        serial128 = Barcode(BARCODE_CODE128, content.strSerial, strError);
    if (!macMatrix || (!content.strSerial.empty() && !serial128))
        return "";
    const double W = config.dWidthMm, H = config.dHeightMm, m = kMarginMm;
    CPdfPage page(W, H);
    double dMacBarsH = H * 0.30;
    page.Bars(*mac128, m, m, W - 2 * m, dMacBarsH, kCode128QuietModules, false);
    double y = m + dMacBarsH + 3.6;
    page.Text(m + 1, y, 9, true, "MAC " + content.strMac);
    double dSide = H - m - (y + 1);
    page.Bars(*macMatrix, W - m - dSide, H - m - dSide, dSide, dSide, kDataMatrixQuietModules, true);
    double dLeftW = W - 2 * m - dSide - 3;
    if (serial128) {
        double dSerialBarsH = H * 0.17;
        page.Bars(*serial128, m, y + 1.2, dLeftW, dSerialBarsH, kCode128QuietModules, false);
        y += 1.2 + dSerialBarsH + 2.8;
        page.Text(m + 1, y, 7, false, "S/N " + content.strSerial);
    }
    page.Text(m + 1, H - m - 0.3, 6, false, DateText(content.tWhen) + "  " + content.strStation);
    return page.Document();
}

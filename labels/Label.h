#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The label of a verified board, printed through a CUPS queue. "QAN640label.conf" in the working directory,
// optional, turns it on; its lines (blank ones and those beginning with "#" are comments):
//   queue NAME            the CUPS queue (required)
//   template pdf WxH      a label of W by H millimetres that the program draws and sends as PDF, for any
//                         printer ("template pdf 60x30")
//   template FILE.zpl     a ZPL file for label printers, its placeholders filled and sent raw
//   server ADDRESS        the CUPS server (a host name or a socket's path); default: the system's
//   scan-back on          the operator scans the printed label and the run compares it with the board's MAC
//                         (off by default)
inline constexpr const char* kLabelConfigFileName = "QAN640label.conf";

struct SLabelConfig {
    std::string strQueue;
    std::string strServer; // empty: the system's (CUPS_SERVER, client.conf)
    bool bZpl = false;
    double dWidthMm = 60, dHeightMm = 30; // of a PDF label
    std::string strZplTemplate;           // the template file's text
    bool bScanBack = false;
};

// What a label shows.
struct SLabelContent {
    std::string strMac;    // "02:3A:7C:00:10:00"
    std::string strSerial; // empty when the site records none
    std::chrono::system_clock::time_point tWhen;
    std::string strStation;
};

// The configuration from the file's text; nothing, with strError (Portuguese, naming the file and line), for
// one that cannot be used. fnReadTemplate reads a ZPL template named by the file (empty: it cannot be read).
std::optional<SLabelConfig> LabelConfigFromText(std::string_view text, std::string& strError,
                                                std::string (*fnReadTemplate)(const std::string&));
// The file in the working directory: nothing without it (strError empty) or when it cannot be used.
std::optional<SLabelConfig> ReadLabelConfig(std::string& strError);

// The ZPL template with its placeholders filled: {mac} "02:3A:7C:00:10:00", {mac_hex} "023A7C001000",
// {serial}, {date} "2026-12-10 10:30", {station}. Texts lose the characters ZPL would take for commands
// (^ and ~) and control characters, so a station's name cannot change the label's program.
std::string FilledZpl(const std::string& strTemplate, const SLabelContent& content);

// The label as a one-page PDF of the configured size: the MAC as text, as a Code 128 and as a DataMatrix
// (quiet zones kept clear), the serial as text and a Code 128 when there is one, the date and the station.
// Empty, with strError, when a barcode cannot be made.
std::string LabelPdf(const SLabelConfig& config, const SLabelContent& content, std::string& strError);

#pragma once

#include <functional>

#include "provisioning/Operator.h"

#include <QPointer>
#include <QWidget>

// The operator as the window meets them: Qt message boxes titled with the program's name and the MAC dialog,
// shown on the GUI thread while the worker waits. A stop (the window closing) takes an open box or dialog
// down at once.
class CQtOperator : public IOperator {
public:
    static constexpr const char* kSerialPrompt = "Número de série da placa (leia a etiqueta ou digite):";
    static constexpr const char* kLabelScanPrompt = "Leia com o leitor a etiqueta impressa para esta placa:";

    // pWindow owns the boxes and is the GUI-thread context of the calls; it must outlive every run that uses
    // this operator (its owner stops the run and waits for the worker before destroying it).
    explicit CQtOperator(QWidget* pWindow);

    void ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) override;
    bool ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) override;
    // Yes / No, No the default: a slip of Enter must not put one address in two boards.
    EReuse ConfirmMacReuse(const std::string& strQuestion, const CStopToken& stop) override;
    // A line to scan or type the serial into, with what was wrong with the last one above it.
    bool AskSerialNumber(std::string& strSerial, const std::string& strError,
                         const CStopToken& stop) override;
    // The same line for the printed label, read back with the scanner.
    bool AskLabelScan(std::string& strScanned, const std::string& strError, const CStopToken& stop) override;
    // Handed to fnOnWarning on the GUI thread without waiting for it (the window's progress line).
    void ShowWarning(const std::string& strText) override;
    void SetWarningSink(std::function<void(const QString&)> fnOnWarning) {
        m_fnOnWarning = std::move(fnOnWarning);
    }

    // What a box shows for one of the run's texts: UTF-8, CR LF as one line break.
    static QString ToBoxText(const std::string& strText);

private:
    bool IsWorkerThread() const;
    // A line to scan or type into, with strError above strPrompt; false when cancelled or stopped.
    bool AskLine(const char* pszPrompt, std::string& strAnswer, const std::string& strError,
                 const CStopToken& stop);
    QPointer<QWidget> m_pWindow;
    std::function<void(const QString&)> m_fnOnWarning;
};

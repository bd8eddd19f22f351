#include "app/QtOperator.h"

#include "app/GuiCall.h"
#include "app/ModalDialog.h"
#include "mac/DialogMacAddress.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

CQtOperator::CQtOperator(QWidget* pWindow) : m_pWindow(pWindow) {}

// A run's boxes leave the main window usable, so that the operator can always close it; the window's own
// boxes (asked for on the GUI thread) block it as usual.
bool CQtOperator::IsWorkerThread() const {
    return m_pWindow && QThread::currentThread() != m_pWindow->thread();
}

QString CQtOperator::ToBoxText(const std::string& strText) {
    QString text = QString::fromUtf8(strText.data(), qsizetype(strText.size()));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

void CQtOperator::ShowMessageBox(const std::string& strText, int nType, const CStopToken& stop) {
    QMessageBox::Icon icon = nType == MB_TYPE_ERROR         ? QMessageBox::Critical
                             : nType == MB_TYPE_INFORMATION ? QMessageBox::Information
                                                            : QMessageBox::NoIcon;
    QPointer<QWidget> pWindow = m_pWindow;
    bool bFromWorker = IsWorkerThread();
    CallOnGuiThread(m_pWindow, stop, [pWindow, icon, text = ToBoxText(strText), stop, bFromWorker] {
        QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, pWindow);
        ExecModalUntilStop(box, stop, !bFromWorker);
    });
}

void CQtOperator::ShowWarning(const std::string& strText) {
    if (!m_fnOnWarning || !m_pWindow)
        return;
    QPointer<QWidget> pWindow = m_pWindow;
    QMetaObject::invokeMethod(
        m_pWindow,
        [pWindow, fn = m_fnOnWarning, text = QString::fromStdString(strText)] {
            if (pWindow)
                fn(text);
        },
        Qt::QueuedConnection);
}

bool CQtOperator::ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) {
    QPointer<QWidget> pWindow = m_pWindow;
    bool bFromWorker = IsWorkerThread();
    std::optional<std::optional<std::string>> answer = CallOnGuiThread<std::optional<std::string>>(
        m_pWindow, stop, [pWindow, stop, bFromWorker, strOffered = strMacAddress] {
            CDialogMacAddress dialog(pWindow);
            dialog.Offer(strOffered);
            if (ExecModalUntilStop(dialog, stop, !bFromWorker) != QDialog::Accepted)
                return std::optional<std::string>();
            return std::optional<std::string>(dialog.m_macAddress);
        });
    if (!answer || !*answer || stop.StopRequested())
        return false;
    strMacAddress = **answer;
    return true;
}

IOperator::EReuse CQtOperator::ConfirmMacReuse(const std::string& strQuestion, const CStopToken& stop) {
    QPointer<QWidget> pWindow = m_pWindow;
    bool bFromWorker = IsWorkerThread();
    std::optional<bool> bYes =
        CallOnGuiThread<bool>(m_pWindow, stop, [pWindow, text = ToBoxText(strQuestion), stop, bFromWorker] {
            QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                            QMessageBox::Yes | QMessageBox::No, pWindow);
            box.setDefaultButton(QMessageBox::No);
            box.button(QMessageBox::Yes)->setText(QString::fromUtf8("Sim"));
            box.button(QMessageBox::No)->setText(QString::fromUtf8("Não"));
            ExecModalUntilStop(box, stop, !bFromWorker);
            return box.clickedButton() == box.button(QMessageBox::Yes);
        });
    return bYes && *bYes && !stop.StopRequested() ? EReuse::Reuse : EReuse::AskAgain;
}

bool CQtOperator::AskSerialNumber(std::string& strSerial, const std::string& strError,
                                  const CStopToken& stop) {
    return AskLine(kSerialPrompt, strSerial, strError, stop);
}

bool CQtOperator::AskLabelScan(std::string& strScanned, const std::string& strError, const CStopToken& stop) {
    return AskLine(kLabelScanPrompt, strScanned, strError, stop);
}

bool CQtOperator::AskLine(const char* pszPrompt, std::string& strAnswer, const std::string& strError,
                          const CStopToken& stop) {
    QPointer<QWidget> pWindow = m_pWindow;
    bool bFromWorker = IsWorkerThread();
    std::optional<std::optional<std::string>> answer = CallOnGuiThread<std::optional<std::string>>(
        m_pWindow, stop, [pWindow, stop, bFromWorker, error = ToBoxText(strError), pszPrompt] {
            QInputDialog dialog(pWindow);
            dialog.setWindowTitle(QCoreApplication::applicationName());
            QString label = QString::fromUtf8(pszPrompt);
            dialog.setLabelText(error.isEmpty() ? label : error + "\n" + label);
            dialog.setOkButtonText(QString::fromUtf8("OK"));
            dialog.setCancelButtonText(QString::fromUtf8("Cancelar"));
            if (ExecModalUntilStop(dialog, stop, !bFromWorker) != QDialog::Accepted)
                return std::optional<std::string>();
            return std::optional<std::string>(dialog.textValue().toStdString());
        });
    if (!answer || !*answer || stop.StopRequested())
        return false;
    strAnswer = **answer;
    return true;
}

#include "app/QtOperator.h"

#include "app/GuiCall.h"
#include "app/ModalDialog.h"
#include "mac/DialogMacAddress.h"

#include <QCoreApplication>
#include <QMessageBox>

CQtOperator::CQtOperator(QWidget* pWindow) : m_pWindow(pWindow) {}

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
    CallOnGuiThread(m_pWindow, stop, [pWindow, icon, text = ToBoxText(strText), stop] {
        QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, pWindow);
        ExecModalUntilStop(box, stop);
    });
}

bool CQtOperator::ExecMacDialog(std::string& strMacAddress, const CStopToken& stop) {
    QPointer<QWidget> pWindow = m_pWindow;
    std::optional<std::optional<std::string>> answer =
        CallOnGuiThread<std::optional<std::string>>(m_pWindow, stop, [pWindow, stop] {
            CDialogMacAddress dialog(pWindow);
            if (ExecModalUntilStop(dialog, stop) != QDialog::Accepted)
                return std::optional<std::string>();
            return std::optional<std::string>(dialog.m_macAddress);
        });
    if (!answer || !*answer || stop.StopRequested())
        return false;
    strMacAddress = **answer;
    return true;
}

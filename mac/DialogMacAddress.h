#pragma once

#include "mac/MacInput.h"
#include "mac/StaticColor.h"

#include <QColor>
#include <QDialog>
#include <memory>
#include <string>

class QComboBox;
class QLineEdit;
class QShowEvent;

namespace Ui {
class DialogMacAddress;
}

// The modal dialog in which the operator gives the board's MAC address: the vendor prefix from a list, the
// last three bytes typed as six hex digits. The typed text is checked at every change and again on OK; the
// dialog ends with Accepted only through an OK whose text is valid, and m_macAddress then holds the full
// address ("02:3A:7C:1a:2B:3c": the prefix as listed, the digits as typed). Cancel, Esc and closing end it
// with Rejected. Complaints go to the status line in dark red; nothing else is ever reported.
//
// The object may be run more than once; each opening fills the prefix list anew from the prefix file in the
// working directory and starts with an empty field (or the offered address) and an empty status line.
class CDialogMacAddress : public QDialog {
    Q_OBJECT
public:
    // Colour of the status line's complaints (red 127, green 0, blue 0).
    static inline const QColor kErrorTextColor = QColor(0x7F, 0, 0);
    // The prompt above the fields, as the dialog's form has it (also the station window's slot).
    static constexpr const char* kPrompt = "Digite o endereço de MAC  do QAN640";

    explicit CDialogMacAddress(QWidget* pParent = nullptr);
    ~CDialogMacAddress() override;

    void setVisible(bool bVisible) override;
    // The OK button and Enter (OK is the default button).
    void accept() override;

    // Checks the typed text. A scanned whole address (see SplitScannedMac) stands for its prefix and digits:
    // with bTakeScanned its prefix is selected and the field keeps only the digits, so that OK hands back
    // what the operator would have picked and typed. On MacInputOk writes the full address (selected prefix,
    // ":", the digits in pairs) into macAddress; otherwise writes the status line's message into message.
    MacInputResult ValidateMacInput(std::string& macAddress, QString& message, bool bTakeScanned = false);
    // The next opening shows strMac in the field (its prefix selected when the list offers it); the operator
    // confirms or overtypes it. Empty: the field starts empty.
    void Offer(const std::string& strMac) { m_strOffered = strMac; }
    // Fills the prefix list from the prefix file (writing the built-in file when there is no usable one)
    // and selects the first built-in prefix.
    void LoadMacPrefixes();

    void OnInitDialog();
    void OnShowWindow(bool bShow);
    void OnEnChangeMacEdit();
    void OnOK();

    // Empty until an OK succeeds; emptied by every OK that fails.
    std::string m_macAddress;
    QComboBox* m_prefixCombo = nullptr;
    CStaticColor* m_statusLabel = nullptr;
    QLineEdit* m_suffixEdit = nullptr;

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    void DoDataExchange();
    void ShowOffered();

    std::unique_ptr<Ui::DialogMacAddress> m_pUi;
    std::string m_strOffered;
};

#include "mac/DialogMacAddress.h"

#include "mac/MacPrefixFile.h"
#include "ui_DialogMacAddress.h"

#include <QComboBox>
#include <QLineEdit>
#include <QShowEvent>

CDialogMacAddress::CDialogMacAddress(QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::DialogMacAddress>()) {
    m_pUi->setupUi(this);
    DoDataExchange();
    // The layout is drawn at fixed positions; the window keeps its size.
    setFixedSize(size());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    connect(m_pUi->buttonOk, &QPushButton::clicked, this, &CDialogMacAddress::accept);
    connect(m_pUi->buttonCancel, &QPushButton::clicked, this, &CDialogMacAddress::reject);
    connect(m_suffixEdit, &QLineEdit::textChanged, this, &CDialogMacAddress::OnEnChangeMacEdit);
}

CDialogMacAddress::~CDialogMacAddress() = default;

void CDialogMacAddress::DoDataExchange() {
    m_prefixCombo = m_pUi->prefixCombo;
    m_statusLabel = m_pUi->statusLabel;
    m_suffixEdit = m_pUi->suffixEdit;
}

void CDialogMacAddress::setVisible(bool bVisible) {
    if (bVisible && !isVisible())
        OnInitDialog();
    QDialog::setVisible(bVisible);
}

void CDialogMacAddress::OnInitDialog() {
    // Every opening starts as the window did when first made: empty field, empty status line.
    m_suffixEdit->clear();
    m_statusLabel->clear();
    LoadMacPrefixes();
    ShowOffered();
}

void CDialogMacAddress::ShowOffered() {
    if (m_strOffered.size() != 17)
        return;
    int nPrefix =
        m_prefixCombo->findText(QString::fromLatin1(m_strOffered.substr(0, 8).c_str()), Qt::MatchFixedString);
    if (nPrefix < 0)
        return;
    m_prefixCombo->setCurrentIndex(nPrefix);
    m_suffixEdit->setText(QString::fromLatin1(m_strOffered.substr(9).c_str()));
    m_suffixEdit->selectAll();
}

void CDialogMacAddress::LoadMacPrefixes() {
    CMacPrefixList list = LoadMacPrefixList(kMacPrefixFileName);
    QStringList entries;
    entries.reserve(qsizetype(list.m_entries.size()));
    for (const std::string& entry : list.m_entries)
        entries << QString::fromLatin1(entry.data(), qsizetype(entry.size()));
    m_prefixCombo->clear();
    m_prefixCombo->addItems(entries);
    m_prefixCombo->setCurrentIndex(list.m_nSelected);
}

void CDialogMacAddress::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    OnShowWindow(true);
}

void CDialogMacAddress::OnShowWindow(bool bShow) {
    // The operator types at once, although OK comes first in the tab order.
    if (bShow)
        m_suffixEdit->setFocus(Qt::OtherFocusReason);
}

MacInputResult CDialogMacAddress::ValidateMacInput(std::string& macAddress, QString& message,
                                                   bool bTakeScanned) {
    QString typed = m_suffixEdit->text();
    QByteArray prefix = m_prefixCombo->currentText().toLatin1();
    std::string strScannedPrefix, strScannedDigits;
    if (SplitScannedMac(typed, strScannedPrefix, strScannedDigits)) {
        int nPrefix =
            m_prefixCombo->findText(QString::fromLatin1(strScannedPrefix.c_str()), Qt::MatchFixedString);
        if (nPrefix < 0) {
            message = MacInputMessage(MacInputPrefixNotOffered);
            return MacInputPrefixNotOffered;
        }
        typed = QString::fromLatin1(strScannedDigits.c_str());
        prefix = m_prefixCombo->itemText(nPrefix).toLatin1();
        if (bTakeScanned) {
            m_prefixCombo->setCurrentIndex(nPrefix);
            m_suffixEdit->setText(typed);
        }
    }
    MacInputResult result =
        ValidateMacText(typed, std::string_view(prefix.constData(), size_t(prefix.size())), macAddress);
    if (result != MacInputOk)
        message = MacInputMessage(result);
    return result;
}

void CDialogMacAddress::OnEnChangeMacEdit() {
    std::string address;
    QString message;
    switch (ValidateMacInput(address, message)) {
    case MacInputInvalidChars:
    case MacInputTooManyDigits:
    case MacInputPrefixNotOffered:
        m_statusLabel->SetTextColor(kErrorTextColor);
        m_statusLabel->setText(message);
        break;
    case MacInputOk:
    case MacInputTooFewDigits:
        // Every address passes through too few digits while it is typed: no complaint for that here.
        m_statusLabel->clear();
        break;
    }
}

void CDialogMacAddress::accept() {
    OnOK();
}

void CDialogMacAddress::OnOK() {
    QString message;
    if (ValidateMacInput(m_macAddress, message, true) != MacInputOk) {
        m_macAddress.clear();
        m_statusLabel->SetTextColor(kErrorTextColor);
        m_statusLabel->setText(message);
        return;
    }
    QDialog::accept();
}

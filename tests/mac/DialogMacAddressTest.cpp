#include "mac/DialogMacAddress.h"
#include "mac/MacPrefixFile.h"
#include "tests/support/TempWorkDir.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
const QColor kDarkRed(0x7F, 0, 0);
const QString kInvalidChars = QString::fromUtf8("Erro: Caracteres inválidos");
const QString kTooFew = QString::fromUtf8("Erro: Faltam dígitos");
const QString kTooMany = QString::fromUtf8("Erro: Muitos dígitos");

class DialogMacAddressTest : public ::testing::Test {
protected:
    DialogMacAddressTest() {
        m_pOk = m_dialog.findChild<QPushButton*>("buttonOk");
        m_pCancel = m_dialog.findChild<QPushButton*>("buttonCancel");
    }

    void Open() {
        m_dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_dialog));
    }

    QStringList ListEntries() const {
        QStringList entries;
        for (int i = 0; i < m_dialog.m_prefixCombo->count(); ++i)
            entries << m_dialog.m_prefixCombo->itemText(i);
        return entries;
    }

    QString Status() const { return m_dialog.m_statusLabel->text(); }
    QColor StatusColor() const { return m_dialog.m_statusLabel->TextColor(); }

    CTempWorkDir m_workDir;
    CDialogMacAddress m_dialog;
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pCancel = nullptr;
};

TEST_F(DialogMacAddressTest, LooksLikeItsTemplate) {
    ASSERT_NE(m_pOk, nullptr);
    ASSERT_NE(m_pCancel, nullptr);
    EXPECT_EQ(m_dialog.windowTitle(), QString::fromUtf8("Endereço de MAC"));
    EXPECT_EQ(m_pOk->text(), "OK");
    EXPECT_EQ(m_pCancel->text(), "Cancel");
    EXPECT_TRUE(m_pOk->isDefault());
    auto* pPrompt = m_dialog.findChild<QLabel*>("labelPrompt");
    ASSERT_NE(pPrompt, nullptr);
    EXPECT_EQ(pPrompt->text(), QString::fromUtf8(CDialogMacAddress::kPrompt));
    EXPECT_FALSE(m_dialog.m_prefixCombo->isEditable());
    EXPECT_TRUE(m_dialog.m_suffixEdit->text().isEmpty());
    EXPECT_TRUE(Status().isEmpty());
    EXPECT_TRUE(m_dialog.m_macAddress.empty());

    // Not resizable.
    EXPECT_EQ(m_dialog.minimumSize(), m_dialog.maximumSize());
    EXPECT_EQ(m_dialog.size(), m_dialog.minimumSize());

    // Tab order: OK, Cancel, the digits, the list; the labels take no focus.
    QList<QWidget*> tabStops;
    QWidget* pWidget = m_pOk;
    do {
        if (pWidget->focusPolicy() & Qt::TabFocus)
            tabStops << pWidget;
        pWidget = pWidget->nextInFocusChain();
    } while (pWidget != m_pOk);
    EXPECT_EQ(tabStops, (QList<QWidget*>{m_pOk, m_pCancel, m_dialog.m_suffixEdit, m_dialog.m_prefixCombo}));

    // The list stands left of the digits on one line, Cancel left of OK, the status line along the bottom.
    QRect combo = m_dialog.m_prefixCombo->geometry(), edit = m_dialog.m_suffixEdit->geometry();
    EXPECT_LT(combo.right(), edit.left());
    EXPECT_TRUE(combo.top() < edit.bottom() && edit.top() < combo.bottom());
    EXPECT_LT(m_pCancel->geometry().right(), m_pOk->geometry().left());
    EXPECT_GT(m_dialog.m_statusLabel->geometry().top(), m_pOk->geometry().bottom());
    EXPECT_LE(m_dialog.m_statusLabel->geometry().bottom(), m_dialog.rect().bottom());
}

TEST_F(DialogMacAddressTest, OpensWithThePrefixListAndTheFocusInTheDigits) {
    Open();
    EXPECT_EQ(ListEntries(), (QStringList{"02:3A:7C", "06:B1:4E", "0A:5D:22", "0E:91:C8"}));
    EXPECT_EQ(m_dialog.m_prefixCombo->currentText(), "02:3A:7C");
    EXPECT_EQ(ReadFileBytes("QAN640mac.conf"), std::string(kBuiltInMacPrefixFileText));
    EXPECT_EQ(m_dialog.focusWidget(), m_dialog.m_suffixEdit);
    if (QTest::qWaitForWindowActive(&m_dialog)) {
        EXPECT_EQ(QApplication::focusWidget(), m_dialog.m_suffixEdit);
    }
}

TEST_F(DialogMacAddressTest, EachOpeningReadsThePrefixFileAnewAndStartsEmpty) {
    WriteFileBytes("QAN640mac.conf", "AA:BB:CC 11:22:33\n");
    Open();
    EXPECT_EQ(ListEntries(), (QStringList{"AA:BB:CC", "11:22:33", "02:3A:7C"}));
    EXPECT_EQ(m_dialog.m_prefixCombo->currentIndex(), 2);
    QTest::keyClicks(m_dialog.m_suffixEdit, "12z");
    EXPECT_EQ(Status(), kInvalidChars);
    m_dialog.reject();

    WriteFileBytes("QAN640mac.conf", "0E:91:C8\n");
    Open();
    EXPECT_EQ(ListEntries(), (QStringList{"0E:91:C8", "02:3A:7C"}));
    EXPECT_EQ(m_dialog.m_prefixCombo->currentIndex(), 1);
    EXPECT_TRUE(m_dialog.m_suffixEdit->text().isEmpty());
    EXPECT_TRUE(Status().isEmpty());
}

TEST_F(DialogMacAddressTest, TypingReportsOnlyBadCharactersAndTooManyDigits) {
    Open();
    for (char ch : std::string("123456")) {
        QTest::keyClick(m_dialog.m_suffixEdit, ch);
        EXPECT_TRUE(Status().isEmpty()) << "after " << ch;
    }
    EXPECT_EQ(StatusColor(), QColor(Qt::black));

    QTest::keyClick(m_dialog.m_suffixEdit, '7');
    EXPECT_EQ(Status(), kTooMany);
    EXPECT_EQ(StatusColor(), kDarkRed);

    QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Backspace);
    EXPECT_EQ(m_dialog.m_suffixEdit->text(), "123456");
    EXPECT_TRUE(Status().isEmpty());
    // Once red, always red: a valid state only empties the line.
    EXPECT_EQ(StatusColor(), kDarkRed);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_TRUE(m_dialog.m_macAddress.empty());
}

TEST_F(DialogMacAddressTest, ABadCharacterIsReportedAtOnceWhateverTheCount) {
    Open();
    QTest::keyClicks(m_dialog.m_suffixEdit, "12");
    EXPECT_TRUE(Status().isEmpty());
    QTest::keyClick(m_dialog.m_suffixEdit, 'g');
    EXPECT_EQ(Status(), kInvalidChars);
    EXPECT_EQ(StatusColor(), kDarkRed);

    m_dialog.m_suffixEdit->clear();
    EXPECT_TRUE(Status().isEmpty());
    QTest::keyClicks(m_dialog.m_suffixEdit, "1234567");
    EXPECT_EQ(Status(), kTooMany);
    QTest::keyClick(m_dialog.m_suffixEdit, 'x');
    EXPECT_EQ(Status(), kInvalidChars);

    m_dialog.m_suffixEdit->clear();
    QTest::keyClicks(m_dialog.m_suffixEdit, "12");
    QTest::sendKeyEvent(QTest::Click, m_dialog.m_suffixEdit, Qt::Key_Ccedilla, QString::fromUtf8("ç"),
                        Qt::NoModifier);
    EXPECT_EQ(m_dialog.m_suffixEdit->text(), QString::fromUtf8("12ç"));
    EXPECT_EQ(Status(), kInvalidChars);
    EXPECT_EQ(StatusColor(), kDarkRed);
}

TEST_F(DialogMacAddressTest, OkWithTooFewDigitsComplainsAndStaysOpen) {
    Open();
    m_dialog.m_prefixCombo->setCurrentIndex(2);
    m_dialog.m_macAddress = "left over";
    QTest::mouseClick(m_pOk, Qt::LeftButton);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_EQ(Status(), kTooFew);
    EXPECT_EQ(StatusColor(), kDarkRed);
    EXPECT_TRUE(m_dialog.m_macAddress.empty());

    QTest::keyClicks(m_dialog.m_suffixEdit, "12 34");
    EXPECT_TRUE(Status().isEmpty());
    QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_EQ(Status(), kTooFew);
    EXPECT_TRUE(m_dialog.m_macAddress.empty());
    // The field and the list keep what the operator had.
    EXPECT_EQ(m_dialog.m_suffixEdit->text(), "12 34");
    EXPECT_EQ(m_dialog.m_prefixCombo->currentIndex(), 2);

    m_dialog.m_suffixEdit->setText("1234567x");
    QTest::mouseClick(m_pOk, Qt::LeftButton);
    EXPECT_EQ(Status(), kInvalidChars);
    EXPECT_TRUE(m_dialog.isVisible());
}

TEST_F(DialogMacAddressTest, OkWithAValidAddressEndsTheDialogWithIt) {
    Open();
    QTest::keyClicks(m_dialog.m_suffixEdit, "1a-2B-3c");
    EXPECT_TRUE(Status().isEmpty());
    QTest::mouseClick(m_pOk, Qt::LeftButton);
    EXPECT_FALSE(m_dialog.isVisible());
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_dialog.m_macAddress, "02:3A:7C:1a:2B:3c");
}

TEST_F(DialogMacAddressTest, AScannedAddressSelectsItsPrefixAndAnUnofferedOneIsRefused) {
    Open();
    QTest::keyClicks(m_dialog.m_suffixEdit, "0a-5d-22-12-ab-CD");
    QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_dialog.m_macAddress, "0A:5D:22:12:ab:CD");
    EXPECT_EQ(m_dialog.m_prefixCombo->currentText(), "0A:5D:22");
    EXPECT_EQ(m_dialog.m_suffixEdit->text(), "12abCD");

    Open();
    QTest::keyClicks(m_dialog.m_suffixEdit, "AABBCC123456");
    EXPECT_EQ(Status(), QString::fromUtf8("Erro: Prefixo não oferecido"));
    QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_TRUE(m_dialog.m_macAddress.empty());
    EXPECT_EQ(m_dialog.m_prefixCombo->currentText(), "02:3A:7C");
}

TEST_F(DialogMacAddressTest, EnterAcceptsWithTheChosenPrefix) {
    Open();
    m_dialog.m_prefixCombo->setCurrentIndex(m_dialog.m_prefixCombo->findText("0E:91:C8"));
    QTest::keyClicks(m_dialog.m_suffixEdit, "::::12 34 56----");
    QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
    EXPECT_FALSE(m_dialog.isVisible());
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_dialog.m_macAddress, "0E:91:C8:12:34:56");
}

// A real modal run: the test acts from inside the dialog's own loop.
int RunModal(CDialogMacAddress& dialog, std::function<void()> act) {
    QTimer::singleShot(0, &dialog, [&dialog, act] {
        if (!QTest::qWaitForWindowExposed(&dialog))
            ADD_FAILURE() << "dialog not shown";
        act();
        if (dialog.isVisible()) {
            ADD_FAILURE() << "dialog still open";
            dialog.done(-1);
        }
    });
    return dialog.exec();
}

TEST_F(DialogMacAddressTest, ModalRunEndsAcceptedOnlyThroughAValidOk) {
    int nResult = RunModal(m_dialog, [this] {
        QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
        EXPECT_TRUE(m_dialog.isVisible());
        EXPECT_EQ(Status(), kTooFew);
        QTest::keyClicks(m_dialog.m_suffixEdit, "ab cd EF");
        QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Return);
    });
    EXPECT_EQ(nResult, QDialog::Accepted);
    EXPECT_EQ(m_dialog.m_macAddress, "02:3A:7C:ab:cd:EF");
}

TEST_F(DialogMacAddressTest, CancelEscAndCloseEndWithTheEmptyAddress) {
    int nResult = RunModal(m_dialog, [this] {
        QTest::keyClicks(m_dialog.m_suffixEdit, "123");
        QTest::mouseClick(m_pOk, Qt::LeftButton);
        EXPECT_EQ(Status(), kTooFew);
        QTest::mouseClick(m_pCancel, Qt::LeftButton);
    });
    EXPECT_EQ(nResult, QDialog::Rejected);
    EXPECT_TRUE(m_dialog.m_macAddress.empty());

    nResult = RunModal(m_dialog, [this] {
        QTest::keyClicks(m_dialog.m_suffixEdit, "123456");
        QTest::keyClick(m_dialog.m_suffixEdit, Qt::Key_Escape);
    });
    EXPECT_EQ(nResult, QDialog::Rejected);
    EXPECT_TRUE(m_dialog.m_macAddress.empty());

    nResult = RunModal(m_dialog, [this] {
        QTest::keyClicks(m_dialog.m_suffixEdit, "123456");
        m_dialog.close();
    });
    EXPECT_EQ(nResult, QDialog::Rejected);
    EXPECT_TRUE(m_dialog.m_macAddress.empty());
}
} // namespace

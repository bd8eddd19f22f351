#include "app/QtLogBox.h"

#include "app/GuiCall.h"
#include "core/Cp1252.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

CQtLogBox::CQtLogBox(QPlainTextEdit* pEdit, CStopToken stop) : m_pEdit(pEdit), m_stop(std::move(stop)) {}

void CQtLogBox::PrepareEdit(QPlainTextEdit* pEdit) {
    pEdit->setReadOnly(true);
    // A log is never undone: the document would otherwise keep every insertion a second time.
    pEdit->setUndoRedoEnabled(false);
    pEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    pEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

QString CQtLogBox::ToDisplay(const std::string& text) {
    QString shown = DecodeCp1252(text);
    shown.remove(QChar('\r'));
    return shown;
}

int CQtLogBox::GetLineCount() {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    return CallOnGuiThread<int>(pEdit, m_stop, [pEdit] { return pEdit->document()->blockCount(); })
        .value_or(1);
}

int CQtLogBox::LineIndex(int line) {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    return CallOnGuiThread<int>(pEdit, m_stop,
                                [pEdit, line] {
                                    QTextBlock block = line < 0 ? pEdit->textCursor().block()
                                                                : pEdit->document()->findBlockByNumber(line);
                                    return block.isValid() ? block.position() : -1;
                                })
        .value_or(0);
}

int CQtLogBox::GetFirstVisibleLine() {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    // Without line wrapping, the vertical scroll bar of a plain text box counts lines.
    return CallOnGuiThread<int>(pEdit, m_stop, [pEdit] { return pEdit->verticalScrollBar()->value(); })
        .value_or(0);
}

void CQtLogBox::SetText(const std::string& text) {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    CallOnGuiThread(pEdit, m_stop, [pEdit, shown = ToDisplay(text)] { pEdit->setPlainText(shown); });
}

void CQtLogBox::AppendText(const std::string& text) {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    CallOnGuiThread(pEdit, m_stop, [pEdit, shown = ToDisplay(text)] {
        if (shown.isEmpty())
            return;
        QScrollBar* pBar = pEdit->verticalScrollBar();
        int top = pBar->value();
        QTextCursor end(pEdit->document());
        end.movePosition(QTextCursor::End);
        end.insertText(shown);
        pBar->setValue(top);
    });
}

void CQtLogBox::SetSel(int start, int end) {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    CallOnGuiThread(pEdit, m_stop, [pEdit, start, end] {
        QTextCursor cursor(pEdit->document());
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        // Placing the caret must not scroll by itself; ScrollCaret does that.
        QScrollBar* pBar = pEdit->verticalScrollBar();
        QScrollBar* pHBar = pEdit->horizontalScrollBar();
        int top = pBar->value(), left = pHBar->value();
        pEdit->setTextCursor(cursor);
        pBar->setValue(top);
        pHBar->setValue(left);
    });
}

void CQtLogBox::ScrollCaret() {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    CallOnGuiThread(pEdit, m_stop, [pEdit] { pEdit->ensureCursorVisible(); });
}

void CQtLogBox::SetFirstVisibleLine(int line) {
    QPointer<QPlainTextEdit> pEdit = m_pEdit;
    CallOnGuiThread(pEdit, m_stop, [pEdit, line] { pEdit->verticalScrollBar()->setValue(line); });
}

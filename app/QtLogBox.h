#pragma once

#include "core/LogBox.h"
#include "core/StopToken.h"

#include <QPointer>

class QPlainTextEdit;

// The log pane on screen. Called from the worker, every operation runs on the GUI thread while the worker
// waits; once the window is closing (stop requested) or the widget is gone, operations do nothing and
// queries answer 0.
//
// The box shows the log's line ends (CR LF, and CR CR LF as the board's CR LF is stored) as one line break;
// a lone CR shows as nothing.
class CQtLogBox : public ILogBox {
public:
    CQtLogBox(QPlainTextEdit* pEdit, CStopToken stop);

    int GetLineCount() override;
    int LineIndex(int line) override;
    int GetFirstVisibleLine() override;
    void SetText(const std::string& text) override;
    void AppendText(const std::string& text) override;
    void SetSel(int start, int end) override;
    void ScrollCaret() override;
    void SetFirstVisibleLine(int line) override;

    // Sets up a plain text box as the log pane: read-only, no line wrapping (a horizontal scroll bar
    // instead), and a caret that the operator can move with the mouse and the keyboard.
    static void PrepareEdit(QPlainTextEdit* pEdit);

    // What the box shows for a piece of the log.
    static QString ToDisplay(const std::string& text);

private:
    QPointer<QPlainTextEdit> m_pEdit;
    CStopToken m_stop;
};

#pragma once

#include <string>

// The log pane as the log console sees it: a read-only multi-line text box. Line numbers count from 0;
// positions are character indices into the box's text. The text handed over is Windows-1252, as stored in
// the log; the box decides how to show it.
class ILogBox {
public:
    virtual ~ILogBox() = default;

    // Number of lines in the box, at least 1.
    virtual int GetLineCount() = 0;
    // Index of the first character of `line`; with -1, of the line that holds the caret.
    virtual int LineIndex(int line) = 0;
    virtual int GetFirstVisibleLine() = 0;

    // Replaces the whole text; afterwards the caret is at the start and the first line is at the top.
    virtual void SetText(const std::string& text) = 0;
    // Adds text at the end; the caret, the selection and the view stay where they were.
    virtual void AppendText(const std::string& text) = 0;

    virtual void SetSel(int start, int end) = 0;
    // Scrolls the view until the caret is visible.
    virtual void ScrollCaret() = 0;
    // Scrolls the view so that `line` is the topmost visible line (as far as the text allows).
    virtual void SetFirstVisibleLine(int line) = 0;
};

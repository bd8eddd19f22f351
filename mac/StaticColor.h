#pragma once

#include <QBrush>
#include <QColor>
#include <QLabel>

// A text label that paints its text in a colour of its own on a background of its own. A fresh label paints
// black text on the dialog face colour of the moment it was made. Each change of colour repaints the label
// before it returns; a colour stays until it is set again.
class CStaticColor : public QLabel {
    Q_OBJECT
public:
    explicit CStaticColor(QWidget* pParent = nullptr);

    void SetTextColor(QColor color);
    void SetBkColor(QColor color);

    QColor TextColor() const { return m_textColor; }
    QColor BkColor() const { return m_bkColor; }
    // The brush the background is filled with; always solid and of exactly BkColor().
    const QBrush& Brush() const { return m_brush; }

private:
    void ApplyColors();
    void RedrawNow();

    QBrush m_brush;
    QColor m_bkColor;
    QColor m_textColor;
};

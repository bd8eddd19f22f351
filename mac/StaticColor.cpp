#include "mac/StaticColor.h"

#include <QApplication>
#include <QPalette>

CStaticColor::CStaticColor(QWidget* pParent)
    : QLabel(pParent), m_bkColor(QApplication::palette().color(QPalette::Active, QPalette::Window)),
      m_textColor(Qt::black) {
    m_brush = QBrush(m_bkColor, Qt::SolidPattern);
    setAutoFillBackground(true);
    ApplyColors();
}

void CStaticColor::SetTextColor(QColor color) {
    m_textColor = color;
    ApplyColors();
    RedrawNow();
}

void CStaticColor::SetBkColor(QColor color) {
    m_bkColor = color;
    m_brush = QBrush(m_bkColor, Qt::SolidPattern);
    ApplyColors();
    RedrawNow();
}

void CStaticColor::ApplyColors() {
    // The same colours whatever the window's state, so an inactive dialog shows them too.
    QPalette palette = this->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setBrush(group, QPalette::Window, m_brush);
        palette.setColor(group, QPalette::WindowText, m_textColor);
    }
    setPalette(palette);
}

void CStaticColor::RedrawNow() {
    // Paint before returning, background included (autoFillBackground), not at the next event loop turn.
    repaint();
}

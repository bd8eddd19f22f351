#include "mac/StaticColor.h"

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QPixmap>
#include <QTest>
#include <gtest/gtest.h>

namespace {
class CPaintCounter : public QObject {
public:
    int m_nPaints = 0;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint)
            ++m_nPaints;
        return false;
    }
};

// The darkest pixel of a rendering: a fully covered text pixel shows the text colour itself.
QColor DarkestPixel(const QImage& image) {
    QColor darkest = Qt::white;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            QColor c = image.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() < darkest.red() + darkest.green() + darkest.blue())
                darkest = c;
        }
    return darkest;
}

class StaticColorTest : public ::testing::Test {
protected:
    StaticColorTest() {
        QFont font = m_label.font();
        font.setPointSize(24);
        font.setBold(true);
        m_label.setFont(font);
        m_label.resize(200, 50);
        m_label.setText("MMMM");
    }

    QImage Render() { return m_label.grab().toImage(); }

    CStaticColor m_label;
};

TEST_F(StaticColorTest, AFreshLabelPaintsBlackOnTheDialogFaceColour) {
    QColor face = QApplication::palette().color(QPalette::Active, QPalette::Window);
    EXPECT_EQ(m_label.TextColor(), QColor(Qt::black));
    EXPECT_EQ(m_label.BkColor(), face);
    EXPECT_EQ(m_label.Brush().color(), face);
    EXPECT_EQ(m_label.Brush().style(), Qt::SolidPattern);

    QImage image = Render();
    EXPECT_EQ(image.pixelColor(1, 1), face);
    EXPECT_EQ(image.pixelColor(image.width() - 2, image.height() - 2), face);
    QColor text = DarkestPixel(image);
    EXPECT_LT(text.red() + text.green() + text.blue(), 3 * 40) << text.name().toStdString();
}

TEST_F(StaticColorTest, TextSetAfterTheTextColourIsPaintedInThatColour) {
    m_label.SetTextColor(QColor(0x7F, 0, 0));
    m_label.setText("WWMM");
    QColor text = DarkestPixel(Render());
    EXPECT_NEAR(text.red(), 0x7F, 12) << text.name().toStdString();
    EXPECT_LE(text.green(), 12);
    EXPECT_LE(text.blue(), 12);
    EXPECT_EQ(m_label.TextColor(), QColor(0x7F, 0, 0));
    // The background stays the face colour.
    EXPECT_EQ(Render().pixelColor(1, 1), QApplication::palette().color(QPalette::Active, QPalette::Window));
}

TEST_F(StaticColorTest, TheBackgroundColourFillsTheWholeLabelAndReplacesTheBrush) {
    m_label.SetBkColor(QColor(0, 128, 0));
    EXPECT_EQ(m_label.BkColor(), QColor(0, 128, 0));
    EXPECT_EQ(m_label.Brush().color(), QColor(0, 128, 0));
    EXPECT_EQ(m_label.Brush().style(), Qt::SolidPattern);
    QImage image = Render();
    EXPECT_EQ(image.pixelColor(1, 1), QColor(0, 128, 0));
    EXPECT_EQ(image.pixelColor(image.width() - 2, image.height() - 2), QColor(0, 128, 0));
    // The text colour is untouched by a background change.
    EXPECT_EQ(m_label.TextColor(), QColor(Qt::black));
}

TEST_F(StaticColorTest, EachColourChangeRepaintsBeforeItReturns) {
    m_label.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_label));
    QApplication::processEvents();
    CPaintCounter counter;
    m_label.installEventFilter(&counter);

    m_label.SetTextColor(QColor(0x7F, 0, 0));
    int nAfterText = counter.m_nPaints;
    EXPECT_GE(nAfterText, 1);
    m_label.SetBkColor(QColor(10, 20, 30));
    EXPECT_GT(counter.m_nPaints, nAfterText);
    m_label.removeEventFilter(&counter);
}
} // namespace

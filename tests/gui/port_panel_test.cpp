// The port panel: cells five to a row, the scroll range, the scroll and wheel rules, and the
// progress bar as painted.
#include "gui/widgets/colorref.h"
#include "gui/widgets/port_panel.h"
#include "gui_test_support.h"

#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

namespace kelvra::gui::test {
namespace {

using widgets::ScrollRequest;

std::vector<QString> Names(int n) {
    std::vector<QString> names;
    for (int i = 0; i < n; ++i) names.push_back(QStringLiteral("ttyKV%1").arg(i));
    return names;
}

void Wheel(QWidget *target, int delta) {
    const QPointF at(10, 10);
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

}  // namespace

class PortPanelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void layout_data() {
        QTest::addColumn<int>("writers");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<bool>("scroll_bar");
        QTest::newRow("7 writers, two rows") << 7 << 0 << false;
        QTest::newRow("11 writers, three rows") << 11 << 43 << true;
        QTest::newRow("24 writers, five rows") << 24 << 129 << true;
        QTest::newRow("none") << 0 << 0 << false;
    }
    void layout() {
        QFETCH(int, writers);
        QFETCH(int, maximum);
        QFETCH(bool, scroll_bar);
        widgets::PortPanel panel;
        panel.resize(591, 359);
        panel.Build(Names(writers));
        QCOMPARE(panel.cell_count(), writers);
        QCOMPARE(panel.scroll_info().maximum, maximum);
        QCOMPARE(panel.scroll_info().page, 25);
        QCOMPARE(panel.scroll_info().position, 0);
        QCOMPARE(!panel.scroll_bar()->isHidden(), scroll_bar);
        for (int k = 0; k < writers; ++k) {
            const int x = 10 + 117 * (k % 5);
            const int y = 67 + 130 * (k / 5);
            QCOMPARE(panel.picture(k)->geometry(), QRect(x, y - 57, 87, 60));
            QCOMPARE(panel.bar(k)->geometry(), QRect(x, y + 10, 87, 15));
            QCOMPARE(panel.label(k)->geometry(), QRect(x, y + 31, 87, 19));
            QCOMPARE(panel.label(k)->text(), QStringLiteral("ttyKV%1").arg(k));
            QCOMPARE(panel.picture(k)->pixmap().size(), QSize(87, 60));
            QCOMPARE(panel.picture_state(k), run::StatusPicture::Connected);
        }
        // Five cells fit beside the scroll bar.
        if (writers >= 5) QVERIFY(panel.label(4)->geometry().right() < panel.page()->width());
    }

    void scroll_rules_data() {
        QTest::addColumn<int>("writers");
        QTest::addColumn<QString>("requests");  // l/L line up/down, p/P page up/down, tN thumb to N
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("moves");
        QTest::newRow("11: line down stops at 18") << 11 << QString(30, 'L') << 18 << 18;
        QTest::newRow("11: page down stops at 15") << 11 << "PPPP" << 15 << 3;
        QTest::newRow("11: line up at the top") << 11 << "l" << 0 << 0;
        QTest::newRow("11: page up from 3") << 11 << "LLLp" << 3 << 3;
        QTest::newRow("11: page up from 5") << 11 << "Pp" << 0 << 2;
        QTest::newRow("11: the thumb goes anywhere it can") << 11 << "t19" << 19 << 1;
        QTest::newRow("11: no line down from 19") << 11 << "t19L" << 19 << 1;
        QTest::newRow("7: nothing scrolls") << 7 << "LPt0" << 0 << 1;
        QTest::newRow("24: page down to 100") << 24 << QString(30, 'P') << 100 << 20;
    }
    void scroll_rules() {
        QFETCH(int, writers);
        QFETCH(QString, requests);
        QFETCH(int, position);
        QFETCH(int, moves);
        widgets::PortPanel panel;
        panel.resize(591, 359);
        panel.Build(Names(writers));
        int moved = 0;
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const QChar c = requests[i];
            if (c == 't') {
                qsizetype end = i + 1;
                while (end < requests.size() && requests[end].isDigit()) ++end;
                moved += panel.Scroll(ScrollRequest::ThumbTrack, requests.mid(i + 1, end - i - 1).toInt()) ? 1 : 0;
                i = end - 1;
                continue;
            }
            const ScrollRequest r = c == 'l' ? ScrollRequest::LineUp
                                  : c == 'L' ? ScrollRequest::LineDown
                                  : c == 'p' ? ScrollRequest::PageUp
                                             : ScrollRequest::PageDown;
            moved += panel.Scroll(r) ? 1 : 0;
        }
        QCOMPARE(panel.scroll_info().position, position);
        QCOMPARE(moved, moves);
        QCOMPARE(panel.scroll_bar()->sliderPosition(), position);
        // The cells moved three pixels per unit.
        QCOMPARE(panel.picture(0)->geometry().top(), 10 - 3 * position);
    }

    void the_scroll_bar_follows_the_panel_rule() {
        widgets::PortPanel panel;
        panel.resize(591, 359);
        panel.Build(Names(11));
        QScrollBar *bar = panel.scroll_bar();
        for (int i = 0; i < 25; ++i) bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(panel.scroll_info().position, 18);
        QCOMPARE(bar->value(), 18);
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        QCOMPARE(panel.scroll_info().position, 13);
        QCOMPARE(panel.label(10)->geometry().top(), 67 + 260 + 31 - 39);
    }

    void the_wheel_pages_by_its_sign_only() {
        widgets::PortPanel panel;
        panel.resize(591, 359);
        panel.Build(Names(11));
        Wheel(&panel, -1);  // any distance is a page
        QCOMPARE(panel.scroll_info().position, 5);
        Wheel(panel.scroll_bar(), -480);
        Wheel(&panel, -120);
        QCOMPARE(panel.scroll_info().position, 15);
        Wheel(&panel, -120);  // at the bottom: nothing moves
        QCOMPARE(panel.scroll_info().position, 15);
        Wheel(&panel, 120);
        QCOMPARE(panel.scroll_info().position, 10);
    }

    void a_rebuild_starts_at_the_top() {
        widgets::PortPanel panel;
        panel.resize(591, 359);
        panel.Build(Names(11));
        panel.Scroll(ScrollRequest::PageDown);
        panel.Build(Names(12));
        QCOMPARE(panel.scroll_info().position, 0);
        QCOMPARE(panel.picture(0)->geometry().top(), 10);
    }

    void a_bar_at_37_percent_as_painted() {
        widgets::ProgressBar bar;
        bar.SetRange(0, 100);
        bar.resize(87, 15);
        bar.SetPosition(37);
        QCOMPARE(bar.FilledWidth(), 32);  // 37 x 87 / 100, cut
        QCOMPARE(bar.Caption(), QStringLiteral(" 37%"));
        QImage image = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(87, 15));
        const QColor green(0, 0xCD, 0), grey(0xDC, 0xDC, 0xDC);
        for (const int y : {0, 14}) {
            for (int x = 0; x < 87; ++x) QCOMPARE(image.pixelColor(x, y), x < 32 ? green : grey);
        }
        // The caption: black strokes in the middle, nowhere near the ends.
        int black = 0;
        for (int y = 0; y < 15; ++y) {
            for (int x = 0; x < 87; ++x) {
                if (image.pixelColor(x, y).lightness() < 60) {
                    ++black;
                    QVERIFY2(x > 20 && x < 67, "caption outside the middle");
                }
            }
        }
        QVERIFY(black > 10);

        bar.SetBarColour(0x0000FF);
        image = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.pixelColor(5, 0), QColor(0xFF, 0, 0));
        bar.SetPosition(150);  // held to the range
        QCOMPARE(bar.Caption(), QStringLiteral(" 100%"));
    }
};

KELVRA_GUI_SUITE("port_panel", PortPanelTest);

}  // namespace kelvra::gui::test

#include "port_panel_test.moc"

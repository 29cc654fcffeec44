// The log view on the engine's log rules: line breaks removed, the 1024-byte limit, the live
// line and the line after it, level 7, the colours, links and the scroll to the last line.
#include "gui/widgets/colorref.h"
#include "gui/widgets/log_view.h"
#include "gui_test_support.h"

#include <QPlainTextDocumentLayout>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace kelvra::gui::test {
namespace {

std::string FixedTime() { return "14:05:09"; }

// Counts the blocks the view's text asks to be laid out (a cursor moved over a block asks).
class CountingLayout : public QPlainTextDocumentLayout {
public:
    using QPlainTextDocumentLayout::QPlainTextDocumentLayout;
    QRectF blockBoundingRect(const QTextBlock &block) const override {
        if (block.layout() != nullptr && block.layout()->lineCount() == 0) ++laid_out;
        return QPlainTextDocumentLayout::blockBoundingRect(block);
    }
    mutable int laid_out = 0;
};

// The view behind a message log, as the main window wires them (without the thread hop).
struct Rig : run::ILogSink {
    Rig() : log(this) {
        log.SetClock(&FixedTime);
        view.resize(400, 200);
    }
    void AppendLine(const run::LogEntry &entry) override { view.AppendLine(entry); }
    void ReplaceLiveLine(const run::LogEntry &entry) override { view.ReplaceLiveLine(entry); }
    // Foreground colour of the character at `column` of line `line`.
    QColor ColourAt(int line, int column) const {
        const QTextBlock block = view.document()->findBlockByNumber(line);
        QTextCursor cursor(block);
        cursor.setPosition(block.position() + column + 1);
        return cursor.charFormat().foreground().color();
    }
    widgets::LogView view;
    run::MessageLog log;
};

}  // namespace

class LogViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void lines_data() {
        QTest::addColumn<int>("level");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("success") << 3 << QByteArray("扫描完成") << QStringList{"14:05:09 扫描完成"} << QColor(0, 0xE1, 0);
        QTest::newRow("CR and LF removed") << 0 << QByteArray("a\r\nb") << QStringList{"14:05:09 ab"} << QColor(0, 0x69, 0x9B);
        QTest::newRow("warning") << 1 << QByteArray("Row 3: bad") << QStringList{"14:05:09 Row 3: bad"} << QColor(0xDA, 0x97, 0);
        QTest::newRow("error") << 2 << QByteArray("x") << QStringList{"14:05:09 x"} << QColor(0xFF, 0, 0);
        QTest::newRow("level 7 shows nothing") << 7 << QByteArray("x") << QStringList{} << QColor();
        QTest::newRow("empty text") << 0 << QByteArray("") << QStringList{"14:05:09 "} << QColor(0, 0x69, 0x9B);
    }
    void lines() {
        QFETCH(int, level);
        QFETCH(QByteArray, text);
        QFETCH(QStringList, shown);
        QFETCH(QColor, colour);
        Rig rig;
        rig.log.LogLevelLine(level, text.toStdString());
        QCOMPARE(rig.view.Lines(), shown);
        if (shown.isEmpty()) return;
        QCOMPARE(rig.ColourAt(0, 0), QColor(0, 0, 0xFF));  // the time in blue
        if (!text.isEmpty()) QCOMPARE(rig.ColourAt(0, 9), colour);
    }

    void a_message_must_fit_1023_bytes_data() {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<bool>("shown");
        QTest::newRow("1023") << 1023 << true;
        QTest::newRow("1024") << 1024 << false;
        QTest::newRow("4000") << 4000 << false;
    }
    void a_message_must_fit_1023_bytes() {
        QFETCH(int, bytes);
        QFETCH(bool, shown);
        Rig rig;
        const std::string text(static_cast<std::size_t>(bytes), 'x');
        rig.log.LogFormat(run::LogWarning, "%s", text.c_str());
        const QStringList lines = rig.view.Lines();
        QCOMPARE(lines.size(), 1);
        if (shown) {
            QCOMPARE(lines[0], QStringLiteral("14:05:09 ") + QString::fromStdString(text));
            QCOMPARE(rig.ColourAt(0, 9), QColor(0xDA, 0x97, 0));
        } else {
            QCOMPARE(lines[0], QStringLiteral("14:05:09 LOG输出字符超出指定大小：1024"));
            QCOMPARE(rig.ColourAt(0, 9), QColor(0xFF, 0, 0));
        }
    }

    void the_live_line_is_rewritten_until_a_line_is_appended() {
        Rig rig;
        rig.log.AppendLine("AT命令开始执行", run::kColourInfo);
        rig.log.ReplaceLiveLine("加载离线项目中...... 10%", run::kColourInfo);
        rig.log.ReplaceLiveLine("加载离线项目中...... 55%", run::kColourInfo);
        QCOMPARE(rig.view.Lines(), (QStringList{"14:05:09 AT命令开始执行", "14:05:09 加载离线项目中...... 55%"}));
        rig.log.AppendLine("ttyKV0 第1条AT命令执行成功！", run::kColourSuccess);
        rig.log.ReplaceLiveLine("加载离线项目中...... 99%", run::kColourInfo);
        QCOMPARE(rig.view.Lines(), (QStringList{"14:05:09 AT命令开始执行", "14:05:09 加载离线项目中...... 55%",
                                                "14:05:09 ttyKV0 第1条AT命令执行成功！", "14:05:09 加载离线项目中...... 99%"}));
        QCOMPARE(rig.ColourAt(2, 9), QColor(0, 0xE1, 0));
        QCOMPARE(rig.ColourAt(3, 0), QColor(0, 0, 0xFF));
    }

    void an_address_is_a_link_that_opens_on_the_press() {
        Rig rig;
        rig.view.show();
        rig.log.AppendLine("帮助文档：https://kelvra.example/docs", run::kColourInfo);
        rig.log.AppendLine("no address here", run::kColourInfo);
        QVERIFY(QTest::qWaitForWindowExposed(&rig.view));
        QSignalSpy pressed(&rig.view, &widgets::LogView::LinkPressed);
        const QTextBlock first = rig.view.document()->findBlockByNumber(0);
        QTextCursor on_link(first);
        on_link.setPosition(first.position() + 20);
        const QPoint link_point = rig.view.cursorRect(on_link).center();
        QTest::mousePress(rig.view.viewport(), Qt::LeftButton, {}, link_point);
        QTest::mouseRelease(rig.view.viewport(), Qt::LeftButton, {}, link_point);
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(pressed[0][0].toString(), QStringLiteral("https://kelvra.example/docs"));
        QTextCursor elsewhere(rig.view.document()->findBlockByNumber(1));
        QTest::mouseClick(rig.view.viewport(), Qt::LeftButton, {}, rig.view.cursorRect(elsewhere).center());
        QCOMPARE(pressed.count(), 1);
    }

    void select_all_does_not_take_the_lines_that_come() {
        Rig rig;
        rig.view.show();
        for (int i = 0; i < 3; ++i) rig.log.AppendLine("old " + std::to_string(i), run::kColourInfo);
        QTest::keyClick(&rig.view, Qt::Key_A, Qt::ControlModifier);
        const QString selected = rig.view.textCursor().selectedText();
        QVERIFY(selected.contains("old 2"));
        rig.log.AppendLine("new 0", run::kColourSuccess);
        rig.log.ReplaceLiveLine("加载离线项目中...... ttyKV0 5%", run::kColourInfo);
        rig.log.AppendLine("new 1", run::kColourError);
        const QTextCursor cursor = rig.view.textCursor();
        QCOMPARE(cursor.selectedText(), selected);
        QVERIFY(cursor.selectionEnd() <= rig.view.document()->findBlockByNumber(3).position());
        QCOMPARE(rig.ColourAt(3, 9), QColor(0, 0xE1, 0));
        QCOMPARE(rig.ColourAt(5, 9), QColor(0xFF, 0, 0));
        // A selection that does not reach the end is left alone as well.
        QTextCursor middle(rig.view.document()->findBlockByNumber(1));
        middle.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        rig.view.setTextCursor(middle);
        rig.log.AppendLine("new 2", run::kColourInfo);
        QCOMPARE(rig.view.textCursor().selectedText(), QStringLiteral("14:05:09 old 1"));
    }

    void old_lines_go_and_the_rest_keeps_colours_links_and_the_live_line() {
        Rig rig;
        rig.view.show();
        const int extra = 700;
        const int total = widgets::LogView::kMaxLines + extra;
        // Half one at a time, half as the window renders a burst.
        for (int i = 0; i < total / 2; ++i) rig.log.AppendLine("line " + std::to_string(i), run::kColourInfo);
        rig.view.BeginBatch();
        for (int i = total / 2; i < total; ++i) {
            const bool link = i == total - 2;
            rig.log.AppendLine("line " + std::to_string(i) + (link ? " https://kelvra.example/x" : ""),
                               i % 2 == 0 ? run::kColourSuccess : run::kColourError);
        }
        rig.view.EndBatch();
        rig.log.ReplaceLiveLine("加载离线项目中...... ttyKV0 10%", run::kColourInfo);
        rig.log.ReplaceLiveLine("加载离线项目中...... ttyKV0 20%", run::kColourInfo);
        const QStringList lines = rig.view.Lines();
        QVERIFY(lines.size() <= widgets::LogView::kMaxLines + 1);
        QVERIFY(lines.size() >= widgets::LogView::kMaxLines);
        QCOMPARE(lines.back(), QStringLiteral("14:05:09 加载离线项目中...... ttyKV0 20%"));
        QCOMPARE(lines[lines.size() - 2], QStringLiteral("14:05:09 line %1").arg(total - 1));
        QCOMPARE(lines.front().mid(9), QStringLiteral("line %1").arg(total - lines.size() + 1));
        const int last = static_cast<int>(lines.size()) - 2;
        QCOMPARE(rig.ColourAt(last, 0), QColor(0, 0, 0xFF));
        QCOMPARE(rig.ColourAt(last, 9), (total - 1) % 2 == 0 ? QColor(0, 0xE1, 0) : QColor(0xFF, 0, 0));
        const QTextBlock linked = rig.view.document()->findBlockByNumber(last - 1);
        QTextCursor on_link(linked);
        on_link.setPosition(linked.position() + static_cast<int>(linked.text().indexOf("https")) + 3);
        QCOMPARE(on_link.charFormat().anchorHref(), QStringLiteral("https://kelvra.example/x"));
        // The live line is rewritten in place after the trimming, then stays.
        rig.log.AppendLine("after", run::kColourInfo);
        QCOMPARE(rig.view.Lines().back(), QStringLiteral("14:05:09 after"));
        QCOMPARE(rig.view.Lines()[rig.view.Lines().size() - 2], QStringLiteral("14:05:09 加载离线项目中...... ttyKV0 20%"));
    }

    void old_lines_are_dropped_without_being_laid_out() {
        // Lines that were never in view cost nothing more when they go: a burst past the limit
        // must not lay out each line it drops.
        Rig rig;
        auto *layout = new CountingLayout(rig.view.document());
        rig.view.document()->setDocumentLayout(layout);
        const int dropped = 3000;
        rig.view.BeginBatch();
        for (int i = 0; i < widgets::LogView::kMaxLines + dropped; ++i) {
            rig.log.AppendLine("line " + std::to_string(i), run::kColourInfo);
        }
        layout->laid_out = 0;
        rig.view.EndBatch();
        QCOMPARE(rig.view.document()->blockCount(), widgets::LogView::kMaxLines + 1);
        QCOMPARE(rig.view.Lines().front(), QStringLiteral("14:05:09 line %1").arg(dropped));
        QVERIFY2(layout->laid_out < 10, qPrintable(QString::number(layout->laid_out)));
    }

    void lines_are_laid_out_only_when_shown() {
        // Appending a line or rewriting the live line lays out nothing while the view is hidden:
        // what a burst costs must not grow with lines nobody sees.
        Rig rig;
        auto *layout = new CountingLayout(rig.view.document());
        rig.view.document()->setDocumentLayout(layout);
        for (int i = 0; i < 500; ++i) {
            rig.log.AppendLine("line " + std::to_string(i), run::kColourInfo);
            rig.log.ReplaceLiveLine("加载离线项目中...... " + std::to_string(i) + "%", run::kColourInfo);
        }
        QVERIFY2(layout->laid_out < 10, qPrintable(QString::number(layout->laid_out)));
        QCOMPARE(rig.view.Lines().size(), 1000);
        QCOMPARE(rig.view.Lines().back(), QStringLiteral("14:05:09 加载离线项目中...... 499%"));
    }

    void the_view_follows_the_last_line() {
        Rig rig;
        rig.view.show();
        for (int i = 0; i < 200; ++i) rig.log.AppendLine("line " + std::to_string(i), run::kColourInfo);
        QScrollBar *bar = rig.view.verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());

        // Lines that wrap: the last one is in view once the layout has caught up.
        for (int i = 0; i < 60; ++i) {
            rig.log.AppendLine("ttyKV1 执行第4条命令：ATCmdWriteTargetMemory 出错，错误信息： The communication port error... " +
                                   std::to_string(i),
                               run::kColourError);
        }
        QTest::qWait(300);
        const QTextBlock last = rig.view.document()->lastBlock().previous();
        QTextCursor at_last(last);
        at_last.movePosition(QTextCursor::EndOfBlock);
        QVERIFY2(rig.view.viewport()->rect().contains(rig.view.cursorRect(at_last)),
                 qPrintable(QDebug::toString(rig.view.cursorRect(at_last))));
        QCOMPARE(bar->value(), bar->maximum());
    }
};

KELVRA_GUI_SUITE("log_view", LogViewTest);

}  // namespace kelvra::gui::test

#include "log_view_test.moc"

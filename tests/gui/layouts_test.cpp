// Layouts at three font sizes: every control of every window lies inside its window, the
// selection dialog's buttons hold their captions, and the port panel shows the fifth writer of a
// row and, by scrolling, the last row.
#include "gui/dialogs/about_dialog.h"
#include "gui/dialogs/param_dialog.h"
#include "gui/dialogs/select_command_dialog.h"
#include "gui/dialogs/wait_dialog.h"
#include "gui/dialogs/writer_config_dialog.h"
#include "gui/widgets/port_panel.h"
#include "gui/windows/main_window.h"
#include "gui_test_support.h"
#include "host/model/at_command.h"

#include <QDir>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

namespace kelvra::gui::test {
namespace {

// The template controls (the direct children with a control id) that stick out of `window`.
QStringList Outside(const QWidget *window) {
    QStringList out;
    for (const QWidget *child : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child->isHidden() || !child->property("controlId").isValid()) continue;
        // The banner is wider than the window by design and clipped by it.
        if (child->property("controlId").toInt() == windows::MainWindow::kBanner) continue;
        if (!window->rect().contains(child->geometry())) {
            out << QStringLiteral("%1 %2").arg(child->objectName(), QDebug::toString(child->geometry()));
        }
    }
    return out;
}

class FontSize {
public:
    explicit FontSize(qreal points) : saved_(QApplication::font()) {
        QFont font = saved_;
        font.setPointSizeF(points);
        QApplication::setFont(font);
    }
    ~FontSize() { QApplication::setFont(saved_); }

private:
    QFont saved_;
};

QString NoWarning() { return {}; }

}  // namespace

class LayoutsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void windows_data() {
        QTest::addColumn<qreal>("points");
        QTest::newRow("7 pt") << 7.0;
        QTest::newRow("9 pt") << 9.0;
        QTest::newRow("13 pt") << 13.0;
    }
    void windows() {
        QFETCH(qreal, points);
        const FontSize size(points);

        dialogs::SelectCommandDialog select;
        QVERIFY2(Outside(&select).isEmpty(), qPrintable(Outside(&select).join(", ")));
        const auto buttons = select.findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 25);
        for (const QPushButton *button : buttons) {
            QVERIFY2(select.rect().contains(button->geometry()), qPrintable(button->text()));
            QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) < button->width(), qPrintable(button->text()));
        }

        for (const std::int32_t command : {ATCmdWriteTargetMemory, ATCmdBroadcast, ATCmdTargetReset}) {
            dialogs::ParamDialog param(NewCmdParam(command));
            QVERIFY2(Outside(&param).isEmpty(), qPrintable(Outside(&param).join(", ")));
        }
        dialogs::WriterConfigDialog config{std::string()};
        QVERIFY2(Outside(&config).isEmpty(), qPrintable(Outside(&config).join(", ")));
        dialogs::WaitDialog wait;
        QVERIFY2(Outside(&wait).isEmpty(), qPrintable(Outside(&wait).join(", ")));

        QTemporaryDir dir;
        QDir(dir.path()).mkpath("sys");
        windows::MainWindowOptions options;
        options.program_dir = dir.filePath("program").toStdString();
        options.config_path = dir.filePath("config.json").toStdString();
        options.sysfs_root = dir.filePath("sys").toStdString();
        options.font_warning = &NoWarning;
        windows::MainWindow window(options);
        window.show();
        QVERIFY2(Outside(&window).isEmpty(), qPrintable(Outside(&window).join(", ")));

        // The panel inside its frame; five cells to a row, the fifth beside the scroll bar.
        widgets::PortPanel *panel = window.port_panel();
        QWidget *frame = window.control(windows::MainWindow::kPortFrame);
        QVERIFY(frame->rect().contains(panel->geometry()));
        std::vector<QString> names;
        for (int k = 0; k < 24; ++k) names.push_back(QStringLiteral("ttyACM%1").arg(k + 10));
        panel->Build(names);
        QVERIFY(!panel->scroll_bar()->isHidden());
        for (const int k : {4, 9}) {
            QVERIFY2(panel->label(k)->geometry().right() < panel->page()->width(), qPrintable(QString::number(k)));
            QVERIFY(panel->picture(k)->geometry().right() < panel->page()->width());
        }
        // Scrolled to its end, the last row is whole.
        for (int i = 0; i < 100; ++i) panel->Scroll(widgets::ScrollRequest::LineDown);
        QVERIFY2(panel->label(23)->geometry().bottom() < panel->page()->height(),
                 qPrintable(QDebug::toString(panel->label(23)->geometry())));
        QVERIFY(panel->picture(20)->geometry().top() >= 0);
        // A lost port's label shows whole.
        panel->SetCellLabel(4, QStringLiteral("ttyACM14已断开"));
        QVERIFY(panel->label(4)->fontMetrics().horizontalAdvance(panel->label(4)->text()) <= panel->label(4)->width());
    }
};

KELVRA_GUI_SUITE("layouts", LayoutsTest);

}  // namespace kelvra::gui::test

#include "layouts_test.moc"

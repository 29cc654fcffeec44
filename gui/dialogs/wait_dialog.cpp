#include "gui/dialogs/wait_dialog.h"

#include <QPainter>
#include <QProgressBar>
#include <QStyleOptionFrame>

namespace kelvra::gui::dialogs {
namespace {

// Template 106, 372 x 71 dialog units.
const ControlEntry kTemplate[] = {
    {WaitDialog::kProgress, Kind::Progress, "", 7, 8, 358, 16},
    {WaitDialog::kText, Kind::Label, "扫描Kelvra中，请勿操作！！！", 7, 40, 358, 24, kCentred},
};
constexpr int kWidthUnits = 372;
constexpr int kHeightUnits = 71;

}  // namespace

QPoint CentredTopLeft(const QRect &main, const QSize &own) {
    return QPoint(main.left() + (main.width() - own.width()) / 2, main.top() + (main.height() - own.height()) / 2);
}

WaitDialog::WaitDialog(QWidget *parent) : QDialog(parent) {
    // A popup without a title; it stays above the (disabled) main window.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    const DialogUnits units = DialogUnits::FromFont(DialogFont());
    setFixedSize(units.Size(kWidthUnits, kHeightUnits));
    controls_ = BuildTemplate(this, kTemplate, units);
}

void WaitDialog::CentreOver(const QRect &main) { move(CentredTopLeft(main, frameGeometry().size())); }

void WaitDialog::SetProgress(int percent) { progress_bar()->setValue(percent); }

QProgressBar *WaitDialog::progress_bar() const { return controls_.get<QProgressBar>(kProgress); }

void WaitDialog::paintEvent(QPaintEvent *event) {
    QDialog::paintEvent(event);
    // The sizing border of the original window, drawn since there is no frame.
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = rect();
    frame.lineWidth = 2;
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Raised;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
}

}  // namespace kelvra::gui::dialogs

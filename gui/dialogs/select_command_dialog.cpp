#include "gui/dialogs/select_command_dialog.h"

#include "gui/dialogs/dialog_template.h"
#include "gui/widgets/artwork.h"
#include "host/model/at_command.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>

namespace kelvra::gui::dialogs {
namespace {

constexpr int kWidthUnits = 355;
constexpr int kHeightUnits = 423;

}  // namespace

SelectCommandDialog::SelectCommandDialog(QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("ATCmd选择"));
    setWindowIcon(widgets::ProgramIcon());
    const DialogUnits units = DialogUnits::FromFont(DialogFont());
    MakeFixedDialog(this, units.Size(kWidthUnits, kHeightUnits));
    const auto &names = ATCmdDisplayNames();
    const int n = static_cast<int>(names.size());
    const int left_count = n / 2;
    int k = 0;
    for (const auto &[id, name] : names) {
        const bool left = k < left_count;
        const int x = left ? 0 : 260;
        const int y = 45 * (left ? k : k - left_count);
        auto *button = new QPushButton(QString::fromStdString(name), this);
        button->setAutoDefault(false);
        // The buttons' pixels were drawn for the template's font: they scale with the dialog.
        button->setGeometry(units.ScaledRect(QRect(x + 60, y + 5, 200, 40)));
        button->setObjectName(QStringLiteral("ctl%1").arg(id));
        button->setProperty("controlId", id);
        button->installEventFilter(this);
        // Space on a focused button chooses it, for the keyboard.
        connect(button, &QPushButton::clicked, this, [this, button] { Choose(button); });
        buttons_.push_back(button);
        ++k;
    }
    installEventFilter(this);
}

std::optional<std::int32_t> SelectCommandDialog::choice() const {
    if (chosen_command_ == 0) return std::nullopt;
    return chosen_command_;
}

QPushButton *SelectCommandDialog::ButtonAt(const QPoint &global) const {
    for (QPushButton *button : buttons_) {
        if (button->isVisible() && button->rect().contains(button->mapFromGlobal(global))) return button;
    }
    return nullptr;
}

void SelectCommandDialog::Choose(const QPushButton *button) {
    if (button == nullptr || !isVisible()) return;
    chosen_command_ = button->property("controlId").toInt();
    done(QDialog::Rejected);
}

bool SelectCommandDialog::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::MouseButtonPress) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            if (QPushButton *button = ButtonAt(mouse->globalPosition().toPoint())) {
                // Chosen on the press: where the button is released no longer matters.
                Choose(button);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SelectCommandDialog::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter chooses the button under the mouse pointer, else the focused one.
        QPushButton *button = ButtonAt(QCursor::pos());
        if (button == nullptr) button = qobject_cast<QPushButton *>(focusWidget());
        if (button != nullptr) {
            Choose(button);
            return;
        }
    }
    // Esc and the close box end the dialog without a choice.
    QDialog::keyPressEvent(event);
}

}  // namespace kelvra::gui::dialogs

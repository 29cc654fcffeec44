// The command selection dialog: one 200 x 40 pixel button per command of the catalogue, in
// two columns, and the command is chosen the moment the mouse button goes down on one.
#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>
#include <vector>

class QPushButton;

namespace kelvra::gui::dialogs {

class SelectCommandDialog : public QDialog {
    Q_OBJECT
public:
    explicit SelectCommandDialog(QWidget *parent = nullptr);

    // The command pressed; nothing when the dialog ended any other way.
    std::optional<std::int32_t> choice() const;
    // The buttons in catalogue order; each button's "controlId" is its command id.
    const std::vector<QPushButton *> &buttons() const { return buttons_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QPushButton *ButtonAt(const QPoint &global) const;
    void Choose(const QPushButton *button);

    std::vector<QPushButton *> buttons_;
    std::int32_t chosen_command_ = 0;
};

}  // namespace kelvra::gui::dialogs

// The about box: the program icon, name and version, and one line on what it is for.
#pragma once

#include "gui/dialogs/dialog_template.h"

#include <QDialog>

namespace kelvra::gui::dialogs {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *parent = nullptr);
    QWidget *control(int id) const { return controls_.widget(id); }

private:
    TemplateControls controls_;
};

}  // namespace kelvra::gui::dialogs

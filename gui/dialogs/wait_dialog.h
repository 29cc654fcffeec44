// The scan's wait window: a progress bar and "扫描Kelvra中，请勿操作！！！", without a title,
// on top of and centred over the main window while the scan runs.
#pragma once

#include "gui/dialogs/dialog_template.h"

#include <QDialog>

class QProgressBar;

namespace kelvra::gui::dialogs {

class WaitDialog : public QDialog {
    Q_OBJECT
public:
    enum : int { kProgress = 1030, kText = 0 };

    explicit WaitDialog(QWidget *parent = nullptr);
    // Places the window centred over `main` (a screen rectangle), keeping its size.
    void CentreOver(const QRect &main);
    void SetProgress(int percent);
    QProgressBar *progress_bar() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    TemplateControls controls_;
};

// left = main left + (main width - own width) / 2, top likewise.
QPoint CentredTopLeft(const QRect &main, const QSize &own);

}  // namespace kelvra::gui::dialogs

#include "gui/widgets/progress_bar.h"

#include "gui/widgets/colorref.h"

#include <QPainter>

#include <algorithm>

namespace kelvra::gui::widgets {

ProgressBar::ProgressBar(QWidget *parent) : QWidget(parent) {}

void ProgressBar::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    SetPosition(position_);
}

void ProgressBar::SetPosition(int position) {
    const int held = std::clamp(position, std::min(lower_, upper_), std::max(lower_, upper_));
    if (held == position_) return;
    position_ = held;
    update();
}

void ProgressBar::SetBarColour(std::uint32_t colour) {
    bar_colour_ = colour;
    update();
}

int ProgressBar::FilledWidth() const {
    if (upper_ == lower_) return 0;
    return static_cast<int>(position_ * (static_cast<double>(width()) / (upper_ - lower_)));
}

QString ProgressBar::Caption() const {
    const double percent = upper_ == 0 ? 0.0 : position_ * 100.0 / upper_;
    return caption_prefix_ + QStringLiteral(" ") + QString::asprintf("%.0f%%", percent);
}

void ProgressBar::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), FromColorRef(kTroughColour));
    painter.fillRect(QRect(0, 0, FilledWidth(), height()), FromColorRef(bar_colour_));
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, Caption());
}

}  // namespace kelvra::gui::widgets

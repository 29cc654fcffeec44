#include "gui/widgets/port_panel.h"

#include "gui/widgets/artwork.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPalette>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>

namespace kelvra::gui::widgets {

std::optional<ScrollMove> ScrollFor(const ScrollInfo &info, ScrollRequest request, int track) {
    const int p = info.position;
    switch (request) {
        case ScrollRequest::LineUp:
            if (p - 1 >= info.minimum) return ScrollMove{p - 1, kScrollPixels};
            return std::nullopt;
        case ScrollRequest::LineDown:
            if (p + 1 + info.page <= info.maximum) return ScrollMove{p + 1, -kScrollPixels};
            return std::nullopt;
        case ScrollRequest::PageUp:
            if (p - 5 >= info.minimum) return ScrollMove{p - 5, 5 * kScrollPixels};
            return std::nullopt;
        case ScrollRequest::PageDown:
            if (p + 5 + info.page <= info.maximum) return ScrollMove{p + 5, -5 * kScrollPixels};
            return std::nullopt;
        case ScrollRequest::ThumbTrack: return ScrollMove{track, (p - track) * kScrollPixels};
        case ScrollRequest::Other: break;
    }
    return std::nullopt;
}

int ScrollMaximumFor(int cells) {
    const int rows = cells / kCellsPerRow + (cells % kCellsPerRow != 0 ? 1 : 0);
    return rows > 2 ? (rows - 2) * kRowScrollUnits : 0;
}

CellRects CellGeometry(int k, int base_x, int base_y) {
    const int x = 10 + 117 * (k % kCellsPerRow);
    const int y = 67 + 130 * (k / kCellsPerRow);
    const auto scaled = [base_x, base_y](int left, int top, int w, int h) {
        const auto sx = [base_x](int px) { return (px * base_x + 3) / 7; };
        const auto sy = [base_y](int px) { return (px * base_y + 7) / 14; };
        return QRect(sx(left), sy(top), sx(left + w) - sx(left), sy(top + h) - sy(top));
    };
    // The picture control takes the size of its 87 x 60 bitmap.
    return {scaled(x, y - 57, 87, 60), scaled(x, y + 10, 87, 15), scaled(x, y + 31, 87, 19)};
}

void PortPanel::SetUnits(int base_x, int base_y) {
    base_x_ = std::max(1, base_x);
    base_y_ = std::max(1, base_y);
    PlaceCells();
}

namespace {

// A label wider than its cell (a lost port's "ttyACM10已断开") gets a smaller font rather than
// losing characters at both ends.
void FitLabel(QLabel *label) {
    QFont font = label->parentWidget() != nullptr ? label->parentWidget()->font() : label->font();
    const qreal smallest = 5.0;
    while (QFontMetrics(font).horizontalAdvance(label->text()) > label->width() - 2 && font.pointSizeF() > smallest) {
        font.setPointSizeF(std::max(smallest, font.pointSizeF() - 0.5));
    }
    label->setFont(font);
    label->setToolTip(label->text());
}

}  // namespace

PortPanel::PortPanel(QWidget *parent) : QWidget(parent), page_(new QWidget(this)), scroll_bar_(new QScrollBar(Qt::Vertical, this)) {
    page_->setAutoFillBackground(true);
    QPalette palette = page_->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    page_->setPalette(palette);
    scroll_bar_->setSingleStep(1);
    scroll_bar_->setPageStep(kScrollPage);
    scroll_bar_->installEventFilter(this);
    connect(scroll_bar_, &QScrollBar::actionTriggered, this, &PortPanel::OnScrollAction);
    pixmaps_ = {StatusPixmap(run::StatusPicture::Connected), StatusPixmap(run::StatusPicture::Disconnect),
                StatusPixmap(run::StatusPicture::Failed), StatusPixmap(run::StatusPicture::Succeed)};
    UpdateScrollBar();
}

void PortPanel::Build(const std::vector<QString> &names) {
    info_.maximum = ScrollMaximumFor(static_cast<int>(names.size()));
    // The new cells are made at their unscrolled places, so the page starts at its top.
    info_.position = 0;
    for (const Cell &c : cells_) {
        delete c.picture;
        delete c.bar;
        delete c.label;
    }
    cells_.clear();
    UpdateScrollBar();
    LayoutParts();
    for (std::size_t i = 0; i < names.size(); ++i) {
        Cell c{new QLabel(page_), new ProgressBar(page_), new QLabel(names[i], page_), run::StatusPicture::Connected};
        c.picture->setPixmap(pixmaps_[0]);
        c.picture->setScaledContents(true);  // the plate fills its cell at any font
        c.bar->SetRange(0, 100);
        c.label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        c.picture->show();
        c.bar->show();
        c.label->show();
        cells_.push_back(c);
    }
    PlaceCells();
}

void PortPanel::PlaceCells() {
    // Cells at their unscrolled places, moved up by the scroll position's pixels.
    const int offset = info_.position * kScrollPixels * base_y_ / 14;
    for (std::size_t i = 0; i < cells_.size(); ++i) {
        const CellRects rects = CellGeometry(static_cast<int>(i), base_x_, base_y_);
        cells_[i].picture->setGeometry(rects.picture.translated(0, -offset));
        cells_[i].bar->setGeometry(rects.bar.translated(0, -offset));
        cells_[i].label->setGeometry(rects.label.translated(0, -offset));
        FitLabel(cells_[i].label);
    }
}

const PortPanel::Cell *PortPanel::cell(int k) const {
    if (k < 0 || k >= cell_count()) return nullptr;
    return &cells_[static_cast<std::size_t>(k)];
}

void PortPanel::SetCellPicture(int k, run::StatusPicture picture) {
    if (k < 0 || k >= cell_count()) return;
    Cell &c = cells_[static_cast<std::size_t>(k)];
    c.state = picture;
    c.picture->setPixmap(pixmaps_[static_cast<std::size_t>(picture)]);
}

void PortPanel::SetCellBarColour(int k, std::uint32_t colour) {
    if (const Cell *c = cell(k)) c->bar->SetBarColour(colour);
}

void PortPanel::SetCellPosition(int k, int position) {
    if (const Cell *c = cell(k)) c->bar->SetPosition(position);
}

void PortPanel::SetCellLabel(int k, const QString &label) {
    if (const Cell *c = cell(k)) {
        c->label->setText(label);
        FitLabel(c->label);
    }
}

QLabel *PortPanel::picture(int k) const { return cell(k) ? cell(k)->picture : nullptr; }
ProgressBar *PortPanel::bar(int k) const { return cell(k) ? cell(k)->bar : nullptr; }
QLabel *PortPanel::label(int k) const { return cell(k) ? cell(k)->label : nullptr; }

std::optional<run::StatusPicture> PortPanel::picture_state(int k) const {
    if (const Cell *c = cell(k)) return c->state;
    return std::nullopt;
}

bool PortPanel::Scroll(ScrollRequest request, int track) {
    const auto move = ScrollFor(info_, request, track);
    if (!move) return false;
    info_.position = move->position;
    scroll_bar_->setSliderPosition(move->position);
    // The cells move with the page, shown or not (QWidget::scroll skips hidden widgets).
    PlaceCells();
    return true;
}

void PortPanel::OnScrollAction(int action) {
    if (in_action_) return;
    in_action_ = true;
    ScrollRequest request = ScrollRequest::Other;
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub: request = ScrollRequest::LineUp; break;
        case QAbstractSlider::SliderSingleStepAdd: request = ScrollRequest::LineDown; break;
        case QAbstractSlider::SliderPageStepSub: request = ScrollRequest::PageUp; break;
        case QAbstractSlider::SliderPageStepAdd: request = ScrollRequest::PageDown; break;
        case QAbstractSlider::SliderMove: request = ScrollRequest::ThumbTrack; break;
        default: break;
    }
    const int track = scroll_bar_->sliderPosition();
    // The bar has already stepped by its own rule; the panel's rule decides where it ends.
    if (!Scroll(request, track)) scroll_bar_->setSliderPosition(info_.position);
    in_action_ = false;
}

void PortPanel::Wheel(int delta) {
    if (delta < 0) Scroll(ScrollRequest::PageDown);
    if (delta > 0) Scroll(ScrollRequest::PageUp);
}

void PortPanel::wheelEvent(QWheelEvent *event) {
    Wheel(event->angleDelta().y());
    event->accept();
}

bool PortPanel::eventFilter(QObject *watched, QEvent *event) {
    // The scroll bar would step by its own rule; the panel's wheel rule applies there too.
    if (watched == scroll_bar_ && event->type() == QEvent::Wheel) {
        Wheel(static_cast<QWheelEvent *>(event)->angleDelta().y());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void PortPanel::UpdateScrollBar() {
    // The platform's bar lets its thumb reach maximum - page + 1.
    scroll_bar_->setRange(info_.minimum, std::max(info_.minimum, info_.maximum - info_.page + 1));
    scroll_bar_->setPageStep(info_.page);
    scroll_bar_->setSliderPosition(info_.position);
    scroll_bar_->setVisible(info_.maximum > info_.minimum + info_.page);
}

void PortPanel::LayoutParts() {
    const int bar_width = !scroll_bar_->isHidden() ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0;
    scroll_bar_->setGeometry(width() - bar_width, 0, bar_width, height());
    page_->setGeometry(0, 0, width() - bar_width, height());
}

void PortPanel::resizeEvent(QResizeEvent *) { LayoutParts(); }

}  // namespace kelvra::gui::widgets

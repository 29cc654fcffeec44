// The port panel: one cell per writer of the last scan (status picture, progress bar, port
// name), five cells to a row, on a white page with its own vertical scroll bar. The cells sit
// at fixed pixel positions and scroll in steps of three pixels.
#pragma once

#include "gui/widgets/progress_bar.h"
#include "host/run/run_session.h"

#include <QLabel>
#include <QPixmap>
#include <QRect>
#include <QWidget>

#include <array>
#include <optional>
#include <vector>

class QScrollBar;

namespace kelvra::gui::widgets {

inline constexpr int kCellsPerRow = 5;
inline constexpr int kScrollPixels = 3;   // one scroll unit
inline constexpr int kRowScrollUnits = 43;
inline constexpr int kScrollPage = 25;

// Scroll state in scroll units, as the panel's scroll bar holds it.
struct ScrollInfo {
    int minimum = 0;
    int maximum = 0;
    int page = kScrollPage;
    int position = 0;
};

enum class ScrollRequest { LineUp, LineDown, PageUp, PageDown, ThumbTrack, Other };

struct ScrollMove {
    int position;  // the new position
    int dy;        // pixels the contents move down (negative: up)
};

// What a scroll request does; nothing when the panel must not move.
std::optional<ScrollMove> ScrollFor(const ScrollInfo &info, ScrollRequest request, int track = 0);

// Scroll maximum for n cells: (rows - 2) x 43 with more than two rows, else 0.
int ScrollMaximumFor(int cells);

struct CellRects {
    QRect picture;
    QRect bar;
    QRect label;
};
// Cell k unscrolled, in pixels of the panel's page: x = 10 + 117 col, y = 67 + 130 row, as
// drawn for base units of 7 x 14; other base units scale it like the windows' dialog units.
CellRects CellGeometry(int k, int base_x = 7, int base_y = 14);

class PortPanel : public QWidget {
    Q_OBJECT
public:
    explicit PortPanel(QWidget *parent = nullptr);

    // The dialog units of the window around it (base units of its font): cells and scroll
    // steps scale with them. Call before Build.
    void SetUnits(int base_x, int base_y);
    // Replaces every cell; the page scrolls back to its top.
    void Build(const std::vector<QString> &names);
    int cell_count() const { return static_cast<int>(cells_.size()); }

    // Cell changes; a cell that does not exist is ignored.
    void SetCellPicture(int k, run::StatusPicture picture);
    void SetCellBarColour(int k, std::uint32_t colour);
    void SetCellPosition(int k, int position);
    void SetCellLabel(int k, const QString &label);

    QLabel *picture(int k) const;
    ProgressBar *bar(int k) const;
    QLabel *label(int k) const;
    std::optional<run::StatusPicture> picture_state(int k) const;

    const ScrollInfo &scroll_info() const { return info_; }
    // A scroll request as the scroll bar or the wheel makes it; true when the page moved.
    bool Scroll(ScrollRequest request, int track = 0);
    QScrollBar *scroll_bar() const { return scroll_bar_; }
    QWidget *page() const { return page_; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Cell {
        QLabel *picture;
        ProgressBar *bar;
        QLabel *label;
        run::StatusPicture state;
    };
    void OnScrollAction(int action);
    void Wheel(int delta);
    void UpdateScrollBar();
    void LayoutParts();
    void PlaceCells();
    const Cell *cell(int k) const;

    QWidget *page_;
    QScrollBar *scroll_bar_;
    ScrollInfo info_;
    std::vector<Cell> cells_;
    std::array<QPixmap, 4> pixmaps_;
    bool in_action_ = false;
    int base_x_ = 7;
    int base_y_ = 14;
};

}  // namespace kelvra::gui::widgets

#include "gui/widgets/command_list_view.h"

#include "gui/widgets/colorref.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QContextMenuEvent>

#include <algorithm>
#include <QStyledItemDelegate>

namespace kelvra::gui::widgets {
namespace {

// The template's column widths, whose proportions the fitted columns keep.
constexpr int kNumberWidth = 40;
constexpr int kCommandWidth = 165;
constexpr int kParameterWidth = 275;

// Rows are drawn by hand so the selected row keeps its colours when the list loses the focus.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        const bool selected = (option.state & QStyle::State_Selected) != 0;
        painter->save();
        painter->fillRect(option.rect, selected ? FromColorRef(CommandListView::kSelectedBackground) : QColor(Qt::white));
        painter->setPen(selected ? Qt::white : Qt::black);
        painter->setFont(option.font);
        const QRect text_rect = option.rect.adjusted(3, 0, -3, 0);
        const QString text = option.fontMetrics.elidedText(index.data().toString(), Qt::ElideRight, text_rect.width());
        painter->drawText(text_rect, Qt::AlignCenter | Qt::TextSingleLine, text);
        painter->restore();
    }
};

}  // namespace

CommandListView::CommandListView(QWidget *parent) : QTableWidget(0, 3, parent) {
    setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("AT命令"), QStringLiteral("AT命令参数")});
    setColumnWidth(kNumberColumn, kNumberWidth);
    setColumnWidth(kCommandColumn, kCommandWidth);
    setColumnWidth(kParameterColumn, kParameterWidth);
    horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setMinimumSectionSize(8);
    // The columns are fitted to the visible area, so nothing scrolls sideways.
    horizontalHeader()->setStretchLastSection(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { FitColumns(); });
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    // Whole rows, as a report list scrolls: no row is cut by the header.
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setWordWrap(false);
    setItemDelegate(new RowDelegate(this));
}

QString CommandListView::CellText(int row, int column) const {
    const QTableWidgetItem *it = item(row, column);
    return it == nullptr ? QString() : it->text();
}

void CommandListView::SetCellText(int row, int column, const QString &text) {
    if (QTableWidgetItem *it = item(row, column)) {
        it->setText(text);
    } else {
        setItem(row, column, new QTableWidgetItem(text));
    }
}

void CommandListView::SelectOnly(int row) {
    clearSelection();
    setFocus();
    if (row < 0 || row >= rowCount()) return;
    setCurrentCell(row, kNumberColumn, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollToItem(item(row, kNumberColumn));
}

int CommandListView::SelectedRow() const {
    const QModelIndexList rows = selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    int first = -1;
    for (const QModelIndex &index : rows) {
        if (first < 0 || index.row() < first) first = index.row();
    }
    return first;
}

void CommandListView::mousePressEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTableWidget::mousePressEvent(event);
    if (!index.isValid()) clearSelection();
    // The row pressed is highlighted, whatever the modifiers (Ctrl would take it away).
    if (index.isValid() && SelectedRow() != index.row()) {
        setCurrentCell(index.row(), kNumberColumn, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton) {
        Q_EMIT RowClicked(index.isValid() ? index.row() : -1);
    }
}

void CommandListView::mouseReleaseEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTableWidget::mouseReleaseEvent(event);
    // A Ctrl+click on the selected row would take its highlight away on the release.
    if (index.isValid() && SelectedRow() != index.row()) {
        setCurrentCell(index.row(), kNumberColumn, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
}

void CommandListView::contextMenuEvent(QContextMenuEvent *event) {
    // From the keyboard the menu is about the current row; a right press already made it so.
    Q_EMIT MenuRequested(event->globalPos());
    event->accept();
}

void CommandListView::FitColumns() {
    const int width = viewport()->width();
    if (width <= 0) return;
    const QFontMetrics header_metrics(horizontalHeader()->font());
    const int caption = header_metrics.horizontalAdvance(QStringLiteral("序号")) +
                        2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, horizontalHeader()) + 4;
    const int total = kNumberWidth + kCommandWidth + kParameterWidth;
    const int number = std::max(caption, width * kNumberWidth / total);
    const int command = std::max(0, (width - number) * kCommandWidth / (kCommandWidth + kParameterWidth));
    setColumnWidth(kNumberColumn, number);
    setColumnWidth(kCommandColumn, command);
    setColumnWidth(kParameterColumn, std::max(0, width - number - command));
    horizontalScrollBar()->setValue(0);
}

void CommandListView::scrollTo(const QModelIndex &index, ScrollHint hint) {
    QTableWidget::scrollTo(index, hint);
    horizontalScrollBar()->setValue(0);  // the columns fit: nothing to scroll to sideways
}

void CommandListView::mouseDoubleClickEvent(QMouseEvent *event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton) {
        QTableWidget::mouseDoubleClickEvent(event);
        return;
    }
    Q_EMIT RowDoubleClicked(index.isValid() ? index.row() : -1, index.isValid() ? index.column() : -1);
    event->accept();
}

void CommandListView::resizeEvent(QResizeEvent *event) {
    QTableWidget::resizeEvent(event);
    FitColumns();
    // Rows that fill the view exactly: at the end of a long list the view aligns the last row
    // with its bottom, which would otherwise leave a cut row under the header.
    const int natural = fontMetrics().height() + 6;
    const int height = viewport()->height();
    if (height <= 0) return;
    const int rows = std::max(1, (height + natural / 2) / natural);
    verticalHeader()->setDefaultSectionSize(std::max(natural - 4, height / rows));
}

void CommandListView::keyPressEvent(QKeyEvent *event) {
    // Enter edits the current row's parameters, as a double click on its parameter cell does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentRow() >= 0 &&
        SelectedRow() == currentRow()) {
        Q_EMIT RowDoubleClicked(currentRow(), kParameterColumn);
        event->accept();
        return;
    }
    const int before = currentRow();
    QTableWidget::keyPressEvent(event);
    // Moving the highlight with the keys moves the row the buttons act on, like a click.
    if (currentRow() != before && currentRow() >= 0) Q_EMIT RowClicked(currentRow());
}

}  // namespace kelvra::gui::widgets

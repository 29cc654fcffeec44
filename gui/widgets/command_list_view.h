// The command list's view: a report list with three centred columns ("序号", "AT命令",
// "AT命令参数"), full-row selection and grid lines; the selected row white on blue, the others
// black on white. It reports clicks and double clicks with the row and column hit (-1 when no
// row is hit); what they mean is the editor's business. For the keyboard, moving the selection
// counts as a click on the new row and Enter as a double click on its parameter cell.
#pragma once

#include <QTableWidget>

namespace kelvra::gui::widgets {

class CommandListView : public QTableWidget {
    Q_OBJECT
public:
    static constexpr int kNumberColumn = 0;
    static constexpr int kCommandColumn = 1;
    static constexpr int kParameterColumn = 2;
    static constexpr std::uint32_t kSelectedBackground = 0xC56A31;  // 0x00BBGGRR, a medium blue

    explicit CommandListView(QWidget *parent = nullptr);

    QString CellText(int row, int column) const;
    void SetCellText(int row, int column, const QString &text);
    // Clears the selection, takes the focus, selects `row` and scrolls it into view.
    void SelectOnly(int row);
    // The first selected row, -1 when none.
    int SelectedRow() const;

    // The columns as wide as the visible area allows, in the template's proportions; "序号"
    // never narrower than its caption.
    void FitColumns();
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;

Q_SIGNALS:
    // A press of the left or right button: the row under it (-1: none) is the current row.
    void RowClicked(int row);
    void RowDoubleClicked(int row, int column);
    // The context menu was asked for over the list, at this global position.
    void MenuRequested(const QPoint &global);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
};

}  // namespace kelvra::gui::widgets

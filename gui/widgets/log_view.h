// The message log's view: read-only text, one "HH:MM:SS text" line per message with the time in
// blue and the text in its level's colour, one live line that the next live text rewrites in
// place, web addresses as links that open on the mouse press, and the view kept at its last
// line. The rules of the lines themselves (levels, line breaks removed, the 1024-byte limit)
// are the engine's MessageLog; this view only renders what it hands over.
//
// A plain-text view: its layout is per line and lazy, so a line costs the same at any length of
// the log, also once old lines are dropped. Lines that arrive together go in as one edit, and
// the old lines are dropped once per edit.
#pragma once

#include "host/run/message_log.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace kelvra::gui::widgets {

class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    // Older lines are dropped beyond this many; the engine keeps the same number.
    static constexpr int kMaxLines = static_cast<int>(run::MessageLog::kKeptLines);

    explicit LogView(QWidget *parent = nullptr);

    void AppendLine(const run::LogEntry &entry);
    void ReplaceLiveLine(const run::LogEntry &entry);
    // Lines between these go in as one edit (calls may nest).
    void BeginBatch();
    void EndBatch();

    // The lines shown, without the empty line after the last line break.
    QStringList Lines() const;

Q_SIGNALS:
    // The mouse button went down on a link; its text is the address.
    void LinkPressed(const QString &address);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void InsertLine(QTextCursor &cursor, const run::LogEntry &entry);
    void RequestScrollToEnd();
    int EndPosition() const;

    QTextCursor live_start_;  // just after the last appended line; kept when text is inserted there
    QTextCursor edit_;        // the cursor of the batch under way
    int batch_depth_ = 0;
    // A selection that reaches the end (Ctrl+A) must not grow over the lines that come.
    bool keep_selection_ = false;
    QTextCursor selection_anchor_;
    QTextCursor selection_position_;
    bool live_pending_ = false;
    bool scroll_pending_ = false;
    bool following_ = true;  // kept at the last line while the range grows
    bool link_pressed_ = false;
};

}  // namespace kelvra::gui::widgets

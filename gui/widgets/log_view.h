// The message log's view: read-only rich text, one "HH:MM:SS text" line per message with the
// time in blue and the text in its level's colour, one live line that the next live text
// rewrites in place, web addresses as links that open on the mouse press, and the view kept at
// its last line. The rules of the lines themselves (levels, line breaks removed, the 1024-byte
// limit) are the engine's MessageLog; this view only renders what it hands over.
#pragma once

#include "host/run/message_log.h"

#include <QTextCursor>
#include <QTextEdit>

namespace kelvra::gui::widgets {

class LogView : public QTextEdit {
    Q_OBJECT
public:
    // Older lines are dropped beyond this many; the engine keeps the same number.
    static constexpr int kMaxLines = static_cast<int>(run::MessageLog::kKeptLines);

    explicit LogView(QWidget *parent = nullptr);

    void AppendLine(const run::LogEntry &entry);
    void ReplaceLiveLine(const run::LogEntry &entry);

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

    QTextCursor live_start_;  // just after the last appended line; kept when text is inserted there
    bool live_pending_ = false;
    bool scroll_pending_ = false;
    bool link_pressed_ = false;
};

}  // namespace kelvra::gui::widgets

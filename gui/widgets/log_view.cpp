#include "gui/widgets/log_view.h"

#include "gui/widgets/colorref.h"

#include <QMouseEvent>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <map>

namespace kelvra::gui::widgets {
namespace {

// What a rich edit control recognises as an address when automatic detection is on.
const QRegularExpression &AddressPattern() {
    static const QRegularExpression pattern(
        QStringLiteral(R"((?:https?|ftp|file|telnet|news|nntp)://[^\s<>"]+|mailto:[^\s<>"]+|www\.[^\s<>"]+)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QFont LogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Arial")});
    font.setPointSizeF(10.1);  // 202 twips
    font.setBold(false);
    return font;
}

QTextCharFormat Format(std::uint32_t colour) {
    QTextCharFormat format;
    format.setFont(LogFont(), QTextCharFormat::FontPropertiesAll);
    format.setForeground(FromColorRef(colour));
    return format;
}

// The format of a colour, made once: the log uses a handful of colours on many lines.
const QTextCharFormat &CachedFormat(std::uint32_t colour) {
    static std::map<std::uint32_t, QTextCharFormat> formats;
    auto it = formats.find(colour);
    if (it == formats.end()) it = formats.emplace(colour, Format(colour)).first;
    return it->second;
}

// Removes the first blocks of `document` so that `keep` remain. The cut is positioned, not
// moved block by block: a move lays out every block it passes, and these were never shown.
void DropOldestBlocks(QTextDocument &document, int keep) {
    const int excess = document.blockCount() - keep;
    if (excess <= 0) return;
    QTextCursor cut(&document);
    // An edit of its own: the cut's position is not laid out, and its change stays at the top.
    cut.beginEditBlock();
    cut.setPosition(document.findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    cut.removeSelectedText();
    cut.endEditBlock();
}

}  // namespace

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTabChangesFocus(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::LinksAccessibleByMouse);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    document()->setDefaultFont(LogFont());
    setFont(LogFont());
    live_start_ = QTextCursor(document());
    live_start_.setKeepPositionOnInsert(true);
    // Wrapped lines are laid out lazily, so the range still grows after the scroll to the end:
    // the view stays at the end until the user scrolls away.
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (following_) verticalScrollBar()->setValue(maximum);
    });
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] {
        following_ = verticalScrollBar()->sliderPosition() >= verticalScrollBar()->maximum();
    });
}

void LogView::InsertLine(QTextCursor &cursor, const run::LogEntry &entry) {
    const QString time = QString::fromStdString(entry.time);
    // Bytes that are not UTF-8 show as replacement characters, never as a broken line.
    const QString text = QString::fromUtf8(entry.text.data(), static_cast<qsizetype>(entry.text.size()));
    const QTextCharFormat &text_format = CachedFormat(entry.colour);
    const QTextCharFormat &time_format = CachedFormat(run::kColourTime);
    cursor.insertText(time, time_format);
    cursor.insertText(QStringLiteral(" "), text_format);
    qsizetype done = 0;
    if (text.contains(QLatin1Char(':')) || text.contains(QLatin1String("www."), Qt::CaseInsensitive)) {
        auto matches = AddressPattern().globalMatch(text);
        while (matches.hasNext()) {
            const auto match = matches.next();
            cursor.insertText(text.mid(done, match.capturedStart() - done), text_format);
            QTextCharFormat link = text_format;
            link.setAnchor(true);
            link.setAnchorHref(match.captured());
            link.setFontUnderline(true);
            cursor.insertText(match.captured(), link);
            done = match.capturedEnd();
        }
    }
    cursor.insertText(text.mid(done), text_format);
    cursor.insertText(QStringLiteral("\n"), text_format);
}

void LogView::BeginBatch() {
    if (batch_depth_++ > 0) return;
    const QTextCursor view = textCursor();
    const int end = document()->characterCount() - 1;
    keep_selection_ = view.hasSelection() && std::max(view.anchor(), view.position()) >= end;
    if (keep_selection_) {
        selection_anchor_ = QTextCursor(document());
        selection_anchor_.setPosition(view.anchor());
        selection_anchor_.setKeepPositionOnInsert(true);
        selection_position_ = QTextCursor(document());
        selection_position_.setPosition(view.position());
        selection_position_.setKeepPositionOnInsert(true);
    }
    edit_ = QTextCursor(document());
    edit_.beginEditBlock();
}

void LogView::EndBatch() {
    if (batch_depth_ == 0 || --batch_depth_ > 0) return;
    edit_.endEditBlock();
    edit_ = QTextCursor();
    // Old lines beyond the limit go here, all at once: the lines and the empty one after them.
    DropOldestBlocks(*document(), kMaxLines + 1);
    if (keep_selection_) {
        QTextCursor selection(document());
        selection.setPosition(selection_anchor_.position());
        selection.setPosition(selection_position_.position(), QTextCursor::KeepAnchor);
        setTextCursor(selection);
        keep_selection_ = false;
        selection_anchor_ = QTextCursor();
        selection_position_ = QTextCursor();
    }
    RequestScrollToEnd();
}

void LogView::AppendLine(const run::LogEntry &entry) {
    BeginBatch();
    // A live line written before stays; the new line goes after it.
    live_pending_ = false;
    // Cursors are set, not moved: a move lays out the line it starts from.
    edit_.setPosition(EndPosition());
    InsertLine(edit_, entry);
    live_start_.setPosition(EndPosition());
    EndBatch();
}

void LogView::ReplaceLiveLine(const run::LogEntry &entry) {
    BeginBatch();
    live_pending_ = true;
    edit_.setPosition(live_start_.position());
    edit_.setPosition(EndPosition(), QTextCursor::KeepAnchor);
    edit_.removeSelectedText();
    InsertLine(edit_, entry);
    EndBatch();
}

int LogView::EndPosition() const { return document()->characterCount() - 1; }

QStringList LogView::Lines() const {
    QStringList lines = toPlainText().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
    return lines;
}

void LogView::RequestScrollToEnd() {
    if (scroll_pending_) return;
    scroll_pending_ = true;
    following_ = true;
    QTimer::singleShot(0, this, [this] {
        scroll_pending_ = false;
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    });
}

void LogView::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        const QString address = anchorAt(event->position().toPoint());
        if (!address.isEmpty()) {
            link_pressed_ = true;
            Q_EMIT LinkPressed(address);
            event->accept();
            return;
        }
    }
    QPlainTextEdit::mousePressEvent(event);
}

void LogView::mouseReleaseEvent(QMouseEvent *event) {
    // The release that ends a press on a link is answered without action.
    if (link_pressed_) {
        link_pressed_ = false;
        event->accept();
        return;
    }
    QPlainTextEdit::mouseReleaseEvent(event);
}

}  // namespace kelvra::gui::widgets

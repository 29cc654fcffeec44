#include "gui/dialogs/field_parse.h"

#include <limits>

namespace kelvra::gui::dialogs {
namespace {

bool IsBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

}  // namespace

std::uint32_t ParseHexField(const QString &text) {
    qsizetype i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) ++i;
    if (i + 1 < text.size() && text[i] == QLatin1Char('0') && (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        i += 2;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
        value = value * 16 + static_cast<std::uint64_t>(HexDigit(text[i]));
        if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::int32_t> ParseIntField(const QString &full) {
    const QString text = full.left(63);
    qsizetype i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype first_digit = i;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        if (magnitude <= std::numeric_limits<std::int32_t>::max()) magnitude = magnitude * 10 + (text[i].unicode() - '0');
    }
    if (i == first_digit) return std::nullopt;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

QString HexText(std::uint32_t value) { return QString::asprintf("0x%x", value); }

QString FitRecordText(const QString &text) {
    QString out = text;
    out.remove(QLatin1Char('\r'));
    out.remove(QLatin1Char('\n'));
    constexpr qsizetype kLimit = static_cast<qsizetype>(kCmdTextSize - 1);
    if (out.toUtf8().size() <= kLimit) return out;
    // Whole characters only: a surrogate pair stays together.
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < out.size()) {
        const qsizetype step = out[i].isHighSurrogate() && i + 1 < out.size() ? 2 : 1;
        const qsizetype size = out.mid(i, step).toUtf8().size();
        if (bytes + size > kLimit) break;
        bytes += size;
        i += step;
    }
    return out.left(i);
}

bool FitsRecordText(const QString &text) { return FitRecordText(text) == text; }

QValidator::State RecordTextValidator::validate(QString &input, int &position) const {
    if (!FitsRecordText(input)) {
        input = FitRecordText(input);
        position = std::min(position, static_cast<int>(input.size()));
    }
    return Acceptable;
}

void RecordTextValidator::fixup(QString &input) const { input = FitRecordText(input); }

}  // namespace kelvra::gui::dialogs

// How the dialogs read their fields back into a command record.
#pragma once

#include "host/model/cmd_param.h"

#include <QString>
#include <QValidator>

#include <cstdint>
#include <optional>

namespace kelvra::gui::dialogs {

// Address and size: blanks and a sign skipped, an optional 0x, then hex digits up to the first
// other character. No digit gives 0, a value beyond 32 bits 0xFFFFFFFF.
std::uint32_t ParseHexField(const QString &text);

// Time-out, baud rate, firmware index, debounce times: the integer at the start of the first 63
// characters (blanks and a sign allowed, what follows ignored), held to 32 bits; nothing when
// no integer starts the text.
std::optional<std::int32_t> ParseIntField(const QString &text);

// "0x%x".
QString HexText(std::uint32_t value);

// A text as a record's text field can hold it: line breaks removed and at most 255 UTF-8
// bytes, cut at a character boundary.
QString FitRecordText(const QString &text);
bool FitsRecordText(const QString &text);

// Keeps an edit's text within a record's text field while the user types or pastes.
class RecordTextValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString &input, int &position) const override;
    void fixup(QString &input) const override;
};

}  // namespace kelvra::gui::dialogs

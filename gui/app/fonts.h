// Whether an installed font can show the program's Chinese texts: without one every caption is
// a row of empty boxes, and the program says so at start (in English, which any font shows).
#pragma once

#include <QString>
#include <QStringList>

namespace kelvra::gui::app {

// Characters of the captions, plates and log lines.
QString ProgramTextSample();
// The first of `families` (installed fonts) that has a glyph for every character of `text`,
// or "" when none has.
QString FamilyCovering(const QString &text, const QStringList &families);
// The warning to give when no installed font covers the program's texts, else "".
QString MissingFontWarning();

}  // namespace kelvra::gui::app

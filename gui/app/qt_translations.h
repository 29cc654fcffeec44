// Qt's own texts (the buttons of message boxes, the file dialogs) in Chinese, like the
// program's: the translations Debian ships in qt6-translations-l10n.
#pragma once

class QObject;

namespace kelvra::gui::app {

// Installs qtbase_zh_CN from Qt's translations folder; false when it is not there.
bool InstallQtChinese(QObject *owner);

}  // namespace kelvra::gui::app

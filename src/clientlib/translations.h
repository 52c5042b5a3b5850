#pragma once
// The texts Qt draws itself (standard buttons, file and print dialogs, the context menus of
// text boxes, the progress window's Cancel) in Brazilian Portuguese, from Qt's own
// translations (qtbase_pt_BR), and Brazilian formats for dates and numbers.
// Called by the host once at start; false when the translation files are not installed
// (the screens' own texts are Portuguese regardless).

class QCoreApplication;

namespace fiscal::clientlib {

bool installQtTranslations(QCoreApplication &app);

} // namespace fiscal::clientlib

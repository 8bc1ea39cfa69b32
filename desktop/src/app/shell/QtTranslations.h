#pragma once

#include <QString>

class QCoreApplication;

// Qt's own Japanese texts (file dialogs, standard buttons, context menus): every
// visible text of the application is Japanese, and the widgets Qt draws by itself are
// no exception.
class QtTranslations {
public:
    // Installs the "qtbase" catalogue for Japanese into app from Qt's translations
    // folder (Debian: qt6-translations-l10n). False when it is not installed; the
    // widgets then keep Qt's English.
    static bool install(QCoreApplication *app);
    static QString folder();
};

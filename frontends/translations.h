#ifndef TRANSLATIONS_H
#define TRANSLATIONS_H

class QCoreApplication;

// Qt's own texts (the file dialog and its boxes, the standard buttons) in
// French, as the rest of the window is: Qt's translations of Debian's
// qttranslations5-l10n. False, and a log line, when they cannot be loaded.
bool installQtTranslations(QCoreApplication &application);

#endif // TRANSLATIONS_H

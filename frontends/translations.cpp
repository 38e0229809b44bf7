#include "translations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtTranslations(QCoreApplication &application)
{
    // qt_fr.qm gathers every module's catalogue (qtbase_fr.qm among them).
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&application);
    if (!translator->load(QLocale(QLocale::French), QStringLiteral("qt"), QStringLiteral("_"), folder)) {
        qWarning().noquote() << "Traductions de Qt introuvables dans" << folder
                             << ": textes de Qt en anglais (paquet qttranslations5-l10n)";
        delete translator;
        return false;
    }
    application.installTranslator(translator);
    return true;
}

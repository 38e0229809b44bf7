#include "options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSettings>

#include <cmath>
#include <list>
#include <optional>
#include <utility>

namespace {

constexpr int refusedStatus = 2;
const QString program = QStringLiteral("ecg-simulator");

// Options of QGuiApplication and QApplication, which QApplication takes out of
// the arguments itself: accepted here, and not shown in the help.
const QStringList qtValueOptions{"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
                                 "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                                 "geometry", "style", "stylesheet"};
const QStringList qtFlagOptions{"reverse", "widgetcount"};

const QString rateAccepted =
    QStringLiteral("un nombre d'échantillons par seconde supérieur à 0 et d'au plus %1 (par exemple 360 ou 359.5)")
        .arg(maxSampleRate);
const QString deviceAccepted = QStringLiteral("le chemin d'un périphérique spidev (par exemple /dev/spidev0.1)");
const QString playAccepted = QStringLiteral("le chemin d'un fichier d'échantillons");

CommandLine exitWith(int status, const QString &text)
{
    CommandLine exiting;
    exiting.exitStatus = status;
    exiting.text = text;
    return exiting;
}

CommandLine refusal(const QString &text)
{
    return exitWith(refusedStatus, program + ": " + text);
}

std::optional<double> sampleRate(const QString &text)
{
    bool ok = false;
    const double rate = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(rate) || rate <= 0 || rate > maxSampleRate)
        return std::nullopt;
    return rate;
}

// A key's value as written in the file; INI lists (a, b) are read back joined.
QString settingText(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    return value.type() == QVariant::StringList ? value.toStringList().join(", ") : value.toString();
}

} // namespace

CommandLine readCommandLine(const QStringList &arguments, const QStringList &settingsFiles)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Rejoue un enregistrement ECG sur un convertisseur DAC8551 relié au bus SPI."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption rateOption(
        "rate", "Cadence de sortie, en échantillons par seconde (au plus " + QString::number(maxSampleRate)
                    + "), sur une horloge exacte. Sans elle : une pause de 2 ms après chaque trame.",
        "HZ");
    const QCommandLineOption deviceOption("device", "Périphérique spidev du DAC (par défaut /dev/spidev0.0).", "PATH");
    const QCommandLineOption playOption(
        "play",
        "Sans fenêtre ni écran : envoie FILE en boucle depuis son premier échantillon jusqu'à SIGINT ou SIGTERM ; "
        "SIGHUP le relit.",
        "FILE");
    parser.addOptions({rateOption, deviceOption, playOption});
    for (const QString &name : qtValueOptions + qtFlagOptions) {
        QCommandLineOption qtOption(name, QString(), qtValueOptions.contains(name) ? "value" : QString());
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return refusal("option inconnue : " + parser.unknownOptionNames().first() + " (voir --help)");
        // One of this program's options at the end, without its value: say what it takes.
        const QString option = arguments.last();
        for (const auto &[name, accepted] : {std::pair(rateOption, rateAccepted), std::pair(deviceOption, deviceAccepted),
                                             std::pair(playOption, playAccepted)}) {
            if (option == "--" + name.names().first() || option == "-" + name.names().first())
                return refusal(option + " attend une valeur : " + accepted);
        }
        // Anything else (a value given to --help, Qt's -style without one): the parser's own words.
        return refusal(parser.errorText() + " (voir --help)");
    }
    if (parser.isSet(helpOption))
        return exitWith(0, parser.helpText());
    if (parser.isSet(versionOption))
        return exitWith(0, QCoreApplication::applicationName() + ' ' + QCoreApplication::applicationVersion() + '\n');
    if (!parser.positionalArguments().isEmpty())
        return refusal("argument inattendu : " + parser.positionalArguments().first() + " (voir --help)");

    CommandLine commandLine;
    commandLine.playFile = parser.value(playOption);
    if (parser.isSet(playOption) && commandLine.playFile.isEmpty())
        return refusal("--play : valeur vide refusée ; attendu : " + playAccepted);
    // Each file read once; std::list, since QSettings cannot be moved.
    std::list<QSettings> settings;
    for (const QString &file : settingsFiles) {
        settings.emplace_back(file, QSettings::IniFormat);
        if (settings.back().status() != QSettings::NoError)
            return refusal(file + " : fichier de réglages illisible");
    }
    // Every value given for an option, the command line's first, each with
    // where it comes from (the option, or the file and key) for a refusal. The
    // first wins, but every one is checked: a bad value is never passed over.
    struct Given
    {
        QString source;
        QString value;
    };
    const auto given = [&](const QCommandLineOption &option) {
        const QString name = option.names().first();
        QVector<Given> values;
        if (parser.isSet(option))
            values.append({"--" + name, parser.value(option)});
        for (const QSettings &file : settings) {
            if (file.contains(name))
                values.append({file.fileName() + ", clé " + name, settingText(file, name)});
        }
        return values;
    };

    const QVector<Given> rates = given(rateOption);
    for (const Given &rate : rates) {
        if (!sampleRate(rate.value))
            return refusal(rate.source + " : « " + rate.value + " » refusé ; attendu : " + rateAccepted);
    }
    if (!rates.isEmpty())
        commandLine.output.sampleRate = *sampleRate(rates.first().value);
    const QVector<Given> devices = given(deviceOption);
    for (const Given &device : devices) {
        if (device.value.isEmpty())
            return refusal(device.source + " : valeur vide refusée ; attendu : " + deviceAccepted);
    }
    if (!devices.isEmpty())
        commandLine.output.devicePath = devices.first().value;
    return commandLine;
}

QStringList defaultSettingsFiles()
{
    // The native format names them ~/.config/ecg-simulator/ecg-simulator.conf
    // (or under XDG_CONFIG_HOME) and /etc/xdg/ecg-simulator/ecg-simulator.conf;
    // on Linux it is INI.
    QStringList files;
    for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
        files << QSettings(QSettings::NativeFormat, scope, program, program).fileName();
    return files;
}

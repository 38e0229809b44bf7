#include "options.h"

#include "bounds.h"
#include "playback.h"
#include "remotefiles.h"
#include "syncline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <cmath>
#include <functional>
#include <list>
#include <optional>
#include <utility>

namespace {

const QString program = QStringLiteral("ecg-simulator");

// Options of QGuiApplication and QApplication, which QApplication takes out of
// the arguments itself: accepted here, and not shown in the help.
const QStringList qtValueOptions{"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
                                 "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                                 "geometry", "style", "stylesheet"};
const QStringList qtFlagOptions{"reverse", "widgetcount"};

const QString rateAccepted =
    QStringLiteral("un nombre d'échantillons par seconde de %1 à %2 (par exemple 360 ou 359.5)")
        .arg(minSampleRate)
        .arg(maxSampleRate);
const QString fullScaleAccepted =
    QStringLiteral("un nombre de millivolts de %1 à %2 (par exemple 10 ou 5)").arg(minFullScaleMv).arg(maxFullScaleMv);
const QString deviceAccepted = QStringLiteral("le chemin d'un périphérique spidev (par exemple /dev/spidev0.1)");
const QString listenAccepted = QStringLiteral("[ADRESSE:]PORT, un port de 1 à 65535 (par exemple 5025 ou 0.0.0.0:5025)");
const QString scpiIdleAccepted = QStringLiteral("un nombre entier de secondes de 1 à 86400 (par exemple 600)");
const QString signalAccepted = QStringLiteral("le numéro d'un signal, à partir de 1, ou son nom (par exemple MLII)");
const QString annotationsAccepted =
    QStringLiteral("l'extension d'un fichier d'annotations WFDB, lettres, chiffres ou _ (par exemple atr), ou none");
const QString syncGpioAccepted =
    QStringLiteral("PUCE:LIGNE, une puce GPIO (nom, numéro, chemin ou étiquette) et le numéro d'une de ses lignes "
                   "(par exemple gpiochip0:17)");
const QString syncWidthAccepted =
    QStringLiteral("un nombre de millisecondes de %1 à %2 (par exemple 10)").arg(minSyncWidthMs).arg(maxSyncWidthMs);
const QString syncOnAccepted = QStringLiteral("beats, loop ou both");
const QString beatLogAccepted = QStringLiteral("le chemin d'un fichier où ajouter les battements envoyés");
const QString playAccepted = QStringLiteral("le chemin d'un fichier d'échantillons");
const QString remoteFilesAccepted = QStringLiteral("DOSSIER[:DOSSIER...], des dossiers existants (par exemple /srv/ecg)");

CommandLine exitWith(int status, const QString &text)
{
    CommandLine exiting;
    exiting.exitStatus = status;
    exiting.text = text;
    return exiting;
}

CommandLine refusal(const QString &text)
{
    return exitWith(optionRefused, program + ": " + text);
}

// A number that its bound does not refuse.
std::optional<double> numberWithin(const QString &text, Refusal (*bound)(double))
{
    bool ok = false;
    const double number = text.trimmed().toDouble(&ok);
    if (!ok || bound(number))
        return std::nullopt;
    return number;
}

// "[ADDRESS:]PORT" ("[::1]:5025" for IPv6); 127.0.0.1 when no address is given.
bool listenOn(const QString &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.lastIndexOf(':');
    QString host = colon < 0 ? QString() : text.left(colon);
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const int number = text.mid(colon + 1).toInt(&ok);
    if (!ok || number < 1 || number > 65535)
        return false;
    *address = host.isEmpty() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
    *port = quint16(number);
    return !address->isNull();
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
    const QCommandLineOption signalOption(
        "signal", "Signal d'un enregistrement (WFDB, EDF) à jouer : son numéro, à partir de 1, ou son nom (par défaut "
                  "le premier).",
        "N|LABEL");
    const QCommandLineOption fullScaleOption(
        "full-scale",
        "Enregistrements seulement : les millivolts qui couvrent toute la plage du DAC, 0 mV au milieu (par défaut 10, "
        "au plus " + QString::number(maxFullScaleMv) + "). Les fichiers CSV sont envoyés tels quels.",
        "MV");
    const QCommandLineOption annotationsOption(
        "annotations",
        "Enregistrements seulement : les annotations montrées sur le tracé, du fichier d'extension EXT à côté d'un "
        "enregistrement WFDB, ou celles d'un fichier EDF+ (par défaut atr ; none : aucune).",
        "EXT");
    const QCommandLineOption playOption(
        "play",
        "Sans fenêtre ni écran : envoie FILE en boucle depuis son premier échantillon jusqu'à SIGINT ou SIGTERM ; "
        "SIGHUP le relit.",
        "FILE");
    const QCommandLineOption listenOption(
        "listen",
        "Commandes SCPI par TCP sur ce port (par défaut de 127.0.0.1 seulement), sans authentification : "
        "quiconque atteint le port commande la sortie.",
        "[ADRESSE:]PORT");
    const QCommandLineOption remoteFilesOption(
        "remote-files",
        "Les dossiers d'où SCPI et MPRIS peuvent choisir un fichier, séparés par : (par défaut les exemples installés "
        "et le dossier du fichier de --play).",
        "DOSSIER[:DOSSIER...]");
    const QCommandLineOption scpiIdleOption(
        "scpi-idle", "Ferme un client SCPI resté muet tant de secondes (par défaut 600), pour libérer sa place.",
        "SECONDES");
    const QCommandLineOption syncGpioOption(
        "sync-gpio",
        "Une impulsion sur cette ligne GPIO juste après la trame de chaque battement annoté (par exemple "
        "gpiochip0:17, la GPIO17 du Pi).",
        "PUCE:LIGNE");
    const QCommandLineOption syncWidthOption(
        "sync-width", "Durée de l'impulsion (par défaut 10), toujours finie avant la trame suivante.", "MS");
    const QCommandLineOption syncOnOption(
        "sync-on",
        "Les trames marquées d'une impulsion : celles des battements (beats, par défaut), la première de chaque "
        "boucle (loop) ou les deux (both).",
        "beats|loop|both");
    const QCommandLineOption beatLogOption(
        "beat-log",
        "Ajoute à FILE une ligne par battement envoyé : temps CLOCK_MONOTONIC et CLOCK_REALTIME en secondes, boucle, "
        "échantillon, étiquette.",
        "FILE");
    parser.addOptions({rateOption, deviceOption, signalOption, fullScaleOption, annotationsOption, syncGpioOption,
                       syncWidthOption, syncOnOption, beatLogOption, playOption, listenOption, remoteFilesOption,
                       scpiIdleOption});
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
        for (const auto &[name, accepted] :
             {std::pair(rateOption, rateAccepted), std::pair(deviceOption, deviceAccepted),
              std::pair(signalOption, signalAccepted), std::pair(fullScaleOption, fullScaleAccepted),
              std::pair(annotationsOption, annotationsAccepted), std::pair(syncGpioOption, syncGpioAccepted),
              std::pair(syncWidthOption, syncWidthAccepted), std::pair(syncOnOption, syncOnAccepted),
              std::pair(beatLogOption, beatLogAccepted),
              std::pair(playOption, playAccepted), std::pair(listenOption, listenAccepted),
              std::pair(remoteFilesOption, remoteFilesAccepted),
              std::pair(scpiIdleOption, scpiIdleAccepted)}) {
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

    // The value that wins once every value given is accepted; otherwise the
    // refusal of the first that is not, in the numbers' form or the texts'.
    const auto check = [&](const QCommandLineOption &option, const QString &accepted, bool numeric,
                           const std::function<bool(const QString &)> &accepts, QString *winner) {
        const QVector<Given> values = given(option);
        for (const Given &value : values) {
            if (accepts(value.value))
                continue;
            return value.source
                   + (numeric || !value.value.isEmpty() ? " : « " + value.value + " » refusé" : " : valeur vide refusée")
                   + " ; attendu : " + accepted;
        }
        if (!values.isEmpty())
            *winner = values.first().value;
        return QString();
    };
    const auto rateAccepts = [](const QString &text) { return bool(numberWithin(text, rateRefusal)); };
    const auto fullScaleAccepts = [](const QString &text) { return bool(numberWithin(text, fullScaleRefusal)); };
    const auto textAccepts = [](const QString &text) { return !text.trimmed().isEmpty(); };
    const auto listenAccepts = [](const QString &text) {
        QHostAddress address;
        quint16 port = 0;
        return listenOn(text.trimmed(), &address, &port);
    };
    const auto annotationsAccepts = [](const QString &text) {
        return QRegularExpression("^[A-Za-z0-9_]+$").match(text).hasMatch();
    };
    const auto syncGpioAccepts = [](const QString &text) {
        GpioLineAddress address;
        QString reason;
        return SyncLine::parse(text.trimmed(), &address, &reason);
    };
    const auto syncWidthAccepts = [](const QString &text) {
        return bool(numberWithin(text, syncWidthRefusal));
    };
    const auto remoteFilesAccepts = [](const QString &text) {
        const QStringList folders = text.split(':', Qt::SkipEmptyParts);
        return !folders.isEmpty() && std::all_of(folders.begin(), folders.end(),
                                                 [](const QString &folder) { return QFileInfo(folder).isDir(); });
    };
    const QStringList syncOnNames{"beats", "loop", "both"};
    const auto syncOnAccepts = [&](const QString &text) { return syncOnNames.contains(text.trimmed()); };
    const auto scpiIdleAccepts = [](const QString &text) {
        bool ok = false;
        const int seconds = text.trimmed().toInt(&ok);
        return ok && seconds >= 1 && seconds <= 86400;
    };
    QString rate;
    QString fullScale;
    QString listen;
    QString scpiIdle;
    QString annotations;
    QString syncGpio;
    QString syncWidth;
    QString syncOn;
    QString remoteFiles;
    for (const QString &refused :
         {check(rateOption, rateAccepted, true, rateAccepts, &rate),
          check(fullScaleOption, fullScaleAccepted, true, fullScaleAccepts, &fullScale),
          check(listenOption, listenAccepted, true, listenAccepts, &listen),
          check(scpiIdleOption, scpiIdleAccepted, true, scpiIdleAccepts, &scpiIdle),
          check(deviceOption, deviceAccepted, false, textAccepts, &commandLine.output.devicePath),
          check(signalOption, signalAccepted, false, textAccepts, &commandLine.output.signal),
          check(annotationsOption, annotationsAccepted, false, annotationsAccepts, &annotations),
          check(syncGpioOption, syncGpioAccepted, false, syncGpioAccepts, &syncGpio),
          check(syncWidthOption, syncWidthAccepted, true, syncWidthAccepts, &syncWidth),
          check(syncOnOption, syncOnAccepted, false, syncOnAccepts, &syncOn),
          check(remoteFilesOption, remoteFilesAccepted, false, remoteFilesAccepts, &remoteFiles),
          check(beatLogOption, beatLogAccepted, false, textAccepts, &commandLine.output.beatLogPath)}) {
        if (!refused.isEmpty())
            return refusal(refused);
    }
    if (!rate.isEmpty())
        commandLine.output.sampleRate = *numberWithin(rate, rateRefusal);
    if (!fullScale.isEmpty())
        commandLine.output.fullScaleMv = *numberWithin(fullScale, fullScaleRefusal);
    if (!listen.isEmpty())
        listenOn(listen.trimmed(), &commandLine.listenAddress, &commandLine.listenPort);
    if (!scpiIdle.isEmpty())
        commandLine.scpiIdleSeconds = scpiIdle.trimmed().toInt();
    if (!annotations.isEmpty())
        commandLine.output.annotator = annotations == "none" ? QString() : annotations;
    commandLine.output.syncLine = syncGpio.trimmed();
    if (!syncWidth.isEmpty())
        commandLine.output.syncWidthMs = *numberWithin(syncWidth, syncWidthRefusal);
    if (!syncOn.isEmpty())
        commandLine.output.syncOn = SyncOn(syncOnNames.indexOf(syncOn.trimmed()));
    commandLine.output.remoteFolders = remoteFiles.split(':', Qt::SkipEmptyParts);
    if (remoteFiles.isEmpty()) {
        commandLine.output.remoteFolders = QStringList{installedSamplesFolder()};
        if (!commandLine.playFile.isEmpty())
            commandLine.output.remoteFolders << QFileInfo(commandLine.playFile).absolutePath();
    }
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

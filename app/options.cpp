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
#include <functional>
#include <list>
#include <utility>
#include <vector>

namespace {

const QString program = QStringLiteral("ecg-simulator");

// Options of QGuiApplication and QApplication, which QApplication takes out of
// the arguments itself: accepted here, and not shown in the help.
const QStringList qtValueOptions{"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
                                 "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                                 "geometry", "style", "stylesheet"};
const QStringList qtFlagOptions{"reverse", "widgetcount"};

// How an option's value is checked and where it goes.
struct Reader
{
    // Stores text in the command line when it is accepted; false otherwise.
    std::function<bool(const QString &text, CommandLine *into)> read;
    // A number's refusal quotes even an empty value; a text's calls it empty.
    bool numeric = false;
    // Bounds of a number, for %min and %max in the option's texts.
    double least = 0;
    double most = 0;
};

template <typename T>
T &at(CommandLine *line, T CommandLine::*field)
{
    return line->*field;
}

template <typename T>
T &at(CommandLine *line, T OutputSettings::*field)
{
    return line->output.*field;
}

// A number that check does not refuse; least and most are its bounds, for the texts.
template <typename Field>
Reader number(Field field, double least, double most, Refusal (*check)(double))
{
    const auto read = [=](const QString &text, CommandLine *into) {
        bool ok = false;
        const double number = text.trimmed().toDouble(&ok);
        if (!ok || check(number))
            return false;
        at(into, field) = number;
        return true;
    };
    return {read, true, least, most};
}

template <typename Field>
Reader wholeNumber(Field field, int least, int most)
{
    const auto read = [=](const QString &text, CommandLine *into) {
        bool ok = false;
        const int number = text.trimmed().toInt(&ok);
        if (!ok || number < least || number > most)
            return false;
        at(into, field) = number;
        return true;
    };
    return {read, true, double(least), double(most)};
}

// Anything but blanks, kept as given.
template <typename Field>
Reader text(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        if (text.trimmed().isEmpty())
            return false;
        at(into, field) = text;
        return true;
    }};
}

// A flag: set by the option alone, or by a settings key of true or false.
template <typename Field>
Reader flag(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        const QString value = text.trimmed().toLower();
        if (!QStringList{"", "true", "1", "yes", "false", "0", "no"}.contains(value))
            return false;
        at(into, field) = !QStringList{"false", "0", "no"}.contains(value);
        return true;
    }};
}

// Existing folders, separated by ':'.
template <typename Field>
Reader folders(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        const QStringList folders = text.split(':');
        if (std::any_of(folders.begin(), folders.end(),
                        [](const QString &folder) { return folder.trimmed().isEmpty() || !QFileInfo(folder).isDir(); }))
            return false;
        at(into, field) = folders;
        return true;
    }};
}

// "[ADDRESS:]PORT" ("[::1]:5025" for IPv6); 127.0.0.1 when no address is given.
Reader listenAddress()
{
    const auto read = [](const QString &given, CommandLine *into) {
        const QString text = given.trimmed();
        const int colon = text.lastIndexOf(':');
        QString host = colon < 0 ? QString() : text.left(colon);
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        const int number = text.mid(colon + 1).toInt(&ok);
        const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
        if (!ok || number < 1 || number > 65535 || address.isNull())
            return false;
        into->listenAddress = address;
        into->listenPort = quint16(number);
        return true;
    };
    return {read, true};
}

Reader annotator()
{
    return {[](const QString &text, CommandLine *into) {
        if (!QRegularExpression("^[A-Za-z0-9_]+$").match(text).hasMatch())
            return false;
        into->output.annotator = text == "none" ? QString() : text;
        return true;
    }};
}

// An annotator's name: letters, digits or _, as WFDB takes them.
template <typename Field>
Reader annotatorName(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        if (!QRegularExpression("^[A-Za-z0-9_]+$").match(text).hasMatch())
            return false;
        at(into, field) = text;
        return true;
    }};
}

// An existing folder.
template <typename Field>
Reader folder(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        if (text.trimmed().isEmpty() || !QFileInfo(text).isDir())
            return false;
        at(into, field) = text;
        return true;
    }};
}

// "CHIP:LINE", kept trimmed.
template <typename Field>
Reader gpioLine(Field field)
{
    return {[=](const QString &text, CommandLine *into) {
        GpioLineAddress address;
        QString reason;
        if (!SyncLine::parse(text.trimmed(), &address, &reason))
            return false;
        at(into, field) = text.trimmed();
        return true;
    }};
}

Reader detectEdge()
{
    return {[](const QString &text, CommandLine *into) {
        QString reason;
        return DetectLine::parseEdge(text.trimmed(), &into->output.detectEdge, &reason);
    }};
}

Reader syncOn()
{
    return {[](const QString &text, CommandLine *into) {
        const int index = QStringList{"beats", "loop", "both"}.indexOf(text.trimmed());
        if (index < 0)
            return false;
        into->output.syncOn = SyncOn(index);
        return true;
    }};
}

struct Option
{
    QString name;
    QString key;
    QString value;
    Reader reader;
    QString accepted;
    QString help;

    QString withBounds(QString text) const
    {
        return text.replace("%min", QString::number(reader.least)).replace("%max", QString::number(reader.most));
    }
};

// optiontable.h's rows, but for the manual's columns, which the build reads.
const std::vector<Option> &options()
{
#define ECG_OPTION(name, key, value, reader, accepted, help, manualValue, manual) \
    {name, key, value, reader, accepted, help},
    static const std::vector<Option> table{
#include "optiontable.h"
    };
#undef ECG_OPTION
    return table;
}

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
    for (const Option &option : options())
        parser.addOption(QCommandLineOption(option.name, option.withBounds(option.help), option.value));
    for (const QString &name : qtValueOptions + qtFlagOptions) {
        QCommandLineOption qtOption(name, QString(), qtValueOptions.contains(name) ? "value" : QString());
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return refusal("option inconnue : " + parser.unknownOptionNames().first() + " (voir --help)");
        // One of this program's options at the end, without its value: say what it takes.
        const QString last = arguments.last();
        for (const Option &option : options()) {
            if (last == "--" + option.name || last == "-" + option.name)
                return refusal(last + " attend une valeur : " + option.withBounds(option.accepted));
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
    CommandLine commandLine;
    for (const Option &option : options()) {
        QVector<std::pair<QString, QString>> given;
        if (parser.isSet(option.name))
            given.append({"--" + option.name, parser.value(option.name)});
        for (const QSettings &file : settings) {
            if (!option.key.isEmpty() && file.contains(option.key))
                given.append({file.fileName() + ", clé " + option.key, settingText(file, option.key)});
        }
        for (const auto &[source, value] : given) {
            CommandLine checked;
            if (option.reader.read(value, &checked))
                continue;
            return refusal(source
                           + (option.reader.numeric || !value.isEmpty() ? " : « " + value + " » refusé"
                                                                        : " : valeur vide refusée")
                           + " ; attendu : " + option.withBounds(option.accepted));
        }
        if (!given.isEmpty())
            option.reader.read(given.first().second, &commandLine);
    }
    if (!commandLine.playFile.isEmpty() && !commandLine.playlistFile.isEmpty())
        return refusal("--play et --playlist s'excluent : l'un ou l'autre");
    if (commandLine.output.remoteFolders.isEmpty()) {
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

#include "scpiserver.h"

#include "playback.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>

namespace {

constexpr int maxClients = 8;
constexpr int maxLineBytes = 4096;
constexpr int maxErrors = 16;

// SCPI's standard texts of the errors that the server queues.
QString errorText(int code)
{
    switch (code) {
    case -102: return "Syntax error";
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -200: return "Execution error";
    case -222: return "Data out of range";
    case -224: return "Illegal parameter value";
    case -256: return "File name not found";
    case -350: return "Queue overflow";
    case -363: return "Input buffer overrun";
    default: return "Command error";
    }
}

// A header node in its short form (the long form's capitals: SOUR) or its
// long form (SOURCE), in any case.
bool matches(const QString &node, const QString &form)
{
    QString shortForm;
    for (QChar c : form) {
        if (!c.isLower())
            shortForm += c;
    }
    const QString upper = node.toUpper();
    return upper == shortForm || upper == form.toUpper();
}

bool matchesPath(const QStringList &nodes, std::initializer_list<const char *> forms)
{
    if (nodes.size() != int(forms.size()))
        return false;
    int i = 0;
    for (const char *form : forms) {
        if (!matches(nodes[i++], form))
            return false;
    }
    return true;
}

// The commands of a line: split at the semicolons outside quoted strings.
QStringList splitCommands(const QString &line)
{
    QStringList commands{QString()};
    QChar quote;
    for (QChar c : line) {
        if (!quote.isNull())
            quote = c == quote ? QChar() : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == ';') {
            commands.append(QString());
            continue;
        }
        commands.last() += c;
    }
    return commands;
}

// A string parameter, quoted ("a b", with "" for a quote) or bare.
QString unquoted(const QString &parameter)
{
    if (parameter.size() >= 2 && (parameter.startsWith('"') || parameter.startsWith('\''))
        && parameter.endsWith(parameter.front())) {
        const QString quote = parameter.front();
        return parameter.mid(1, parameter.size() - 2).replace(quote + quote, quote);
    }
    return parameter;
}

QString quoted(const QString &text)
{
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

} // namespace

ScpiServer::ScpiServer(Playback *playback, const OutputSettings &settings, QObject *parent)
    : QObject(parent), playback(playback), settings(settings)
{
    connect(&server, &QTcpServer::newConnection, this, &ScpiServer::accept);
}

bool ScpiServer::listen(const QHostAddress &address, quint16 port)
{
    if (!server.listen(address, port)) {
        qWarning().noquote() << QString("SCPI : écoute impossible sur %1:%2 : %3")
                                    .arg(address.toString())
                                    .arg(port)
                                    .arg(server.errorString());
        return false;
    }
    qDebug().noquote() << QString("SCPI : à l'écoute sur %1:%2").arg(address.toString()).arg(server.serverPort());
    return true;
}

void ScpiServer::accept()
{
    while (QTcpSocket *client = server.nextPendingConnection()) {
        const QList<QTcpSocket *> clients = findChildren<QTcpSocket *>();
        if (std::count_if(clients.begin(), clients.end(), [](QTcpSocket *other) {
                return other->state() == QAbstractSocket::ConnectedState;
            }) >= maxClients) {
            qWarning().noquote() << QString("SCPI : connexion de %1 refusée, déjà %2 clients")
                                        .arg(client->peerAddress().toString())
                                        .arg(maxClients);
            client->abort();
            client->deleteLater();
            continue;
        }
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readFrom(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

// Whole lines only; a line longer than allowed is dropped up to its end, with
// an error, so that no client can fill the memory.
void ScpiServer::readFrom(QTcpSocket *client)
{
    while (client->canReadLine() || client->bytesAvailable() > maxLineBytes) {
        const QByteArray line = client->readLine(maxLineBytes + 1);
        const bool whole = line.endsWith('\n');
        if (client->property("overrun").toBool() || !whole) {
            if (!client->property("overrun").toBool())
                error(-363);
            client->setProperty("overrun", !whole);
            continue;
        }
        const QString reply = execute(QString::fromUtf8(line).trimmed());
        if (!reply.isEmpty())
            client->write(reply.toUtf8() + '\n');
    }
}

QString ScpiServer::execute(const QString &line)
{
    QStringList replies;
    QStringList base; // where a header that does not start with ':' continues
    for (QString command : splitCommands(line)) {
        command = command.trimmed();
        if (command.isEmpty())
            continue;
        const bool fromRoot = command.startsWith(':');
        if (fromRoot)
            command.remove(0, 1);
        const int space = command.indexOf(QRegularExpression("\\s"));
        QString header = space < 0 ? command : command.left(space);
        const QString parameter = space < 0 ? QString() : command.mid(space + 1).trimmed();
        const bool query = header.endsWith('?');
        if (query)
            header.chop(1);
        const bool common = header.startsWith('*');
        QStringList nodes = header.split(':');
        if (!common && !fromRoot)
            nodes = base + nodes;
        const QString reply = run(nodes, query, parameter);
        if (query && !reply.isNull())
            replies << reply;
        if (!common)
            base = nodes.mid(0, nodes.size() - 1);
    }
    return replies.join(';');
}

// One command: its reply for a query (a null text after an error).
QString ScpiServer::run(const QStringList &nodes, bool query, const QString &parameter)
{
    const QString head = nodes.first().toUpper();
    const bool takesNoParameter = head.startsWith('*') || matchesPath(nodes, {"SYSTem", "ERRor"})
                                  || matchesPath(nodes, {"SYSTem", "ERRor", "NEXT"})
                                  || matchesPath(nodes, {"SYSTem", "VERSion"});
    if (takesNoParameter && !parameter.isEmpty()) {
        error(-108);
        return QString();
    }
    if (nodes.size() == 1 && head == "*IDN" && query)
        return QString("ECG simulator maintainers,ecg-simulator,%1,%2")
            .arg(QSysInfo::machineHostName(), QCoreApplication::applicationVersion());
    if (nodes.size() == 1 && head == "*OPC" && query)
        return "1";
    if (nodes.size() == 1 && head == "*CLS" && !query) {
        errors.clear();
        return QString();
    }
    if (nodes.size() == 1 && head == "*RST" && !query && !playback->ending())
        return reset();
    if ((matchesPath(nodes, {"SYSTem", "ERRor"}) || matchesPath(nodes, {"SYSTem", "ERRor", "NEXT"})) && query)
        return errors.isEmpty() ? QString("0,\"No error\"") : errors.takeFirst();
    if (matchesPath(nodes, {"SYSTem", "VERSion"}) && query)
        return "1999.0";
    if (matchesPath(nodes, {"OUTPut"}) || matchesPath(nodes, {"OUTPut", "STATe"})) {
        if (query)
            return playback->playing() ? "1" : "0";
        const QString state = parameter.toUpper();
        if (state.isEmpty()) {
            error(-109);
            return QString();
        }
        if (state != "ON" && state != "OFF" && state != "1" && state != "0") {
            error(-224);
            return QString();
        }
        playback->setPlaying(state == "ON" || state == "1", errorFor(-200));
        return QString();
    }
    if (playback->ending()) {
        error(-200, "Fin du programme en cours.");
        return QString();
    }
    if (nodes.size() == 2 && matches(nodes[0], "SOURce"))
        return runSource(nodes[1], query, parameter);
    error(-113);
    return QString();
}

QString ScpiServer::runSource(const QString &node, bool query, const QString &parameter)
{
    if (!query && parameter.isEmpty()) {
        error(-109);
        return QString();
    }
    if (query && !parameter.isEmpty()) {
        error(-108);
        return QString();
    }
    bool isNumber = false;
    const double number = parameter.toDouble(&isNumber);
    const auto refuse = [&](const Refusal &refusal) {
        if (refusal)
            error(refusal.kind == Refusal::OutOfRange ? -222 : -200, refusal.explained());
    };
    if (matches(node, "FILE")) {
        if (query)
            return quoted(playback->file());
        playback->choose(unquoted(parameter), settings.signal, Playback::When::AtOnce, errorFor(-200));
    } else if (matches(node, "SIGNal")) {
        if (query)
            return QString::number(playback->signal() + 1);
        if (playback->file().isEmpty())
            error(-224, "Aucun fichier sélectionné.");
        else
            playback->choose(playback->file(), unquoted(parameter), Playback::When::AtOnce, errorFor(-224));
    } else if (matches(node, "RATE")) {
        if (query)
            return QString::number(playback->rate());
        if (matches(parameter, "DEFault"))
            refuse(playback->setDefaultRate());
        else if (!isNumber)
            error(-224);
        else
            refuse(playback->setRate(number));
    } else if (matches(node, "FSCale")) {
        if (query)
            return QString::number(playback->fullScale());
        if (!isNumber)
            error(-224);
        else
            refuse(playback->setFullScale(number));
    } else if (matches(node, "POSition")) {
        if (query)
            return QString::number(playback->position());
        if (!isNumber || number != std::floor(number))
            error(-224);
        else
            refuse(playback->setPosition(qint64(number)));
    } else {
        error(-113);
    }
    return QString();
}

// The output off, from the first sample, at the settings' rate and full scale.
QString ScpiServer::reset()
{
    playback->stop();
    playback->setDefaultRate();
    playback->setFullScale(settings.fullScaleMv);
    errors.clear();
    return QString();
}

// A refusal that comes once a file is read, queued with the code for its kind:
// a path that names no readable file is not found, whatever the reason.
Playback::Done ScpiServer::errorFor(int code)
{
    const QPointer<ScpiServer> server(this);
    return [server, code](const Refusal &refusal) {
        if (!server || !refusal || refusal.kind == Refusal::Cancelled)
            return;
        server->error(refusal.kind == Refusal::NotFound ? -256 : refusal.kind == Refusal::OutOfRange ? -222 : code,
              refusal.explained());
    };
}

// Queued for SYSTem:ERRor?, oldest first; a full queue's last entry becomes
// the overflow. A detail follows the standard text after a semicolon.
void ScpiServer::error(int code, const QString &detail)
{
    const QString entry = QString("%1,%2").arg(code).arg(
        quoted(detail.isEmpty() ? errorText(code) : errorText(code) + ";" + QString(detail).replace('\n', ' ')));
    if (errors.size() < maxErrors - 1)
        errors.append(entry);
    else if (errors.size() == maxErrors - 1)
        errors.append(QString("-350,\"%1\"").arg(errorText(-350)));
}

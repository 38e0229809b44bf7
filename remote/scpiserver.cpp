#include "scpiserver.h"

#include "bounds.h"
#include "playback.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QPair>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

namespace {

// Transport limits.
constexpr int maxClients = 8;
constexpr int maxLineBytes = 4096;
// Answers that a client has not read: past the first, its next lines wait
// until it reads; past the second (one line's answers can be long), it is closed.
constexpr qint64 pauseBytes = 64 * 1024;
constexpr qint64 closeBytes = 1024 * 1024;
// What a socket takes in ahead of the lines served: two lines. Past it the
// client's bytes wait in the system, and TCP holds the client back.
constexpr qint64 readAheadBytes = 2 * (maxLineBytes + 1);

constexpr int maxErrors = 16;

// The status byte's bits and the standard event status register's (IEEE 488.2).
enum StatusBit { errorAvailable = 4, messageAvailable = 16, eventSummary = 32, serviceRequest = 64 };
enum EventBit { operationComplete = 1, queryError = 4, deviceError = 8, executionError = 16, commandError = 32 };

// SCPI's standard texts of the errors that the server queues.
QString errorText(int code)
{
    switch (code) {
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -131: return "Invalid suffix";
    case -200: return "Execution error";
    case -222: return "Data out of range";
    case -224: return "Illegal parameter value";
    case -256: return "File name not found";
    case -257: return "File name error";
    case -350: return "Queue overflow";
    case -363: return "Input buffer overrun";
    default: return "Command error";
    }
}

// The event that an error's class sets: -1xx command, -2xx execution,
// -3xx device-specific, -4xx query errors.
int errorEvent(int code)
{
    switch (-code / 100) {
    case 1: return commandError;
    case 2: return executionError;
    case 3: return deviceError;
    case 4: return queryError; // none over TCP: no read reaches the server, answers wait in the socket
    default: return 0;
    }
}

// 7-bit ASCII, which any client decodes: accents dropped, French quotes as ",
// anything else as '?'.
QString ascii(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (c.unicode() < 128) {
            result += c;
        } else if (c == QChar(0x00AB) || c == QChar(0x00BB)) {
            result += '"';
        } else {
            QString base;
            for (const QChar part : c.decomposition()) {
                if (part.unicode() < 128)
                    base += part;
            }
            result += base.isEmpty() ? QString("?") : base;
        }
    }
    return result;
}

QString decimal(double value)
{
    return QString::number(value, 'g', 12);
}

// What SCPI answers for a value that has none yet.
const QString notANumber = QStringLiteral("9.91E37");

// The last beat sent: its time on CLOCK_REALTIME in seconds (which a rig on
// another machine can set against its own clock), its sample and its label;
// not a number, -1 and "" before the first.
QString lastBeatAnswer(const SentBeat &beat)
{
    if (beat.label == 0)
        return notANumber + ",-1,\"\"";
    return QString("%1,%2,\"%3\"")
        .arg(QString::fromLatin1(secondsText(beat.realtimeNs)))
        .arg(beat.sample)
        .arg(QLatin1Char(beat.label));
}

// A header node in its short form (the long form's capitals: SOUR) or its
// long form (SOURCE), in any case; a form ending in '#' takes the suffix 1.
bool matchesNode(QString node, QString form)
{
    if (form.endsWith('#')) {
        form.chop(1);
        if (node.endsWith('1'))
            node.chop(1);
    }
    QString shortForm;
    for (QChar c : form) {
        if (!c.isLower())
            shortForm += c;
    }
    const QString upper = node.toUpper();
    return upper == shortForm || upper == form.toUpper();
}

// A header against a command's: "[SOURce#]:RATE" is RATE, SOURce:RATE or
// SOURce1:RATE; a node in brackets may be left out.
bool matchesHeader(const QStringList &nodes, int node, const QStringList &forms, int form)
{
    if (form == forms.size())
        return node == nodes.size();
    QString expected = forms[form];
    const bool optional = expected.startsWith('[');
    if (optional)
        expected = expected.mid(1, expected.size() - 2);
    if (node < nodes.size() && matchesNode(nodes[node], expected) && matchesHeader(nodes, node + 1, forms, form + 1))
        return true;
    return optional && matchesHeader(nodes, node, forms, form + 1);
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

// Per-client session: the parser, the error queue, the status registers

// A command as parsed: its header's nodes, whether it asks, and its parameter.
struct ScpiCommand
{
    QStringList nodes;
    bool query = false;
    QString parameter;
};

// What a numeric setting takes: a number in its unit or with a suffix of
// another, or MINimum, MAXimum, DEFault.
struct NumericRange
{
    double least;
    double most;
    double byDefault;
    QList<QPair<QString, double>> units; // suffix, and what one of it is in the setting's unit
};

// One client's side of the conversation, as IEEE 488.2 keeps it per
// interface: its error queue and status registers, and the line in progress.
class ScpiSession
{
public:
    using Dispatch = std::function<QString(ScpiSession &, const ScpiCommand &)>;

    // Takes a line's commands, to run in order.
    void start(const QString &line);
    // Runs the line's commands from where they stopped, until one waits for
    // the program (waiting) or the line ends: then true, with the answers to
    // its queries joined by ';' (empty: none). A query that fails answers
    // nothing and queues its error.
    bool resume(const Dispatch &dispatch, QString *answers);
    // A line is in progress: the client's next lines wait for it.
    bool busy() const { return waiting || !commands.isEmpty(); }
    // A command of the line waits for the program (a file being read): the
    // commands after it run once it is done, as the client sent them.
    bool waiting = false;

    // Queued for SYSTem:ERRor?, oldest first; a full queue's last entry
    // becomes the overflow. A detail follows the standard text after a semicolon.
    void error(int code, const QString &detail = QString());
    QString nextError();
    QString allErrors();
    int errorCount() const { return errors.size(); }

    int statusByte() const;
    int takeEvents();
    void setEvent(int bit) { events |= bit; }
    // *CLS: the error queue and the events.
    void clear();
    int eventEnable = 0;
    int serviceRequestEnable = 0;

    // *ESE and *SRE: an enable register set, or its value.
    QString enable(const ScpiCommand &command, int *enableRegister);

    // A setting's number, or nothing after queueing why it is refused.
    std::optional<double> number(const QString &parameter, const NumericRange &range);
    // A query's answer: the value, or the bound or default that its argument names.
    QString numberQuery(const QString &parameter, double value, const NumericRange &range);

private:
    std::optional<double> keyword(const QString &parameter, const NumericRange &range) const;

    QStringList errors;
    int events = 0;
    // The commands of the line in progress not run yet, where a header that
    // does not start with ':' continues, and the answers not sent yet.
    QStringList commands;
    QStringList base;
    QStringList replies;
    int replyBytes = 0;
};

void ScpiSession::start(const QString &line)
{
    commands = splitCommands(line);
    base.clear();
    replies.clear();
    replyBytes = 0;
}

bool ScpiSession::resume(const Dispatch &dispatch, QString *answers)
{
    while (!commands.isEmpty() && !waiting) {
        QString text = commands.takeFirst().trimmed();
        if (text.isEmpty())
            continue;
        const bool fromRoot = text.startsWith(':');
        if (fromRoot)
            text.remove(0, 1);
        static const QRegularExpression blank("\\s");
        const int space = text.indexOf(blank);
        ScpiCommand command;
        QString header = space < 0 ? text : text.left(space);
        command.parameter = space < 0 ? QString() : text.mid(space + 1).trimmed();
        command.query = header.endsWith('?');
        if (command.query)
            header.chop(1);
        const bool common = header.startsWith('*');
        command.nodes = header.split(':');
        if (!common && !fromRoot)
            command.nodes = base + command.nodes;
        const QString reply = dispatch(*this, command);
        if (command.query && !reply.isNull()) {
            replies << reply;
            replyBytes += reply.size() + 1;
        }
        if (!common)
            base = command.nodes.mid(0, command.nodes.size() - 1);
        // Past what the client may leave unread, the rest is not run: it is closed.
        if (replyBytes > closeBytes)
            commands.clear();
    }
    if (waiting)
        return false;
    *answers = replies.join(';');
    replies.clear();
    return true;
}

void ScpiSession::error(int code, const QString &detail)
{
    setEvent(errorEvent(code));
    const QString text =
        detail.isEmpty() ? errorText(code) : errorText(code) + ";" + QString(detail).replace('\n', ' ');
    if (errors.size() < maxErrors - 1)
        errors.append(QString("%1,%2").arg(code).arg(quoted(ascii(text))));
    else if (errors.size() == maxErrors - 1)
        errors.append(QString("-350,%1").arg(quoted(errorText(-350))));
}

QString ScpiSession::nextError()
{
    return errors.isEmpty() ? QString("0,\"No error\"") : errors.takeFirst();
}

QString ScpiSession::allErrors()
{
    const QString all = errors.isEmpty() ? nextError() : errors.join(',');
    errors.clear();
    return all;
}

// The summary bits; the service request bit is set when an enabled one is.
int ScpiSession::statusByte() const
{
    int status = (errors.isEmpty() ? 0 : errorAvailable) | (replies.isEmpty() ? 0 : messageAvailable)
                 | ((events & eventEnable) ? eventSummary : 0);
    if (status & serviceRequestEnable & ~serviceRequest)
        status |= serviceRequest;
    return status;
}

int ScpiSession::takeEvents()
{
    const int taken = events;
    events = 0;
    return taken;
}

void ScpiSession::clear()
{
    errors.clear();
    events = 0;
}

QString ScpiSession::enable(const ScpiCommand &command, int *enableRegister)
{
    if (command.query)
        return decimal(*enableRegister);
    if (const std::optional<double> value = number(command.parameter, {0, 255, 0, {}}))
        *enableRegister = int(std::lround(*value));
    return QString();
}

std::optional<double> ScpiSession::keyword(const QString &parameter, const NumericRange &range) const
{
    if (matchesNode(parameter, "MINimum"))
        return range.least;
    if (matchesNode(parameter, "MAXimum"))
        return range.most;
    if (matchesNode(parameter, "DEFault"))
        return range.byDefault;
    return std::nullopt;
}

std::optional<double> ScpiSession::number(const QString &parameter, const NumericRange &range)
{
    if (const std::optional<double> named = keyword(parameter, range))
        return named;
    static const QRegularExpression numberAndSuffix(
        "^([+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?)\\s*([A-Za-z]*)$");
    const QRegularExpressionMatch match = numberAndSuffix.match(parameter);
    if (!match.hasMatch()) {
        error(-224);
        return std::nullopt;
    }
    double value = match.captured(1).toDouble();
    const QString suffix = match.captured(2).toUpper();
    if (!suffix.isEmpty()) {
        const auto unit = std::find_if(range.units.begin(), range.units.end(),
                                       [&](const QPair<QString, double> &known) { return known.first == suffix; });
        if (unit == range.units.end()) {
            error(-131);
            return std::nullopt;
        }
        value *= unit->second;
    }
    if (!std::isfinite(value) || value < range.least || value > range.most) {
        error(-222);
        return std::nullopt;
    }
    return value;
}

QString ScpiSession::numberQuery(const QString &parameter, double value, const NumericRange &range)
{
    if (parameter.isEmpty())
        return decimal(value);
    if (const std::optional<double> named = keyword(parameter, range))
        return decimal(*named);
    error(-224);
    return QString();
}

// Transport: the server, its clients, their limits

struct ScpiServer::Client : QObject
{
    Client(QTcpSocket *socket, QObject *parent)
        : QObject(parent), socket(socket), peer(socket->peerAddress().toString())
    {
        socket->setParent(this);
    }

    QTcpSocket *const socket;
    const QString peer;
    ScpiSession session;
    QTimer idle;
    // Bytes read past the last line end, and whether the line that goes on
    // is longer than allowed and dropped up to its end.
    QByteArray pending;
    bool overrun = false;
};

ScpiServer::ScpiServer(Playback *playback, const OutputSettings &settings, QObject *parent)
    : QObject(parent), playback(playback), settings(settings)
{
    connect(&server, &QTcpServer::newConnection, this, &ScpiServer::accept);
}

bool ScpiServer::listen(const QHostAddress &address, quint16 port, int idleSeconds)
{
    idleMs = idleSeconds * 1000;
    if (!server.listen(address, port)) {
        qWarning().noquote() << QString("SCPI : écoute impossible sur %1:%2 : %3")
                                    .arg(address.toString())
                                    .arg(port)
                                    .arg(server.errorString());
        return false;
    }
    qDebug().noquote() << QString("SCPI : à l'écoute sur %1:%2").arg(address.toString()).arg(server.serverPort());
    if (!address.isLoopback())
        qWarning().noquote() << QString("SCPI : %1 est joignable hors de cette machine ; quiconque l'atteint "
                                        "commande la sortie et choisit les fichiers lus")
                                    .arg(address.toString());
    return true;
}

void ScpiServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        if (clients.size() >= maxClients) {
            qWarning().noquote() << QString("SCPI : connexion de %1 refusée, déjà %2 clients")
                                        .arg(socket->peerAddress().toString())
                                        .arg(maxClients);
            // Nothing to send: closed at once, and the client reads the end
            // of the stream rather than a reset.
            socket->disconnectFromHost();
            socket->deleteLater();
            continue;
        }
        auto *client = new Client(socket, this);
        socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        socket->setReadBufferSize(readAheadBytes);
        clients.append(client);
        client->idle.setSingleShot(true);
        client->idle.setInterval(idleMs);
        client->idle.start();
        connect(&client->idle, &QTimer::timeout, client,
                [this, client] { close(client, QString("inactif depuis %1 s").arg(idleMs / 1000)); });
        // Lines come in, or go on as the client reads answers that held them back.
        const auto active = [this, client] {
            client->idle.start();
            serve(client);
        };
        connect(socket, &QTcpSocket::readyRead, client, active);
        connect(socket, &QTcpSocket::bytesWritten, client, active);
        connect(socket, &QTcpSocket::disconnected, client, [this, client] {
            clients.removeOne(client);
            client->deleteLater();
        });
    }
}

// Whole lines, while the client reads its answers; a line longer than allowed
// is dropped up to its end, with an error.
void ScpiServer::serve(Client *client)
{
    QTcpSocket *socket = client->socket;
    const auto dispatch = [this](ScpiSession &session, const ScpiCommand &command) { return run(session, command); };
    while (socket->bytesToWrite() <= pauseBytes && socket->state() == QAbstractSocket::ConnectedState) {
        ScpiSession &session = client->session;
        if (session.busy()) {
            QString answers;
            if (!session.resume(dispatch, &answers))
                return;
            if (!answers.isEmpty())
                socket->write(answers.toUtf8() + '\n');
            if (socket->bytesToWrite() > closeBytes) {
                close(client, "plus de 1 Mo de réponses non lues");
                return;
            }
            continue;
        }
        const int end = client->pending.indexOf('\n');
        if (end < 0) {
            if (client->pending.size() > maxLineBytes) {
                if (!client->overrun)
                    session.error(-363);
                client->overrun = true;
                client->pending.clear();
            }
            // Reading empties the socket's buffer, which takes in more.
            const QByteArray more = socket->readAll();
            if (more.isEmpty())
                return;
            client->pending += more;
            continue;
        }
        const QByteArray line = client->pending.left(end);
        client->pending.remove(0, end + 1);
        if (client->overrun || line.size() > maxLineBytes) {
            if (!client->overrun)
                session.error(-363);
            client->overrun = false;
            continue;
        }
        session.start(QString::fromUtf8(line).trimmed());
    }
}

// With a log line; at once when answers wait that the client does not read.
void ScpiServer::close(Client *client, const QString &reason)
{
    qWarning().noquote() << QString("SCPI : client %1 fermé, %2").arg(client->peer, reason);
    if (client->socket->bytesToWrite() > 0)
        client->socket->abort();
    else
        client->socket->disconnectFromHost();
}

// The command table: each command's header, its forms, its handler

QString ScpiServer::run(ScpiSession &session, const ScpiCommand &command)
{
    enum Form { setting = 1, query = 2, settingWithValue = 4, queryArgument = 8 };
    using Handler = QString (*)(ScpiServer &, ScpiSession &, const ScpiCommand &);
    struct Entry
    {
        const char *header;
        int forms;
        Handler handler;
    };
    static const QString identity =
        "ECG simulator maintainers,ecg-simulator,0," + ascii(QCoreApplication::applicationVersion());
    static const Entry table[]{
        {"*CLS", setting,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &) {
             s.clear();
             return QString();
         }},
        {"*ESE", setting | settingWithValue | query,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &c) { return s.enable(c, &s.eventEnable); }},
        {"*ESR", query, [](ScpiServer &, ScpiSession &s, const ScpiCommand &) { return decimal(s.takeEvents()); }},
        {"*IDN", query, [](ScpiServer &, ScpiSession &, const ScpiCommand &) { return identity; }},
        {"*OPC", setting | query,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &c) {
             if (!c.query)
                 s.setEvent(operationComplete);
             return c.query ? QString("1") : QString();
         }},
        {"*RST", setting, [](ScpiServer &p, ScpiSession &s, const ScpiCommand &) { return p.reset(s); }},
        {"*SRE", setting | settingWithValue | query,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &c) { return s.enable(c, &s.serviceRequestEnable); }},
        {"*STB", query, [](ScpiServer &, ScpiSession &s, const ScpiCommand &) { return decimal(s.statusByte()); }},
        {"*TST", query, [](ScpiServer &, ScpiSession &, const ScpiCommand &) { return QString("0"); }},
        {"*WAI", setting, [](ScpiServer &, ScpiSession &, const ScpiCommand &) { return QString(); }},
        {"SYSTem:ERRor:[NEXT]", query,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &) { return s.nextError(); }},
        {"SYSTem:ERRor:COUNt", query,
         [](ScpiServer &, ScpiSession &s, const ScpiCommand &) { return decimal(s.errorCount()); }},
        {"SYSTem:ERRor:ALL", query, [](ScpiServer &, ScpiSession &s, const ScpiCommand &) { return s.allErrors(); }},
        {"SYSTem:VERSion", query, [](ScpiServer &, ScpiSession &, const ScpiCommand &) { return QString("1999.0"); }},
        {"OUTPut#:[STATe]", setting | settingWithValue | query,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.output(s, c); }},
        {"[SOURce#]:FILE", setting | settingWithValue | query,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.file(s, c); }},
        {"[SOURce#]:SIGNal", setting | settingWithValue | query,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.signal(s, c); }},
        {"[SOURce#]:RATE", setting | settingWithValue | query | queryArgument,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.rate(s, c); }},
        {"[SOURce#]:FSCale", setting | settingWithValue | query | queryArgument,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.fullScale(s, c); }},
        {"[SOURce#]:POSition", setting | settingWithValue | query | queryArgument,
         [](ScpiServer &p, ScpiSession &s, const ScpiCommand &c) { return p.position(s, c); }},
        {"[SOURce#]:BEAT:COUNt", query,
         [](ScpiServer &p, ScpiSession &, const ScpiCommand &) { return decimal(double(p.playback->beatCount())); }},
        {"[SOURce#]:BEAT:LAST", query,
         [](ScpiServer &p, ScpiSession &, const ScpiCommand &) { return lastBeatAnswer(p.playback->lastBeat()); }},
        {"[SOURce#]:BEAT:RATE", query,
         [](ScpiServer &p, ScpiSession &, const ScpiCommand &) {
             const double perMinute = p.playback->heartRate();
             return perMinute > 0 ? QString::number(perMinute, 'f', 1) : notANumber;
         }},
    };
    for (const Entry &entry : table) {
        if (!matchesHeader(command.nodes, 0, QString(entry.header).split(':'), 0))
            continue;
        const bool takesValue = entry.forms & (command.query ? queryArgument : settingWithValue);
        if (!(entry.forms & (command.query ? query : setting)))
            session.error(-113);
        else if (!takesValue && !command.parameter.isEmpty())
            session.error(-108);
        else if (!command.query && takesValue && command.parameter.isEmpty())
            session.error(-109);
        else
            return entry.handler(*this, session, command);
        return QString();
    }
    session.error(-113);
    return QString();
}

// The commands that act on the program. Each queues its refusal and answers
// a query's value, or a null text.

// The error code of a refusal: a path that names no readable file is not
// found, a value beyond its bounds out of range, others the command's own.
static int errorCode(const Refusal &refusal, int otherwise)
{
    switch (refusal.kind) {
    case Refusal::NotFound: return -256;
    case Refusal::OutOfRange: return -222;
    case Refusal::NoSuchSignal: return -224;
    case Refusal::Outside: return -257;
    default: return otherwise;
    }
}

void ScpiServer::refuse(ScpiSession &session, const Refusal &refusal, int otherwise)
{
    if (refusal)
        session.error(errorCode(refusal, otherwise), refusal.kind == Refusal::NotFound ? QString() : refusal.explained());
}

// A command that may wait for a file to be read: the client's next commands
// wait with it, and its refusal is queued when it comes.
Playback::Done ScpiServer::whenDone(ScpiSession &session, int otherwise)
{
    const auto found = std::find_if(clients.begin(), clients.end(),
                                    [&](const Client *client) { return &client->session == &session; });
    const QPointer<Client> client = found == clients.end() ? nullptr : *found;
    session.waiting = true;
    return [this, client, otherwise](const Refusal &refusal) {
        if (!client)
            return;
        client->session.waiting = false;
        refuse(client->session, refusal, otherwise);
        QMetaObject::invokeMethod(
            client, [this, client] { serve(client); }, Qt::QueuedConnection);
    };
}

bool ScpiServer::ending(ScpiSession &session)
{
    if (playback->ending())
        refuse(session, Refusal::ending(), -200);
    return playback->ending();
}

QString ScpiServer::output(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return playback->playing() ? "1" : "0";
    const QString state = command.parameter.toUpper();
    if (state != "ON" && state != "OFF" && state != "1" && state != "0") {
        session.error(-224);
        return QString();
    }
    playback->setPlaying(state == "ON" || state == "1", whenDone(session, -200));
    return QString();
}

QString ScpiServer::file(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return quoted(playback->file());
    playback->chooseFromAfar(unquoted(command.parameter), whenDone(session, -200));
    return QString();
}

QString ScpiServer::signal(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return decimal(playback->signal() + 1);
    if (playback->file().isEmpty())
        refuse(session, Refusal::noFile(), -224);
    else
        playback->choose(playback->file(), unquoted(command.parameter), Playback::When::AtOnce, whenDone(session, -224));
    return QString();
}

QString ScpiServer::rate(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{minSampleRate, maxSampleRate, playback->defaultRate(), {{"HZ", 1}, {"KHZ", 1000}}};
    if (command.query)
        return session.numberQuery(command.parameter, playback->rate(), range);
    // The default is no rate over the files' own, not the number it comes to now.
    if (matchesNode(command.parameter, "DEFault"))
        refuse(session, playback->setDefaultRate(), -200);
    else if (const std::optional<double> rate = session.number(command.parameter, range))
        refuse(session, playback->setRate(*rate), -200);
    return QString();
}

QString ScpiServer::fullScale(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{minFullScaleMv, maxFullScaleMv, settings.fullScaleMv,
                             {{"UV", 0.001}, {"MV", 1}, {"V", 1000}}};
    if (command.query)
        return session.numberQuery(command.parameter, playback->fullScale(), range);
    if (const std::optional<double> fullScale = session.number(command.parameter, range))
        refuse(session, playback->setFullScale(*fullScale), -200);
    return QString();
}

QString ScpiServer::position(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{0, double(playback->length() - 1), 0, {}};
    if (command.query)
        return session.numberQuery(command.parameter, double(playback->position()), range);
    if (const std::optional<double> position = session.number(command.parameter, range)) {
        if (*position != std::floor(*position))
            session.error(-224);
        else
            refuse(session, playback->setPosition(qint64(*position)), -200);
    }
    return QString();
}

// The output off, from the first sample, at the settings' rate and full
// scale; the client's status and error queue stay.
QString ScpiServer::reset(ScpiSession &session)
{
    if (ending(session))
        return QString();
    playback->stop();
    refuse(session, playback->setDefaultRate(), -200);
    playback->setFullScale(settings.fullScaleMv);
    return QString();
}

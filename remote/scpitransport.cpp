#include "scpitransport.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

#include <poll.h>

namespace {

constexpr int maxClients = 8;
constexpr int maxLineBytes = 4096;
// Answers that a client has not read: past the first, its next lines wait
// until it reads; past the second (one line's answers can be long), it is closed.
constexpr qint64 pauseBytes = 64 * 1024;
constexpr qint64 closeBytes = ScpiSession::maxAnswerBytes;
// What a socket takes in ahead of the lines served: two lines. Past it the
// client's bytes wait in the system, and TCP holds the client back.
constexpr qint64 readAheadBytes = 2 * (maxLineBytes + 1);

// The peer closed, though the socket may not have read that end yet: new
// connections are taken in before the ends of older ones are read, and a
// client held by a file read takes in nothing.
bool peerClosed(const QTcpSocket *socket)
{
    pollfd end{int(socket->socketDescriptor()), POLLRDHUP, 0};
    return ::poll(&end, 1, 0) > 0 && (end.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// At once when answers wait that the client does not read.
void shut(QTcpSocket *socket)
{
    if (socket->bytesToWrite() > 0)
        socket->abort();
    else
        socket->disconnectFromHost();
}

} // namespace

struct ScpiTransport::Client : QObject
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

ScpiTransport::ScpiTransport(ScpiSession::Dispatch dispatch, QObject *parent)
    : QObject(parent), dispatch(std::move(dispatch))
{
    connect(&server, &QTcpServer::newConnection, this, &ScpiTransport::accept);
}

bool ScpiTransport::listen(const QHostAddress &address, quint16 port, int idleSeconds)
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

void ScpiTransport::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        // Those whose peer closed make room first.
        if (clients.size() >= maxClients) {
            for (Client *client : QList<Client *>(clients)) {
                if (peerClosed(client->socket))
                    drop(client);
            }
        }
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
        // Its held command done, later, from the program.
        connect(&client->session, &ScpiSession::released, client, [this, client] { serve(client); },
                Qt::QueuedConnection);
        connect(socket, &QTcpSocket::disconnected, client, [this, client] { drop(client); });
    }
}

// Whole lines, while the client reads its answers; a line longer than allowed
// is dropped up to its end, with an error.
void ScpiTransport::serve(Client *client)
{
    QTcpSocket *socket = client->socket;
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

void ScpiTransport::close(Client *client, const QString &reason)
{
    qWarning().noquote() << QString("SCPI : client %1 fermé, %2").arg(client->peer, reason);
    shut(client->socket);
}

// Gone or going: no longer counted, even while a command of its line waits
// for a file, which then finds it gone. Its answers go out as far as the
// system takes them; the rest of its line is dropped.
void ScpiTransport::drop(Client *client)
{
    if (!clients.removeOne(client))
        return;
    client->socket->flush();
    shut(client->socket);
    client->deleteLater();
}

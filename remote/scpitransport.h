#ifndef SCPITRANSPORT_H
#define SCPITRANSPORT_H

#include "scpisession.h"

#include <QList>
#include <QObject>
#include <QTcpServer>

// SCPI's lines over TCP: the clients, their limits, their lines, each client
// with its own session. A client's line waits while its session holds a
// command, and while answers wait that the client does not read. A client
// whose peer closed no longer counts.
class ScpiTransport : public QObject
{
    Q_OBJECT

public:
    explicit ScpiTransport(ScpiSession::Dispatch dispatch, QObject *parent = nullptr);

    // Listens (on any free port for 0), closing a client silent for
    // idleSeconds; false, and a log line, when it cannot.
    bool listen(const QHostAddress &address, quint16 port, int idleSeconds);
    quint16 port() const { return server.serverPort(); }

private:
    struct Client;

    void accept();
    void serve(Client *client);
    void close(Client *client, const QString &reason);
    void drop(Client *client);

    const ScpiSession::Dispatch dispatch;
    QTcpServer server;
    int idleMs = 0;
    QList<Client *> clients;
};

#endif // SCPITRANSPORT_H

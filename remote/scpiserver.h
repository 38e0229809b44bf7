#ifndef SCPISERVER_H
#define SCPISERVER_H

#include "outputsettings.h"
#include "playback.h"

#include <QObject>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;
class ScpiSession;
struct ScpiCommand;

// SCPI over TCP, as lab instruments answer it (port 5025): lines of commands
// separated by ';', short or long headers in any case, optional nodes left
// out, queries ending in '?'. Each client has its own IEEE 488.2 status and
// error queue. It drives the playback, so a remote command has the window's or
// the headless mode's effect and checks; a client's command that reads a file
// holds its next ones until the file is read, while other clients go on.
// No authentication: whoever reaches the port controls the output and
// chooses the files read.
class ScpiServer : public QObject
{
    Q_OBJECT

public:
    ScpiServer(Playback *playback, const OutputSettings &settings, QObject *parent = nullptr);

    // Listens (on any free port for 0), closing a client silent for
    // idleSeconds; false, and a log line, when it cannot.
    bool listen(const QHostAddress &address, quint16 port, int idleSeconds);
    quint16 port() const { return server.serverPort(); }

private:
    struct Client;

    // Transport: the clients, their limits, their lines.
    void accept();
    void serve(Client *client);
    void close(Client *client, const QString &reason);

    // The command table: a command's checks, then its handler.
    QString run(ScpiSession &session, const ScpiCommand &command);

    // The commands that act on the program: the only calls into it.
    QString output(ScpiSession &session, const ScpiCommand &command);
    QString file(ScpiSession &session, const ScpiCommand &command);
    QString signal(ScpiSession &session, const ScpiCommand &command);
    QString rate(ScpiSession &session, const ScpiCommand &command);
    QString fullScale(ScpiSession &session, const ScpiCommand &command);
    QString position(ScpiSession &session, const ScpiCommand &command);
    QString reset(ScpiSession &session);
    bool ending(ScpiSession &session);
    void refuse(ScpiSession &session, const Refusal &refusal, int otherwise);
    Playback::Done whenDone(ScpiSession &session, int otherwise);

    Playback *const playback;
    const OutputSettings settings;
    QTcpServer server;
    int idleMs = 0;
    QList<Client *> clients;
};

#endif // SCPISERVER_H

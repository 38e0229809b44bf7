#ifndef SCPISERVER_H
#define SCPISERVER_H

#include "scpicommands.h"
#include "scpitransport.h"

#include <QObject>

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
    quint16 port() const { return transport.port(); }

private:
    ScpiCommands commands;
    ScpiTransport transport;
};

#endif // SCPISERVER_H

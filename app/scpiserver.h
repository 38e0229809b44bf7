#ifndef SCPISERVER_H
#define SCPISERVER_H

#include "outputsettings.h"
#include "playback.h"

#include <QObject>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// SCPI over TCP, as lab instruments answer it (port 5025): lines of commands
// separated by ';', short or long headers in any case, queries ending in '?',
// errors queued for SYSTem:ERRor?. It drives the playback, so a remote command
// has the window's or the headless mode's effect and checks.
// No authentication: whoever reaches the port controls the output.
class ScpiServer : public QObject
{
    Q_OBJECT

public:
    ScpiServer(Playback *playback, const OutputSettings &settings, QObject *parent = nullptr);

    // Listens (on any free port for 0); false, and a log line, when it cannot.
    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return server.serverPort(); }

private:
    void accept();
    void readFrom(QTcpSocket *client);
    QString execute(const QString &line);
    QString run(const QStringList &nodes, bool query, const QString &parameter);
    QString runSource(const QString &node, bool query, const QString &parameter);
    QString reset();
    Playback::Done errorFor(int code);
    void error(int code, const QString &detail = QString());

    Playback *const playback;
    const OutputSettings settings;
    QTcpServer server;
    QStringList errors;
};

#endif // SCPISERVER_H

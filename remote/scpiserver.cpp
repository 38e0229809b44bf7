#include "scpiserver.h"

ScpiServer::ScpiServer(Playback *playback, const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      commands(playback, settings),
      transport([this](ScpiSession &session, const ScpiCommand &command) { return commands.run(session, command); })
{
}

bool ScpiServer::listen(const QHostAddress &address, quint16 port, int idleSeconds)
{
    return transport.listen(address, port, idleSeconds);
}

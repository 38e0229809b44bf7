#ifndef SCPICOMMANDS_H
#define SCPICOMMANDS_H

#include "outputsettings.h"
#include "playback.h"
#include "scpisession.h"

// The command table and the commands that act on the program: the only
// calls into it. A remote command has the window's or the headless mode's
// effect and checks.
class ScpiCommands
{
public:
    ScpiCommands(Playback *playback, const OutputSettings &settings);

    // A command's checks against its table entry, then its handler: a
    // query's answer, or a null text with the error queued.
    QString run(ScpiSession &session, const ScpiCommand &command);

private:
    QString output(ScpiSession &session, const ScpiCommand &command);
    QString file(ScpiSession &session, const ScpiCommand &command);
    QString signal(ScpiSession &session, const ScpiCommand &command);
    QString playlist(ScpiSession &session, const ScpiCommand &command);
    QString rate(ScpiSession &session, const ScpiCommand &command);
    QString fullScale(ScpiSession &session, const ScpiCommand &command);
    QString position(ScpiSession &session, const ScpiCommand &command);
    QString reset(ScpiSession &session);
    bool ending(ScpiSession &session);

    Playback *const playback;
    const OutputSettings settings;
};

#endif // SCPICOMMANDS_H

#ifndef OPTIONS_H
#define OPTIONS_H

#include "outputsettings.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

// What the program is asked to do by its command line and settings files.
struct CommandLine
{
    OutputSettings output;
    // Without a window: stream this file until SIGINT or SIGTERM.
    QString playFile;
    // Without a window: play each record of this list once, in turn, then end.
    QString playlistFile;
    // SCPI over TCP on this address and port; port 0: none.
    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 listenPort = 0;
    // A SCPI client silent this long is closed, freeing its place.
    int scpiIdleSeconds = 600;
    // Run when negative; otherwise exit at once with this status, after
    // printing text (on standard output for 0, standard error otherwise).
    int exitStatus = -1;
    QString text;
};

// Reads arguments (the program's name first, Qt's own options allowed), then
// the keys that the command line leaves unset from the settings files in
// order, the first that has a key winning. A value that is not accepted, from
// wherever it comes, makes a one-line refusal with status 2.
CommandLine readCommandLine(const QStringList &arguments, const QStringList &settingsFiles);

// The user's settings file, then the system's (INI format).
QStringList defaultSettingsFiles();

#endif // OPTIONS_H

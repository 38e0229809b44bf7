#ifndef PLAYER_H
#define PLAYER_H

#include "controls.h"
#include "playback.h"

#include <QObject>
#include <QString>

#include <csignal>

class UnixSignals;

// Streams one file without a window, from its first sample and cyclically,
// until SIGINT or SIGTERM; SIGHUP re-reads the file, and the output goes on at
// the same position modulo its new length. Played once (--once), it ends at
// the file's end; a playlist plays each of its records once, then ends.
class Player : public QObject, public Controls
{
    Q_OBJECT

public:
    // Catches the signals at once: one that comes while the file is read
    // takes effect when the event loop runs.
    enum class Source { File, Playlist };
    Player(const OutputSettings &settings, const QString &path, Source source = Source::File);
    ~Player() override;

    // Runs the event loop of the application object that exists; the exit status.
    int exec();

    Playback *playback() { return &model; }
    void quit() override { onSignal(SIGTERM); }
    bool hasWindow() const override { return false; }
    void raiseWindow() override {}

private:
    void onSignal(int number);
    void playFile();
    void playList();
    // Ends once the monitor's detections of what played are scored.
    void endWhenScored();
    void reportHealth();

    const QString path;
    const Source source;
    const OutputSettings settings;
    Playback model;
    UnixSignals *unixSignals;
};

#endif // PLAYER_H

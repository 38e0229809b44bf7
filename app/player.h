#ifndef PLAYER_H
#define PLAYER_H

#include "controls.h"
#include "outputsettings.h"

#include <QObject>
#include <QString>

#include <csignal>

class OutputRunner;
class UnixSignals;

// Exit statuses of the headless mode, beside 0 (stopped by SIGINT or SIGTERM)
// and 2 (an option refused).
enum PlayStatus {
    sampleFileRefused = 3, // missing, unreadable, refused (a record's header, its rate, no such signal)
    noSample = 4,          // not a single sample in it
    dacRefused = 5,        // the device cannot be opened or set up
    stopForced = 6,        // a second SIGINT or SIGTERM, or the output did not stop in time
};

// Streams one sample file without a window, from its first sample and
// cyclically, until SIGINT or SIGTERM; SIGHUP re-reads the file, and the
// output goes on at the same position modulo its new length.
class Player : public QObject, public Controls
{
    Q_OBJECT

public:
    // Catches the signals at once: one that comes while the file is read
    // takes effect when the output starts.
    Player(const OutputSettings &settings, const QString &path);
    ~Player() override;

    // Runs the event loop of the application object that exists; the exit status.
    int exec();

    AppWorker *worker() const override;
    QString file() const override { return path; }
    int signal() const override { return fileSignal; }
    bool playing() const override { return outputOn; }
    QString choose(const QString &path, const QString &signalSelector) override;
    QString setPlaying(bool on) override;
    void quit() override { onSignal(SIGTERM); }
    bool hasWindow() const override { return false; }
    void raiseWindow() override {}

private:
    void onSignal(int number);
    [[noreturn]] static void forceStop(const char *reason);

    QString path;
    const OutputSettings settings;
    int fileSignal = 0;
    bool outputOn = true;
    OutputRunner *output;
    UnixSignals *unixSignals;
    bool stopping = false;
};

#endif // PLAYER_H

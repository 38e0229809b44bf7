#ifndef PLAYBACK_H
#define PLAYBACK_H

#include "annotations.h"
#include "appworker.h"
#include "loadsignal.h"
#include "outputhealth.h"
#include "outputplan.h"
#include "outputsettings.h"
#include "playstate.h"
#include "refusal.h"
#include "samplelist.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class DetectionScorer;
class Envelope;
class FileLoader;
class OutputRunner;
class PlaylistRun;

// Exit statuses of the headless mode, beside 0 (stopped by SIGINT or SIGTERM);
// the window's too when its output cannot stop.
enum PlayStatus {
    optionRefused = 2,     // an option's value, or the sync line or beat log it asks for
    sampleFileRefused = 3, // missing, unreadable, refused (a record's header, its rate, no such signal)
    noSample = 4,          // not a single sample in it
    dacRefused = 5,        // the device cannot be opened or set up
    stopForced = 6,        // a second SIGINT or SIGTERM, or the output did not stop in time
};

// What plays and how: the chosen file and signal, the rate, the full scale,
// the state and the read position. The window, the headless mode, SCPI, MPRIS
// and the Unix signals all drive the output through this one object, in the
// main thread; it alone steers the worker and the loader, makes the checks,
// and says every change with changed().
class Playback : public QObject
{
    Q_OBJECT

public:
    // Called once a command has been carried out, or refused; at once when
    // nothing has to be read first, else when the read ends.
    using Done = std::function<void(const Refusal &)>;
    // Called with a file's signals and the one proposed (from 0), or why it cannot be read.
    using Listed = std::function<void(const Refusal &, const QVector<SignalInfo> &, int proposed)>;
    enum class When { AtNextStart, AtOnce };

    explicit Playback(const OutputSettings &settings, QObject *parent = nullptr);
    ~Playback() override;

    // What start does when the sync line or the beat log cannot be set up.
    enum class Unmarked { StartAnyway, DoNotStart };
    // Starts the output thread, which opens the DAC, with the sync line, the
    // beat log and the detection line asked for. One that cannot be set up is
    // refused, and so is a chosen record without the beats they need; the
    // output starts without them or not at all.
    Refusal start(Unmarked unmarked);
    // Why what is asked of the beats (pulses, the beat log, scoring) cannot be
    // done with the record that goes out, or would at the next start: it has
    // no beat annotations. None when nothing asks for them, or it has some.
    Refusal beatsMissing() const;
    // The monitor's detections placed and scored; null without a detection
    // line, and why when the one asked for could not be had.
    const DetectionScorer *detections() const { return detector; }
    QString detectionFailure() const { return detectionFailureReason; }
    // The records of a playlist played in turn; null before start().
    PlaylistRun *playlist() const { return playlistRun; }
    // The settings it was made with, as given.
    const OutputSettings &givenSettings() const { return settings; }
    // Stops the output after the frame in progress, for good; the commands
    // are refused from then on. finished() follows once the loop has ended;
    // a loop that has not ended 5 s later hangs in the device, and the
    // program ends without it (forceEnd).
    void end();
    // Ends the program at once with stopForced, saying why: the output
    // thread may be stuck in the driver, and the kernel closes the device.
    [[noreturn]] static void forceEnd(const char *reason);

    PlayState state() const { return playState; }
    bool playing() const { return playState == PlayState::Playing; }
    bool switchedOn() const { return ::switchedOn(playState); }
    bool ending() const { return playState == PlayState::Ending; }
    // The chosen file (empty for none) and signal (from 0): what the chart
    // shows and what the next start sends.
    QString file() const { return chosen.path; }
    int signal() const { return chosen.signal; }
    QString signalLabel() const { return chosen.label; }
    std::shared_ptr<const SampleList> list() const { return chosen.list; }
    std::shared_ptr<const Envelope> envelope() const { return chosen.envelope; }
    // The chosen record's annotations in sample order; null for none.
    std::shared_ptr<const QVector<Annotation>> annotations() const
    {
        return chosen.list ? chosen.list->annotations : nullptr;
    }
    // Whether the chosen file (the chart's) is what goes out, or will at the
    // next start: not when one chosen in the window waits for it.
    bool outputIsChosen() const { return !output.list || output.list == chosen.list; }
    // What goes out, when a file was chosen in the window while it played.
    QString outputFile() const { return output.path; }
    QString outputSignalLabel() const { return output.label; }
    // Samples per second on the exact clock; 0 for the classic pacing.
    double rate() const;
    // The rate of the file that goes out (0: a sample file) and the rate that
    // DEFault restores: the option's, else the file's own.
    double ownRate() const;
    double defaultRate() const;
    // The rate, or what the classic pacing comes to, for times.
    double samplesPerSecond() const;
    double fullScale() const { return fullScaleMv; }
    // The next sample to go out, the length of what goes out (of the chosen
    // file before anything went out) and the loops completed.
    qint64 position() const;
    qint64 length() const;
    qint64 loops() const;
    // The beat annotations sent since the file went in the output, and the last one.
    qint64 beatCount() const;
    SentBeat lastBeat() const;
    // Beats per minute from the last RR intervals sent, at the rate in force; 0 until two beats were sent.
    double heartRate() const;
    // Since the start, with a rate: frames sent late and caught up, and
    // restarts of the output's clock after a longer stall.
    qint64 lateFrames() const;
    qint64 clockRestarts() const;
    bool loading() const { return load.request != 0; }
    // Of the read in progress, from 0 to 1.
    double loadProgress() const { return load.progress; }
    // Why the DAC could not be set up; empty while it is (or may yet be) fine.
    QString deviceFailure() const { return deviceFailureReason; }

    // How the output fares, as a technician checks it.
    OutputHealth health() const;

    // Lists a file's signals, opened in the background, and proposes --signal's.
    void listSignals(const QString &path, const Listed &listed);
    // Chooses a signal of a file (its number from 1 or label; empty:
    // --signal's), opened and read in the background: at once, it goes out
    // from its first sample (when on, it replaces what plays); at the next
    // start, it is what the chart shows and goes out when the output starts
    // (the output goes on meanwhile). A refusal keeps what was chosen.
    void choose(const QString &path, const QString &selector, When when, const Done &done);
    // A file that a client names, at once: only from the folders of
    // --remote-files, and never from a pseudo file system.
    void chooseFromAfar(const QString &path, const Done &done);
    // Reads the chosen file again and puts it in place at the same position;
    // refused when the chosen signal is no longer there at its number and label.
    void reload(const Done &done);
    void cancelLoad();

    // On: the chosen file as it is on disk now (read again if it changed, the
    // state Starting meanwhile), at the read position. Off: paused where it
    // is, or back where it was while starting.
    void setPlaying(bool on, const Done &done = {});
    // Off, and the next start from the first sample.
    void stop();
    // Each record once from where it is to its end, then its last value held
    // for --pad, then off (playedOnce()); else in a loop. --once's at first.
    void setOnce(bool on);
    bool playsOnce() const { return once; }
    Refusal setRate(double samplesPerSecond);
    Refusal setDefaultRate();
    Refusal setFullScale(double mv);
    Refusal setPosition(qint64 position);

signals:
    void changed();
    // The DAC cannot be set up: nothing can go out.
    void outputFailed(const QString &reason);
    // The output loop has ended after end().
    void finished();
    // A record played once has ended, and the output is off.
    void playedOnce();

private:
    struct Choice
    {
        QString path;
        int signal = 0;
        QString label;
        std::shared_ptr<const SampleList> list;
        std::shared_ptr<const Envelope> envelope;
        // Its files' sizes and times when it was read: a switch-on reads it
        // again if they changed.
        FileStamps stamps;
        QStringList files;
        // A remote choice's: the folders that its re-reads stay in.
        std::optional<QStringList> folders;
    };
    struct Load
    {
        quint64 request = 0;
        Choice choice;
        bool atOnce = false;
        bool keepPosition = false;
        bool thenPlay = false;
        std::vector<Done> done;
        Listed listed;
        double progress = 0;
    };

    AppWorker *worker() const;
    // The worker's beats of what goes out; none before anything went in.
    AppWorker::BeatFacts beats() const;
    // Reads what request asks; its choice is put in place once read (see onLoaded).
    void startLoad(const LoadRequest &request, bool atOnce, bool keepPosition, bool thenPlay, const Done &done,
                   const Listed &listed = {});
    // A read of path, of --signal's signal, confined to folders if any.
    LoadRequest requestOf(const QString &path, const std::optional<QStringList> &folders) const;
    // The chosen signal read again, where it was, from where it was chosen.
    LoadRequest reread() const;
    void onLoaded(quint64 request);
    void onPlayedOnce(quint64 generation);
    // Puts a choice in the output, from its first sample or at the read position.
    void place(const Choice &choice, bool keepPosition);
    void resume();
    // A switch-on that waits for a read, and its end when off or refused.
    void beginStarting();
    void endStarting();
    // Gives the output the plan in force: the pacing and the full scale as they are now.
    void publish();
    // What plays, for the beat log's line that starts a run.
    QString runDescription() const;
    double rateOf(const Choice &choice) const;
    Refusal refusedCommand() const;

    const OutputSettings settings;
    std::unique_ptr<OutputRunner> runner;
    FileLoader *loader;
    bool started = false;
    // The forced end's time, once end() was asked.
    QDeadlineTimer endDeadline{QDeadlineTimer::Forever};
    PlayState playState = PlayState::Stopped;
    // Where a switch-on that does not come through goes back to.
    PlayState beforeStarting = PlayState::Stopped;
    // The output's, as last published; its position is a one-time placement.
    OutputPlan plan;
    Choice chosen;
    Choice output;
    Load load;
    // The rate asked over every file's own; 0: each file's own.
    double rateOverride;
    double fullScaleMv;
    bool once;
    QString deviceFailureReason;
    std::shared_ptr<BeatLog> beatLog;
    DetectionScorer *detector = nullptr;
    QString detectionFailureReason;
    PlaylistRun *playlistRun = nullptr;
    // The run that the beat log last started; empty while off.
    QString loggedRun;
};

#endif // PLAYBACK_H

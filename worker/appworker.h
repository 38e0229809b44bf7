#ifndef APPWORKER_H
#define APPWORKER_H

#include "outputsettings.h"

#include <QAtomicInt>
#include <QMutex>
#include <QObject>
#include <QVector>
#include <QWaitCondition>

#include <memory>

class SpiDev;

// Streams the sample list to the DAC from the output thread. The GUI thread
// steers it with direct calls; the mutex guards the flags and the list.
class AppWorker : public QObject
{
    Q_OBJECT

public:
    explicit AppWorker(const OutputSettings &settings = OutputSettings(), QObject *parent = nullptr);
    ~AppWorker() override;

    // Reads one signal of the file (a sample file has one; a record's first
    // is 0) into a new list and puts it in place, with its rate, only if it
    // holds at least one sample; otherwise the list in place stays and the
    // reason is logged. The samples read: 0 when there were none, -1 when the
    // file could not be read. The read takes no lock: the output goes on meanwhile.
    int loadFile(const QString &path, int signal = 0);
    // Why a signal of that rate cannot play at the rate asked (0: its own);
    // empty when it can.
    static QString rateRefusal(double askedRate, double signalRate);
    void pause();
    void resume();
    void stop();

    // For remote control, from the thread that loads. The rate in force
    // (samples per second; 0: the classic pacing); the list's length and the
    // read position in it, the index of the next sample to go out.
    double rate();
    int sampleCount();
    int position();
    // Moves the read position (modulo the list's length).
    void setPosition(int position);
    // A rate over every file's own, at once and for the loads to come; 0: each
    // file's own again (a sample file's: the classic pacing). The caller checks
    // the bounds.
    void setRate(double rate);
    // The millivolts across the DAC's range of the records loaded from now on.
    void setFullScale(double mv) { fullScaleMv = mv; }
    double fullScale() const { return fullScaleMv; }

    // The output loop; returns after stop, or at once if the DAC cannot be set up.
    void process();

signals:
    void finished();
    // The DAC could not be opened or set up: the loop has ended without finished.
    // reason says which step failed, on which node, and the system's word for it.
    void setUpFailed(const QString &reason);
    void resultReady(const QString &result);

private:
    template<typename Change>
    void command(Change change);
    bool waitUntil(std::int64_t deadlineNs);
    QString setUpFailure() const;
    static void reportTransfer(int sent, std::size_t size, int *failedInARow);

    const QString devicePath;
    std::unique_ptr<SpiDev> spi;
    // The rate asked over the files' own (0: none), and the full scale of the
    // records to load: set and read by the thread that loads.
    double sampleRate;
    double fullScaleMv;
    bool stopRequested = false;
    bool paused = true;
    QMutex mutex;
    QWaitCondition condition;
    QVector<qint32> samples;
    // The list's own rate (0 for a sample file), and the rate at which it goes
    // out on the exact clock (0: the classic pacing).
    double listRate = 0;
    double pacingRate;
    // The index in the list of the next sample to send. A reload leaves it as
    // it is; the loop takes it modulo the list's length.
    int readPosition = 0;
    // Commands waiting for the mutex; the loop hands it over to them between passes.
    QAtomicInt commandsWaiting;
};

#endif // APPWORKER_H

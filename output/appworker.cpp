#include "appworker.h"

#include "dacframe.h"
#include "realtime.h"
#include "sampleclock.h"
#include "spidev.h"
#include "syncline.h"
#include "syncpulse.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <pthread.h>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// The DAC8551 samples data on the falling clock edge: SPI mode 1.
constexpr SpiConfig dacConfig{1, 8, 100000, 0};
constexpr unsigned long framePauseMs = 2;
constexpr std::int64_t framePauseNs = framePauseMs * 1000000;
// The heart rate is the mean of this many RR intervals.
constexpr std::size_t rrIntervals = 8;
constexpr unsigned long noDataPauseMs = 100;
// SCHED_FIFO priority of the output thread: above every normal thread, so that
// background load cannot delay a frame; below the kernel's interrupt threads
// (50), so that the SPI controller's completion still preempts the loop; and
// the highest that RealtimeKit grants by default, so that both ways of asking
// give the same. The loop runs for microseconds per 2 ms and starves nobody.
constexpr int outputPriority = 20;

// Linux lets a thread's sleeps overrun by its timer slack (50 us by default) so
// that wake-ups can be grouped; the output pace wants them as exact as can be.
void minimiseTimerSlack()
{
#ifdef Q_OS_LINUX
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// The signals that end or reload the program go to its main thread, which
// handles them; the output thread never takes one in the middle of a frame.
void blockProcessSignals()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, number);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

std::int64_t monotonicNowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

std::int64_t realtimeNowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps until a time on the monotonic clock, which QDeadlineTimer's is.
void sleepUntilNs(std::int64_t ns)
{
    const timespec until{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The beat annotation at a sample of the list, if any.
const Annotation *beatAt(const SampleList &list, qint64 sample)
{
    if (!list.annotations)
        return nullptr;
    const QVector<Annotation> &all = *list.annotations;
    auto at = std::lower_bound(all.cbegin(), all.cend(), sample,
                               [](const Annotation &annotation, qint64 value) { return annotation.sample < value; });
    for (; at != all.cend() && at->sample == sample; ++at) {
        if (at->isBeat)
            return &*at;
    }
    return nullptr;
}

// A sample's code at the full scale in force.
quint16 outputCode(const SampleList &list, qint64 position, double fullScaleMv)
{
    return list.code(position, fullScaleMv);
}

} // namespace

AppWorker::AppWorker(const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      devicePath(settings.devicePath),
      spi(std::make_unique<SpiDev>(QFile::encodeName(settings.devicePath).constData(), &dacConfig)),
      syncWidthMs(settings.syncWidthMs),
      syncOn(settings.syncOn),
      pacingRate(settings.sampleRate),
      fullScaleMv(settings.fullScaleMv)
{
}

AppWorker::~AppWorker()
{
    qDebug() << "AppWorker destructor";
    spi.reset();
}

void AppWorker::markFrames(std::unique_ptr<SyncLine> line, std::shared_ptr<BeatLog> log)
{
    pulse = line ? std::make_unique<SyncPulse>(std::move(line), syncWidthMs) : nullptr;
    beatLog = std::move(log);
}

AppWorker::BeatFacts AppWorker::beats() const
{
    QMutexLocker locker(&mutex);
    BeatFacts facts{beatCount, lastBeat, 0};
    if (!rrSamples.empty())
        facts.meanRrSamples = double(std::accumulate(rrSamples.cbegin(), rrSamples.cend(), qint64(0)))
                              / double(rrSamples.size());
    return facts;
}

// Under the mutex: the next beat starts a new run of RR intervals.
void AppWorker::forgetRr()
{
    rrSamples.clear();
    lastBeatAt = -1;
}

void AppWorker::setList(std::shared_ptr<const SampleList> list, qint64 position)
{
    QMutexLocker locker(&mutex);
    place(list, position);
}

void AppWorker::replaceList(std::shared_ptr<const SampleList> list)
{
    QMutexLocker locker(&mutex);
    place(list, inFlight >= 0 ? inFlight + 1 : readPosition.load());
}

// Under the mutex. The list that went out until now is freed with list, after the lock.
void AppWorker::place(std::shared_ptr<const SampleList> &list, qint64 position)
{
    samples.swap(list);
    ++placements;
    readPosition = samples && samples->size() > 0 ? position % samples->size() : 0;
    completedLoops = 0;
    beatCount = 0;
    forgetRr();
    condition.wakeAll();
}

void AppWorker::setPosition(qint64 position)
{
    QMutexLocker locker(&mutex);
    ++placements;
    readPosition = samples && samples->size() > 0 ? position % samples->size() : 0;
    forgetRr();
    condition.wakeAll();
}

void AppWorker::setPacing(double rate)
{
    QMutexLocker locker(&mutex);
    pacingRate = rate;
    condition.wakeAll();
}

void AppWorker::setFullScale(double mv)
{
    QMutexLocker locker(&mutex);
    fullScaleMv = mv;
}

void AppWorker::pause()
{
    QMutexLocker locker(&mutex);
    paused = true;
    condition.wakeAll();
}

void AppWorker::resume()
{
    QMutexLocker locker(&mutex);
    paused = false;
    condition.wakeAll();
}

void AppWorker::stop()
{
    QMutexLocker locker(&mutex);
    stopRequested = true;
    paused = false;
    condition.wakeAll();
}

// Waits on the condition until an absolute deadline (never: until woken), so
// that a command cuts the wait short (a period is a second long at 1
// sample/s). True when the deadline came first.
bool AppWorker::sleepUntil(std::int64_t deadlineNs)
{
    if (deadlineNs == SyncPulse::never) {
        condition.wait(&mutex);
        return false;
    }
    QDeadlineTimer deadline;
    deadline.setPreciseDeadline(0, deadlineNs, Qt::PreciseTimer);
    return !condition.wait(&mutex, deadline);
}

// When the sync line is to go low; never while it is low, or without a line.
std::int64_t AppWorker::pulseFallNs() const
{
    return pulse ? pulse->fallDueNs() : SyncPulse::never;
}

// Whether the frame of this sample, a beat's or not, gets a pulse.
bool AppWorker::marks(const Annotation *beat, qint64 position) const
{
    return (beat && syncOn != SyncOn::Loop) || (position == 0 && syncOn != SyncOn::Beats);
}

// Which step failed, on which node, and the system's word for it: "permission
// denied" and "no such file" call for different fixes.
QString AppWorker::setUpFailure() const
{
    static const char *const steps[] = {"", "ouverture", "réglage du mode", "réglage de la taille des mots",
                                        "réglage de la fréquence d'horloge"};
    const SpiFailure &failure = spi->lastFailure();
    return QString("DAC8551: %1 de \"%2\" impossible: \"%3\"")
        .arg(QString::fromUtf8(steps[failure.step]), devicePath, QString::fromLocal8Bit(std::strerror(failure.error)));
}

// A failed transfer is said once when a run of failures begins, with the
// system's error text, and once when transfers succeed again: at 360 frames a
// second, a line per frame would flood the log.
void AppWorker::reportTransfer(int sent, std::size_t size, int *failedInARow)
{
    if (sent != int(size)) {
        if ((*failedInARow)++ == 0)
            qWarning() << "Échec de transfert SPI:"
                       << (sent < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                    : QString("%1 octets envoyés sur %2").arg(sent).arg(size));
    } else if (*failedInARow > 0) {
        qWarning() << "Transferts SPI rétablis après" << *failedInARow << "échecs";
        *failedInARow = 0;
    }
}

// After the frame: the beat it carried counted, and the next sample, unless a
// command placed the read position (or another list) while the frame was sent.
void AppWorker::advance(const Pass &pass, const SentBeat *beat)
{
    QMutexLocker locker(&mutex);
    inFlight = -1;
    if (beat) {
        ++beatCount;
        lastBeat = *beat;
    }
    if (pass.placement != placements)
        return;
    if (beat) {
        const qint64 at = beat->loop * pass.list->size() + beat->sample;
        if (lastBeatAt >= 0)
            rrSamples.push_back(at - lastBeatAt);
        if (rrSamples.size() > rrIntervals)
            rrSamples.pop_front();
        lastBeatAt = at;
    }
    const qint64 next = pass.position + 1;
    if (next == pass.list->size())
        ++completedLoops;
    readPosition = next % pass.list->size();
}

void AppWorker::process()
{
    blockProcessSignals();
    double clockRate = -1;
    std::unique_ptr<SampleClock> clock;
    // Without a rate, the classic pacing: a 2 ms sleep after each frame.
    // Returns whether the pacing changed.
    const auto pace = [&](double rate) {
        if (rate == clockRate)
            return false;
        clockRate = rate;
        clock = rate > 0 ? std::make_unique<SampleClock>(rate) : nullptr;
        return true;
    };
    const auto reportPace = [](double rate) {
        if (rate > 0)
            qDebug() << "Cadence:" << rate << "échantillons par seconde";
        else
            qDebug() << "Cadence: pause de 2 ms après chaque trame";
    };
    {
        QMutexLocker locker(&mutex);
        pace(pacingRate);
    }
    reportPace(clockRate);
    minimiseTimerSlack();
    if (!makeCurrentThreadRealtime(outputPriority))
        qWarning() << "Priorité temps réel indisponible, cadence non garantie";
    if (!spi->open()) {
        const QString reason = setUpFailure();
        qWarning() << "Erreur initialisation DAC8551";
        qWarning().noquote() << reason;
        emit setUpFailed(reason);
        return;
    }

    // The clock starts afresh whenever the output starts again.
    bool restartClock = true;
    int failedTransfers = 0;
    forever {
        if (pulse)
            pulse->fallIfDue(monotonicNowNs());
        Pass pass;
        bool paceChanged = false;
        {
            QMutexLocker locker(&mutex);
            if (stopRequested)
                break;
            if (paused) {
                // A pulse still high falls on time meanwhile. A stop ends the
                // pause too, and its pass ends with a frame.
                sleepUntil(pulseFallNs());
                restartClock = true;
                if (paused)
                    continue;
            }
            paceChanged = pace(pacingRate);
            restartClock = restartClock || paceChanged;
            if (samples && samples->size() > 0 && clock) {
                if (restartClock)
                    clock->restart(monotonicNowNs());
                restartClock = false;
                // Wakes for the frame, or first for the pulse's fall. A stop
                // sends the frame at once (its pass ends with it, as in the
                // classic pacing); a pause or another command looks again.
                const std::int64_t frameAt = clock->nextDeadlineNs();
                const std::int64_t wakeAt = std::min(frameAt, pulseFallNs());
                const bool deadlineCame = sleepUntil(wakeAt);
                if (!stopRequested && (!deadlineCame || paused || wakeAt < frameAt))
                    continue;
            }
            pass = {samples, readPosition.load(), fullScaleMv, placements};
            inFlight = samples && samples->size() > 0 ? pass.position : -1;
        }
        if (paceChanged)
            reportPace(clockRate);
        if (!pass.list || pass.list->size() == 0) {
            qWarning() << "Aucune donnée chargée, attente...";
            QThread::msleep(noDataPauseMs);
            restartClock = true;
            continue;
        }
        // Every pulse ends before the next frame.
        if (pulse)
            pulse->fall();
        const DacFrame frame = dacFrame(outputCode(*pass.list, pass.position, pass.fullScaleMv));
        const std::int64_t sentAt = clock ? monotonicNowNs() : 0;
        reportTransfer(spi->write(frame.data(), frame.size()), frame.size(), &failedTransfers);
        const std::int64_t doneAt = monotonicNowNs();
        if (clock)
            clock->frameSent(sentAt);
        const Annotation *beat = beatAt(*pass.list, pass.position);
        if (pulse && marks(beat, pass.position))
            pulse->rise(doneAt, clock ? clock->nextDeadlineNs() : doneAt + framePauseNs);
        SentBeat sent;
        if (beat) {
            sent = {doneAt, realtimeNowNs(), completedLoops.load(), pass.position, beat->label};
            if (beatLog)
                beatLog->add(sent);
        }
        if (clock) {
            if (const std::int64_t late = clock->takeLateReport(sentAt))
                qWarning() << "Cadence non tenue:" << late << "échantillons en retard";
        } else if (pulse && pulse->fallDueNs() != SyncPulse::never) {
            sleepUntilNs(pulse->fallDueNs());
            pulse->fall();
            sleepUntilNs(doneAt + framePauseNs);
        } else {
            QThread::msleep(framePauseMs);
        }
        advance(pass, beat ? &sent : nullptr);
    }
    if (pulse)
        pulse->fall();
    emit finished();
}

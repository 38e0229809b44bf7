#include "appworker.h"

#include "dacframe.h"
#include "pacing.h"
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
constexpr SpiConfig dacConfig{1, 8, spiClockHz, 0};
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

void reportPace(double rate)
{
    if (rate > 0)
        qDebug() << "Cadence:" << rate << "échantillons par seconde";
    else
        qDebug().noquote() << "Cadence:" << classicPacingText;
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
      syncOn(settings.syncOn)
{
    plan.rate = settings.sampleRate;
    plan.fullScaleMv = settings.fullScaleMv;
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

AppWorker::Progress AppWorker::progress() const
{
    QMutexLocker locker(&mutex);
    Progress now{plan.generation, readPosition.load(), completedLoops.load(), {beatCount, lastBeat, 0}};
    if (!rrSamples.empty())
        now.beats.meanRrSamples = double(std::accumulate(rrSamples.cbegin(), rrSamples.cend(), qint64(0)))
                                  / double(rrSamples.size());
    return now;
}

// The list that went out until now is freed with next, after the lock.
void AppWorker::publish(OutputPlan next)
{
    QMutexLocker locker(&mutex);
    bool wake = next.playing != plan.playing || next.rate != plan.rate || next.once != plan.once;
    const bool newList = next.generation != plan.generation;
    if (newList || next.position >= 0) {
        // A list played to its end waits for this: it plays again.
        wake = wake || playedToTheEnd;
        const qint64 size = next.list ? next.list->size() : 0;
        const qint64 at = next.position >= 0 ? next.position : inFlight >= 0 ? inFlight + 1 : readPosition.load();
        readPosition = size > 0 ? at % size : 0;
        ++placements;
        padSent = -1;
        playedToTheEnd = false;
        rrSamples.clear();
        lastBeatAt = -1;
    }
    if (newList) {
        completedLoops = 0;
        beatCount = 0;
        lastBeat = SentBeat();
    }
    // A switch-on tries the device anew: it is said failed again only if a
    // transfer fails again.
    if (next.playing && !plan.playing)
        failingTransfers = false;
    next.position = -1;
    std::swap(plan, next);
    if (wake)
        condition.wakeAll();
}

void AppWorker::stop()
{
    QMutexLocker locker(&mutex);
    stopRequested = true;
    condition.wakeAll();
}

// Waits on the condition until an absolute deadline (never: until woken), so
// that a command cuts the wait short (a period is a second long at 1
// sample/s). True when the deadline came first.
bool AppWorker::sleepUntil(std::int64_t deadlineNs)
{
    bool woken = true;
    if (deadlineNs == SyncPulse::never) {
        condition.wait(&mutex);
    } else {
        QDeadlineTimer deadline;
        deadline.setPreciseDeadline(0, deadlineNs, Qt::PreciseTimer);
        woken = condition.wait(&mutex, deadline);
    }
    if (woken)
        ++wakeCount;
    return !woken;
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

QString AppWorker::scheduling() const
{
    switch (schedulingPolicy.load()) {
    case SCHED_FIFO: return QString("FIFO %1").arg(schedulingPriority.load());
    case SCHED_RR: return QString("RR %1").arg(schedulingPriority.load());
    default: return QString();
    }
}

// After the frame: the beat it carried counted in its generation, and the
// next sample, unless a plan placed the read position (or another list)
// while the frame was sent. Played once, the list's end starts the pad, and
// the pad's end ends the playing: the position stays on the last sample.
bool AppWorker::advance(const Pass &pass, const SentBeat *beat)
{
    QMutexLocker locker(&mutex);
    inFlight = -1;
    if (pass.generation != plan.generation)
        return false;
    if (beat) {
        ++beatCount;
        lastBeat = *beat;
    }
    if (pass.placement != placements)
        return false;
    const bool atTheEnd = pass.padFrame >= 0 || (plan.once && pass.position + 1 == pass.list->size());
    if (atTheEnd && plan.once) {
        padSent = pass.padFrame + 1;
        if (padSent < plan.padFrames)
            return false;
        ++completedLoops;
        playedToTheEnd = true;
        return true;
    }
    if (beat) {
        const qint64 at = beat->loop * pass.list->size() + beat->sample;
        if (lastBeatAt >= 0)
            rrSamples.push_back(at - lastBeatAt);
        if (rrSamples.size() > rrIntervals)
            rrSamples.pop_front();
        lastBeatAt = at;
    }
    padSent = -1;
    const qint64 next = pass.position + 1;
    if (next == pass.list->size())
        ++completedLoops;
    readPosition = next % pass.list->size();
    return false;
}

// One frame, its pulse and its beat, then the classic pacing's pause; no lock held.
void AppWorker::send(const Pass &pass, bool clocked, SampleClock *clock, int *failedTransfers)
{
    // Every pulse ends before the next frame.
    if (pulse)
        pulse->fall();
    const quint16 code = outputCode(*pass.list, pass.position, pass.fullScaleMv);
    // A pad frame stands for the samples after the record's end.
    const qint64 frameSample = pass.padFrame >= 0 ? pass.list->size() + pass.padFrame : pass.position;
    const DacFrame frame = dacFrame(code);
    const std::int64_t sentAt = monotonicNowNs();
    reportTransfer(spi->write(frame.data(), frame.size()), frame.size(), failedTransfers);
    if (*failedTransfers > 0)
        failingTransfers = true;
    else
        lastSentCode = code;
    const std::int64_t doneAt = monotonicNowNs();
    if (clocked)
        clock->frameSent(sentAt);
    if (timeline)
        timeline->frameSent(doneAt, pass.list.get(), pass.generation, pass.placement, pass.loops, frameSample);
    const Annotation *beat = pass.padFrame >= 0 ? nullptr : beatAt(*pass.list, pass.position);
    if (pulse && pass.padFrame < 0 && marks(beat, pass.position))
        pulse->rise(doneAt, clocked ? clock->nextDeadlineNs() : doneAt + framePauseNs);
    SentBeat sent;
    if (beat) {
        sent = {doneAt, realtimeNowNs(), pass.loops, pass.position, beat->label, beat->channel};
        if (beatLog)
            beatLog->add(sent);
    }
    if (clocked) {
        lateFrameCount = clock->lateFrames();
        stallCount = clock->stalls();
        if (const std::int64_t skipped = clock->takeSkippedReport(sentAt))
            qWarning() << "Cadence non tenue:" << skipped
                       << (skipped < 2 ? "échantillon sauté, horloge relancée" : "échantillons sautés, horloge relancée");
    } else if (pulse && pulse->fallDueNs() != SyncPulse::never) {
        sleepUntilNs(pulse->fallDueNs());
        pulse->fall();
        sleepUntilNs(doneAt + framePauseNs);
    } else {
        sleepUntilNs(monotonicNowNs() + framePauseNs);
    }
    if (advance(pass, beat ? &sent : nullptr))
        emit playedOnce(pass.generation);
}

void AppWorker::process()
{
    blockProcessSignals();
    // The pacing in force, the clock's, and whether a command (a switch-on,
    // a rate) or a wait for data restarts the clock.
    double rate = 0;
    {
        QMutexLocker locker(&mutex);
        rate = plan.rate;
    }
    SampleClock clock(rate > 0 ? rate : 1);
    bool restartClock = true;
    bool paceChanged = false;
    reportPace(rate);
    minimiseTimerSlack();
    if (!makeCurrentThreadRealtime(outputPriority))
        qWarning() << "Priorité temps réel indisponible, cadence non garantie";
    int policy = 0;
    sched_param parameters{};
    if (pthread_getschedparam(pthread_self(), &policy, &parameters) == 0) {
        schedulingPriority = parameters.sched_priority;
        schedulingPolicy = policy;
    }
    if (!spi->open()) {
        const QString reason = setUpFailure();
        qWarning() << "Erreur initialisation DAC8551";
        qWarning().noquote() << reason;
        emit setUpFailed(reason);
        return;
    }

    int failedTransfers = 0;
    forever {
        if (paceChanged)
            reportPace(rate);
        paceChanged = false;
        if (pulse)
            pulse->fallIfDue(monotonicNowNs());
        Pass pass;
        {
            QMutexLocker locker(&mutex);
            if (stopRequested)
                break;
            if (plan.rate != rate) {
                rate = plan.rate;
                if (rate > 0)
                    clock.setRate(rate);
                restartClock = paceChanged = true;
                continue;
            }
            // A pulse still high falls on time meanwhile.
            if (!plan.playing || (plan.once && playedToTheEnd)) {
                restartClock = true;
                if (timeline)
                    timeline->halted(monotonicNowNs());
                sleepUntil(pulseFallNs());
                continue;
            }
            const bool hasData = plan.list && plan.list->size() > 0;
            if (hasData && rate > 0) {
                if (restartClock)
                    clock.restart(monotonicNowNs());
                restartClock = false;
                // Wakes for the frame, or first for the pulse's fall; a
                // command looks again, on the same grid.
                const std::int64_t frameAt = clock.nextDeadlineNs();
                const std::int64_t wakeAt = std::min(frameAt, pulseFallNs());
                if (!sleepUntil(wakeAt) || wakeAt < frameAt)
                    continue;
            }
            if (hasData) {
                pass = {plan.list, readPosition.load(), completedLoops.load(), plan.fullScaleMv, plan.generation, placements,
                        plan.once ? padSent : -1};
                inFlight = pass.position;
            }
        }
        if (!pass.list) {
            if (timeline)
                timeline->halted(monotonicNowNs());
            qWarning() << "Aucune donnée chargée, attente...";
            QThread::msleep(noDataPauseMs);
            restartClock = true;
            continue;
        }
        send(pass, rate > 0, &clock, &failedTransfers);
    }
    if (pulse)
        pulse->fall();
    emit finished();
}

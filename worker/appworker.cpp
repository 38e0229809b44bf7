#include "appworker.h"

#include "dacframe.h"
#include "realtime.h"
#include "sampleclock.h"
#include "spidev.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <cmath>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <pthread.h>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// The DAC8551 samples data on the falling clock edge: SPI mode 1.
constexpr SpiConfig dacConfig{1, 8, 100000, 0};
constexpr unsigned long framePauseMs = 2;
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

// A record's code at the full scale in force, from the one it was read at: the
// same millivolts, clamped to the DAC's range.
quint16 outputCode(const SampleList &list, qint64 position, double fullScaleMv)
{
    const quint16 code = list.codes[std::size_t(position)];
    if (!list.isRecord() || fullScaleMv == list.fullScaleMv)
        return code;
    const double scaled = std::round(32768 + (code - 32768.0) * list.fullScaleMv / fullScaleMv);
    return quint16(qBound(0.0, scaled, 65535.0));
}

} // namespace

AppWorker::AppWorker(const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      devicePath(settings.devicePath),
      spi(std::make_unique<SpiDev>(QFile::encodeName(settings.devicePath).constData(), &dacConfig)),
      pacingRate(settings.sampleRate),
      fullScaleMv(settings.fullScaleMv)
{
}

AppWorker::~AppWorker()
{
    qDebug() << "AppWorker destructor";
    spi.reset();
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
    condition.wakeAll();
}

void AppWorker::setPosition(qint64 position)
{
    QMutexLocker locker(&mutex);
    ++placements;
    readPosition = samples && samples->size() > 0 ? position % samples->size() : 0;
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

// Waits on the condition with an absolute deadline, so that a command cuts the
// wait short (a period is a second long at 1 sample/s). True when the frame is
// to go: at its deadline, or at once on a stop, whose pass ends with its frame
// as in the classic pacing. False when a pause came first or another command:
// the loop then looks again.
bool AppWorker::waitUntil(std::int64_t deadlineNs)
{
    QDeadlineTimer deadline;
    deadline.setPreciseDeadline(0, deadlineNs, Qt::PreciseTimer);
    const bool woken = condition.wait(&mutex, deadline);
    return stopRequested || (!woken && !paused);
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

// After the frame: the next sample, unless a command placed the read position
// (or another list) while the frame was sent.
void AppWorker::advance(const Pass &pass)
{
    QMutexLocker locker(&mutex);
    inFlight = -1;
    if (pass.placement != placements)
        return;
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
        Pass pass;
        bool paceChanged = false;
        {
            QMutexLocker locker(&mutex);
            if (stopRequested)
                break;
            while (paused) {
                condition.wait(&mutex);
                restartClock = true;
            }
            paceChanged = pace(pacingRate);
            restartClock = restartClock || paceChanged;
            if (samples && samples->size() > 0 && clock) {
                if (restartClock)
                    clock->restart(monotonicNowNs());
                restartClock = false;
                if (!waitUntil(clock->nextDeadlineNs()))
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
        const DacFrame frame = dacFrame(outputCode(*pass.list, pass.position, pass.fullScaleMv));
        const std::int64_t sentAt = clock ? monotonicNowNs() : 0;
        reportTransfer(spi->write(frame.data(), frame.size()), frame.size(), &failedTransfers);
        if (clock) {
            clock->frameSent(sentAt);
            if (const std::int64_t late = clock->takeLateReport(sentAt))
                qWarning() << "Cadence non tenue:" << late << "échantillons en retard";
        } else {
            QThread::msleep(framePauseMs);
        }
        advance(pass);
    }
    emit finished();
}

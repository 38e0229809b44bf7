#include "appworker.h"

#include "dacframe.h"
#include "realtime.h"
#include "sampleclock.h"
#include "recordreader.h"
#include "spidev.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <new>

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

} // namespace

AppWorker::AppWorker(const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      devicePath(settings.devicePath),
      spi(std::make_unique<SpiDev>(QFile::encodeName(settings.devicePath).constData(), &dacConfig)),
      sampleRate(settings.sampleRate),
      fullScaleMv(settings.fullScaleMv),
      pacingRate(settings.sampleRate)
{
}

AppWorker::~AppWorker()
{
    qDebug() << "AppWorker destructor";
    spi.reset();
}

int AppWorker::loadFile(const QString &path, int signal)
{
    QVector<qint32> loaded;
    double ownRate = 0;
    const SampleSink sink{[&](const qint32 *codes, int count) {
                              const int end = loaded.size();
                              loaded.resize(end + count);
                              std::copy(codes, codes + count, loaded.begin() + end);
                          },
                          [&](int lineNumber, const QString &text) {
                              qWarning() << "Ligne invalide (" << lineNumber << "):" << text;
                              loaded.append(-1);
                          }};
    // A file with an over-long line is no sample file: nothing of it is loaded.
    // Nor is one too long for the memory (4 bytes a sample), which Qt reports
    // by std::bad_alloc. The list is reserved once for the whole file: growing
    // it would copy it again and again (a day at 360/s is 124 MB), and the
    // pages of the reserve that are never written take no memory.
    bool read = false;
    QString detail;
    try {
        std::unique_ptr<RecordReader> reader = openRecord(path, fullScaleMv, &detail);
        if (reader && signal < reader->signalList().size()) {
            const SignalInfo &info = reader->signalList().at(signal);
            detail = rateRefusal(sampleRate, info.rate);
            ownRate = info.rate;
            if (detail.isEmpty()) {
                loaded.reserve(int(qBound<qint64>(0, info.length, std::numeric_limits<int>::max() / 8)));
                read = reader->read(signal, sink);
                detail = reader->error();
                for (const QString &warning : reader->warnings())
                    qWarning().noquote() << warning;
            }
        }
    } catch (const std::bad_alloc &) {
        loaded = QVector<qint32>();
        qWarning() << "Mémoire insuffisante pour" << path;
    }
    if (!read) {
        if (!detail.isEmpty())
            qWarning().noquote() << detail;
        qWarning() << "Erreur ouverture fichier:" << path;
        return -1;
    }
    if (loaded.isEmpty()) {
        qWarning() << "Aucun échantillon dans" << path;
        return 0;
    }
    // The list that goes out is freed with loaded, after the lock.
    command([&] {
        samples.swap(loaded);
        listRate = ownRate;
        pacingRate = sampleRate > 0 ? sampleRate : listRate;
    });
    qDebug() << "Fichier chargé avec" << samples.size() << "valeurs.";
    return samples.size();
}

// Read as commands are made, so that the loop hands the mutex over.
double AppWorker::rate()
{
    double rate = 0;
    command([&] { rate = pacingRate; });
    return rate;
}

int AppWorker::sampleCount()
{
    int count = 0;
    command([&] { count = samples.size(); });
    return count;
}

int AppWorker::position()
{
    int position = 0;
    command([&] { position = samples.isEmpty() ? 0 : readPosition % samples.size(); });
    return position;
}

void AppWorker::setPosition(int position)
{
    command([&] { readPosition = samples.isEmpty() ? 0 : position % samples.size(); });
}

void AppWorker::setRate(double rate)
{
    sampleRate = rate;
    command([&] { pacingRate = sampleRate > 0 ? sampleRate : listRate; });
}

QString AppWorker::rateRefusal(double askedRate, double signalRate)
{
    if (askedRate > 0 || signalRate <= maxSampleRate)
        return QString();
    return QString("Cadence de %1 échantillons par seconde refusée : au plus %2, ou --rate")
        .arg(signalRate)
        .arg(maxSampleRate);
}

// QMutex is not fair: the loop takes the mutex again right after each pass and
// would mostly win it back from a waiting command, which could then wait for
// many passes while frames go on. So a command announces itself before it
// locks, and the loop yields the mutex to announced commands before its next
// pass: a command waits for at most the pass in progress.
template<typename Change>
void AppWorker::command(Change change)
{
    commandsWaiting.ref();
    QMutexLocker locker(&mutex);
    commandsWaiting.deref();
    change();
    condition.wakeAll();
}

void AppWorker::pause()
{
    command([this] { paused = true; });
}

void AppWorker::resume()
{
    command([this] { paused = false; });
}

void AppWorker::stop()
{
    command([this] {
        stopRequested = true;
        paused = false;
    });
}

// Waits on the condition with an absolute deadline, so that a command cuts the
// wait short (a period is a second long at 1 sample/s). True when the frame is
// to go: at its deadline, or at once on a stop, whose pass ends with its frame
// as in the classic pacing. False when a pause came first (and a paused loop's
// list may be reloaded) or another command: the loop then looks again.
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

void AppWorker::process()
{
    blockProcessSignals();
    double clockRate = -1;
    std::unique_ptr<SampleClock> clock;
    // Without a rate, the classic pacing: a 2 ms sleep after each frame. A
    // new pacing comes with a loaded list.
    const auto pace = [&](double rate) {
        if (rate == clockRate)
            return;
        clockRate = rate;
        clock = rate > 0 ? std::make_unique<SampleClock>(rate) : nullptr;
        if (rate > 0)
            qDebug() << "Cadence:" << rate << "échantillons par seconde";
        else
            qDebug() << "Cadence: pause de 2 ms après chaque trame";
    };
    {
        QMutexLocker locker(&mutex);
        pace(pacingRate);
    }
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
        QMutexLocker locker(&mutex);
        while (commandsWaiting.loadAcquire() > 0)
            condition.wait(&mutex);
        if (stopRequested) {
            locker.unlock();
            emit finished();
            return;
        }
        if (paused) {
            while (paused)
                condition.wait(&mutex);
            restartClock = true;
        }

        if (clockRate != pacingRate) {
            pace(pacingRate);
            restartClock = true;
        }
        if (samples.isEmpty()) {
            qWarning() << "Aucune donnée chargée, attente...";
            QThread::msleep(noDataPauseMs);
            restartClock = true;
            continue;
        }
        if (clock) {
            if (restartClock)
                clock->restart(monotonicNowNs());
            restartClock = false;
            if (!waitUntil(clock->nextDeadlineNs()))
                continue;
        }
        // A reload may have shortened the list: go on at the same position
        // modulo the new count rather than restart from the first sample.
        readPosition %= samples.size();
        const DacFrame frame = dacFrame(samples.at(readPosition));
        const std::int64_t sentAt = clock ? monotonicNowNs() : 0;
        reportTransfer(spi->write(frame.data(), frame.size()), frame.size(), &failedTransfers);
        if (clock) {
            clock->frameSent(sentAt);
            if (const std::int64_t late = clock->takeLateReport(sentAt))
                qWarning() << "Cadence non tenue:" << late << "échantillons en retard";
        } else {
            QThread::msleep(framePauseMs);
        }
        readPosition = (readPosition + 1) % samples.size();
    }
}

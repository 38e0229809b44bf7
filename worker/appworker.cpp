#include "appworker.h"

#include "dacframe.h"
#include "samplefile.h"
#include "spidev.h"

#include <QDebug>
#include <QFile>
#include <QTextStream>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

constexpr const char *dacDevicePath = "/dev/spidev0.0";
// The DAC8551 samples data on the falling clock edge: SPI mode 1.
constexpr SpiConfig dacConfig{1, 8, 100000, 0};
constexpr unsigned long framePauseMs = 2;
constexpr unsigned long noDataPauseMs = 100;

// Linux lets a thread's sleeps overrun by its timer slack (50 us by default) so
// that wake-ups can be grouped; the output pace wants them as exact as can be.
void minimiseTimerSlack()
{
#ifdef Q_OS_LINUX
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

} // namespace

AppWorker::AppWorker(QObject *parent)
    : QObject(parent), spi(std::make_unique<SpiDev>(dacDevicePath, &dacConfig))
{
}

AppWorker::~AppWorker()
{
    qDebug() << "AppWorker destructor";
    spi.reset();
}

void AppWorker::loadFile(const QString &path)
{
    samples.clear();

    QFile file(path);
    if (!openSampleFile(file)) {
        qWarning() << "Erreur ouverture fichier:" << path;
        return;
    }

    QTextStream in(&file);
    int lineNumber = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty())
            continue;
        bool ok = false;
        const int value = line.toInt(&ok, 10);
        if (ok) {
            samples.append(value);
        } else {
            qWarning() << "Ligne invalide (" << lineNumber << "):" << line;
            samples.append(-1);
        }
    }
    file.close();
    qDebug() << "Fichier chargé avec" << samples.size() << "valeurs.";
}

void AppWorker::pause()
{
    QMutexLocker locker(&mutex);
    paused = true;
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

void AppWorker::process()
{
    minimiseTimerSlack();
    if (!spi->open()) {
        qWarning() << "Erreur initialisation DAC8551";
        return;
    }

    int readPosition = 0;
    forever {
        QMutexLocker locker(&mutex);
        if (stopRequested) {
            locker.unlock();
            emit finished();
            return;
        }
        while (paused)
            condition.wait(&mutex);

        if (samples.isEmpty()) {
            qWarning() << "Aucune donnée chargée, attente...";
            QThread::msleep(noDataPauseMs);
            continue;
        }
        // A reload may have shortened the list: go on at the same position
        // modulo the new count rather than restart from the first sample.
        readPosition %= samples.size();
        const DacFrame frame = dacFrame(samples.at(readPosition));
        spi->write(frame.data(), frame.size());
        QThread::msleep(framePauseMs);
        readPosition = (readPosition + 1) % samples.size();
    }
}

#include "player.h"

#include "appworker.h"
#include "outputrunner.h"
#include "recordreader.h"
#include "unixsignals.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <csignal>
#include <cstdlib>

namespace {
// A stopped output ends within a pass (at most about 100 ms); a device call
// that hangs never returns.
constexpr int stopTimeoutMs = 5000;
} // namespace

Player::Player(const OutputSettings &settings, const QString &path)
    : path(path), settings(settings), output(new OutputRunner(settings)), unixSignals(new UnixSignals(this))
{
    connect(unixSignals, &UnixSignals::received, this, &Player::onSignal);
    if (!unixSignals->catchSignals({SIGINT, SIGTERM, SIGHUP}))
        qWarning() << "Signaux indisponibles";
}

Player::~Player()
{
    delete output;
}

int Player::exec()
{
    AppWorker *worker = output->worker();
    // The signal that --signal names; the loader says why a file is refused.
    QString detail;
    if (const std::unique_ptr<RecordReader> reader = openRecord(path, settings.fullScaleMv, &detail)) {
        signal = findSignal(reader->signalList(), settings.signal);
        if (signal < 0) {
            qWarning().noquote() << QString("Aucun signal « %1 » dans \"%2\" ; ses signaux : %3")
                                        .arg(settings.signal.trimmed(), path, describeSignals(reader->signalList()));
            return sampleFileRefused;
        }
    }
    const int samples = worker->loadFile(path, signal);
    if (samples < 0) {
        qWarning() << "Fichier d'échantillons refusé:" << path;
        return sampleFileRefused;
    }
    if (samples == 0)
        return noSample;
    connect(worker, &AppWorker::finished, this, [] { QCoreApplication::exit(0); });
    connect(worker, &AppWorker::setUpFailed, this, [] { QCoreApplication::exit(dacRefused); });

    worker->resume();
    output->start();
    return QCoreApplication::exec();
}

void Player::onSignal(int number)
{
    if (number == SIGHUP) {
        if (stopping)
            return;
        // A file that cannot be read, or holds no sample, changes nothing.
        if (output->worker()->loadFile(path, signal) <= 0)
            qWarning() << "Relecture refusée, la sortie continue avec les valeurs précédentes";
        return;
    }
    if (stopping)
        forceStop("second signal d'arrêt");
    // The output stops after the frame in progress; its end ends the event loop.
    stopping = true;
    output->stop();
    QTimer::singleShot(stopTimeoutMs, this, [] { forceStop("la sortie ne s'est pas arrêtée en 5 s"); });
}

// The output thread may hang in a device call: the program ends without
// waiting for it, and the kernel closes the device.
void Player::forceStop(const char *reason)
{
    qWarning().noquote() << "Arrêt forcé:" << reason;
    std::_Exit(stopForced);
}

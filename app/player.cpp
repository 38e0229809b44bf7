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
        fileSignal = findSignal(reader->signalList(), settings.signal);
        if (fileSignal < 0) {
            qWarning().noquote() << QString("Aucun signal « %1 » dans \"%2\" ; ses signaux : %3")
                                        .arg(settings.signal.trimmed(), path, describeSignals(reader->signalList()));
            return sampleFileRefused;
        }
    }
    const int samples = worker->loadFile(path, fileSignal);
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
        if (output->worker()->loadFile(path, fileSignal) <= 0)
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

AppWorker *Player::worker() const
{
    return output->worker();
}

// A file chosen remotely plays from its first sample: at once while the output
// is on, else at its start; a refusal keeps what plays.
QString Player::choose(const QString &chosen, const QString &signalSelector)
{
    if (stopping)
        return "Fin du programme en cours.";
    QString detail;
    const std::unique_ptr<RecordReader> reader = openRecord(chosen, output->worker()->fullScale(), &detail);
    if (!reader) {
        if (!detail.isEmpty())
            qWarning().noquote() << detail;
        return "Impossible d'ouvrir le fichier.";
    }
    const int chosenSignal = findSignal(reader->signalList(), signalSelector);
    if (chosenSignal < 0)
        return noSuchSignal(signalSelector, reader->signalList());
    if (outputOn) {
        const int loaded = output->worker()->loadFile(chosen, chosenSignal);
        if (loaded <= 0)
            return loadRefusal(loaded);
    }
    output->worker()->setPosition(0);
    path = chosen;
    fileSignal = chosenSignal;
    return QString();
}

QString Player::setPlaying(bool on)
{
    if (stopping)
        return "Fin du programme en cours.";
    if (on == outputOn)
        return QString();
    if (on) {
        const int loaded = output->worker()->loadFile(path, fileSignal);
        if (loaded <= 0)
            return loadRefusal(loaded);
        output->worker()->resume();
    } else {
        output->worker()->pause();
    }
    outputOn = on;
    return QString();
}

// The output thread may hang in a device call: the program ends without
// waiting for it, and the kernel closes the device.
void Player::forceStop(const char *reason)
{
    qWarning().noquote() << "Arrêt forcé:" << reason;
    std::_Exit(stopForced);
}

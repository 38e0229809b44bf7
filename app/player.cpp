#include "player.h"

#include "appworker.h"
#include "outputrunner.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Unix signals reach the event loop through a socket pair: the handler only
// writes the signal's number, which a QSocketNotifier reads (Qt's way).
int signalSockets[2] = {-1, -1};

void writeSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
}

bool catchSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return false;
    struct sigaction action{};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(number, &action, nullptr) != 0)
            return false;
    }
    return true;
}

} // namespace

Player::Player(const OutputSettings &settings, const QString &path)
    : path(path), output(new OutputRunner(settings))
{
}

Player::~Player()
{
    delete output;
}

int Player::exec()
{
    AppWorker *worker = output->worker();
    const int samples = worker->loadFile(path);
    if (samples < 0) {
        qWarning() << "Fichier d'échantillons refusé:" << path;
        return sampleFileRefused;
    }
    if (samples == 0) {
        qWarning() << "Aucun échantillon dans" << path;
        return noSample;
    }
    if (!catchSignals()) {
        qWarning() << "Signaux indisponibles";
        return EXIT_FAILURE;
    }
    signalNotifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(signalNotifier, &QSocketNotifier::activated, this, &Player::onSignal);
    connect(worker, &AppWorker::finished, this, [] { QCoreApplication::exit(0); });
    connect(worker, &AppWorker::setUpFailed, this, [] { QCoreApplication::exit(dacRefused); });

    worker->resume();
    output->start();
    return QCoreApplication::exec();
}

void Player::onSignal()
{
    char number = 0;
    if (::read(signalSockets[1], &number, 1) != 1 || stopping || !output->worker())
        return;
    AppWorker *worker = output->worker();
    if (number == SIGHUP) {
        // As a switch-on in the window: reloaded while paused.
        worker->pause();
        worker->loadFile(path);
        worker->resume();
        return;
    }
    // The output stops after the frame in progress; its end ends the event loop.
    stopping = true;
    worker->stop();
}

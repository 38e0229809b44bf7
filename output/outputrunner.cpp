#include "outputrunner.h"

#include "appworker.h"

#include <QDebug>
#include <QThread>

namespace {
// A pass takes at most about 100 ms (the wait for data), so this is generous.
constexpr unsigned long shutdownTimeoutMs = 5000;
} // namespace

OutputRunner::OutputRunner(const OutputSettings &settings)
    : thread(new QThread), outputWorker(new AppWorker(settings))
{
    AppWorker *const worker = outputWorker;
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::started, worker, &AppWorker::process);
    // These handlers run in the output thread, possibly after this runner is
    // gone (when the shutdown wait times out): they hold the thread only.
    QThread *const outputThread = thread;
    QObject::connect(
        thread, &QThread::finished, thread,
        [outputThread] {
            qDebug() << "Thread terminé";
            outputThread->quit();
        },
        Qt::DirectConnection);
    QObject::connect(
        worker, &AppWorker::finished, worker,
        [outputThread] {
            qDebug() << "Worker terminé";
            outputThread->quit();
        },
        Qt::DirectConnection);
    QObject::connect(worker, &AppWorker::finished, worker, &QObject::deleteLater);
    QObject::connect(
        worker, &AppWorker::resultReady, worker,
        [](const QString &result) { qDebug() << "Résultat reçu:" << result; }, Qt::DirectConnection);
}

void OutputRunner::start()
{
    thread->start();
}

void OutputRunner::stop()
{
    if (!stopped)
        outputWorker->stop();
    stopped = true;
}

// The worker ends its loop on stop; when the device never opened, the thread
// sits in its own event loop, which quit ends.
OutputRunner::~OutputRunner()
{
    stop();
    // Should the thread outlive the wait, it deletes itself once it ends (the
    // worker goes with it, after finished); made before the wait so that no
    // end goes unseen, and dropped with the thread when the wait succeeds.
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->quit();
    if (thread->wait(shutdownTimeoutMs)) {
        // Still there only when the loop never ran to its end (the DAC did not open).
        delete outputWorker;
        delete thread;
    } else {
        qWarning() << "Le thread de sortie ne s'arrête pas; fin sans l'attendre";
    }
}

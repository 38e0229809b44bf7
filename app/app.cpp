#include "app.h"

#include "appworker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

namespace {

// A pass takes at most about 100 ms (the wait for data), so this is generous.
constexpr unsigned long shutdownTimeoutMs = 5000;

} // namespace

App::App(QObject *parent)
    : QObject(parent)
{
    worker = new AppWorker;
    thread = new QThread;
    worker->moveToThread(thread);

    connect(thread, &QThread::started, worker, &AppWorker::process);
    connect(
        thread, &QThread::finished, thread,
        [this] {
            qDebug() << "Thread terminé";
            thread->quit();
        },
        Qt::DirectConnection);
    connect(
        worker, &AppWorker::finished, worker,
        [this] {
            qDebug() << "Worker terminé";
            thread->quit();
        },
        Qt::DirectConnection);
    connect(worker, &AppWorker::finished, worker, &QObject::deleteLater);
    connect(
        worker, &AppWorker::resultReady, worker,
        [](const QString &result) { qDebug() << "Résultat reçu:" << result; }, Qt::DirectConnection);
}

App::~App()
{
    qDebug() << "App destructor";
    shutDownOutputThread();
}

void App::start()
{
    thread->start();
}

void App::onSimuToggled(bool checked)
{
    if (!checked) {
        worker->pause();
        return;
    }
    if (!filePath.isEmpty()) {
        worker->loadFile(filePath);
        worker->resume();
    }
}

void App::onExitRequested()
{
    worker->stop();
    QCoreApplication::quit();
}

// Lets the output thread end before the process does, so that no frame is cut and
// the device is closed. The worker ends its loop on stop (Quit); when the device
// never opened, the thread sits in its own event loop, which quit ends.
void App::shutDownOutputThread()
{
    thread->quit();
    if (!thread->wait(shutdownTimeoutMs)) {
        qWarning() << "Le thread de sortie ne s'arrête pas; fin sans l'attendre";
        return;
    }
    // Still there only when the loop never ran to its end (the DAC did not open).
    delete worker;
    delete thread;
}

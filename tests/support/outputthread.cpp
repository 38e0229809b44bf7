#include "outputthread.h"

#include <QFile>

#include <unistd.h>

namespace {
constexpr int waitMs = 5000;
}

OutputThread::OutputThread()
    : finishedSpy(worker, &AppWorker::finished)
{
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, [this] { outputThreadId = gettid(); });
    QObject::connect(&thread, &QThread::started, worker, &AppWorker::process);
    thread.start();
}

OutputThread::~OutputThread()
{
    finish();
    delete worker;
}

bool OutputThread::finish()
{
    worker->stop();
    thread.quit();
    return thread.wait(waitMs);
}

bool threadSleeps(int threadId)
{
    QFile stat(QString("/proc/self/task/%1/stat").arg(threadId));
    if (threadId == 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "S";
}

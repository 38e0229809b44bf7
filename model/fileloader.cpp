#include "fileloader.h"

#include <QElapsedTimer>

#include <utility>

namespace {
// Often enough for a progress bar, seldom enough not to flood the event loop.
constexpr qint64 progressIntervalMs = 100;
} // namespace

FileLoader::FileLoader(const QString &annotator, QObject *parent) : QThread(parent), annotator(annotator)
{
}

FileLoader::~FileLoader()
{
    finish(QDeadlineTimer(QDeadlineTimer::Forever));
}

bool FileLoader::finish(QDeadlineTimer deadline)
{
    mutex.lock();
    abort = true;
    cancelledUpTo = lastRequest;
    condition.wakeOne();
    mutex.unlock();
    return wait(deadline);
}

quint64 FileLoader::load(const LoadRequest &request)
{
    QMutexLocker locker(&mutex);
    cancelledUpTo = lastRequest;
    next = request;
    pending = true;
    if (!isRunning())
        start();
    else
        condition.wakeOne();
    return ++lastRequest;
}

void FileLoader::cancel()
{
    QMutexLocker locker(&mutex);
    cancelledUpTo = lastRequest;
}

std::optional<LoadedSignal> FileLoader::takeResult(quint64 request)
{
    QMutexLocker locker(&mutex);
    if (request != resultRequest)
        return std::nullopt;
    resultRequest = 0;
    return std::exchange(result, LoadedSignal());
}

void FileLoader::run()
{
    forever {
        mutex.lock();
        while (!pending && !abort)
            condition.wait(&mutex);
        if (abort) {
            mutex.unlock();
            return;
        }
        const LoadRequest current = next;
        const quint64 request = lastRequest;
        pending = false;
        mutex.unlock();

        QElapsedTimer sinceProgress;
        sinceProgress.start();
        LoadObserver observer;
        observer.cancelled = [&] { return cancelledUpTo.loadAcquire() >= request; };
        observer.progress = [&](qint64 read, qint64 total) {
            if (sinceProgress.elapsed() >= progressIntervalMs) {
                sinceProgress.restart();
                emit progressed(request, read, total);
            }
        };
        LoadedSignal loadedSignal = loadSignal(current, observer, annotator);
        mutex.lock();
        result = std::move(loadedSignal);
        resultRequest = request;
        mutex.unlock();
        emit loaded(request);
    }
}

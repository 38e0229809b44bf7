#ifndef OUTPUTTHREAD_H
#define OUTPUTTHREAD_H

#include "appworker.h"

#include <QSignalSpy>
#include <QThread>

#include <atomic>

// An AppWorker running its loop in its own thread, as the application runs it.
class OutputThread
{
public:
    OutputThread();
    ~OutputThread();

    // Stops the loop and lets the thread end; true once it has.
    bool finish();
    // Kernel id of the output thread once it runs, else 0.
    int threadId() const { return outputThreadId; }

    AppWorker *const worker = new AppWorker;
    QSignalSpy finishedSpy;

private:
    QThread thread;
    std::atomic<int> outputThreadId{0};
};

// True while the thread of that kernel id sleeps (its /proc state is S).
bool threadSleeps(int threadId);

#endif // OUTPUTTHREAD_H

#ifndef OUTPUTRUNNER_H
#define OUTPUTRUNNER_H

#include "outputsettings.h"

#include <QPointer>

class AppWorker;
class QThread;

// The output worker in a thread of its own, as the window and the headless
// mode run it: started once, steered through the worker's commands, and ended
// with a bounded wait when this goes.
class OutputRunner
{
public:
    explicit OutputRunner(const OutputSettings &settings);
    // Stops the worker if nobody has, then lets the output thread end before
    // the process does, at most for a while.
    ~OutputRunner();
    Q_DISABLE_COPY(OutputRunner)

    // Starts the thread, whose start runs the worker's output loop.
    void start();
    // The worker to steer; null once stop was asked, since the worker then
    // ends and is deleted in the output thread at any time.
    AppWorker *worker() const { return stopped ? nullptr : outputWorker.data(); }
    // Asks the output to stop after the frame in progress; the first call only.
    void stop();

private:
    QThread *thread;
    // Tracks the worker's deferred deletion, which happens in the output thread;
    // read here only once that thread has ended.
    QPointer<AppWorker> outputWorker;
    bool stopped = false;
};

#endif // OUTPUTRUNNER_H

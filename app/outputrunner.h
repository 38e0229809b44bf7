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
    // Lets the output thread end before the process does (after the worker's
    // stop, or at once when the device never opened), at most for a while.
    ~OutputRunner();
    Q_DISABLE_COPY(OutputRunner)

    // Starts the thread, whose start runs the worker's output loop.
    void start();
    // Null once the worker has ended and was deleted, in the output thread.
    AppWorker *worker() const { return outputWorker; }

private:
    QThread *thread;
    // Tracks the worker's deferred deletion, which happens in the output thread.
    QPointer<AppWorker> outputWorker;
};

#endif // OUTPUTRUNNER_H

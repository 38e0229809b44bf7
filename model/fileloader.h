#ifndef FILELOADER_H
#define FILELOADER_H

#include "loadsignal.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <optional>

// Opens and reads the chosen files off the main thread, one at a time, as
// Qt's Mandelbrot example renders: a request replaces the one in progress,
// which gives up at its next block; the thread sleeps while there is none.
class FileLoader : public QThread
{
    Q_OBJECT

public:
    // annotator: whose annotations are read with a record (empty: none).
    explicit FileLoader(const QString &annotator, QObject *parent = nullptr);
    // Gives up the read in progress and ends the thread.
    ~FileLoader() override;

    // Opens a file and reads the signal it asks for; the number that
    // loaded() and progressed() will carry.
    quint64 load(const LoadRequest &request);
    // Gives up the read in progress, if any; it ends with a Cancelled refusal.
    void cancel();
    // The result of that read, handed over once: none when a later read has
    // ended since (its own loaded() follows).
    std::optional<LoadedSignal> takeResult(quint64 request);
    // Gives up the read in progress and waits for the thread to end, until
    // deadline; false when it is still in a read that does not return.
    bool finish(QDeadlineTimer deadline);

signals:
    void progressed(quint64 request, qint64 read, qint64 total);
    // The read's result is ready for takeResult().
    void loaded(quint64 request);

protected:
    void run() override;

private:
    const QString annotator;
    QMutex mutex;
    QWaitCondition condition;
    LoadRequest next;
    quint64 lastRequest = 0;
    // Handed over under the mutex, which orders it between the two threads.
    LoadedSignal result;
    quint64 resultRequest = 0;
    bool pending = false;
    bool abort = false;
    // Read by the loading thread between blocks: a newer request or a cancel.
    QAtomicInteger<quint64> cancelledUpTo = 0;
};

#endif // FILELOADER_H

#ifndef FILELOADER_H
#define FILELOADER_H

#include "loadsignal.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <memory>

class RecordReader;

// Reads the chosen files off the main thread, one at a time, as Qt's
// Mandelbrot example renders: a request replaces the one in progress, which
// gives up at its next block; the thread sleeps while there is none.
class FileLoader : public QThread
{
    Q_OBJECT

public:
    // annotator: whose annotations are read with a record (empty: none).
    explicit FileLoader(const QString &annotator, QObject *parent = nullptr);
    // Gives up the read in progress and ends the thread.
    ~FileLoader() override;

    // Reads one signal of an open file; the number that loaded() and
    // progressed() will carry.
    quint64 load(std::unique_ptr<RecordReader> reader, const QString &path, int signal, double fullScaleMv);
    // Gives up the read in progress, if any; it ends with a Cancelled refusal.
    void cancel();

signals:
    void progressed(quint64 request, qint64 read, qint64 total);
    void loaded(quint64 request, const LoadedSignal &result);

protected:
    void run() override;

private:
    const QString annotator;
    QMutex mutex;
    QWaitCondition condition;
    std::unique_ptr<RecordReader> reader;
    QString path;
    int signal = 0;
    double fullScaleMv = 0;
    quint64 lastRequest = 0;
    bool pending = false;
    bool abort = false;
    // Read by the loading thread between blocks: a newer request or a cancel.
    QAtomicInteger<quint64> cancelledUpTo = 0;
};

Q_DECLARE_METATYPE(LoadedSignal)

#endif // FILELOADER_H

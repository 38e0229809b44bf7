#include "beatlog.h"

#include "regularfile.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <vector>

namespace {

// Queued beats are written at least this often.
constexpr unsigned long flushMs = 500;
// Beats waiting beyond this are dropped and counted: a day of beats is about
// 100,000, so only a disk stalled for hours reaches it.
constexpr std::size_t maxQueued = 65536;
// A writer stuck in the disk is left behind after this long.
constexpr unsigned long shutdownMs = 5000;

const char header[] = "# ecg-simulator: battements envoyés: temps CLOCK_MONOTONIC (s), temps CLOCK_REALTIME (s), "
                      "boucle, échantillon, étiquette, canal\n";

} // namespace

QByteArray secondsText(std::int64_t ns)
{
    return QByteArray::number(qint64(ns / 1000000000)) + '.'
           + QByteArray::number(qint64(ns % 1000000000 / 1000)).rightJustified(6, '0');
}

// Shared by the log and its writer thread, which may outlive the log when the disk hangs.
struct BeatLog::Queue
{
    QFile file;
    QMutex mutex;
    QWaitCondition condition;
    // A beat, or the line that starts a run.
    struct Entry
    {
        SentBeat beat;
        QByteArray run;
    };
    // Guarded by the mutex.
    std::vector<Entry> entries;
    std::size_t lost = 0;
    bool stopping = false;

    void write();
};

// The writer thread's loop: takes what is queued, then writes it without the lock.
void BeatLog::Queue::write()
{
    bool failing = false;
    forever {
        std::vector<Entry> taken;
        std::size_t lostNow = 0;
        bool last = false;
        {
            QMutexLocker locker(&mutex);
            if (!stopping)
                condition.wait(&mutex, QDeadlineTimer(flushMs));
            taken.swap(entries);
            std::swap(lostNow, lost);
            last = stopping;
        }
        QByteArray text;
        if (lostNow > 0) {
            qWarning() << "Journal des battements:" << lostNow << "battements perdus, le disque ne suit pas";
            text += "# " + QByteArray::number(qulonglong(lostNow)) + " battements perdus\n";
        }
        for (const Entry &entry : taken) {
            const SentBeat &beat = entry.beat;
            if (!entry.run.isEmpty())
                text += entry.run;
            else
                text += secondsText(beat.monotonicNs) + ' ' + secondsText(beat.realtimeNs) + ' '
                        + QByteArray::number(beat.loop) + ' ' + QByteArray::number(beat.sample) + ' ' + beat.label + ' '
                        + QByteArray::number(beat.channel) + '\n';
        }
        if (!text.isEmpty()) {
            const bool written = file.write(text) == text.size() && file.flush();
            if (!written && !failing)
                qWarning().noquote() << "Journal des battements: écriture impossible dans" << file.fileName() << ":"
                                     << file.errorString();
            failing = !written;
        }
        if (last)
            return;
    }
}

std::shared_ptr<BeatLog> BeatLog::open(const QString &path, QString *reason)
{
    auto queue = std::make_shared<Queue>();
    queue->file.setFileName(path);
    // Opened as the readers open theirs: a FIFO without reader would hold the
    // opening thread, and any other file that is not a regular one is no log.
    QString refusal;
    if (!openRegularFile(queue->file, QIODevice::WriteOnly | QIODevice::Append, &refusal)
        || queue->file.write(header) < 0 || !queue->file.flush()) {
        *reason = QString("Journal des battements: écriture impossible dans \"%1\": \"%2\"")
                      .arg(path, refusal.isEmpty() ? queue->file.errorString() : refusal);
        return nullptr;
    }
    QThread *writer = QThread::create([queue] { queue->write(); });
    writer->start();
    return std::shared_ptr<BeatLog>(new BeatLog(queue, writer));
}

BeatLog::BeatLog(std::shared_ptr<Queue> queue, QThread *writer) : queue(std::move(queue)), writer(writer)
{
}

BeatLog::~BeatLog()
{
    {
        QMutexLocker locker(&queue->mutex);
        queue->stopping = true;
        queue->condition.wakeAll();
    }
    if (writer->wait(shutdownMs)) {
        delete writer;
        return;
    }
    qWarning() << "Journal des battements: le disque ne répond pas, fin sans l'attendre";
    QObject::connect(writer, &QThread::finished, writer, &QObject::deleteLater);
}

void BeatLog::add(const SentBeat &beat)
{
    QMutexLocker locker(&queue->mutex);
    if (queue->entries.size() < maxQueued)
        queue->entries.push_back({beat, QByteArray()});
    else
        ++queue->lost;
}

void BeatLog::startRun(const QString &description)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray line = "# départ " + now.toString(Qt::ISODateWithMs).toUtf8() + " ("
                            + secondsText(now.toMSecsSinceEpoch() * 1000000) + ") : " + description.toUtf8() + '\n';
    QMutexLocker locker(&queue->mutex);
    queue->entries.push_back({SentBeat(), line});
}

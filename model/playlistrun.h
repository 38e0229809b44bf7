#ifndef PLAYLISTRUN_H
#define PLAYLISTRUN_H

#include "beatscore.h"
#include "refusal.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class Playback;

// A database played as EC57 has it: each record of a playlist once, in turn,
// padded at its end; with a detection line, each record's pass scored and
// written, and once all have played, the summary of every record (as WFDB's
// sumstats prints it) logged and written beside them. A record whose report is
// there already (an interrupted run started again) is not played again: its
// written detections are scored anew for the summary. A record's pass counts
// once it played whole; a refused record is skipped.
class PlaylistRun : public QObject
{
    Q_OBJECT

public:
    explicit PlaylistRun(Playback *playback);

    // Reads the list and plays its first record; refused when it cannot be
    // read, or while another list plays. A list named from afar, and each of
    // its records, must be in one of folders.
    Refusal start(const QString &path, const std::optional<QStringList> &folders = std::nullopt);
    bool running() const { return index >= 0; }
    // The record that plays (from 1; 0 when none), of how many, and its path.
    int current() const { return running() ? index + 1 : 0; }
    int count() const { return running() ? records.size() : 0; }
    QString record() const { return running() ? records[index] : QString(); }
    // Stops going on to the next record (the output is stopped by the caller); no summary.
    void abort();

signals:
    // Every record has played, the summary written.
    void finished();

private:
    void playNext();
    void recordPlayed();
    void passScored(const QString &record, const BeatScore &score);
    void finish();
    // The score of a record played before, from its files; false if they cannot be read.
    bool scoreFromFiles(const QString &path, BeatScore *score) const;

    Playback *playback;
    QString listPath;
    std::optional<QStringList> confinedTo;
    QStringList records;
    int index = -1;
    bool wasOnce = false;
    // Waits for the record's pass to be scored before the next.
    bool awaitingScore = false;
    QVector<QPair<QString, BeatScore>> scores;
};

#endif // PLAYLISTRUN_H

#ifndef DETECTIONSCORER_H
#define DETECTIONSCORER_H

#include "beatscore.h"
#include "detectline.h"
#include "frametimeline.h"
#include "outputsettings.h"

#include <QDir>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QVector>

#include <deque>
#include <memory>
#include <optional>

// A monitor's QRS detections, taken from a GPIO line as edges, each placed on
// the record's sample whose frame went out last before it (the output loop
// records every frame in the timeline), gathered per pass over the record, in
// order, and scored beat by beat against the record's beats. When a pass ends
// (a loop, a switch, a seek, a stop, the program's end) its detections are
// written as a WFDB annotation file, a list of times and bxb's report (the
// report of a pass that did not cover the whole record named .partial).
// Edges that come while nothing goes out are counted apart and scored nowhere.
// Lives in the main thread; the line's thread only queues edges.
class DetectionScorer : public QObject
{
    Q_OBJECT

public:
    explicit DetectionScorer(const OutputSettings &settings, QObject *parent = nullptr);
    // Ends the passes still open, their files written.
    ~DetectionScorer() override;

    // Opens the detection line and starts placing its edges; false and the reason.
    bool open(QString *reason);
    // What the output loop records its frames in.
    std::shared_ptr<FrameTimeline> timeline() const { return frames; }
    // A list put in the output, read from path: its passes are scored against
    // its beats and named after its file. The last few are kept for that.
    void listPlaced(const std::shared_ptr<const SampleList> &list, const QString &path);
    // The passes sent until now end once the edges of their last frames are in.
    void endPass();

    // Since the start: edges placed on a pass, edges that came while nothing
    // went out, and edges lost (taken too late to place, stamped on another
    // clock, or dropped by the line).
    qint64 placed() const { return placedCount; }
    qint64 whileOff() const { return offCount; }
    qint64 lost() const;
    // The pass in progress up to its last sample that a detection can no
    // longer answer late; else the last pass ended; none before any.
    std::optional<BeatScore> score() const;

    // The annotation file of a record's pass: NAME.ANNOTATOR for the first,
    // then NAME.ANNOTATOR2 …, in the output folder; the times and the report
    // beside it (.times, .report or .partial).
    QString annotationFile(const QString &record, int pass) const;
    // The scoring of a record of length samples at rate from its firstSample:
    // the learning period from there, and up to endSample (-1: the whole
    // record, and a match window beyond for its last beat's detection).
    BeatScoreSettings scoring(double rate, qint64 length, qint64 firstSample, qint64 endSample = -1) const;
    // Writes the records' summary (sumstats-ANNOTATOR.txt) in the output folder, and logs it.
    void writeSummary(const QVector<QPair<QString, BeatScore>> &records) const;

signals:
    void changed();
    // A pass ended: its annotation file (empty if it could not be written),
    // its score, and whether it covered the whole record.
    void passEnded(const QString &record, const QString &annotationFile, const BeatScore &score, bool complete);

private:
    struct Detection
    {
        qint64 sample = 0;
        std::int64_t monotonicNs = 0;
        std::int64_t realtimeNs = 0;
    };

    // Places the edges taken as they stand at now, and ends the pass that is over.
    void poll(std::int64_t now);
    // The passes up to number ended in order, number's gathered from now on.
    void advanceTo(quint64 number);
    void adopt(const FramePass &pass);
    void finishPass();
    BeatScore scoreOf(qint64 endSample) const;
    // --detect-output, or the working folder.
    QDir outputFolder() const;
    bool writeFiles(int passNumber, const BeatScore &score, bool complete, QString *annotationPath) const;

    const OutputSettings settings;
    DetectLine line;
    std::shared_ptr<FrameTimeline> frames;
    QTimer poller;
    std::deque<qint64> pending;
    // The pass whose detections are gathered (number 0: none yet), its list and record.
    FramePass current;
    std::shared_ptr<const SampleList> currentList;
    QString currentRecord;
    QVector<Detection> detections;
    // Passes up to this one have ended: their late edges are lost.
    quint64 finishedThrough = 0;
    std::optional<BeatScore> lastScore;
    std::optional<BeatScore> liveScore;
    // The last pass that endPass() ended, and when it was asked; 0: none.
    quint64 endAskedPass = 0;
    std::int64_t endAskedNs = 0;
    qint64 placedCount = 0;
    qint64 offCount = 0;
    qint64 lostCount = 0;
    bool clockSaid = false;
    bool failureSaid = false;
    // The lists put in the output last, with their files; the passes of each record so far.
    std::deque<std::pair<std::shared_ptr<const SampleList>, QString>> sources;
    QHash<QString, int> passesOfRecord;
};

#endif // DETECTIONSCORER_H

#ifndef DETECTIONSCORER_H
#define DETECTIONSCORER_H

#include "beatscore.h"
#include "detectline.h"
#include "frametimeline.h"
#include "outputsettings.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <deque>
#include <memory>
#include <optional>

// A monitor's QRS detections, taken from a GPIO line as edges, each placed on
// the record's sample whose frame went out last before it (the output loop
// records every frame in the timeline), gathered per pass over the record and
// scored beat by beat against the record's beats. When a pass ends (a loop, a
// switch, a seek, a stop) its detections are written beside each other as a
// WFDB annotation file, a list of times and bxb's report. Edges that come while
// nothing goes out are counted apart and scored nowhere. Lives in the main
// thread; the line's thread only queues edges.
class DetectionScorer : public QObject
{
    Q_OBJECT

public:
    explicit DetectionScorer(const OutputSettings &settings, QObject *parent = nullptr);
    // Ends the pass in progress, its files written.
    ~DetectionScorer() override;

    // Opens the detection line and starts placing its edges; false and the reason.
    bool open(QString *reason);
    // What the output loop records its frames in.
    std::shared_ptr<FrameTimeline> timeline() const { return frames; }
    // The file that a list was read from, for the names of its passes' files.
    void listPlaced(const std::shared_ptr<const SampleList> &list, const QString &path);
    // The pass in progress ends once the edges of its last frames are in.
    void endPass();

    // Since the start: edges placed on a pass, edges that came while nothing
    // went out, and edges lost (taken too late to place, or dropped by the line).
    qint64 placed() const { return placedCount; }
    qint64 whileOff() const { return offCount; }
    qint64 lost() const;
    // The pass in progress up to its last sample that a detection can no
    // longer answer late; else the last pass ended; none before any.
    std::optional<BeatScore> score() const;
    // Why the line stopped being watched; empty while it is.
    QString failure() const;

    // The files of a record's pass: NAME.ANNOTATOR for the first, then
    // NAME.ANNOTATOR2 …, in the output folder; the times and the report beside.
    QString annotationFile(const QString &record, int pass) const;

signals:
    void changed();
    // A pass ended: its annotation file (empty if it could not be written) and its score.
    void passEnded(const QString &record, const QString &annotationFile, const BeatScore &score);

private:
    struct Detection
    {
        qint64 sample = 0;
        std::int64_t monotonicNs = 0;
        std::int64_t realtimeNs = 0;
    };

    // Places the edges taken as they stand at now, and ends the pass that is over.
    void poll(std::int64_t now);
    void finishPass();
    BeatScore scoreOf(qint64 endSample) const;
    QString recordOf(const FramePass &pass) const;
    bool writeFiles(const QString &record, int passNumber, const BeatScore &score, QString *annotationPath);

    const OutputSettings settings;
    DetectLine line;
    std::shared_ptr<FrameTimeline> frames;
    QTimer poller;
    std::deque<qint64> pending;
    // The pass whose detections are gathered; number 0: none yet.
    FramePass current;
    // Passes up to this one have ended: their late edges are lost.
    quint64 finishedThrough = 0;
    QVector<Detection> detections;
    std::optional<BeatScore> lastScore;
    std::optional<BeatScore> liveScore;
    // When endPass() was asked; 0: not asked.
    std::int64_t endAskedNs = 0;
    qint64 placedCount = 0;
    qint64 offCount = 0;
    qint64 lostCount = 0;
    // The files that recent lists were read from, and the passes of each record so far.
    std::deque<std::pair<std::weak_ptr<const SampleList>, QString>> sources;
    QHash<QString, int> passesOfRecord;
};

#endif // DETECTIONSCORER_H

#ifndef BEATSCORE_H
#define BEATSCORE_H

#include "annotations.h"

#include <QPair>
#include <QString>
#include <QVector>

#include <array>
#include <optional>

struct BeatScoreSettings
{
    double sampleRate = 360.0;
    // Beats before this are the detector's to learn on, not scored; 0 scores from the start.
    double learningSeconds = 300.0;
    // The last sample scored (the record's length); -1: up to the last reference beat.
    qint64 endSample = -1;
};

// A detector's QRS detections compared beat by beat with the reference beats
// as AAMI EC57 counts them (WFDB's bxb): a reference beat and a detection
// within 150 ms of each other are paired, each at most once, the closer pair
// winning; a detection paired with nothing is a false positive, a reference
// beat paired with nothing a false negative. The learning period's beats are
// not scored, nor a ventricular flutter episode the reference marks ([ to ]).
// Every detection counts as a normal beat: only the QRS statistics mean something.
class BeatScore
{
public:
    // bxb's classes of reference beats; Other holds the beats EC57 does not
    // class (and, as detected, the detections paired with no reference beat).
    enum Class { Normal, Ventricular, Fusion, Unknown, Other, ClassCount };

    struct Delay
    {
        int count = 0;
        double medianMs = 0.0;
        double p95Ms = 0.0;
        double maxMs = 0.0;
    };

    static BeatScore compare(const QVector<Annotation> &reference, const QVector<qint64> &detections,
                             const BeatScoreSettings &settings);
    static Class classOf(char label);
    // The 150 ms match window in samples at rate.
    static qint64 matchWindow(double rate);

    // Reference beats of a class that a detection was paired with, and that none was.
    qint64 detected(Class c) const { return found[c]; }
    qint64 missed(Class c) const { return lost[c]; }

    qint64 truePositives() const;
    qint64 falseNegatives() const;
    qint64 falsePositives() const { return found[Other]; }
    // In percent; none without a beat to divide by.
    std::optional<double> sensitivity() const;
    std::optional<double> positivePredictivity() const;
    // How late each paired detection came after its QRS reference beat (negative: early).
    Delay delay() const;

private:
    std::array<qint64, ClassCount> found{}; // Other: every detection no QRS reference beat took
    std::array<qint64, ClassCount> lost{};  // Other: in no statistic, as in bxb
    QVector<qint64> delaySamples;
    double sampleRate = 0.0;
};

// bxb's standard report of one record (its table and QRS lines), then the delay.
QString bxbReport(const BeatScore &score, const QString &record, const QString &referenceAnnotator,
                  const QString &testAnnotator);
// The records' lines in bxb's line format, then their sums, gross and average
// statistics, as WFDB's sumstats prints them.
QString sumstatsReport(const QVector<QPair<QString, BeatScore>> &records);

#endif // BEATSCORE_H

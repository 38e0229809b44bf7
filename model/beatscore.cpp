#include "beatscore.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// Past every sample: an exhausted list's next beat, far enough from any real one.
constexpr qint64 never = std::numeric_limits<qint64>::max() / 4;
constexpr double matchWindowSeconds = 0.15;

// The two lists walked together, a reference beat and a detection at a time.
struct Pairing
{
    QVector<Annotation> refs;
    QVector<qint64> dets;
    int i = 0;
    int j = 0;

    qint64 ref(int ahead = 0) const { return i + ahead < refs.size() ? refs[i + ahead].sample : never; }
    qint64 det(int ahead = 0) const { return j + ahead >= 0 && j + ahead < dets.size() ? dets[j + ahead] : never; }
    char refLabel() const { return refs[i].label; }
};

double percent(qint64 part, qint64 whole)
{
    return 100.0 * double(part) / double(whole);
}

// bxb's statistic in its standard report: "label: 99.80% (a/b)", a dash when undefined.
QString statLine(const char *label, qint64 part, qint64 whole)
{
    const QString value = whole > 0 ? QString::asprintf("%6.2f%%", percent(part, whole)) : QString("     - ");
    return QString::asprintf("%s: ", label) + value + QString::asprintf(" (%lld/%lld)\n", part, whole);
}

// A statistic in a line-format column, as bxb and sumstats print them.
QString column(const char *format, double part, double whole)
{
    return whole > 0 ? QString::asprintf(format, 100.0 * part / whole) : QString("      -");
}

// The counts of bxb's line format, every detection a normal beat.
struct LineCounts
{
    qint64 nn, vn, fn, on, no, vo, fo;

    explicit LineCounts(const BeatScore &s)
        : nn(s.detected(BeatScore::Normal)), vn(s.detected(BeatScore::Ventricular)),
          fn(s.detected(BeatScore::Fusion) + s.detected(BeatScore::Unknown)), on(s.detected(BeatScore::Other)),
          no(s.missed(BeatScore::Normal)), vo(s.missed(BeatScore::Ventricular)),
          fo(s.missed(BeatScore::Fusion) + s.missed(BeatScore::Unknown))
    {
    }

    LineCounts &operator+=(const LineCounts &o)
    {
        nn += o.nn, vn += o.vn, fn += o.fn, on += o.on, no += o.no, vo += o.vo, fo += o.fo;
        return *this;
    }

    qint64 qrsFound() const { return nn + vn + fn; }
    // Se, +P, VEB Se, VEB +P and VEB false positive rate: no detection is ventricular.
    QString stats() const
    {
        return column(" %6.2f", qrsFound(), qrsFound() + no + vo + fo) + column(" %6.2f", qrsFound(), qrsFound() + on)
               + column(" %6.2f", 0, vn + vo) + column(" %6.2f", 0, 0) + column(" %6.3f", 0, nn + fn + on);
    }
};

} // namespace

BeatScore::Class BeatScore::classOf(char label)
{
    if (label != '\0' && std::strchr("NLRBAaJSjen", label))
        return Normal;
    if (label != '\0' && std::strchr("VrE", label))
        return Ventricular;
    if (label == 'F')
        return Fusion;
    // Paced beats and their fusions are unknown beats to EC57, and so are learning marks.
    if (label != '\0' && std::strchr("Q/f?", label))
        return Unknown;
    return Other;
}

qint64 BeatScore::matchWindow(double rate)
{
    return qRound64(matchWindowSeconds * rate);
}

BeatScore BeatScore::compare(const QVector<Annotation> &reference, const QVector<qint64> &detections,
                             const BeatScoreSettings &settings)
{
    QVector<Annotation> annotations = reference;
    const auto bySample = [](const Annotation &a, const Annotation &b) { return a.sample < b.sample; };
    std::stable_sort(annotations.begin(), annotations.end(), bySample);
    // Ventricular flutter as the reference marks it ([ to ]): its beats are not
    // scored, nor the detections in it that answer none.
    QVector<Annotation> beats;
    QVector<QPair<qint64, qint64>> flutter;
    for (const Annotation &a : annotations) {
        if (!flutter.isEmpty() && flutter.last().second == never) {
            if (a.label == ']')
                flutter.last().second = a.sample;
        } else if (a.label == '[') {
            flutter.append({a.sample, never});
        } else if (a.isBeat) {
            beats.append(a);
        }
    }
    const auto inFlutter = [&flutter](qint64 t) {
        return std::any_of(flutter.begin(), flutter.end(), [t](const auto &f) { return f.first <= t && t <= f.second; });
    };
    QVector<qint64> sortedDetections = detections;
    std::sort(sortedDetections.begin(), sortedDetections.end());

    BeatScore score;
    score.sampleRate = settings.sampleRate;
    const qint64 window = matchWindow(settings.sampleRate);
    const qint64 start = qRound64(settings.learningSeconds * settings.sampleRate);
    const qint64 end = settings.endSample;
    Pairing p{std::move(beats), std::move(sortedDetections)};

    const auto pair = [&](qint64 detection) {
        const Class c = classOf(p.refLabel());
        ++score.found[c];
        if (c != Other)
            score.delaySamples.append(detection - p.ref());
        ++p.i;
    };
    const auto miss = [&] {
        ++score.lost[classOf(p.refLabel())];
        ++p.i;
    };

    p.i = int(std::lower_bound(p.refs.begin(), p.refs.end(), start,
                               [](const Annotation &a, qint64 s) { return a.sample < s; })
              - p.refs.begin());
    p.j = int(std::lower_bound(p.dets.begin(), p.dets.end(), start) - p.dets.begin());
    if (start > 0) {
        // The last detection of the learning period may answer the first beat
        // scored; else a first detection just after the start that the next one
        // betters is the detector's settling, counted neither way.
        const qint64 before = p.det(-1);
        if (p.j > 0 && p.ref() - before <= window && p.ref() - before < qAbs(p.ref() - p.det()))
            pair(before);
        else if (p.det() - start <= window && qAbs(p.ref() - p.det(1)) < qAbs(p.ref() - p.det()))
            ++p.j;
    }

    const auto scoring = [&] { return end >= 0 ? p.ref() <= end || p.det() <= end : p.ref() != never; };
    while (scoring()) {
        const qint64 T = p.ref();
        const qint64 t = p.det();
        // The earlier of the two is paired if the other is within the window
        // and nearer to it than the other list's next one.
        if (t < T) {
            if (T - t <= window && T - t < qAbs(T - p.det(1)))
                pair(t);
            else if (!inFlutter(t))
                ++score.found[Other];
            ++p.j;
        } else if (t - T <= window && t - T < qAbs(t - p.ref(1))) {
            pair(t);
            ++p.j;
        } else {
            miss();
        }
    }
    return score;
}

qint64 BeatScore::truePositives() const
{
    return found[Normal] + found[Ventricular] + found[Fusion] + found[Unknown];
}

qint64 BeatScore::falseNegatives() const
{
    return lost[Normal] + lost[Ventricular] + lost[Fusion] + lost[Unknown];
}

std::optional<double> BeatScore::sensitivity() const
{
    const qint64 beats = truePositives() + falseNegatives();
    return beats > 0 ? std::optional<double>(percent(truePositives(), beats)) : std::nullopt;
}

std::optional<double> BeatScore::positivePredictivity() const
{
    const qint64 detections = truePositives() + falsePositives();
    return detections > 0 ? std::optional<double>(percent(truePositives(), detections)) : std::nullopt;
}

BeatScore::Delay BeatScore::delay() const
{
    Delay d;
    d.count = delaySamples.size();
    if (delaySamples.isEmpty())
        return d;
    QVector<qint64> sorted = delaySamples;
    std::sort(sorted.begin(), sorted.end());
    const auto ms = [this](double samples) { return samples * 1000.0 / sampleRate; };
    const int n = sorted.size();
    d.medianMs = ms(n % 2 ? double(sorted[n / 2]) : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0);
    // Nearest rank: the smallest delay that 95 % of the beats do not exceed.
    d.p95Ms = ms(double(sorted[(95 * n + 99) / 100 - 1]));
    d.maxMs = ms(double(sorted.last()));
    return d;
}

QString bxbReport(const BeatScore &score, const QString &record, const QString &referenceAnnotator,
                  const QString &testAnnotator)
{
    using C = BeatScore;
    QString text = QString("Beat-by-beat comparison results for record %1\n").arg(record);
    text += QString("Reference annotator: %1\n     Test annotator: %2\n\n").arg(referenceAnnotator, testAnnotator);
    text += "               Algorithm\n        n    v    f    q    o    x\n   _______________________________\n";
    for (const auto &[row, c] : {std::pair{'N', C::Normal}, {'V', C::Ventricular}, {'F', C::Fusion}, {'Q', C::Unknown}})
        text += QString::asprintf(" %c | %4lld    0    0    0 %4lld    0\n", row, score.detected(c), score.missed(c));
    text += QString::asprintf(" O | %4lld    0    0    0\n X |    0    0    0    0\n\n", score.detected(C::Other));
    const qint64 tp = score.truePositives();
    text += statLine("           QRS sensitivity", tp, tp + score.falseNegatives());
    text += statLine(" QRS positive predictivity", tp, tp + score.falsePositives());
    const BeatScore::Delay d = score.delay();
    if (d.count > 0) {
        text += QString::asprintf("\nRetard de détection (ms): médiane %.1f, p95 %.1f, max %.1f (%d battements)\n",
                                  d.medianMs, d.p95Ms, d.maxMs, d.count);
    }
    return text;
}

QString sumstatsReport(const QVector<QPair<QString, BeatScore>> &records)
{
    QString text("Record Nn' Vn' Fn' On'  Nv   Vv  Fv' Ov' No' Vo' Fo'  Q Se   Q +P   V Se   V +P  V FPR\n");
    LineCounts sum(BeatScore{});
    double seSum = 0.0, ppSum = 0.0;
    int seCount = 0, ppCount = 0, veCount = 0, fprCount = 0;
    for (const auto &[record, score] : records) {
        const LineCounts c(score);
        text += QString::asprintf("%4s %5lld %3lld %3lld %3lld %3d %4d %3d %3d %3lld %3lld %3lld",
                                  record.toLocal8Bit().constData(), c.nn, c.vn, c.fn, c.on, 0, 0, 0, 0, c.no, c.vo,
                                  c.fo)
                + c.stats() + '\n';
        sum += c;
        // Averages are of the records that define the statistic.
        const qint64 beats = c.qrsFound() + c.no + c.vo + c.fo, found = c.qrsFound() + c.on;
        if (beats > 0)
            seSum += double(c.qrsFound()) / double(beats), ++seCount;
        if (found > 0)
            ppSum += double(c.qrsFound()) / double(found), ++ppCount;
        if (c.vn + c.vo > 0)
            ++veCount;
        if (c.nn + c.fn + c.on > 0)
            ++fprCount;
    }
    text += QString(86, '_') + '\n';
    text += QString::asprintf("Sum  %6lld %3lld %3lld %3lld %3d %4d %3d %3d %3lld %3lld %3lld\n", sum.nn, sum.vn,
                              sum.fn, sum.on, 0, 0, 0, 0, sum.no, sum.vo, sum.fo);
    text += QString("Gross").leftJustified(54) + sum.stats() + '\n';
    text += QString("Average").leftJustified(54) + column(" %6.2f", seSum, seCount) + column(" %6.2f", ppSum, ppCount)
            + column(" %6.2f", 0, veCount) + column(" %6.2f", 0, 0) + column(" %6.3f", 0, fprCount);
    text += QString::asprintf("\nTotal QRS complexes: %lld  Total VEBs: %lld\n",
                              sum.qrsFound() + sum.no + sum.vo + sum.fo, sum.vn + sum.vo);
    text += QString::asprintf("\nSummary of results from %d record%s\n", int(records.size()),
                              records.size() == 1 ? "" : "s");
    return text;
}

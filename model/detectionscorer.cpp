#include "detectionscorer.h"

#include "annotations.h"
#include "beatlog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <ctime>

namespace {

constexpr int pollMs = 100;
// An edge after the last frame recorded is placed on it once this old: the
// next frame would have been recorded microseconds after its transfer. It is
// also how long a pass waits, once ended, for its last beats' detections to
// be taken: a line's events can reach a starved main thread late.
constexpr std::int64_t settleNs = 1000000000;
// The list that goes out and the one before: a pass ends within settleNs of a switch.
constexpr std::size_t keptSources = 2;
// A record looped for a night would leave thousands of files: beyond this
// many passes in a run, its passes are scored and logged, not written.
constexpr int maxPassFiles = 100;

std::int64_t realtimeOffsetNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec - monotonicNowNs();
}

// The samples per second that the match window is counted in: the record's own.
double rateOf(const SampleList &list)
{
    return list.rate > 0 ? list.rate : 500.0;
}

bool saveText(const QString &path, const QByteArray &text, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    *error = QString("Fichier \"%1\" : écriture impossible: %2").arg(path, file.errorString());
    return false;
}

} // namespace

DetectionScorer::DetectionScorer(const OutputSettings &settings, QObject *parent)
    : QObject(parent), settings(settings), frames(std::make_shared<FrameTimeline>())
{
    poller.setInterval(pollMs);
    connect(&poller, &QTimer::timeout, this, [this] { poll(monotonicNowNs()); });
}

DetectionScorer::~DetectionScorer()
{
    if (!line.opened())
        return;
    const QSignalBlocker quiet(this);
    line.close();
    endPass();
    // As if the last edges had all had the time to come; each pass in turn.
    const std::int64_t later = monotonicNowNs() + settleNs;
    for (int pass = 0; pass < 64 && (current.number != 0 || frames->passAfter(finishedThrough).number != 0); ++pass)
        poll(later);
}

bool DetectionScorer::open(QString *reason)
{
    if (!line.open(settings.detectLine, settings.detectEdge)) {
        *reason = line.lastFailure();
        return false;
    }
    poller.start();
    return true;
}

void DetectionScorer::listPlaced(const std::shared_ptr<const SampleList> &list, const QString &path)
{
    if (!list)
        return;
    sources.emplace_back(list, path);
    if (sources.size() > keptSources)
        sources.pop_front();
}

void DetectionScorer::endPass()
{
    const quint64 last = frames->lastPass().number;
    if (last == 0)
        return;
    endAskedPass = last;
    endAskedNs = monotonicNowNs();
}

qint64 DetectionScorer::lost() const
{
    return lostCount + line.lost();
}

std::optional<BeatScore> DetectionScorer::score() const
{
    return liveScore ? liveScore : lastScore;
}

QDir DetectionScorer::outputFolder() const
{
    return QDir(settings.detectFolder.isEmpty() ? QStringLiteral(".") : settings.detectFolder);
}

QString DetectionScorer::annotationFile(const QString &record, int pass) const
{
    const QString annotator = settings.detectAnnotator + (pass > 1 ? QString::number(pass) : QString());
    return outputFolder().filePath(record + '.' + annotator);
}

BeatScoreSettings DetectionScorer::scoring(double rate, qint64 length, qint64 firstSample, qint64 endSample) const
{
    BeatScoreSettings scoring;
    scoring.sampleRate = rate;
    scoring.learningSeconds = double(firstSample) / rate + settings.scoreFromSeconds;
    scoring.endSample = endSample >= 0 ? endSample : length - 1 + BeatScore::matchWindow(rate);
    return scoring;
}

void DetectionScorer::writeSummary(const QVector<QPair<QString, BeatScore>> &records) const
{
    const QString summary = sumstatsReport(records);
    qDebug().noquote() << "Bilan des enregistrements :" << summary.trimmed();
    const QString path = outputFolder().filePath("sumstats-" + settings.detectAnnotator + ".txt");
    QString error;
    if (!saveText(path, summary.toUtf8(), &error))
        qWarning().noquote() << error;
}

BeatScore DetectionScorer::scoreOf(qint64 endSample) const
{
    QVector<qint64> samples;
    samples.reserve(detections.size());
    for (const Detection &detection : detections)
        samples.append(detection.sample);
    const QVector<Annotation> none;
    return BeatScore::compare(currentList->annotations ? *currentList->annotations : none, samples,
                              scoring(rateOf(*currentList), currentList->size(), current.firstSample, endSample));
}

void DetectionScorer::adopt(const FramePass &pass)
{
    current = pass;
    currentList.reset();
    currentRecord.clear();
    for (const auto &source : sources) {
        if (source.first.get() == pass.list) {
            currentList = source.first;
            currentRecord = QFileInfo(source.second).completeBaseName();
        }
    }
}

void DetectionScorer::advanceTo(quint64 number)
{
    while (current.number != number) {
        finishPass();
        const FramePass next = frames->passAfter(finishedThrough);
        if (next.number == 0 || next.number > number)
            return adopt(frames->pass(number));
        adopt(next);
    }
}

void DetectionScorer::poll(std::int64_t now)
{
    if (line.opened() && !line.watching() && !failureSaid) {
        failureSaid = true;
        qWarning().noquote() << line.lastFailure();
    }
    const std::int64_t toRealtime = realtimeOffsetNs();
    for (const qint64 edge : line.take())
        pending.push_back(edge);
    bool moved = false;
    while (!pending.empty()) {
        const std::int64_t edge = pending.front();
        // Stamped ahead of now: a kernel before 5.7 stamps line events on CLOCK_REALTIME.
        if (edge > now + settleNs) {
            if (!clockSaid)
                qWarning() << "Détection GPIO : fronts datés hors de l'horloge monotone, ignorés (noyau antérieur à 5.7 ?)";
            clockSaid = true;
            ++lostCount;
            pending.pop_front();
            continue;
        }
        const FrameTimeline::Placement placed = frames->place(edge, now, settleNs);
        if (placed.kind == FrameTimeline::Placement::Pending)
            break;
        if (placed.kind == FrameTimeline::Placement::WhileOff) {
            ++offCount;
        } else if (placed.kind == FrameTimeline::Placement::Lost || placed.pass.number <= finishedThrough
                   || (current.number != 0 && placed.pass.number < current.number)) {
            ++lostCount;
        } else {
            advanceTo(placed.pass.number);
            detections.append({placed.sample, edge, edge + toRealtime});
            ++placedCount;
        }
        pending.pop_front();
        moved = true;
    }
    if (current.number == 0) {
        const FramePass next = frames->passAfter(finishedThrough);
        if (next.number == 0) {
            if (moved)
                emit changed();
            return;
        }
        adopt(next);
        moved = true;
    }
    if (const FramePass kept = frames->pass(current.number); kept.number != 0 && kept.lastSample != current.lastSample) {
        current.lastSample = kept.lastSample;
        moved = true;
    }
    // A pass ends once its successor has gone on long enough for every edge of
    // the pass to be in, or once asked and its last edges had time to come.
    const FramePass next = frames->passAfter(current.number);
    const bool succeeded = next.number != 0 && now - next.startNs >= settleNs;
    const bool asked = endAskedPass >= current.number && now - endAskedNs >= settleNs;
    if (pending.empty() && (succeeded || asked)) {
        finishPass();
        moved = true;
    } else if (moved && currentList) {
        // Beats that a late detection could still answer are not scored yet.
        liveScore = scoreOf(current.lastSample - BeatScore::matchWindow(rateOf(*currentList)) - 1);
    }
    if (moved)
        emit changed();
}

void DetectionScorer::finishPass()
{
    if (current.number == 0)
        return;
    if (currentList) {
        const bool complete = current.firstSample == 0 && current.lastSample >= currentList->size() - 1;
        const BeatScore score = scoreOf(complete ? -1 : current.lastSample);
        const int pass = ++passesOfRecord[currentRecord];
        QString annotationPath;
        if (pass <= maxPassFiles)
            writeFiles(pass, score, complete, &annotationPath);
        else if (pass == maxPassFiles + 1)
            qWarning().noquote() << QString("Détections de %1 : plus de %2 passages, les suivants notés sans fichiers")
                                        .arg(currentRecord).arg(maxPassFiles);
        lastScore = score;
        emit passEnded(currentRecord, annotationPath, score, complete);
    }
    detections.clear();
    liveScore.reset();
    finishedThrough = current.number;
    if (endAskedPass <= finishedThrough)
        endAskedPass = 0;
    current = FramePass();
    currentList.reset();
}

bool DetectionScorer::writeFiles(int pass, const BeatScore &score, bool complete, QString *annotationPath) const
{
    const QString path = annotationFile(currentRecord, pass);
    const QString annotator = QFileInfo(path).suffix();
    const QString what = QString("enregistrement %1, passage %2").arg(currentRecord).arg(pass)
                         + (complete ? QString() : QString(", partiel : échantillons %1 à %2")
                                                       .arg(current.firstSample).arg(current.lastSample));
    QVector<Annotation> written;
    written.reserve(detections.size());
    QByteArray times = ("# " + what + "\n# MONOTONIC REALTIME SAMPLE\n").toUtf8();
    for (const Detection &detection : detections) {
        Annotation annotation;
        annotation.sample = detection.sample;
        annotation.isBeat = true;
        written.append(annotation);
        times += secondsText(detection.monotonicNs) + ' ' + secondsText(detection.realtimeNs) + ' '
                 + QByteArray::number(detection.sample) + '\n';
    }
    // A partial pass's report is no complete one's: a playlist started again
    // plays its record anew. Neither outlives the other's writing.
    const QString report = bxbReport(score, currentRecord, settings.annotator, annotator);
    const QString reportPath = path + (complete ? ".report" : ".partial");
    QFile::remove(path + (complete ? ".partial" : ".report"));
    QString error;
    const bool saved = writeAnnotations(path, written, what, &error) && saveText(path + ".times", times, &error)
                       && saveText(reportPath, report.toUtf8(), &error);
    qDebug().noquote() << "Détections de" << what + " :" << report.trimmed();
    if (!saved) {
        qWarning().noquote() << error;
        return false;
    }
    *annotationPath = path;
    return true;
}

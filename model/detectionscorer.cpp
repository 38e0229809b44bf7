#include "detectionscorer.h"

#include "annotations.h"
#include "beatlog.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <ctime>

namespace {

constexpr int pollMs = 100;
// An edge after the last frame recorded is placed on it once this old: the
// next frame would have been recorded microseconds after its transfer. It is
// also how long a pass waits, once ended, for its last beats' detections.
constexpr std::int64_t settleNs = 300000000;
constexpr std::size_t rememberedSources = 8;

std::int64_t monotonicNowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

std::int64_t realtimeOffsetNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec - monotonicNowNs();
}

// The samples per second that the 150 ms window is counted in: the record's own.
double rateOf(const FramePass &pass)
{
    return pass.list && pass.list->rate > 0 ? pass.list->rate : 500.0;
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
    // As if the last edges had all had the time to come.
    endAskedNs = monotonicNowNs();
    poll(endAskedNs + settleNs);
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
    sources.emplace_back(list, path);
    if (sources.size() > rememberedSources)
        sources.pop_front();
}

void DetectionScorer::endPass()
{
    if (endAskedNs == 0)
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

QString DetectionScorer::failure() const
{
    return line.opened() && !line.watching() ? line.lastFailure() : QString();
}

QString DetectionScorer::annotationFile(const QString &record, int pass) const
{
    const QString annotator = settings.detectAnnotator + (pass > 1 ? QString::number(pass) : QString());
    return QDir(settings.detectFolder.isEmpty() ? QStringLiteral(".") : settings.detectFolder)
        .filePath(record + '.' + annotator);
}

QString DetectionScorer::recordOf(const FramePass &pass) const
{
    for (const auto &source : sources) {
        if (source.first.lock() == pass.list)
            return QFileInfo(source.second).completeBaseName();
    }
    return QStringLiteral("enregistrement");
}

BeatScore DetectionScorer::scoreOf(qint64 endSample) const
{
    QVector<qint64> samples;
    samples.reserve(detections.size());
    for (const Detection &detection : detections)
        samples.append(detection.sample);
    BeatScoreSettings scoring;
    scoring.sampleRate = rateOf(current);
    // The learning period runs from the pass's first sample.
    scoring.learningSeconds = double(current.firstSample) / scoring.sampleRate + settings.scoreFromSeconds;
    scoring.endSample = endSample;
    const QVector<Annotation> none;
    return BeatScore::compare(current.list && current.list->annotations ? *current.list->annotations : none,
                              samples, scoring);
}

void DetectionScorer::poll(std::int64_t now)
{
    const std::int64_t toRealtime = realtimeOffsetNs();
    for (const qint64 edge : line.take())
        pending.push_back(edge);
    bool moved = false;
    while (!pending.empty()) {
        const FrameTimeline::Placement placed = frames->place(pending.front(), now, settleNs);
        if (placed.kind == FrameTimeline::Placement::Pending)
            break;
        if (placed.kind == FrameTimeline::Placement::WhileOff) {
            ++offCount;
        } else if (placed.kind == FrameTimeline::Placement::Lost || placed.pass.number <= finishedThrough) {
            ++lostCount;
        } else {
            if (placed.pass.number != current.number) {
                finishPass();
                current = placed.pass;
            }
            detections.append({placed.sample, pending.front(), pending.front() + toRealtime});
            ++placedCount;
        }
        pending.pop_front();
        moved = true;
    }
    const FramePass last = frames->lastPass();
    if (current.number == 0 && last.number > finishedThrough) {
        current = last;
        moved = true;
    }
    if (current.number == 0) {
        endAskedNs = 0;
        if (moved)
            emit changed();
        return;
    }
    if (const FramePass kept = frames->pass(current.number); kept.number != 0)
        current.lastSample = kept.lastSample;
    // A pass ends once its successor has gone on long enough for every edge of
    // the pass to be in, or once asked and its last edges had time to come.
    const bool succeeded = last.number != current.number && now - last.startNs >= settleNs;
    const bool asked = endAskedNs != 0 && now - endAskedNs >= settleNs;
    if (pending.empty() && (succeeded || asked)) {
        finishPass();
        endAskedNs = 0;
    } else {
        // Beats that a late detection could still answer are not scored yet.
        const qint64 answerable = qRound64(0.15 * rateOf(current)) + 1;
        liveScore = scoreOf(current.lastSample - answerable);
    }
    emit changed();
}

void DetectionScorer::finishPass()
{
    if (current.number == 0)
        return;
    const BeatScore score = scoreOf(current.lastSample);
    const QString record = recordOf(current);
    const int pass = ++passesOfRecord[record];
    QString annotationPath;
    writeFiles(record, pass, score, &annotationPath);
    lastScore = score;
    liveScore.reset();
    detections.clear();
    finishedThrough = current.number;
    current = FramePass();
    emit passEnded(record, annotationPath, score);
}

bool DetectionScorer::writeFiles(const QString &record, int pass, const BeatScore &score, QString *annotationPath)
{
    const QString path = annotationFile(record, pass);
    const QString annotator = QFileInfo(path).suffix();
    QVector<Annotation> written;
    written.reserve(detections.size());
    QByteArray times = QString("# enregistrement %1, passage %2\n# MONOTONIC REALTIME SAMPLE\n")
                           .arg(record).arg(pass).toUtf8();
    for (const Detection &detection : qAsConst(detections)) {
        Annotation annotation;
        annotation.sample = detection.sample;
        annotation.label = 'N';
        annotation.isBeat = true;
        written.append(annotation);
        times += secondsText(detection.monotonicNs) + ' ' + secondsText(detection.realtimeNs) + ' '
                 + QByteArray::number(detection.sample) + '\n';
    }
    QString error;
    const QString comment = QString("enregistrement %1, passage %2").arg(record).arg(pass);
    const QString report = bxbReport(score, record, settings.annotator, annotator);
    const bool saved = writeAnnotations(path, written, comment, &error)
                          && saveText(path + ".times", times, &error)
                          && saveText(path + ".report", report.toUtf8(), &error);
    qDebug().noquote() << QString("Détections de %1, passage %2 :").arg(record).arg(pass) << report.trimmed();
    if (!saved) {
        qWarning().noquote() << error;
        return false;
    }
    *annotationPath = path;
    return true;
}

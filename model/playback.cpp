#include "playback.h"

#include "appworker.h"
#include "bounds.h"
#include "detectionscorer.h"
#include "envelope.h"
#include "fileloader.h"
#include "loadsignal.h"
#include "outputrunner.h"
#include "pacing.h"
#include "playlistrun.h"
#include "syncline.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <sys/stat.h>

namespace {

// A stopped output ends within a pass; a device call that hangs never returns.
constexpr int stopTimeoutMs = 5000;

} // namespace

Playback::Playback(const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      settings(settings),
      runner(std::make_unique<OutputRunner>(settings)),
      loader(new FileLoader(settings.annotator, this)),
      rateOverride(settings.sampleRate),
      fullScaleMv(settings.fullScaleMv),
      once(settings.once)
{
    plan.rate = settings.sampleRate;
    plan.fullScaleMv = settings.fullScaleMv;
    connect(runner->worker(), &AppWorker::setUpFailed, this, [this](const QString &reason) {
        deviceFailureReason = reason;
        if (!ending())
            playState = PlayState::Stopped;
        emit outputFailed(reason);
        emit changed();
    });
    connect(runner->worker(), &AppWorker::finished, this, &Playback::finished);
    connect(runner->worker(), &AppWorker::playedOnce, this, &Playback::onPlayedOnce);
    connect(loader, &FileLoader::loaded, this, &Playback::onLoaded);
    connect(loader, &FileLoader::progressed, this, [this](quint64 request, qint64 read, qint64 total) {
        if (request != load.request)
            return;
        load.progress = total > 0 ? qMin(1.0, double(read) / double(total)) : 0;
        emit changed();
    });
}

// A read stuck in a slow disk holds the end no longer than a wedged device.
Playback::~Playback()
{
    if (!loader->finish(endDeadline.isForever() ? QDeadlineTimer(stopTimeoutMs) : endDeadline))
        forceEnd("la lecture du fichier ne s'est pas arrêtée en 5 s");
}

Refusal Playback::start(Unmarked unmarked)
{
    QStringList reasons;
    std::unique_ptr<SyncLine> line;
    if (!settings.syncLine.isEmpty()) {
        line = std::make_unique<SyncLine>();
        if (!line->open(settings.syncLine)) {
            reasons << line->lastFailure();
            line.reset();
        }
    }
    std::shared_ptr<BeatLog> log;
    if (!settings.beatLogPath.isEmpty()) {
        QString reason;
        log = BeatLog::open(settings.beatLogPath, &reason);
        if (!log)
            reasons << reason;
    }
    std::unique_ptr<DetectionScorer> scorer;
    if (!settings.detectLine.isEmpty()) {
        scorer = std::make_unique<DetectionScorer>(settings);
        QString reason;
        if (!scorer->open(&reason)) {
            reasons << reason;
            detectionFailureReason = reason;
            scorer.reset();
        }
    }
    if (const Refusal refusal = beatsMissing())
        reasons << refusal.reason;
    for (const QString &reason : qAsConst(reasons))
        qWarning().noquote() << reason;
    if (reasons.isEmpty() || unmarked == Unmarked::StartAnyway) {
        beatLog = log;
        worker()->markFrames(std::move(line), std::move(log));
        if (scorer) {
            detector = scorer.release();
            detector->setParent(this);
            worker()->recordFrames(detector->timeline());
            detector->listPlaced(output.list, output.path);
            connect(detector, &DetectionScorer::changed, this, &Playback::changed);
        }
        playlistRun = new PlaylistRun(this);
        started = true;
        runner->start();
    }
    if (reasons.isEmpty())
        return {};
    return {Refusal::Marking, "Repères de battements indisponibles.", reasons.join('\n')};
}

Refusal Playback::beatsMissing() const
{
    const bool beatsAsked = (!settings.syncLine.isEmpty() && settings.syncOn != SyncOn::Loop)
                            || !settings.beatLogPath.isEmpty() || !settings.detectLine.isEmpty();
    const Choice &record = output.list ? output : chosen;
    if (!beatsAsked || !record.list)
        return {};
    const auto &annotations = record.list->annotations;
    if (annotations && std::any_of(annotations->cbegin(), annotations->cend(), [](const Annotation &a) { return a.isBeat; }))
        return {};
    return {Refusal::Marking, "Repères de battements indisponibles.",
            QString("\"%1\" n'a aucune annotation de battement : ni impulsions de battements, ni journal, ni score")
                .arg(QFileInfo(record.path).fileName())};
}

AppWorker *Playback::worker() const
{
    return runner->worker();
}

// A loop that never started or never set up has ended already; one that
// hangs in the device never will, and the program ends without it.
void Playback::end()
{
    if (ending())
        return;
    cancelLoad();
    runner->stop();
    playState = PlayState::Ending;
    endDeadline.setRemainingTime(stopTimeoutMs);
    if (!started || !deviceFailureReason.isEmpty())
        QTimer::singleShot(0, this, &Playback::finished);
    QTimer::singleShot(stopTimeoutMs, this, [] { forceEnd("la sortie ne s'est pas arrêtée en 5 s"); });
    emit changed();
}

void Playback::forceEnd(const char *reason)
{
    qWarning().noquote() << "Arrêt forcé:" << reason;
    std::_Exit(stopForced);
}

double Playback::rateOf(const Choice &choice) const
{
    return rateOverride > 0 ? rateOverride : choice.list ? choice.list->rate : 0;
}

double Playback::rate() const
{
    return rateOf(output.list ? output : chosen);
}

double Playback::ownRate() const
{
    const Choice &current = output.list ? output : chosen;
    return current.list ? current.list->rate : 0;
}

double Playback::defaultRate() const
{
    return settings.sampleRate > 0 ? settings.sampleRate : ownRate();
}

double Playback::samplesPerSecond() const
{
    return rate() > 0 ? rate() : classicSamplesPerSecond;
}

qint64 Playback::position() const
{
    return worker() && output.list ? worker()->position() : 0;
}

qint64 Playback::length() const
{
    const Choice &current = output.list ? output : chosen;
    return current.list ? current.list->size() : 0;
}

qint64 Playback::loops() const
{
    return worker() && output.list ? worker()->loops() : 0;
}

AppWorker::BeatFacts Playback::beats() const
{
    return worker() && output.list ? worker()->progress().beats : AppWorker::BeatFacts();
}

qint64 Playback::beatCount() const
{
    return beats().count;
}

SentBeat Playback::lastBeat() const
{
    return beats().last;
}

double Playback::heartRate() const
{
    const double rrSamples = beats().meanRrSamples;
    return rrSamples > 0 ? 60 * samplesPerSecond() / rrSamples : 0;
}

qint64 Playback::lateFrames() const
{
    return worker() ? worker()->lateFrames() : 0;
}

qint64 Playback::clockRestarts() const
{
    return worker() ? worker()->clockRestarts() : 0;
}

OutputHealth Playback::health() const
{
    OutputHealth health;
    health.device = settings.devicePath;
    struct stat status{};
    health.realDevice = ::stat(QFile::encodeName(settings.devicePath).constData(), &status) == 0
                        && S_ISCHR(status.st_mode);
    health.failure = deviceFailureReason;
    const AppWorker *loop = worker();
    if (!loop)
        return health;
    if (health.failure.isEmpty() && loop->transfersFailing())
        health.failure = "transferts SPI en échec";
    health.scheduling = loop->scheduling();
    health.lateFrames = loop->lateFrames();
    health.clockRestarts = loop->clockRestarts();
    health.code = loop->lastCode();
    if (health.code >= 0 && output.list && output.list->isRecord())
        health.millivolts = (health.code - 32768) * fullScaleMv / 65536;
    return health;
}

LoadRequest Playback::requestOf(const QString &path, const std::optional<QStringList> &folders) const
{
    LoadRequest request;
    request.path = path;
    request.selector = settings.signal;
    request.ownRate = rateOverride <= 0;
    request.folders = folders;
    return request;
}

void Playback::listSignals(const QString &path, const Listed &listed)
{
    if (ending())
        return listed(Refusal::ending(), {}, -1);
    LoadRequest request = requestOf(path, std::nullopt);
    request.listOnly = true;
    startLoad(request, false, false, false, {}, listed);
}

void Playback::choose(const QString &path, const QString &selector, When when, const Done &done)
{
    if (ending())
        return done(Refusal::ending());
    LoadRequest request = requestOf(path, std::nullopt);
    if (!selector.isEmpty())
        request.selector = selector;
    const bool atOnce = when == When::AtOnce;
    startLoad(request, atOnce, !atOnce, false, done);
}

void Playback::chooseFromAfar(const QString &path, const Done &done)
{
    if (ending())
        return done(Refusal::ending());
    startLoad(requestOf(path, settings.remoteFolders), true, false, false, done);
}

LoadRequest Playback::reread() const
{
    LoadRequest request = requestOf(chosen.path, chosen.folders);
    request.signal = chosen.signal;
    request.label = chosen.label;
    return request;
}

void Playback::reload(const Done &done)
{
    if (ending())
        return done(Refusal::ending());
    if (chosen.path.isEmpty())
        return done(Refusal::noFile());
    startLoad(reread(), false, true, false, done);
}

// A newer read replaces the one in progress, which ends as cancelled.
void Playback::startLoad(const LoadRequest &request, bool atOnce, bool keepPosition, bool thenPlay, const Done &done,
                         const Listed &listed)
{
    Load previous = std::move(load);
    load = Load{};
    if (previous.thenPlay)
        endStarting();
    load.request = loader->load(request);
    load.choice.path = request.path;
    load.choice.folders = request.folders;
    load.listed = listed;
    load.atOnce = atOnce;
    load.keepPosition = keepPosition;
    load.thenPlay = thenPlay;
    if (done)
        load.done.push_back(done);
    const Refusal cancelled = Refusal::cancelled(previous.choice.path);
    for (const Done &done : previous.done)
        done(cancelled);
    if (previous.listed)
        previous.listed(cancelled, {}, -1);
    emit changed();
}

void Playback::cancelLoad()
{
    if (loading())
        loader->cancel();
}

void Playback::onLoaded(quint64 request)
{
    if (request != load.request)
        return;
    const std::optional<LoadedSignal> taken = loader->takeResult(request);
    if (!taken)
        return;
    const LoadedSignal &result = *taken;
    const Load finished = std::move(load);
    load = Load{};
    // Past end(), the worker is gone: nothing is put in place.
    const Refusal refusal = ending() ? Refusal::ending() : result.refusal;
    if (finished.listed) {
        emit changed();
        finished.listed(refusal, result.signalInfos, result.signal);
        return;
    }
    if (refusal || !result.list) {
        if (finished.thenPlay)
            endStarting();
        for (const Done &done : finished.done)
            done(refusal);
        emit changed();
        return;
    }
    Choice choice = finished.choice;
    choice.signal = result.signal;
    choice.label = result.signalInfos.at(result.signal).label;
    choice.files = result.files;
    choice.stamps = result.stamps;
    choice.list = result.list;
    choice.envelope = result.envelope;
    chosen = choice;
    // A file chosen in the window goes out from the next start; until then
    // what plays goes on, and one that is paused gives way to it at once. A
    // file chosen from afar, or read again, goes out now.
    if (finished.atOnce || finished.thenPlay || output.path == choice.path || (output.list && !playing()))
        place(choice, finished.keepPosition);
    if (finished.thenPlay && !ending())
        resume();
    for (const Done &done : finished.done)
        done({});
    emit changed();
}

void Playback::place(const Choice &choice, bool keepPosition)
{
    output = choice;
    if (detector)
        detector->listPlaced(choice.list, choice.path);
    plan.list = choice.list;
    ++plan.generation;
    plan.position = keepPosition ? -1 : 0;
    publish();
}

void Playback::resume()
{
    plan.playing = true;
    playState = PlayState::Playing;
    publish();
}

void Playback::beginStarting()
{
    if (playState != PlayState::Starting)
        beforeStarting = playState;
    playState = PlayState::Starting;
}

void Playback::endStarting()
{
    if (playState == PlayState::Starting)
        playState = beforeStarting;
}

void Playback::publish()
{
    plan.rate = rate();
    plan.fullScaleMv = fullScaleMv;
    plan.once = once;
    plan.padFrames = qRound64(settings.padSeconds * samplesPerSecond());
    // Each switch-on, and each change of what plays while on, starts a run of
    // the beat log, named before its first beat can be.
    const QString run = plan.playing ? runDescription() : QString();
    if (beatLog && !run.isEmpty() && run != loggedRun)
        beatLog->startRun(run);
    loggedRun = run;
    worker()->publish(plan);
    plan.position = -1;
}

QString Playback::runDescription() const
{
    QString text = QString("fichier \"%1\", signal %2").arg(output.path).arg(output.signal + 1);
    if (!output.label.isEmpty())
        text += " (" + output.label + ")";
    text += rate() > 0 ? QString(", %1 échantillons par seconde").arg(rate()) : QString(", ") + classicPacingText;
    if (output.list && output.list->isRecord())
        text += QString(", pleine échelle %1 mV").arg(fullScaleMv);
    return text;
}

Refusal Playback::refusedCommand() const
{
    return ending() ? Refusal::ending() : Refusal{};
}

void Playback::setPlaying(bool on, const Done &done)
{
    const auto finish = [&](const Refusal &refusal) {
        if (done)
            done(refusal);
    };
    if (ending())
        return finish(Refusal::ending());
    if (!on) {
        if (playState == PlayState::Starting) {
            load.thenPlay = false;
            endStarting();
            emit changed();
        } else if (playing()) {
            plan.playing = false;
            playState = PlayState::Paused;
            publish();
            emit changed();
        }
        return finish({});
    }
    if (!deviceFailureReason.isEmpty())
        return finish(Refusal::device(deviceFailureReason));
    // A file being read goes out once it is read; a listing chooses nothing.
    const bool reading = loading() && !load.listed;
    if (chosen.path.isEmpty() && !reading)
        return finish(Refusal::noFile());
    if (playing())
        return finish({});
    if (reading) {
        load.thenPlay = true;
        beginStarting();
        if (done)
            load.done.push_back(done);
        emit changed();
        return;
    }
    // The file as it is on disk now: read again, in the background, if it changed.
    if (fileStamps(chosen.files) != chosen.stamps) {
        beginStarting();
        return startLoad(reread(), false, true, true, done);
    }
    if (output.list != chosen.list)
        place(chosen, true);
    resume();
    emit changed();
    finish({});
}

void Playback::stop()
{
    if (ending())
        return;
    load.thenPlay = false;
    plan.playing = false;
    plan.position = 0;
    publish();
    if (detector)
        detector->endPass();
    playState = PlayState::Stopped;
    emit changed();
}

void Playback::setOnce(bool on)
{
    once = on;
    publish();
}

// The record played once to its end: off, and the next start from its first
// sample; the pass of the monitor's detections ends with it.
void Playback::onPlayedOnce(quint64 generation)
{
    // Paused since its last frame, it has played to its end all the same.
    if (generation != plan.generation || !(playing() || playState == PlayState::Paused))
        return;
    stop();
    emit playedOnce();
}

Refusal Playback::setRate(double samplesPerSecond)
{
    if (const Refusal refusal = refusedCommand())
        return refusal;
    if (const Refusal refusal = rateRefusal(samplesPerSecond))
        return refusal;
    rateOverride = samplesPerSecond;
    publish();
    emit changed();
    return {};
}

// The option's rate, else the file's own, which may be beyond the bounds
// when an earlier rate let a fast record in.
Refusal Playback::setDefaultRate()
{
    if (const Refusal refusal = refusedCommand())
        return refusal;
    if (settings.sampleRate <= 0 && ownRate() > 0) {
        if (const Refusal refusal = rateRefusal(ownRate()))
            return refusal;
    }
    rateOverride = settings.sampleRate;
    publish();
    emit changed();
    return {};
}

Refusal Playback::setFullScale(double mv)
{
    if (const Refusal refusal = refusedCommand())
        return refusal;
    if (const Refusal refusal = fullScaleRefusal(mv))
        return refusal;
    fullScaleMv = mv;
    publish();
    emit changed();
    return {};
}

Refusal Playback::setPosition(qint64 at)
{
    if (const Refusal refusal = refusedCommand())
        return refusal;
    if (!output.list && !chosen.list)
        return Refusal::noFile();
    if (const Refusal refusal = positionRefusal(at, length()))
        return refusal;
    // A file chosen but never started goes in, paused, to take the position.
    if (!output.list)
        place(chosen, false);
    plan.position = at;
    publish();
    emit changed();
    return {};
}

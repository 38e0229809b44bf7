#include "playback.h"

#include "appworker.h"
#include "bounds.h"
#include "envelope.h"
#include "fileloader.h"
#include "loadsignal.h"
#include "outputrunner.h"
#include "pacing.h"
#include "syncline.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

#include <cmath>
#include <cstdlib>

namespace {

// A stopped output ends within a pass; a device call that hangs never returns.
constexpr int stopTimeoutMs = 5000;

Refusal endingRefusal()
{
    return {Refusal::Ending, "Fin du programme en cours.", QString()};
}

} // namespace

Playback::Playback(const OutputSettings &settings, QObject *parent)
    : QObject(parent),
      settings(settings),
      runner(std::make_unique<OutputRunner>(settings)),
      loader(new FileLoader(settings.annotator, this)),
      rateOverride(settings.sampleRate),
      fullScaleMv(settings.fullScaleMv)
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
    connect(loader, &FileLoader::loaded, this, &Playback::onLoaded);
    connect(loader, &FileLoader::progressed, this, [this](quint64 request, qint64 read, qint64 total) {
        if (request != load.request)
            return;
        load.progress = total > 0 ? qMin(1.0, double(read) / double(total)) : 0;
        emit changed();
    });
}

Playback::~Playback() = default;

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
    for (const QString &reason : qAsConst(reasons))
        qWarning().noquote() << reason;
    if (reasons.isEmpty() || unmarked == Unmarked::StartAnyway) {
        worker()->markFrames(std::move(line), std::move(log));
        started = true;
        runner->start();
    }
    if (reasons.isEmpty())
        return {};
    return {Refusal::Marking, "Repères de battements indisponibles.", reasons.join('\n')};
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

Refusal Playback::rateRefusal(double samplesPerSecond)
{
    if (samplesPerSecond >= minSampleRate && samplesPerSecond <= maxSampleRate)
        return {};
    return {Refusal::OutOfRange, "Cadence refusée.",
            QString("Cadence de %1 échantillons par seconde refusée : de %2 à %3")
                .arg(samplesPerSecond)
                .arg(minSampleRate)
                .arg(maxSampleRate)};
}

Refusal Playback::open(const QString &path, std::unique_ptr<RecordReader> *reader) const
{
    if (ending())
        return endingRefusal();
    if (const Refusal refusal = openSignals(path, reader))
        return refusal;
    if (QFileInfo(path).size() == 0)
        return {Refusal::Empty, "Le fichier est vide.", QString("« %1 » est vide").arg(path)};
    return {};
}

void Playback::choose(const QString &path, const QString &selector, When when, const Done &done)
{
    std::unique_ptr<RecordReader> reader;
    if (const Refusal refusal = open(path, &reader))
        return done(refusal);
    const QString wanted = selector.isEmpty() ? settings.signal : selector;
    const int signal = findSignal(reader->signalList(), wanted);
    if (signal < 0)
        return done(noSignalRefusal(wanted, path, reader->signalList()));
    choose(std::move(reader), path, signal, when, done);
}

void Playback::choose(std::unique_ptr<RecordReader> reader, const QString &path, int signal, When when,
                      const Done &done)
{
    if (ending())
        return done(endingRefusal());
    const SignalInfo &info = reader->signalList().at(signal);
    if (rateOverride <= 0 && info.rate > 0) {
        if (const Refusal refusal = rateRefusal(info.rate))
            return done(refusal);
    }
    Choice choice;
    choice.path = path;
    choice.signal = signal;
    choice.label = info.label;
    const bool atOnce = when == When::AtOnce;
    startLoad(std::move(reader), choice, atOnce, !atOnce, false, done);
}

void Playback::reload(const Done &done)
{
    std::unique_ptr<RecordReader> reader;
    if (chosen.path.isEmpty())
        return done({Refusal::NoFile, "Aucun fichier sélectionné.", QString()});
    if (const Refusal refusal = open(chosen.path, &reader))
        return done(refusal);
    startLoad(std::move(reader), chosen, false, true, false, done);
}

// A newer read replaces the one in progress, which ends as cancelled.
void Playback::startLoad(std::unique_ptr<RecordReader> reader, Choice choice, bool atOnce, bool keepPosition,
                         bool thenPlay, const Done &done)
{
    choice.files = reader->files();
    choice.stamps = stampsOf(choice.files);
    choice.list.reset();
    choice.envelope.reset();
    Load previous = std::move(load);
    load = Load{};
    if (previous.thenPlay)
        endStarting();
    load.request = loader->load(std::move(reader), choice.path, choice.signal);
    load.choice = choice;
    load.atOnce = atOnce;
    load.keepPosition = keepPosition;
    load.thenPlay = thenPlay;
    if (done)
        load.done.push_back(done);
    for (const Done &cancelled : previous.done)
        cancelled(cancelledRead(previous.choice.path));
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
    if (!result.list) {
        if (finished.thenPlay)
            endStarting();
        for (const Done &done : finished.done)
            done(result.refusal);
        emit changed();
        return;
    }
    Choice choice = finished.choice;
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
    worker()->publish(plan);
    plan.position = -1;
}

QVector<QPair<qint64, QDateTime>> Playback::stampsOf(const QStringList &files)
{
    QVector<QPair<qint64, QDateTime>> stamps;
    for (const QString &file : files) {
        const QFileInfo info(file);
        stamps.append({info.size(), info.lastModified()});
    }
    return stamps;
}

Refusal Playback::refusedCommand() const
{
    return ending() ? endingRefusal() : Refusal{};
}

void Playback::setPlaying(bool on, const Done &done)
{
    const auto finish = [&](const Refusal &refusal) {
        if (done)
            done(refusal);
    };
    if (ending())
        return finish(endingRefusal());
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
        return finish({Refusal::Device, "Erreur initialisation DAC8551", deviceFailureReason});
    if (chosen.path.isEmpty() && !loading())
        return finish({Refusal::NoFile, "Aucun fichier sélectionné.", QString()});
    if (playing())
        return finish({});
    // The file being read goes out once it is read.
    if (loading()) {
        load.thenPlay = true;
        beginStarting();
        if (done)
            load.done.push_back(done);
        emit changed();
        return;
    }
    // The file as it is on disk now: read again, in the background, if it changed.
    if (stampsOf(chosen.files) != chosen.stamps) {
        std::unique_ptr<RecordReader> reader;
        if (const Refusal refusal = open(chosen.path, &reader))
            return finish(refusal);
        beginStarting();
        return startLoad(std::move(reader), chosen, false, true, true, done);
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
    playState = PlayState::Stopped;
    emit changed();
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
    if (!(mv >= minFullScaleMv && mv <= maxFullScaleMv))
        return {Refusal::OutOfRange, "Pleine échelle refusée.",
                QString("Pleine échelle de %1 mV refusée : de %2 à %3").arg(mv).arg(minFullScaleMv).arg(maxFullScaleMv)};
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
        return {Refusal::NoFile, "Aucun fichier sélectionné.", QString()};
    if (at < 0 || at >= length())
        return {Refusal::OutOfRange, "Position refusée.",
                QString("Position %1 refusée : de 0 à %2").arg(at).arg(length() - 1)};
    // A file chosen but never started goes in, paused, to take the position.
    if (!output.list)
        place(chosen, false);
    plan.position = at;
    publish();
    emit changed();
    return {};
}

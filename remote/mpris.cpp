#include "mpris.h"

#include "controls.h"
#include "bounds.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QFileInfo>
#include <QUrl>

#include <cmath>

namespace {

const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString serviceName = QStringLiteral("org.mpris.MediaPlayer2.ecg_simulator");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

} // namespace

Mpris::Mpris(Playback *playback, Controls *controls, QObject *parent)
    : QObject(parent), playback(playback), controls(controls)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qDebug() << "MPRIS : pas de bus de session";
        return;
    }
    new MprisRoot(this);
    new MprisPlayer(this);
    const QString instance = serviceName + ".instance" + QString::number(QCoreApplication::applicationPid());
    if (!bus.registerObject(objectPath, this)
        || !(bus.registerService(serviceName) || bus.registerService(instance))) {
        qWarning() << "MPRIS : enregistrement impossible :" << bus.lastError().message();
        return;
    }
    // Whatever changes them (the window, SCPI, a signal), every change is told.
    connect(playback, &Playback::changed, this, &Mpris::announceChanges);
    announceChanges();
}

bool Mpris::canRaise() const
{
    return controls->hasWindow();
}

void Mpris::raise()
{
    controls->raiseWindow();
}

void Mpris::quit()
{
    controls->quit();
}

QString Mpris::playbackStatus() const
{
    switch (playback->state()) {
    case PlayState::Starting:
    case PlayState::Playing: return "Playing";
    case PlayState::Paused: return "Paused";
    case PlayState::Stopped:
    case PlayState::Ending: break;
    }
    return "Stopped";
}

QString Mpris::trackId() const
{
    return QString("/org/ecg_simulator/track/%1").arg(qHash(playback->file() + '/' + QString::number(playback->signal())));
}

qint64 Mpris::lengthUs() const
{
    return qint64(double(playback->length()) / playback->samplesPerSecond() * 1e6);
}

QVariantMap Mpris::metadata() const
{
    if (playback->file().isEmpty())
        return {{"mpris:trackid", QVariant::fromValue(QDBusObjectPath("/org/mpris/MediaPlayer2/TrackList/NoTrack"))}};
    const QString name = QFileInfo(playback->file()).fileName();
    return {{"mpris:trackid", QVariant::fromValue(QDBusObjectPath(trackId()))},
            {"xesam:title", playback->signalLabel().isEmpty() ? name : name + " — " + playback->signalLabel()},
            {"xesam:url", QUrl::fromLocalFile(QFileInfo(playback->file()).absoluteFilePath()).toString()},
            {"mpris:length", lengthUs()}};
}

qint64 Mpris::position() const
{
    return qint64(double(playback->position()) / playback->samplesPerSecond() * 1e6);
}

// Rate 1 is the default rate (the option's, else the file's own, else what the
// classic pacing comes to), whatever set the rate in force.
double Mpris::nominalRate() const
{
    return playback->defaultRate() > 0 ? playback->defaultRate() : playback->samplesPerSecond();
}

double Mpris::rate() const
{
    return playback->samplesPerSecond() / nominalRate();
}

void Mpris::setRate(double factor)
{
    if (std::isnan(factor))
        return;
    if (factor <= 0) {
        pause();
        return;
    }
    if (qFuzzyCompare(factor, 1))
        playback->setDefaultRate();
    else
        playback->setRate(nominalRate() * factor);
}

double Mpris::minimumRate() const
{
    return minSampleRate / nominalRate();
}

double Mpris::maximumRate() const
{
    return maxSampleRate / nominalRate();
}

void Mpris::play()
{
    replyWhenDone(&Mpris::startPlaying);
}

void Mpris::pause()
{
    playback->setPlaying(false);
}

void Mpris::playPause()
{
    playback->switchedOn() ? pause() : play();
}

void Mpris::stop()
{
    playback->stop();
}

// Within the file, in microseconds; past its end would be Next, which there is not.
void Mpris::seekTo(double targetUs)
{
    const double sample = std::floor(qMax(0.0, targetUs) / 1e6 * playback->samplesPerSecond());
    if (!playback->setPosition(qint64(qMin(sample, double(playback->length())))))
        emit seeked(position());
}

void Mpris::seek(qint64 offsetUs)
{
    seekTo(double(position()) + double(offsetUs));
}

void Mpris::setPosition(const QDBusObjectPath &track, qint64 positionUs)
{
    if (track.path() == trackId() && positionUs >= 0)
        seekTo(double(positionUs));
}

// Chosen as in the file dialog, then played from its first sample; a refusal
// is a D-Bus error with the program's message and its reason.
void Mpris::openUri(const QString &uri)
{
    const QUrl url(uri);
    if (!url.isLocalFile()) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, "Seuls les fichiers (file://) sont pris en charge.");
        return;
    }
    const QString path = url.toLocalFile();
    replyWhenDone([path](Playback *playback, const Playback::Done &done) {
        playback->chooseFromAfar(path, [playback, done](const Refusal &refusal) {
            if (refusal)
                return done(refusal);
            playback->setPlaying(true, done);
        });
    });
}

void Mpris::startPlaying(Playback *playback, const Playback::Done &done)
{
    playback->setPlaying(true, done);
}

// Runs a command that may end later (once a file is read); a call from D-Bus
// gets its reply then, an error for a refusal.
void Mpris::replyWhenDone(const std::function<void(Playback *, const Playback::Done &)> &command)
{
    if (!calledFromDBus())
        return command(playback, {});
    setDelayedReply(true);
    const QDBusMessage call = message();
    command(playback, [call](const Refusal &refusal) {
        QDBusConnection::sessionBus().send(refusal ? call.createErrorReply(QDBusError::Failed, refusal.explained())
                                                   : call.createReply());
    });
}

void Mpris::announceChanges()
{
    const QVariantMap now{{"PlaybackStatus", playbackStatus()},
                          {"Metadata", metadata()},
                          {"Rate", rate()},
                          {"MinimumRate", minimumRate()},
                          {"MaximumRate", maximumRate()}};
    QVariantMap changed;
    for (auto property = now.begin(); property != now.end(); ++property) {
        if (announced.value(property.key()) != property.value())
            changed.insert(property.key(), property.value());
    }
    announced = now;
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(objectPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
    signal << playerInterface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

QStringList MprisRoot::supportedMimeTypes() const
{
    return {"text/csv", "text/plain", "application/x-edf", "application/octet-stream"};
}

MprisPlayer::MprisPlayer(Mpris *player)
    : QDBusAbstractAdaptor(player), player(player)
{
    connect(player, &Mpris::seeked, this, &MprisPlayer::Seeked);
}

#include "mpris.h"

#include "appworker.h"
#include "controls.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QFileInfo>
#include <QUrl>

namespace {

const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString serviceName = QStringLiteral("org.mpris.MediaPlayer2.ecg_simulator");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
// A sample of the classic pacing: the 2 ms sleep and 0.24 ms on the wire.
constexpr double classicSamplesPerSecond = 1 / 0.00224;
constexpr double minimumFactor = 0.01;
// What Qt's adaptors cannot tell by themselves is looked for this often.
constexpr int changesPollMs = 200;

} // namespace

Mpris::Mpris(Controls *controls, QObject *parent)
    : QObject(parent), controls(controls), stopped(!controls->playing())
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
    connect(&changes, &QTimer::timeout, this, &Mpris::announceChanges);
    announceChanges();
    changes.start(changesPollMs);
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
    return controls->playing() ? "Playing" : stopped ? "Stopped" : "Paused";
}

double Mpris::samplesPerSecond() const
{
    const double rate = controls->worker() ? controls->worker()->rate() : 0;
    return rate > 0 ? rate : classicSamplesPerSecond;
}

QString Mpris::trackId() const
{
    return QString("/org/ecg_simulator/track/%1").arg(qHash(controls->file() + '/' + QString::number(controls->signal())));
}

QVariantMap Mpris::metadata() const
{
    if (controls->file().isEmpty() || !controls->worker())
        return {{"mpris:trackid", QVariant::fromValue(QDBusObjectPath("/org/mpris/MediaPlayer2/TrackList/NoTrack"))}};
    const qint64 length = qint64(controls->worker()->sampleCount() / samplesPerSecond() * 1e6);
    return {{"mpris:trackid", QVariant::fromValue(QDBusObjectPath(trackId()))},
            {"xesam:title", QFileInfo(controls->file()).fileName()},
            {"xesam:url", QUrl::fromLocalFile(QFileInfo(controls->file()).absoluteFilePath()).toString()},
            {"mpris:length", length}};
}

qint64 Mpris::position() const
{
    return controls->worker() ? qint64(controls->worker()->position() / samplesPerSecond() * 1e6) : 0;
}

// The rate in force, 0 for the classic pacing (and once the program ends).
double Mpris::rateInForce() const
{
    return controls->worker() ? controls->worker()->rate() : 0;
}

double Mpris::rate() const
{
    return rateInForce() > 0 ? factor : 1;
}

// A factor on the rate in force; the classic pacing has none to change.
void Mpris::setRate(double rate)
{
    AppWorker *worker = controls->worker();
    if (rateInForce() <= 0)
        return;
    if (rate <= 0) {
        pause();
        return;
    }
    if (rate < minimumRate() || rate > maximumRate())
        return;
    worker->setRate(worker->rate() / factor * rate);
    factor = rate;
}

double Mpris::maximumRate() const
{
    const double rate = rateInForce();
    return rate > 0 ? maxSampleRate / (rate / factor) : 1;
}

void Mpris::play()
{
    const QString refusal = controls->setPlaying(true);
    if (refusal.isEmpty())
        stopped = false;
    refuseIfCalled(refusal);
}

void Mpris::pause()
{
    controls->setPlaying(false);
}

void Mpris::playPause()
{
    controls->playing() ? pause() : play();
}

// Off, and the next Play starts from the first sample.
void Mpris::stop()
{
    controls->setPlaying(false);
    if (controls->worker())
        controls->worker()->setPosition(0);
    stopped = true;
}

void Mpris::seek(qint64 offsetUs)
{
    const qint64 target = qMax<qint64>(0, position() + offsetUs);
    // Past the end would be Next, which there is not.
    if (!controls->worker() || target >= metadata().value("mpris:length").toLongLong())
        return;
    controls->worker()->setPosition(int(target / 1e6 * samplesPerSecond()));
    emit seeked(position());
}

void Mpris::setPosition(const QDBusObjectPath &track, qint64 positionUs)
{
    if (!controls->worker() || track.path() != trackId() || positionUs < 0
        || positionUs > metadata().value("mpris:length").toLongLong())
        return;
    controls->worker()->setPosition(int(positionUs / 1e6 * samplesPerSecond()));
    emit seeked(position());
}

// Chosen as in the file dialog, then played; a refusal is a D-Bus error with
// the program's message.
void Mpris::openUri(const QString &uri)
{
    const QUrl url(uri);
    if (!url.isLocalFile()) {
        refuseIfCalled("Seuls les fichiers (file://) sont pris en charge.");
        return;
    }
    const QString refusal = controls->choose(url.toLocalFile(), QString());
    if (!refusal.isEmpty()) {
        refuseIfCalled(refusal);
        return;
    }
    play();
}

void Mpris::refuseIfCalled(const QString &refusal)
{
    if (!refusal.isEmpty() && calledFromDBus())
        sendErrorReply(QDBusError::Failed, refusal);
}

void Mpris::announceChanges()
{
    if (!controls->worker())
        return;
    const QVariantMap now{{"PlaybackStatus", playbackStatus()},
                          {"Metadata", metadata()},
                          {"Rate", rate()},
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

double Mpris::minimumRate() const
{
    return rateInForce() > 0 ? minimumFactor : 1;
}

#include "player.h"

#include "detectionscorer.h"
#include "playlistrun.h"
#include "statusline.h"
#include "unixsignals.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

namespace {

constexpr int healthReportMs = 60000;

} // namespace

Player::Player(const OutputSettings &settings, const QString &path, Source source)
    : path(path), source(source), settings(settings), model(settings), unixSignals(new UnixSignals(this))
{
    connect(unixSignals, &UnixSignals::received, this, &Player::onSignal);
    if (!unixSignals->catchSignals({SIGINT, SIGTERM, SIGHUP}))
        qWarning() << "Signaux indisponibles";
}

Player::~Player() = default;

// The device opens once the file is read: a refused file ends the program
// before anything is sent.
int Player::exec()
{
    connect(&model, &Playback::finished, this, [] { QCoreApplication::exit(0); });
    connect(&model, &Playback::outputFailed, this, [] { QCoreApplication::exit(dacRefused); });
    QTimer::singleShot(0, this, [this] { source == Source::Playlist ? playList() : playFile(); });
    return QCoreApplication::exec();
}

void Player::playFile()
{
    model.choose(path, settings.signal, Playback::When::AtOnce, [this](const Refusal &refusal) {
        if (refusal.kind == Refusal::Cancelled)
            return;
        if (refusal) {
            if (!refusal.reason.isEmpty())
                qWarning().noquote() << refusal.reason;
            qWarning() << "Fichier d'échantillons refusé:" << path;
            QCoreApplication::exit(refusal.kind == Refusal::Empty ? noSample : sampleFileRefused);
            return;
        }
        // A sync line, a beat log or a detection line that cannot be set up,
        // or a file without the beats they need, is an option refused:
        // nothing starts.
        if (model.start(Playback::Unmarked::DoNotStart)) {
            QCoreApplication::exit(optionRefused);
            return;
        }
        if (settings.once)
            connect(&model, &Playback::playedOnce, this, &Player::endWhenScored);
        model.setPlaying(true);
        reportHealth();
    });
}

void Player::playList()
{
    if (model.start(Playback::Unmarked::DoNotStart)) {
        QCoreApplication::exit(optionRefused);
        return;
    }
    connect(model.playlist(), &PlaylistRun::finished, this, [this] { model.end(); });
    if (const Refusal refusal = model.playlist()->start(path)) {
        qWarning().noquote() << refusal.reason;
        QCoreApplication::exit(sampleFileRefused);
        return;
    }
    reportHealth();
}

void Player::endWhenScored()
{
    // A playlist started from afar plays on.
    if (model.playlist()->running())
        return;
    const DetectionScorer *detections = model.detections();
    if (!detections)
        return model.end();
    connect(detections, &DetectionScorer::passEnded, this, [this] { model.end(); });
}

// The window's health line, once a minute, for whoever reads the log.
void Player::reportHealth()
{
    auto *healthReport = new QTimer(this);
    connect(healthReport, &QTimer::timeout, this,
            [this] { qDebug().noquote() << "État de la sortie :" << healthText(model.health()); });
    healthReport->start(healthReportMs);
}

void Player::onSignal(int number)
{
    if (number == SIGHUP) {
        if (model.ending())
            return;
        // A file that cannot be read, or holds no sample, changes nothing.
        model.reload([](const Refusal &refusal) {
            if (refusal && refusal.kind != Refusal::Cancelled)
                qWarning() << "Relecture refusée, la sortie continue avec les valeurs précédentes";
        });
        return;
    }
    // Ctrl-C pressed again forces the end at once. A second SIGTERM changes
    // nothing: supervisors such as GNU timeout send one to the program and one
    // to its process group, and the 5 s bound of the stop holds anyway.
    if (model.ending()) {
        if (number == SIGINT)
            Playback::forceEnd("second signal d'arrêt");
        return;
    }
    // The output stops after the frame in progress; its end ends the event loop.
    model.end();
}

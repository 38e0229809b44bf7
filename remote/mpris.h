#ifndef MPRIS_H
#define MPRIS_H

#include "playback.h"

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QStringList>
#include <QVariantMap>

class Controls;

// The program as a media player on the session bus (MPRIS 2.2), so that
// playerctl, media keys and desktop panels drive its playback, and quit or
// raise it through the front end. Without a session bus it says so in one
// debug line and does nothing.
class Mpris : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    Mpris(Playback *playback, Controls *controls, QObject *parent = nullptr);

    // org.mpris.MediaPlayer2
    bool canRaise() const;
    void raise();
    void quit();
    // org.mpris.MediaPlayer2.Player
    QString playbackStatus() const;
    QVariantMap metadata() const;
    qint64 position() const;
    double rate() const;
    void setRate(double rate);
    double minimumRate() const;
    double maximumRate() const;
    void play();
    void pause();
    void playPause();
    void stop();
    void seek(qint64 offsetUs);
    void setPosition(const QDBusObjectPath &track, qint64 positionUs);
    void openUri(const QString &uri);

signals:
    void seeked(qint64 positionUs);

private:
    QString trackId() const;
    qint64 lengthUs() const;
    double nominalRate() const;
    void seekTo(double targetUs);
    static void startPlaying(Playback *playback, const Playback::Done &done);
    void replyWhenDone(const std::function<void(Playback *, const Playback::Done &)> &command);
    void announceChanges();

    Playback *const playback;
    Controls *const controls;
    QVariantMap announced;
};

// org.mpris.MediaPlayer2 of an Mpris.
class MprisRoot : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)

public:
    explicit MprisRoot(Mpris *player) : QDBusAbstractAdaptor(player), player(player) {}
    bool canQuit() const { return true; }
    bool canRaise() const { return player->canRaise(); }
    bool hasTrackList() const { return false; }
    QString identity() const { return "ECG Simulator"; }
    QString desktopEntry() const { return "ecg-simulator"; }
    QStringList supportedUriSchemes() const { return {"file"}; }
    QStringList supportedMimeTypes() const;

public slots:
    void Raise() { player->raise(); }
    void Quit() { player->quit(); }

private:
    Mpris *const player;
};

// org.mpris.MediaPlayer2.Player of an Mpris.
class MprisPlayer : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(double MinimumRate READ minimumRate)
    Q_PROPERTY(double MaximumRate READ maximumRate)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ yes)
    Q_PROPERTY(bool CanPause READ yes)
    Q_PROPERTY(bool CanSeek READ yes)
    Q_PROPERTY(bool CanControl READ yes)

public:
    explicit MprisPlayer(Mpris *player);
    QString playbackStatus() const { return player->playbackStatus(); }
    double rate() const { return player->rate(); }
    void setRate(double rate) { player->setRate(rate); }
    QVariantMap metadata() const { return player->metadata(); }
    // The DAC's level is the record's: no volume to turn.
    double volume() const { return 1; }
    void setVolume(double) {}
    qlonglong position() const { return player->position(); }
    double minimumRate() const { return player->minimumRate(); }
    double maximumRate() const { return player->maximumRate(); }
    bool no() const { return false; }
    bool yes() const { return true; }

public slots:
    void Next() {}
    void Previous() {}
    void Pause() { player->pause(); }
    void PlayPause() { player->playPause(); }
    void Stop() { player->stop(); }
    void Play() { player->play(); }
    void Seek(qlonglong offset) { player->seek(offset); }
    void SetPosition(const QDBusObjectPath &track, qlonglong position) { player->setPosition(track, position); }
    void OpenUri(const QString &uri) { player->openUri(uri); }

signals:
    void Seeked(qlonglong position);

private:
    Mpris *const player;
};

#endif // MPRIS_H

#include "playlistrun.h"

#include "detectionscorer.h"
#include "playback.h"
#include "playlistfile.h"
#include "recordreader.h"
#include "remotefiles.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

PlaylistRun::PlaylistRun(Playback *playback) : QObject(playback), playback(playback)
{
    connect(playback, &Playback::playedOnce, this, [this] {
        if (running())
            recordPlayed();
    });
    if (const DetectionScorer *detections = playback->detections())
        connect(detections, &DetectionScorer::passEnded, this,
                [this](const QString &record, const QString &, const BeatScore &score, bool complete) {
                    if (complete)
                        passScored(record, score);
                });
}

Refusal PlaylistRun::start(const QString &path, const std::optional<QStringList> &folders)
{
    if (running())
        return {Refusal::Busy, "Liste de lecture en cours.",
                QString("La liste \"%1\" joue encore (enregistrement %2 sur %3)").arg(listPath).arg(current()).arg(count())};
    if (folders) {
        if (const Refusal outside = remoteChoiceRefusal(path, *folders))
            return outside;
    }
    QStringList read;
    QString error;
    if (!readPlaylist(path, &read, &error))
        return {Refusal::NotFound, "Liste de lecture illisible.", error};
    records = read;
    listPath = path;
    confinedTo = folders;
    scores.clear();
    index = -1;
    wasOnce = playback->playsOnce();
    qDebug().noquote() << QString("Liste de lecture \"%1\" : %2 enregistrements").arg(path).arg(records.size());
    playNext();
    return {};
}

void PlaylistRun::playNext()
{
    const DetectionScorer *detections = playback->detections();
    while (++index < records.size()) {
        const QString path = records[index];
        const QString name = QFileInfo(path).completeBaseName();
        // Played before this run was interrupted: scored again from its files.
        if (detections && QFileInfo::exists(detections->annotationFile(name, 1) + ".report")) {
            BeatScore score;
            if (scoreFromFiles(path, &score))
                scores.append({name, score});
            qDebug().noquote() << QString("Enregistrement %1 sur %2, \"%3\" : déjà joué, son rapport est là")
                                      .arg(index + 1).arg(records.size()).arg(path);
            continue;
        }
        if (confinedTo) {
            if (const Refusal outside = remoteChoiceRefusal(path, *confinedTo)) {
                qWarning().noquote() << QString("Enregistrement \"%1\" refusé : %2").arg(path, outside.explained());
                continue;
            }
        }
        qDebug().noquote() << QString("Enregistrement %1 sur %2 : \"%3\"").arg(index + 1).arg(records.size()).arg(path);
        playback->choose(path, QString(), Playback::When::AtOnce, [this, path](const Refusal &refusal) {
            if (!running())
                return;
            // A read cancelled by another choice is a record refused: the list goes on.
            const Refusal refused = refusal ? refusal : playback->beatsMissing();
            if (refused) {
                qWarning().noquote()
                    << QString("Enregistrement \"%1\" refusé, le suivant joue : %2").arg(path, refused.explained());
                playNext();
                return;
            }
            awaitingScore = false;
            // Once from the record's placing on: what played before it loops as it did.
            playback->setOnce(true);
            playback->setPlaying(true);
        });
        return;
    }
    finish();
}

void PlaylistRun::recordPlayed()
{
    // With a detection line, the next record plays once this one's pass is scored.
    if (playback->detections())
        awaitingScore = true;
    else
        playNext();
}

void PlaylistRun::passScored(const QString &record, const BeatScore &score)
{
    if (!running() || !awaitingScore || record != QFileInfo(records[index]).completeBaseName())
        return;
    awaitingScore = false;
    scores.append({record, score});
    playNext();
}

bool PlaylistRun::scoreFromFiles(const QString &path, BeatScore *score) const
{
    const OutputSettings &settings = playback->givenSettings();
    const DetectionScorer *detections = playback->detections();
    QString error;
    const std::unique_ptr<RecordReader> reader = openRecord(path, &error);
    QVector<Annotation> reference;
    QVector<Annotation> detected;
    const QFileInfo written(detections->annotationFile(QFileInfo(path).completeBaseName(), 1));
    const int signal = reader ? qMax(0, findSignal(reader->signalList(), settings.signal)) : 0;
    if (!reader || !reader->loadAnnotations(settings.annotator, signal, &reference, &error)
        || !readAnnotations(written.path() + '/' + written.completeBaseName() + ".hea", written.suffix(), &detected,
                            &error)) {
        qWarning().noquote() << "Score repris impossible :" << error;
        return false;
    }
    QVector<qint64> samples;
    for (const Annotation &annotation : qAsConst(detected)) {
        if (annotation.isBeat)
            samples.append(annotation.sample);
    }
    const SignalInfo &info = reader->signalList()[signal];
    *score = BeatScore::compare(reference, samples, detections->scoring(info.rate, info.length, 0));
    return true;
}

void PlaylistRun::abort()
{
    if (!running())
        return;
    qWarning().noquote() << QString("Liste de lecture \"%1\" interrompue à l'enregistrement %2 sur %3")
                                .arg(listPath).arg(current()).arg(count());
    index = -1;
    playback->setOnce(wasOnce);
}

void PlaylistRun::finish()
{
    index = -1;
    playback->setOnce(wasOnce);
    if (const DetectionScorer *detections = playback->detections(); detections && !scores.isEmpty())
        detections->writeSummary(scores);
    qDebug() << "Liste de lecture jouée";
    emit finished();
}

#include "loadsignal.h"

#include "recordreader.h"
#include "regularfile.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>
#include <new>

namespace {

// Null for none, or for annotations that cannot be read, which the log says.
std::shared_ptr<const QVector<Annotation>> annotationsOf(RecordReader &reader, const QString &path, int signal,
                                                        const QString &annotator)
{
    if (annotator.isEmpty())
        return nullptr;
    auto annotations = std::make_shared<QVector<Annotation>>();
    QString error;
    if (!reader.loadAnnotations(annotator, signal, annotations.get(), &error)) {
        qWarning().noquote() << error << "; enregistrement lu sans ses annotations";
        return nullptr;
    }
    if (annotations->isEmpty()) {
        qDebug() << "Pas d'annotations pour" << path;
        return nullptr;
    }
    std::stable_sort(annotations->begin(), annotations->end(),
                     [](const Annotation &a, const Annotation &b) { return a.sample < b.sample; });
    return annotations;
}

} // namespace

namespace {

// The refusal of a file that cannot be read, with the reader's reason.
Refusal openRefusal(const QString &path, const QString &detail)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return {Refusal::NotFound, "Impossible d'ouvrir le fichier.",
                QString("Pas de fichier lisible à « %1 »").arg(path)};
    return {Refusal::Unreadable, "Impossible d'ouvrir le fichier.",
            detail.isEmpty() ? QString("« %1 » n'est pas un fichier d'échantillons").arg(path) : detail};
}

} // namespace

Refusal cancelledRead(const QString &path)
{
    return {Refusal::Cancelled, "Lecture annulée.", QString("Lecture de « %1 » annulée").arg(path)};
}

LoadedSignal loadSignal(RecordReader &reader, const QString &path, int signal, const LoadObserver &observer,
                        const QString &annotator)
{
    auto list = std::make_shared<SampleList>();
    const qint64 total = reader.signalList().at(signal).length;
    auto envelope = std::make_shared<Envelope>(list);
    bool cancelled = false;
    const auto take = [&](const qint32 *values, int count) {
        list->append(values, count);
        envelope->append(count);
        if (observer.progress)
            observer.progress(list->size(), total);
    };
    // The first line that is no integer is said with its text, the others
    // counted: the log is no way to read a file that holds no samples.
    int invalidLines = 0;
    const SampleSink sink{take,
                          [&](int lineNumber, const QString &text) {
                              if (invalidLines++ == 0)
                                  qWarning() << "Ligne invalide (" << lineNumber << "):" << excerpt(text);
                              const qint32 invalid = -1;
                              take(&invalid, 1);
                          },
                          [&] { return cancelled = observer.cancelled && observer.cancelled(); }};
    // The list is reserved once for the whole signal: growing it would copy it
    // again and again, and the pages of the reserve never written take no memory.
    // A signal too long for the memory is refused (std::bad_alloc).
    bool read = false;
    try {
        reader.prepare(signal, list.get());
        read = reader.read(signal, sink);
    } catch (const std::bad_alloc &) {
        qWarning() << "Mémoire insuffisante pour" << path;
        return {nullptr, nullptr, {Refusal::Unreadable, "Impossible d'ouvrir le fichier.",
                          QString("Mémoire insuffisante pour « %1 »").arg(path)}};
    }
    if (invalidLines > 1)
        qWarning().noquote() << QString("Lignes invalides après la première : %1").arg(invalidLines - 1);
    for (const QString &warning : reader.warnings())
        qWarning().noquote() << warning;
    if (cancelled)
        return {nullptr, nullptr, cancelledRead(path)};
    if (!read) {
        if (!reader.error().isEmpty())
            qWarning().noquote() << reader.error();
        qWarning() << "Erreur ouverture fichier:" << path;
        return {nullptr, nullptr, openRefusal(path, reader.error())};
    }
    if (list->size() == 0) {
        qWarning() << "Aucun échantillon dans" << path;
        return {nullptr, nullptr,
                {Refusal::Empty, "Le fichier est vide.", QString("Aucun échantillon dans « %1 »").arg(path)}};
    }
    qDebug() << "Fichier chargé avec" << list->size() << "valeurs.";
    list->annotations = annotationsOf(reader, path, signal, annotator);
    return {list, envelope, {}};
}

Refusal openSignals(const QString &path, std::unique_ptr<RecordReader> *reader)
{
    QString detail;
    *reader = openRecord(path, &detail);
    if (*reader)
        return {};
    if (!detail.isEmpty())
        qWarning().noquote() << detail;
    qWarning() << "Erreur ouverture fichier:" << path;
    return openRefusal(path, detail);
}

Refusal noSignalRefusal(const QString &selector, const QString &path, const QVector<SignalInfo> &signalInfos)
{
    return {Refusal::NoSuchSignal, noSuchSignal(selector, signalInfos),
            QString("Aucun signal « %1 » dans \"%2\" ; ses signaux : %3")
                .arg(selector.trimmed(), path, describeSignals(signalInfos))};
}

LoadedSignal loadSignal(const QString &path, int signal, const LoadObserver &observer, const QString &annotator)
{
    std::unique_ptr<RecordReader> reader;
    if (const Refusal refusal = openSignals(path, &reader))
        return {nullptr, nullptr, refusal};
    if (signal >= reader->signalList().size())
        return {nullptr, nullptr, noSignalRefusal(QString::number(signal + 1), path, reader->signalList())};
    return loadSignal(*reader, path, signal, observer, annotator);
}

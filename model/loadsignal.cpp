#include "loadsignal.h"

#include "bounds.h"
#include "recordreader.h"
#include "regularfile.h"
#include "remotefiles.h"

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

// Opens path to read its signals, saying in the log why it cannot be.
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

// The signal that request asks for, or -1: a re-read's, at its number and
// with its label still; a choice's, by its selector.
int signalOf(const LoadRequest &request, const QVector<SignalInfo> &signalInfos)
{
    if (request.signal < 0)
        return findSignal(signalInfos, request.selector);
    if (request.signal >= signalInfos.size()
        || (request.label && signalInfos.at(request.signal).label != *request.label))
        return -1;
    return request.signal;
}

QString selectorOf(const LoadRequest &request)
{
    if (request.signal < 0)
        return request.selector;
    const QString number = QString::number(request.signal + 1);
    return request.label && !request.label->isEmpty() ? number + " (" + *request.label + ")" : number;
}

// Reads one signal of an open file into loaded; its refusal, if any.
Refusal readSignal(RecordReader &reader, const QString &path, const LoadObserver &observer, const QString &annotator,
                   LoadedSignal *loaded)
{
    auto list = std::make_shared<SampleList>();
    const int signal = loaded->signal;
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
        return {Refusal::Unreadable, "Impossible d'ouvrir le fichier.",
                QString("Mémoire insuffisante pour « %1 »").arg(path)};
    }
    if (invalidLines > 1)
        qWarning().noquote() << QString("Lignes invalides après la première : %1").arg(invalidLines - 1);
    for (const QString &warning : reader.warnings())
        qWarning().noquote() << warning;
    if (cancelled)
        return Refusal::cancelled(path);
    if (!read) {
        if (!reader.error().isEmpty())
            qWarning().noquote() << reader.error();
        qWarning() << "Erreur ouverture fichier:" << path;
        return openRefusal(path, reader.error());
    }
    if (list->size() == 0) {
        qWarning() << "Aucun échantillon dans" << path;
        return {Refusal::Empty, "Le fichier est vide.", QString("Aucun échantillon dans « %1 »").arg(path)};
    }
    qDebug() << "Fichier chargé avec" << list->size() << (list->size() < 2 ? "valeur." : "valeurs.");
    list->annotations = annotationsOf(reader, path, signal, annotator);
    loaded->list = list;
    loaded->envelope = envelope;
    return {};
}

// A refusal, with what was learnt of the file before it.
LoadedSignal refused(LoadedSignal loaded, const Refusal &refusal)
{
    loaded.refusal = refusal;
    return loaded;
}

} // namespace

FileStamps fileStamps(const QStringList &files)
{
    FileStamps stamps;
    for (const QString &file : files) {
        const QFileInfo info(file);
        stamps.append({info.size(), info.lastModified()});
    }
    return stamps;
}

LoadedSignal loadSignal(const LoadRequest &request, const LoadObserver &observer, const QString &annotator)
{
    const QString &path = request.path;
    LoadedSignal loaded;
    const auto confined = [&](const QString &file) {
        const Refusal refusal = request.folders ? remoteChoiceRefusal(file, *request.folders) : Refusal{};
        if (refusal)
            qWarning().noquote() << refusal.reason;
        return refusal;
    };
    if (const Refusal refusal = confined(path))
        return refused(loaded, refusal);
    std::unique_ptr<RecordReader> reader;
    if (const Refusal refusal = openSignals(path, &reader))
        return refused(loaded, refusal);
    loaded.signalInfos = reader->signalList();
    loaded.files = reader->files();
    for (const QString &file : qAsConst(loaded.files)) {
        if (const Refusal refusal = confined(file))
            return refused(loaded, refusal);
    }
    loaded.signal = signalOf(request, loaded.signalInfos);
    if (loaded.signal < 0)
        return refused(loaded, {Refusal::NoSuchSignal, noSuchSignal(selectorOf(request), loaded.signalInfos),
                                QString("Aucun signal « %1 » dans \"%2\" ; ses signaux : %3")
                                    .arg(selectorOf(request).trimmed(), path, describeSignals(loaded.signalInfos))});
    const double rate = loaded.signalInfos.at(loaded.signal).rate;
    if (request.ownRate && rate > 0) {
        if (const Refusal refusal = rateRefusal(rate))
            return refused(loaded, refusal);
    }
    if (request.listOnly)
        return loaded;
    loaded.stamps = fileStamps(loaded.files);
    if (const Refusal refusal = readSignal(*reader, path, observer, annotator, &loaded))
        return refused(loaded, refusal);
    return loaded;
}

LoadedSignal loadSignal(const QString &path, int signal, const LoadObserver &observer, const QString &annotator)
{
    LoadRequest request;
    request.path = path;
    request.signal = signal;
    return loadSignal(request, observer, annotator);
}

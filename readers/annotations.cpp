#include "annotations.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// The labels by code (0 to 41); a blank for the codes that have none.
constexpr char labels[] = " NLRaVFJASEj/Q~ | sT*D\"=pB^t+u?![]en@xf()r";
static_assert(sizeof labels == 43, "codes 0 to 41");
// WFDB's isqrs: N L R a V F J A S E j / Q, B, ?, !, e, n, f and r.
constexpr int beatCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 25, 30, 31, 34, 35, 38, 41};
constexpr int noteCode = 22;

// About two bytes an annotation: a month of beats. Beyond, a file is no annotation file.
constexpr qint64 maxFileSize = 8 << 20;

// The special words: a time skip, then the fields of the annotation before them.
constexpr int skipCode = 59;
constexpr int numCode = 60;
constexpr int subtypeCode = 61;
constexpr int channelCode = 62;
constexpr int auxCode = 63;

// The longest interval of one SKIP, either way; a field's and a text's largest values.
constexpr qint64 maxSkip = 0x7FFFFFFF;
constexpr int maxField = 0x3FF;
constexpr int maxAux = 255;

char annotationLabel(int code)
{
    return code < int(sizeof labels) - 1 ? labels[code] : ' ';
}

bool isBeatCode(int code)
{
    return std::find(std::begin(beatCodes), std::end(beatCodes), code) != std::end(beatCodes);
}

QString fileText(const QString &path)
{
    return "Fichier d'annotations \"" + excerpt(QFileInfo(path).fileName()) + "\" : ";
}

// A code in the high 6 bits, a value in the low 10, low byte first.
void appendWord(QByteArray *bytes, int code, int value)
{
    const int word = code << 10 | value;
    *bytes += char(word & 0xFF);
    *bytes += char(word >> 8);
}

// SKIP, then the interval high 16 bits first, each half low byte first.
void appendSkip(QByteArray *bytes, qint64 interval)
{
    const quint32 bits = quint32(qint32(interval));
    appendWord(bytes, skipCode, 0);
    *bytes += char(bits >> 16 & 0xFF);
    *bytes += char(bits >> 24);
    *bytes += char(bits & 0xFF);
    *bytes += char(bits >> 8 & 0xFF);
}

// What of an annotation the format cannot hold; empty when it holds it all.
QString unwritable(const Annotation &annotation)
{
    if (annotation.sample < 0)
        return "temps négatif";
    if (annotation.code < 0 || annotation.code >= skipCode)
        return "code d'annotation inconnu " + QString::number(annotation.code);
    for (const int field : {annotation.subtype, annotation.channel, annotation.num}) {
        if (field < 0 || field > maxField)
            return "sous-type, signal ou numéro hors de 0 à 1023";
    }
    if (annotation.aux.toLatin1().size() > maxAux)
        return "texte de plus de 255 octets";
    return {};
}

} // namespace

bool Annotation::operator==(const Annotation &other) const
{
    return sample == other.sample && label == other.label && subtype == other.subtype && channel == other.channel
           && num == other.num && aux == other.aux && isBeat == other.isBeat && code == other.code;
}

int annotationCode(char label)
{
    const char *found = label == ' ' || label == '\0' ? nullptr : std::strchr(labels + 1, label);
    return found ? int(found - labels) : 0;
}

bool isBeatLabel(char label)
{
    return isBeatCode(annotationCode(label));
}

QString annotationPath(const QString &headerPath, const QString &annotator)
{
    const QFileInfo header(headerPath);
    return header.dir().filePath(header.completeBaseName() + '.' + annotator);
}

bool readAnnotations(const QString &headerPath, const QString &annotator, QVector<Annotation> *annotations,
                     QString *error)
{
    annotations->clear();
    const QString path = annotationPath(headerPath, annotator);
    const QString file = fileText(path);
    QFile input(path);
    QString reason;
    if (!openRegularFile(input, QIODevice::ReadOnly, &reason)) {
        *error = file + reason;
        return false;
    }
    // Read up to the bound whatever its size says: it may grow meanwhile.
    const QByteArray bytes = input.read(maxFileSize + 1);
    if (bytes.size() > maxFileSize) {
        *error = file + "plus de 8 Mo, trop grand pour des annotations";
        return false;
    }
    const auto byteAt = [&](qint64 offset) { return quint8(bytes[int(offset)]); };
    const auto wordAt = [&](qint64 offset) { return byteAt(offset) | byteAt(offset + 1) << 8; };
    const auto refuse = [&](qint64 offset, const QString &reason) {
        *error = file + reason + " (octet " + QString::number(offset) + ')';
        annotations->clear();
        return false;
    };

    qint64 time = 0;
    int channel = 0;
    int num = 0;
    qint64 offset = 0;
    while (offset < bytes.size()) {
        if (offset + 2 > bytes.size())
            return refuse(offset, "mot tronqué à la fin du fichier");
        const int word = wordAt(offset);
        const int code = word >> 10;
        const int value = word & 0x3FF;
        if (word == 0)
            break;
        const qint64 wordOffset = offset;
        offset += 2;
        if (code == skipCode) {
            if (offset + 4 > bytes.size())
                return refuse(wordOffset, "saut de temps au-delà de la fin du fichier");
            time += qint32(quint32(wordAt(offset)) << 16 | quint32(wordAt(offset + 2)));
            offset += 4;
            continue;
        }
        if (code >= numCode) {
            if (annotations->isEmpty())
                return refuse(wordOffset, "champ sans annotation avant lui");
            Annotation &last = annotations->last();
            switch (code) {
            case numCode:
                last.num = num = value;
                break;
            case subtypeCode:
                last.subtype = value;
                break;
            case channelCode:
                last.channel = channel = value;
                break;
            case auxCode:
                if (offset + value > bytes.size())
                    return refuse(wordOffset, "texte au-delà de la fin du fichier");
                // Its count may include a closing null, and an odd count is padded by one.
                last.aux = QString::fromLatin1(bytes.mid(int(offset), value)).section(QChar('\0'), 0, 0);
                offset += value + value % 2;
                break;
            }
            continue;
        }
        time += value;
        if (time < 0)
            return refuse(wordOffset, "temps négatif");
        Annotation annotation;
        annotation.sample = time;
        annotation.label = annotationLabel(code);
        annotation.channel = channel;
        annotation.num = num;
        annotation.isBeat = isBeatCode(code);
        annotation.code = code;
        annotations->append(annotation);
    }
    // WFDB's annopen takes them for the file's header, never handed on.
    auto header = std::find_if(annotations->begin(), annotations->end(), [](const Annotation &a) {
        return a.sample != 0 || a.code != noteCode || a.subtype != 0;
    });
    if (header != annotations->end() && header->sample == 0 && header->code == 0)
        ++header;
    annotations->erase(annotations->begin(), header);
    return true;
}

bool writeAnnotations(const QString &path, const QVector<Annotation> &annotations, const QString &comment,
                      QString *error)
{
    QVector<Annotation> all;
    if (!comment.isEmpty()) {
        for (const QString &line : comment.split('\n'))
            all.append({0, '"', 0, 0, 0, "## " + line, false, noteCode});
        all.append({0, ' ', 0, 0, 0, QString(), false, 0});
    }
    const int headerSize = all.size();
    all += annotations;
    QByteArray bytes;
    qint64 time = 0;
    int channel = 0;
    int num = 0;
    for (int i = 0; i < all.size(); ++i) {
        const Annotation &annotation = all[i];
        const QString reason = unwritable(annotation);
        if (!reason.isEmpty()) {
            *error = fileText(path) + reason
                     + (i < headerSize ? QString(" (commentaire)")
                                       : " (annotation " + QString::number(i - headerSize) + ')');
            return false;
        }
        qint64 delta = annotation.sample - time;
        for (; delta > maxSkip; delta -= maxSkip)
            appendSkip(&bytes, maxSkip);
        for (; delta < -maxSkip; delta += maxSkip)
            appendSkip(&bytes, -maxSkip);
        if (annotation.code == 0) {
            // Its word must not be the end word: a SKIP to the sample before it, then one.
            appendSkip(&bytes, delta - 1);
            delta = 1;
        } else if (delta < 0 || delta > maxField) {
            appendSkip(&bytes, delta);
            delta = 0;
        }
        appendWord(&bytes, annotation.code, int(delta));
        time = annotation.sample;
        if (annotation.subtype != 0)
            appendWord(&bytes, subtypeCode, annotation.subtype);
        if (annotation.channel != channel)
            appendWord(&bytes, channelCode, channel = annotation.channel);
        if (annotation.num != num)
            appendWord(&bytes, numCode, num = annotation.num);
        const QByteArray text = annotation.aux.toLatin1();
        if (!text.isEmpty()) {
            // Its length, then its bytes, an odd count padded by a null.
            appendWord(&bytes, auxCode, text.size());
            bytes += text;
            if (text.size() % 2 != 0)
                bytes += '\0';
        }
    }
    appendWord(&bytes, 0, 0);

    // Written beside it, then renamed to it: what was there stays until the new file is whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = fileText(path) + "écriture impossible: " + file.errorString();
        return false;
    }
    return true;
}

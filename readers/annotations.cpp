#include "annotations.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

// The labels by code (1 to 41); a blank for the codes that have none.
constexpr char labels[] = " NLRaVFJASEj/Q~ | sT*D\"=pB^t+u?![]en@xf()r";
static_assert(sizeof labels == 43, "codes 0 to 41");
constexpr char beatLabels[] = "NLRBAaJSVrFejnE/fQ?";

// About two bytes an annotation: a month of beats. Beyond, a file is no annotation file.
constexpr qint64 maxFileSize = 8 << 20;

// The special words: a time skip, then the fields of the annotation before them.
constexpr int skipCode = 59;
constexpr int numCode = 60;
constexpr int subtypeCode = 61;
constexpr int channelCode = 62;
constexpr int auxCode = 63;

char annotationLabel(int code)
{
    return code > 0 && code < int(sizeof labels) - 1 && labels[code] != ' ' ? labels[code] : '\0';
}

} // namespace

bool Annotation::operator==(const Annotation &other) const
{
    return sample == other.sample && label == other.label && subtype == other.subtype && channel == other.channel
           && num == other.num && aux == other.aux && isBeat == other.isBeat;
}

int annotationCode(char label)
{
    const char *found = label == ' ' || label == '\0' ? nullptr : std::strchr(labels + 1, label);
    return found ? int(found - labels) : 0;
}

bool isBeatLabel(char label)
{
    return label != '\0' && std::strchr(beatLabels, label);
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
    const QString file = "Fichier d'annotations \"" + excerpt(QFileInfo(path).fileName()) + "\" : ";
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
        const char label = annotationLabel(code);
        if (label == '\0')
            return refuse(wordOffset, "code d'annotation inconnu " + QString::number(code));
        time += value;
        if (time < 0)
            return refuse(wordOffset, "temps négatif");
        Annotation annotation;
        annotation.sample = time;
        annotation.label = label;
        annotation.channel = channel;
        annotation.num = num;
        annotation.isBeat = isBeatLabel(label);
        annotations->append(annotation);
    }
    return true;
}

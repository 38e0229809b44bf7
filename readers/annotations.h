#ifndef ANNOTATIONS_H
#define ANNOTATIONS_H

#include <QString>
#include <QVector>

// One annotation of a WFDB annotation file (MIT format): a beat's or an
// event's label at a sample of the record.
struct Annotation
{
    qint64 sample = 0; // from the record's start
    char label = 'N';  // as PhysioNet writes it: N, V, A, +, ~ ...
    int subtype = 0;
    int channel = 0;
    int num = 0;
    QString aux;         // a rhythm's "(N" or a comment; empty for most
    bool isBeat = false; // a QRS complex's label

    bool operator==(const Annotation &other) const;
};

// The code of a label in the file; 0 for a label that has none.
int annotationCode(char label);
// Whether a label is a QRS complex's: N, V, A ...
bool isBeatLabel(char label);

// The file of the annotator's annotations beside the record whose header is
// headerPath: 100.atr for 100.hea and "atr".
QString annotationPath(const QString &headerPath, const QString &annotator);

// Reads the annotations of the record whose header is headerPath from the
// file beside it named after the annotator (100.hea, "atr": 100.atr). False
// when the file is missing or not a valid annotation file, with *error saying
// why and in which file; the record itself plays without them.
bool readAnnotations(const QString &headerPath, const QString &annotator, QVector<Annotation> *annotations,
                     QString *error);

#endif // ANNOTATIONS_H

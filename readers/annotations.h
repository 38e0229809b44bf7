#ifndef ANNOTATIONS_H
#define ANNOTATIONS_H

#include <QString>
#include <QVector>

// One annotation of a WFDB annotation file (MIT format): a beat's or an
// event's label at a sample of the record.
struct Annotation
{
    qint64 sample = 0; // from the record's start
    char label = 'N';  // as PhysioNet writes it: N, V, A, +, ~ ...; a blank for a code that has none
    int subtype = 0;
    int channel = 0;
    int num = 0;
    QString aux;         // a rhythm's "(N" or a comment; empty for most
    bool isBeat = false; // a QRS complex's, as WFDB's isqrs counts its code
    int code = 1;        // its code in the file, 0 to 58 (1 for N): the one written

    bool operator==(const Annotation &other) const;
};

// The code of a label in the file; 0 for a label that has none.
int annotationCode(char label);
// Whether a label is a QRS complex's, as WFDB counts its code: N L R a V F J A
// S E j / Q B ? ! e n f r.
bool isBeatLabel(char label);

// The file of the annotator's annotations beside the record whose header is
// headerPath: 100.atr for 100.hea and "atr".
QString annotationPath(const QString &headerPath, const QString &annotator);

// Reads the annotations of the record whose header is headerPath from the
// file beside it named after the annotator (100.hea, "atr": 100.atr). False
// when the file is missing or not a valid annotation file, with *error saying
// why and in which file; the record itself plays without them. Every code that
// WFDB reads is kept, those without a label as non-beats labelled ' '. The
// file's header is skipped, as WFDB's annopen takes it for its own: the notes
// (code 22, subtype 0) at sample 0 that open the file (comments "## ...", the
// time resolution, a table of codes) and the code 0 at sample 0 that may end them.
bool readAnnotations(const QString &headerPath, const QString &annotator, QVector<Annotation> *annotations,
                     QString *error);

// Writes the annotations to path in their order, word for word as WFDB's
// putann writes them. A comment that is not empty opens the file as header
// lines: a note at sample 0 for each of its lines, "## " and the line, then
// the code 0 at sample 0 that ends them, which rdann, bxb and readAnnotations
// skip. The file is written whole beside path, then renamed to it: false, with
// *error in French, leaves path as it was.
bool writeAnnotations(const QString &path, const QVector<Annotation> &annotations, const QString &comment,
                      QString *error);

#endif // ANNOTATIONS_H

#include "annotations.h"
#include "records.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

#include <algorithm>

#include <sys/stat.h>

Q_DECLARE_METATYPE(Annotation)

namespace {

// One word of the file: a code in the high 6 bits, a value in the low 10, low byte first.
QByteArray word(int code, int value)
{
    const int bits = code << 10 | value;
    return QByteArray(1, char(bits & 0xFF)) + char(bits >> 8);
}

// A SKIP word and its 32-bit interval, the high half first, each half low byte first.
QByteArray skip(qint32 interval)
{
    const quint32 bits = quint32(interval);
    return word(59, 0) + char(bits >> 16 & 0xFF) + char(bits >> 24) + char(bits & 0xFF) + char(bits >> 8 & 0xFF);
}

Annotation annotation(qint64 sample, char label, bool isBeat, int subtype = 0, int channel = 0, int num = 0,
                      const QString &aux = QString())
{
    return {sample, label, subtype, channel, num, aux, isBeat};
}

const QByteArray end = word(0, 0);

} // namespace

class tst_Annotations : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refusals_data();
    void refusals();
    void recordMinute();
};

void tst_Annotations::reads_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QVector<Annotation>>("expected");

    // Every code that has a label, one sample apart; the beats are the QRS complexes.
    const QByteArray labels = "NLRaVFJASEj/Q~|sT*D\"=pB^t+u?![]en@xf()r";
    const QVector<int> codes{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 16, 18, 19, 20, 21, 22,
                             23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41};
    QByteArray everyCode;
    QVector<Annotation> everyLabel;
    for (int i = 0; i < codes.size(); ++i) {
        everyCode += word(codes[i], 1);
        everyLabel.append(annotation(i + 1, labels[i], QByteArray("NLRBAaJSVrFejnE/fQ?").contains(labels[i])));
    }
    QTest::newRow("every label") << everyCode + end << everyLabel;
    QTest::newRow("time differences up to 1023") << word(1, 0) + word(5, 1023) + word(28, 0) + end
        << QVector<Annotation>{annotation(0, 'N', true), annotation(1023, 'V', true), annotation(1023, '+', false)};
    QTest::newRow("SKIP, over 1023 samples and beyond 16 bits")
        << word(1, 5) + skip(100000) + word(5, 3) + skip(1024) + word(1, 0) + end
        << QVector<Annotation>{annotation(5, 'N', true), annotation(100008, 'V', true), annotation(101032, 'N', true)};
    QTest::newRow("NUM and CHN for the following, SUB for one")
        << word(1, 10) + word(61, 2) + word(62, 1) + word(60, 7) + word(5, 10) + word(1, 10) + word(62, 0) + end
        << QVector<Annotation>{annotation(10, 'N', true, 2, 1, 7), annotation(20, 'V', true, 0, 1, 7),
                               annotation(30, 'N', true, 0, 0, 7)};
    // The odd length padded by a null; a closing null counted, as PhysioNet writes them.
    QTest::newRow("AUX of odd length, with a null")
        << word(28, 18) + word(63, 5) + "(AFIB" + '\0' + word(1, 2) + word(28, 1) + word(63, 3) + "(N" + '\0'
               + '\0' + end
        << QVector<Annotation>{annotation(18, '+', false, 0, 0, 0, "(AFIB"), annotation(20, 'N', true),
                               annotation(21, '+', false, 0, 0, 0, "(N")};
    QTest::newRow("no end word") << word(1, 4) << QVector<Annotation>{annotation(4, 'N', true)};
    QTest::newRow("bytes after the end word") << word(1, 4) + end + word(5, 1) + "x"
                                              << QVector<Annotation>{annotation(4, 'N', true)};
    QTest::newRow("empty") << end << QVector<Annotation>();
    const QVector<Annotation> written{annotation(0, 'N', true, 1, 2, 3, "note"), annotation(70000, '+', false),
                                      annotation(70001, 'V', true, 0, 0, 0, "(B")};
    QTest::newRow("as the tests' writer writes them") << wfdbAnnotations(written) << written;
}

void tst_Annotations::reads()
{
    QFETCH(QByteArray, file);
    QFETCH(QVector<Annotation>, expected);

    SampleFiles files;
    files.write("rec.atr", file);
    QVector<Annotation> annotations;
    QString error;
    QVERIFY2(readAnnotations(files.path("rec.hea"), "atr", &annotations, &error), qPrintable(error));
    QCOMPARE(annotations.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(annotations[i].sample, expected[i].sample);
        QCOMPARE(annotations[i].label, expected[i].label);
        QCOMPARE(annotations[i].isBeat, expected[i].isBeat);
        QVERIFY2(annotations[i] == expected[i], qPrintable(QString::number(i)));
    }
}

void tst_Annotations::refusals_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file, or one of the kind named
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("kind"); // "fifo", "directory"; empty: a file

    const QString name = "Fichier d'annotations \"rec.atr\" : ";
    QTest::newRow("missing") << QByteArray() << name + "absent" << QString();
    // Never opened, so never waited for.
    QTest::newRow("a FIFO") << QByteArray() << name + "pas un fichier ordinaire (FIFO)" << "fifo";
    QTest::newRow("a directory") << QByteArray() << name + "pas un fichier ordinaire (dossier)" << "directory";
    const auto bad = [&](const char *tag, const QByteArray &content, const QString &reason) {
        QTest::newRow(tag) << content << name + reason << QString();
    };
    bad("truncated word", word(1, 4) + word(1, 4).left(1), "mot tronqué à la fin du fichier (octet 2)");
    bad("SKIP past the end", word(1, 4) + skip(5000).left(5), "saut de temps au-delà de la fin du fichier (octet 2)");
    bad("AUX past the end", word(1, 4) + word(63, 6) + "(AFI", "texte au-delà de la fin du fichier (octet 2)");
    bad("unknown code 50", word(1, 4) + word(50, 1) + end, "code d'annotation inconnu 50 (octet 2)");
    bad("unused code 15", word(15, 1) + end, "code d'annotation inconnu 15 (octet 0)");
    bad("code 0 with a time", word(0, 1) + end, "code d'annotation inconnu 0 (octet 0)");
    bad("field before any annotation", word(60, 1) + word(1, 4) + end, "champ sans annotation avant lui (octet 0)");
    bad("before the record's start", skip(-10) + word(1, 4) + end, "temps négatif (octet 6)");
    bad("over 8 MB", QByteArray(8 * 1024 * 1024, '\x04') + end, "plus de 8 Mo, trop grand pour des annotations");
}

void tst_Annotations::refusals()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    QFETCH(QString, kind);

    SampleFiles files;
    if (!file.isEmpty())
        files.write("rec.atr", file);
    else if (kind == "fifo")
        QCOMPARE(mkfifo(qPrintable(files.path("rec.atr")), 0600), 0);
    else if (kind == "directory")
        QVERIFY(QDir().mkdir(files.path("rec.atr")));
    QVector<Annotation> annotations{annotation(1, 'N', true)};
    QString refusal;
    QVERIFY(!readAnnotations(files.path("rec.hea"), "atr", &annotations, &refusal));
    QCOMPARE(refusal, error);
    QVERIFY(annotations.isEmpty());
}

// The repository's first minute of MIT-BIH record 100: its reference
// annotations, of which the whole record's file holds 75 before sample 21600.
void tst_Annotations::recordMinute()
{
    QVector<Annotation> annotations;
    QString error;
    QVERIFY2(readAnnotations(ECG_SAMPLES "/mitdb_100_1min.hea", "atr", &annotations, &error), qPrintable(error));
    QCOMPARE(annotations.size(), 75);
    QCOMPARE(annotations.first().label, '+');
    QCOMPARE(annotations.first().sample, qint64(18));
    QCOMPARE(annotations.first().aux, QString("(N"));
    QCOMPARE(std::count_if(annotations.cbegin(), annotations.cend(), [](const Annotation &a) { return a.isBeat; }),
             74);
    QVERIFY(annotations.last().sample < 21600);
}

QTEST_MAIN(tst_Annotations)
#include "tst_annotations.moc"

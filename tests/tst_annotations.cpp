#include "annotations.h"
#include "records.h"
#include "testsupport.h"

#include <QDir>
#include <QTest>

#include <algorithm>
#include <cstring>

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
    return {sample, label, subtype, channel, num, aux, isBeat, annotationCode(label)};
}

// An annotation of a code that has no label.
Annotation unlabelled(qint64 sample, int code)
{
    return {sample, ' ', 0, 0, 0, QString(), false, code};
}

const QByteArray end = word(0, 0);

// The first annotation that differs, told; empty when there is none.
QString difference(const QVector<Annotation> &actual, const QVector<Annotation> &expected)
{
    const auto told = [](const Annotation &a) {
        return QString("%1 '%2' %3 %4 %5 %6 \"%7\" %8")
            .arg(a.sample).arg(a.label).arg(a.code).arg(a.subtype).arg(a.channel).arg(a.num).arg(a.aux).arg(a.isBeat);
    };
    for (int i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        if (i >= actual.size() || i >= expected.size() || !(actual[i] == expected[i]))
            return QString("annotation %1: %2, expected %3").arg(i).arg(told(actual.value(i)), told(expected.value(i)));
    }
    return {};
}

} // namespace

class tst_Annotations : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void refusals_data();
    void refusals();
    void writes_data();
    void writes();
    void writeRefusals_data();
    void writeRefusals();
    void recordMinute();
};

void tst_Annotations::reads_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QVector<Annotation>>("expected");

    // Every code but the special words, one sample apart: those without a label
    // kept, their code with them; the beats those of WFDB's isqrs.
    const QByteArray labels = "NLRaVFJASEj/Q~ | sT*D\"=pB^t+u?![]en@xf()r";
    QByteArray everyCode;
    QVector<Annotation> everyLabel;
    for (int code = 0; code < 59; ++code) {
        everyCode += word(code, 1);
        const char label = code >= 1 && code <= labels.size() ? labels[code - 1] : ' ';
        everyLabel.append({code + 1, label, 0, 0, 0, QString(), QByteArray("NLRaVFJASEj/QB?!enfr").contains(label), code});
    }
    QTest::newRow("every code") << everyCode + end << everyLabel;
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
    // Notes at sample 0, then the code 0 that ends them: WFDB's header.
    const QByteArray header = word(22, 0) + word(63, 4) + "## a" + word(22, 0) + skip(-1) + word(0, 1);
    QTest::newRow("the header skipped") << header + word(1, 5) + end << QVector<Annotation>{annotation(5, 'N', true)};
    QTest::newRow("notes at 0 after another annotation kept")
        << word(22, 0) + word(61, 1) + header + end
        << QVector<Annotation>{annotation(0, '"', false, 1), annotation(0, '"', false, 0, 0, 0, "## a"),
                               annotation(0, '"', false), unlabelled(0, 0)};
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
    const QString differs = difference(annotations, expected);
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
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

void tst_Annotations::writes_data()
{
    QTest::addColumn<QVector<Annotation>>("annotations");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QByteArray>("bytes"); // as putann writes them; empty: only read back

    const auto hex = [](const char *words) { return QByteArray::fromHex(words); };
    QTest::newRow("putann's words, by hand")
        << QVector<Annotation>{annotation(10, 'N', true), annotation(1500, 'V', true, 0, 1),
                               annotation(1500, '+', false, 0, 1, 2, "(B"),
                               {1600, ' ', 5, 0, 2, QString(), false, 0}}
        << "moniteur"
        << hex("0058 0bfc") + "## moniteur" + hex("00") // the note at 0, its 11 bytes padded
               + hex("00ec ffff ffff 0100")             // a code 0 at 0: SKIP -1, then 1
               + hex("0a04")                            // N at 10
               + hex("00ec 0000 d205 0014 01f8")        // SKIP 1490, V, CHN 1
               + hex("0070 02f0 02fc") + "(B"           // +, NUM 2, AUX of 2 bytes
               + hex("00ec 0000 6300 0100 05f4 00f8")   // a code 0 at 1600: SKIP 99, 1, SUB 5, CHN 0
               + hex("0000");                           // the end
    QTest::newRow("SKIP words: past 1023, back, beyond 31 bits")
        << QVector<Annotation>{annotation(1023, 'N', true), annotation(2047, 'V', true), annotation(10, 'N', true),
                               annotation(5000000000, 'N', true), annotation(5000000000, '+', false)}
        << QString() << QByteArray();
    QTest::newRow("codes without a label")
        << QVector<Annotation>{unlabelled(5, 0), unlabelled(5, 15), unlabelled(6, 42), unlabelled(3000, 58),
                               unlabelled(3000, 0)}
        << QString() << QByteArray();
    QTest::newRow("fields that change and come back")
        << QVector<Annotation>{annotation(1, 'N', true, 2, 3, 4), annotation(2, 'V', true, 0, 3, 4),
                               annotation(3, 'N', true), annotation(4, '~', false, 1023, 1023, 1023)}
        << QString() << QByteArray();
    QTest::newRow("texts odd and even")
        << QVector<Annotation>{annotation(1, '+', false, 0, 0, 0, "(AFIB"), annotation(2, '+', false, 0, 0, 0, "(N"),
                               annotation(3, '"', false, 0, 0, 0, "réglé"),
                               annotation(4, '"', false, 0, 0, 0, QString(255, 'x'))}
        << QString() << QByteArray();
    // Without the code 0 that ends the header, the note at 0 would be taken for it.
    QTest::newRow("a comment of two lines, then a note at 0")
        << QVector<Annotation>{annotation(0, '"', false, 0, 0, 0, "début"), annotation(7, 'N', true)}
        << "moniteur\nversion 2" << QByteArray();
}

// Written as WFDB writes them, read back as they were.
void tst_Annotations::writes()
{
    QFETCH(QVector<Annotation>, annotations);
    QFETCH(QString, comment);
    QFETCH(QByteArray, bytes);

    SampleFiles files;
    QString error;
    QVERIFY2(writeAnnotations(files.path("rec.atr"), annotations, comment, &error), qPrintable(error));
    if (!bytes.isEmpty()) {
        QFile written(files.path("rec.atr"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll().toHex(' '), bytes.toHex(' '));
    }
    QVector<Annotation> read;
    QVERIFY2(readAnnotations(files.path("rec.hea"), "atr", &read, &error), qPrintable(error));
    const QString differs = difference(read, annotations);
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
}

void tst_Annotations::writeRefusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVector<Annotation>>("annotations");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("error");

    const QString file = "Fichier d'annotations \"rec.atr\" : ";
    const QVector<Annotation> beat{annotation(1, 'N', true)};
    QTest::newRow("a folder that does not exist")
        << "missing/rec.atr" << beat << QString()
        << file + "écriture impossible: " + QString::fromLocal8Bit(std::strerror(ENOENT));
    QTest::newRow("before the record's start")
        << "rec.atr" << QVector<Annotation>{annotation(-1, 'N', true)} << QString() << file + "temps négatif (annotation 0)";
    QTest::newRow("a special word's code")
        << "rec.atr" << QVector<Annotation>{beat[0], unlabelled(2, 59)} << QString() << file + "code d'annotation inconnu 59 (annotation 1)";
    QTest::newRow("a field over 1023")
        << "rec.atr" << QVector<Annotation>{annotation(1, 'N', true, 0, 0, 1024)} << QString()
        << file + "sous-type, signal ou numéro hors de 0 à 1023 (annotation 0)";
    QTest::newRow("a comment's line over 252 bytes")
        << "rec.atr" << beat << "a\n" + QString(253, 'x') << file + "texte de plus de 255 octets (commentaire)";
}

// Refused, with what was there left as it was and nothing beside it.
void tst_Annotations::writeRefusals()
{
    QFETCH(QString, name);
    QFETCH(QVector<Annotation>, annotations);
    QFETCH(QString, comment);
    QFETCH(QString, error);

    SampleFiles files;
    files.write("rec.atr", "before");
    QString refusal;
    QVERIFY(!writeAnnotations(files.path(name), annotations, comment, &refusal));
    QCOMPARE(refusal, error);
    QCOMPARE(QDir(files.path(".")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"rec.atr"});
    QFile before(files.path("rec.atr"));
    QVERIFY(before.open(QIODevice::ReadOnly));
    QCOMPARE(before.readAll(), QByteArray("before"));
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

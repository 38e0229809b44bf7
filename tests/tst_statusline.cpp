#include "statusline.h"

#include <QTest>

Q_DECLARE_METATYPE(PlaybackFacts)
Q_DECLARE_METATYPE(OutputHealth)

namespace {

// French groups thousands with a narrow no-break space.
const QString thin = QString(QChar(0x202f));

PlaybackFacts facts(PlaybackFacts::State state, const QString &file, const QString &signal, double rate,
                    double ownRate, qint64 position, qint64 length)
{
    PlaybackFacts made;
    made.state = state;
    made.fileName = file;
    made.signalLabel = signal;
    made.rate = rate;
    made.ownRate = ownRate;
    made.position = position;
    made.length = length;
    return made;
}

} // namespace

class tst_StatusLine : public QObject
{
    Q_OBJECT

private slots:
    void says_data();
    void says();
    void saysTheHealth_data();
    void saysTheHealth();
};

void tst_StatusLine::says_data()
{
    using State = PlaybackFacts::State;
    QTest::addColumn<PlaybackFacts>("facts");
    QTest::addColumn<QString>("text");

    QTest::newRow("no file") << facts(State::Stopped, "", "", 0, 0, 0, 0) << "Simulation arrêtée — aucun fichier";

    // The classic pacing: 2.24 ms a sample.
    PlaybackFacts classic = facts(State::Playing, "mitbih-208-10s.csv", "", 0, 0, 1000, 3600);
    classic.loops = 2;
    QTest::newRow("sample file, classic pacing") << classic
        << "Simulation en marche — mitbih-208-10s.csv\npause de 2 ms — 0:00:02 / 0:00:08, éch. 1" + thin + "000 / 3"
               + thin + "600 — 2 boucles";

    PlaybackFacts record = facts(State::Paused, "100.hea", "MLII", 360, 360, 360 * 3723 + 359, 650000);
    record.fullScaleMv = 10;
    record.loops = 1;
    record.heartRate = 72.6;
    QTest::newRow("record at its rate") << record
        << "Simulation en pause — 100.hea (MLII)\n360 éch./s, x 1,00 — 1:02:03 / 0:30:05, éch. 1" + thin + "340"
               + thin + "639 / 650" + thin + "000 — pleine échelle 10 mV — 1 boucle — FC de référence 73/min";

    // Times in the recording's own: at twice its rate, still its seconds.
    PlaybackFacts other = facts(State::Stopped, "100.hea", "", 720, 360, 720, 3600);
    other.fullScaleMv = 2.5;
    other.outputFile = "208.hea";
    other.outputSignal = "MLII";
    QTest::newRow("another file goes out") << other
        << "Simulation arrêtée — Sortie : 208.hea (MLII) — affiché : 100.hea\n720 éch./s, x 2,00 — 0:00:02 / "
           "0:00:10, éch. 720 / 3" + thin + "600 — pleine échelle 2,5 mV";

    QTest::newRow("starting") << facts(State::Starting, "100.hea", "", 360, 360, 0, 3600)
                              << "Simulation en démarrage — 100.hea\n360 éch./s, x 1,00 — 0:00:00 / 0:00:10, éch. 0 / 3"
                                     + thin + "600";
    QTest::newRow("ending") << facts(State::Ending, "", "", 0, 0, 0, 0) << "Fin du programme en cours — aucun fichier";

    // A monitor scored: its statistics, a dash while one is undefined.
    PlaybackFacts scored = facts(State::Playing, "100.hea", "", 360, 360, 0, 3600);
    scored.scoring = true;
    scored.sensitivity = 99.84;
    QTest::newRow("a monitor scored") << scored
        << "Simulation en marche — 100.hea\n360 éch./s, x 1,00 — 0:00:00 / 0:00:10, éch. 0 / 3" + thin
               + "600 — Se 99,8 % +P –";

    QTest::newRow("sample file at a rate set") << facts(State::Playing, "long.csv", "", 500, 0, 0, 500 * 86400)
        << "Simulation en marche — long.csv\n500 éch./s — 0:00:00 / 24:00:00, éch. 0 / 43" + thin + "200" + thin
               + "000";
}

void tst_StatusLine::says()
{
    QFETCH(PlaybackFacts, facts);
    QFETCH(QString, text);

    QCOMPARE(statusText(facts), text);
}

void tst_StatusLine::saysTheHealth_data()
{
    QTest::addColumn<OutputHealth>("health");
    QTest::addColumn<QString>("text");

    OutputHealth real;
    real.device = "/dev/spidev0.0";
    real.realDevice = true;
    real.scheduling = "FIFO 20";
    real.code = 39322;
    real.millivolts = 1;
    QTest::newRow("a real DAC, a record") << real
                                          << "DAC /dev/spidev0.0 (réel) — priorité FIFO 20 — 0 trame en retard, 0 relance "
                                             "— code 39322, 1,000 mV";
    OutputHealth virtualOne;
    virtualOne.device = "/dev/spidev0.0";
    virtualOne.scheduling = "RR 20";
    virtualOne.lateFrames = 1234;
    virtualOne.clockRestarts = 2;
    virtualOne.code = 12;
    QTest::newRow("the virtual DAC, a sample file, late") << virtualOne
        << "DAC /dev/spidev0.0 (virtuel) — priorité RR 20 — 1" + thin + "234 trames en retard, 2 relances — code 12";
    OutputHealth failed;
    failed.device = "/dev/spidev0.1";
    failed.realDevice = true;
    failed.failure = "transferts SPI en échec";
    QTest::newRow("a failed DAC, no priority, nothing sent") << failed
        << "DAC /dev/spidev0.1 en échec — sans priorité temps réel — 0 trame en retard, 0 relance — rien envoyé";
}

void tst_StatusLine::saysTheHealth()
{
    QFETCH(OutputHealth, health);
    QFETCH(QString, text);

    QCOMPARE(healthText(health), text);
}

QTEST_MAIN(tst_StatusLine)
#include "tst_statusline.moc"

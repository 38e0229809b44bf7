#include "mainui.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class tst_MainUI : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsIdleAndFrameless();
    void toggleUpdatesBeforeItSignals_data();
    void toggleUpdatesBeforeItSignals();
    void oneSignalPerClick_data();
    void oneSignalPerClick();
    void closeAndEscapeAreRefused();
    void fileNames_data();
    void fileNames();

private:
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    QString label(const char *name) const { return window->findChild<QLabel *>(name)->text(); }

    MainUI *window = nullptr;
};

void tst_MainUI::init()
{
    window = new MainUI;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_MainUI::cleanup()
{
    delete window;
}

void tst_MainUI::startsIdleAndFrameless()
{
    QCOMPARE(window->windowFlags(), Qt::Window | Qt::FramelessWindowHint);
    QCOMPARE(window->size(), QSize(1303, 666));
    QCOMPARE(label("label"), QString("Simulation signal ECG"));
    QVERIFY(!button("btnSimu")->isChecked());
    QCOMPARE(button("btnSimu")->text(), QString("Lancer la simulation"));
    QCOMPARE(button("openFileButton")->text(), QString("Sélectionner un fichier"));
    QCOMPARE(label("fileLabel"), QString("Aucun fichier sélectionné."));
    QCOMPARE(button("btnQuit")->text(), QString("Quitter"));
    QVERIFY(button("btnQuit")->isEnabled());
}

void tst_MainUI::toggleUpdatesBeforeItSignals_data()
{
    QTest::addColumn<bool>("byClick");

    QTest::newRow("clicked") << true;
    // Set from code, the toggle runs the same slot.
    QTest::newRow("set from code") << false;
}

void tst_MainUI::toggleUpdatesBeforeItSignals()
{
    QFETCH(bool, byClick);

    struct Seen
    {
        bool checked;
        QString caption;
        bool quitEnabled;
    };
    QVector<Seen> seen;
    connect(window, &MainUI::simuToggled, this,
            [&](bool checked) { seen.append({checked, button("btnSimu")->text(), button("btnQuit")->isEnabled()}); });
    for (bool checked : {true, false}) {
        if (byClick)
            QTest::mouseClick(button("btnSimu"), Qt::LeftButton);
        else
            button("btnSimu")->setChecked(checked);
    }
    button("btnSimu")->setChecked(false); // already off: nothing emitted

    QCOMPARE(seen.size(), 2);
    QVERIFY(seen[0].checked);
    QCOMPARE(seen[0].caption, QString("Stopper la simulation"));
    QVERIFY(!seen[0].quitEnabled);
    QVERIFY(!seen[1].checked);
    QCOMPARE(seen[1].caption, QString("Lancer la simulation"));
    QVERIFY(seen[1].quitEnabled);
}

void tst_MainUI::oneSignalPerClick_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("opens");

    QTest::newRow("file button") << "openFileButton" << true;
    QTest::newRow("quit") << "btnQuit" << false;
}

void tst_MainUI::oneSignalPerClick()
{
    QFETCH(QString, button);
    QFETCH(bool, opens);

    QSignalSpy openSpy(window, &MainUI::openFileRequested);
    QSignalSpy exitSpy(window, &MainUI::exitRequested);
    QSignalSpy toggleSpy(window, &MainUI::simuToggled);
    QTest::mouseClick(this->button(qPrintable(button)), Qt::LeftButton);
    QCOMPARE(openSpy.count(), opens ? 1 : 0);
    QCOMPARE(exitSpy.count(), opens ? 0 : 1);
    QCOMPARE(toggleSpy.count(), 0);
    QVERIFY(window->isVisible());
}

// Only Quit may end the program: a hidden or closed window would leave the
// output running with no way to stop it.
void tst_MainUI::closeAndEscapeAreRefused()
{
    QSignalSpy exitSpy(window, &MainUI::exitRequested);
    QVERIFY(!window->close());
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::keyClick(button("btnSimu"), Qt::Key_Escape);
    QVERIFY(window->isVisible());
    QCOMPARE(exitSpy.count(), 0);
}

void tst_MainUI::fileNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");

    QTest::newRow("empty") << "" << "Aucun fichier sélectionné.";
    QTest::newRow("full path") << "/home/pi/ECG signals (1000 fragments)/rec 01.csv" << "rec 01.csv";
    QTest::newRow("no slash") << "Aucun fichier" << "Aucun fichier";
    QTest::newRow("trailing slash") << "/home/pi/ecg/" << "";
}

void tst_MainUI::fileNames()
{
    QFETCH(QString, path);
    QFETCH(QString, shown);

    window->setFileName(path);
    QCOMPARE(label("fileLabel"), shown);
}

QTEST_MAIN(tst_MainUI)
#include "tst_mainui.moc"

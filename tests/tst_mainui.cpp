#include "mainui.h"

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

class tst_MainUI : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void toggleUpdatesBeforeItSignals();
    void closeAndEscapeAreRefused();
    void fitsTheScreen_data();
    void fitsTheScreen();

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

void tst_MainUI::toggleUpdatesBeforeItSignals()
{
    struct Seen
    {
        bool checked;
        QString caption;
        bool quitEnabled;
    };
    QVector<Seen> seen;
    connect(window, &MainUI::simuToggled, this,
            [&](bool checked) { seen.append({checked, button("btnSimu")->text(), button("btnQuit")->isEnabled()}); });
    for (int press = 0; press < 2; ++press)
        QTest::mouseClick(button("btnSimu"), Qt::LeftButton);
    button("btnSimu")->setChecked(false); // already off: nothing emitted

    QCOMPARE(seen.size(), 2);
    QVERIFY(seen[0].checked);
    QCOMPARE(seen[0].caption, QString("Stopper la simulation"));
    QVERIFY(!seen[0].quitEnabled);
    QVERIFY(!seen[1].checked);
    QCOMPARE(seen[1].caption, QString("Lancer la simulation"));
    QVERIFY(seen[1].quitEnabled);
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

void tst_MainUI::fitsTheScreen_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("window"); // its geometry's size, and position when it moves

    // A screen as large as the form, or larger: the window as the form made it.
    QTest::newRow("1920 x 1080") << QRect(0, 0, 1920, 1080) << QRect(0, 0, 1303, 666);
    QTest::newRow("1303 x 666") << QRect(0, 0, 1303, 666) << QRect(0, 0, 1303, 666);
    // The Raspberry Pi touch display, bare and below a 36-pixel panel.
    QTest::newRow("800 x 480") << QRect(0, 0, 800, 480) << QRect(0, 0, 800, 480);
    QTest::newRow("800 x 444 below a panel") << QRect(0, 36, 800, 444) << QRect(0, 36, 800, 444);
    QTest::newRow("1302 x 900") << QRect(0, 0, 1302, 900) << QRect(0, 0, 1302, 666);
}

// Every control and the chart lie inside the screen's available area.
void tst_MainUI::fitsTheScreen()
{
    QFETCH(QRect, area);
    QFETCH(QRect, window);

    this->window->fitInto(area);
    const bool fitted = window.size() != QSize(1303, 666);
    QCOMPARE(this->window->size(), window.size());
    if (fitted)
        QCOMPARE(this->window->pos(), window.topLeft());
    const QRect inside(QPoint(0, 0), window.size());
    const QList<QWidget *> parts = this->window->findChildren<QWidget *>(QRegularExpression("^(btn|openFile|fileLabel|label|chartView)"));
    QCOMPARE(parts.size(), 6);
    for (QWidget *part : parts) {
        const QRect placed(part->mapTo(this->window, QPoint(0, 0)), part->size());
        QVERIFY2(inside.contains(placed), qPrintable(part->objectName()));
    }
    // The chart takes what the header leaves.
    const QRect chart = this->window->findChild<QWidget *>("chartView")->geometry();
    if (fitted)
        QVERIFY(chart.width() >= window.width() - 40 && chart.height() >= window.height() - 180);
    else
        QCOMPARE(chart, QRect(20, 170, 1281, 491));
}

QTEST_MAIN(tst_MainUI)
#include "tst_mainui.moc"

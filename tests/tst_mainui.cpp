#include "mainui.h"
#include "statusline.h"
#include "translations.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
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
    void signalListForFingers_data();
    void signalListForFingers();
    void qtTextsAreFrench();

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
    QTest::addColumn<bool>("touch");   // every button a finger high

    // A screen as large as the form, or larger: the window as the form made it.
    QTest::newRow("1920 x 1080") << QRect(0, 0, 1920, 1080) << QRect(0, 0, 1303, 666) << false;
    QTest::newRow("1303 x 666") << QRect(0, 0, 1303, 666) << QRect(0, 0, 1303, 666) << false;
    // The Raspberry Pi touch display, bare and below a 36-pixel panel.
    QTest::newRow("800 x 480") << QRect(0, 0, 800, 480) << QRect(0, 0, 800, 480) << true;
    QTest::newRow("800 x 444 below a panel") << QRect(0, 36, 800, 444) << QRect(0, 36, 800, 444) << true;
    QTest::newRow("1302 x 900") << QRect(0, 0, 1302, 900) << QRect(0, 0, 1302, 666) << false;
}

// Every control, the status line and the chart lie inside the screen's
// available area, one below the other.
void tst_MainUI::fitsTheScreen()
{
    QFETCH(QRect, area);
    QFETCH(QRect, window);
    QFETCH(bool, touch);

    // A long status: its lines fit the window's width.
    PlaybackFacts facts;
    facts.state = PlaybackFacts::State::Playing;
    facts.fileName = "100.hea";
    facts.signalLabel = "MLII";
    facts.outputFile = "208.hea";
    facts.outputSignal = "V5";
    facts.rate = facts.ownRate = 360;
    facts.position = 1340639;
    facts.length = 31104000;
    facts.fullScaleMv = 10;
    facts.loops = 3;
    OutputHealth health;
    health.device = "/dev/spidev0.0";
    health.failure = "DAC8551: réglage du mode de \"/dev/spidev0.0\" impossible: \"Input/output error\"";
    this->window->fitInto(QRect(0, 0, 1920, 1080));
    this->window->showStatus(facts, health);
    this->window->fitInto(area);
    const QWidget *statusLabel = this->window->findChild<QWidget *>("statusLabel");
    QVERIFY(statusLabel->sizeHint().width() <= statusLabel->width());
    this->window->showStatus(PlaybackFacts(), OutputHealth());
    this->window->fitInto(area);
    this->window->showStatus(facts, health);
    QVERIFY(statusLabel->sizeHint().width() <= statusLabel->width());
    const bool fitted = window.size() != QSize(1303, 666);
    QCOMPARE(this->window->size(), window.size());
    if (fitted)
        QCOMPARE(this->window->pos(), window.topLeft());
    const QRect inside(QPoint(0, 0), window.size());
    const QList<QWidget *> parts = this->window->findChildren<QWidget *>(QRegularExpression("^(btn|openFile|fileLabel|label|statusLabel|chartView)"));
    QCOMPARE(parts.size(), 7);
    for (QWidget *part : parts) {
        const QRect placed(part->mapTo(this->window, QPoint(0, 0)), part->size());
        QVERIFY2(inside.contains(placed), qPrintable(part->objectName()));
        if (touch && qobject_cast<QPushButton *>(part))
            QVERIFY2(part->height() >= 48, qPrintable(part->objectName()));
    }
    const QRect header = this->window->findChild<QWidget *>("verticalLayoutWidget")->geometry();
    const QRect status = this->window->findChild<QWidget *>("statusLabel")->geometry();
    const QRect chart = this->window->findChild<QWidget *>("chartView")->geometry();
    QVERIFY(header.bottom() < status.top() && status.bottom() < chart.top());

    // The chart takes what the header and the status line leave.
    if (fitted)
        QVERIFY(chart.width() >= window.width() - 40 && chart.bottom() == window.height() - 6);
    else
        QCOMPARE(chart, QRect(20, 242, 1281, 419));
}

void tst_MainUI::signalListForFingers_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("touch");

    QTest::newRow("touch display") << QRect(0, 0, 800, 480) << true;
    QTest::newRow("desktop") << QRect(0, 0, 1920, 1080) << false;
}

// A record's signal list, as the window asks for a signal: rows and buttons
// for fingers on the touch display only.
void tst_MainUI::signalListForFingers()
{
    QFETCH(QRect, area);
    QFETCH(bool, touch);

    window->fitInto(area);
    QInputDialog dialog(window);
    dialog.setOption(QInputDialog::UseListViewForComboBoxItems);
    dialog.setComboBoxItems({"1: MLII (mV, 360/s)", "2: V5 (mV, 360/s)"});
    window->adaptForTouch(&dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QListView *list = dialog.findChild<QListView *>();
    QVERIFY(list);
    const int rowHeight = list->visualRect(list->model()->index(1, 0)).height();
    QCOMPARE(rowHeight >= 40, touch);
    const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 2);
    for (const QPushButton *button : buttons)
        QCOMPARE(button->height() >= 48, touch);
}

void tst_MainUI::qtTextsAreFrench()
{
    QVERIFY2(installQtTranslations(*qApp), "Qt's French translations (qttranslations5-l10n) are missing");
    const QDialogButtonBox buttons(QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), QString("Annuler"));
    QFileDialog dialog(window);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const auto *accept = dialog.findChild<QDialogButtonBox *>();
    QVERIFY(accept);
    QCOMPARE(accept->button(QDialogButtonBox::Open)->text(), QString("&Ouvrir"));
}

QTEST_MAIN(tst_MainUI)
#include "tst_mainui.moc"

#include "mainui.h"

#include <QBoxLayout>
#include <QChartView>
#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

struct Toggle
{
    bool checked;
    QString caption;
    bool quitEnabled;
};

} // namespace

class tst_MainUI : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectMethods_data();
    void metaObjectMethods();
    void windowSettings();
    void widgetTree_data();
    void widgetTree();
    void fonts();
    void layoutStretches();
    void initialTexts();
    void togglePressesUpdateBeforeSignal();
    void checkedStateFromCode();
    void oneSignalPerClick_data();
    void oneSignalPerClick();
    void closeIsRefused();
    void escapeDoesNothing();
    void fileNames_data();
    void fileNames();
    void resizingMovesNothing();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return window->findChild<T *>(name);
    }

    MainUI *window = nullptr;
};

void tst_MainUI::init()
{
    window = new MainUI;
}

void tst_MainUI::cleanup()
{
    delete window;
}

void tst_MainUI::metaObjectMethods_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("access");

    QTest::newRow("0") << 0 << QByteArray("simuToggled(bool)") << int(QMetaMethod::Signal) << int(QMetaMethod::Public);
    QTest::newRow("1") << 1 << QByteArray("openFileRequested()") << int(QMetaMethod::Signal)
                       << int(QMetaMethod::Public);
    QTest::newRow("2") << 2 << QByteArray("exitRequested()") << int(QMetaMethod::Signal) << int(QMetaMethod::Public);
    QTest::newRow("3") << 3 << QByteArray("onBtnSimuToggled(bool)") << int(QMetaMethod::Slot)
                       << int(QMetaMethod::Private);
    QTest::newRow("4") << 4 << QByteArray("onBtnQuitClicked()") << int(QMetaMethod::Slot) << int(QMetaMethod::Private);
}

void tst_MainUI::metaObjectMethods()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);
    QFETCH(int, type);
    QFETCH(int, access);

    const QMetaObject *meta = window->metaObject();
    QCOMPARE(QByteArray(meta->className()), QByteArray("MainUI"));
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 5);
    const QMetaMethod method = meta->method(meta->methodOffset() + index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(int(method.methodType()), type);
    QCOMPARE(int(method.access()), access);
}

void tst_MainUI::windowSettings()
{
    QCOMPARE(window->objectName(), QString("MainUI"));
    QCOMPARE(int(window->windowFlags()), 0x801);
    QCOMPARE(window->size(), QSize(1303, 666));
    QCOMPARE(window->windowTitle(), QString("Dialog"));
    QVERIFY(!window->layout());
    QVERIFY(!window->isVisible());
    QCOMPARE(window->getChartView(), child<QtCharts::QChartView>("chartView"));
}

void tst_MainUI::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("layout widget") << "verticalLayoutWidget" << "QWidget" << "MainUI" << QRect(390, 10, 496, 162);
    QTest::newRow("chart view") << "chartView" << "QtCharts::QChartView" << "MainUI" << QRect(20, 170, 1281, 491);
    QTest::newRow("title") << "label" << "QLabel" << "verticalLayoutWidget" << QRect();
    QTest::newRow("toggle") << "btnSimu" << "QPushButton" << "verticalLayoutWidget" << QRect();
    QTest::newRow("file button") << "openFileButton" << "QPushButton" << "verticalLayoutWidget" << QRect();
    QTest::newRow("file label") << "fileLabel" << "QLabel" << "verticalLayoutWidget" << QRect();
    QTest::newRow("quit") << "btnQuit" << "QPushButton" << "verticalLayoutWidget" << QRect();
}

void tst_MainUI::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    const QList<QWidget *> found = window->findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(QString(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
}

void tst_MainUI::fonts()
{
    const QFont title = child<QLabel>("label")->font();
    QCOMPARE(title.family(), QString("DejaVu Sans"));
    QCOMPARE(title.pointSize(), 13);
    QCOMPARE(title.weight(), 75);
    QVERIFY(title.italic());
    QVERIFY(title.underline());
    QCOMPARE(int(child<QLabel>("label")->alignment()), 0x84);

    const QFont toggle = child<QPushButton>("btnSimu")->font();
    QCOMPARE(toggle.family(), QString("DejaVu Sans"));
    QCOMPARE(toggle.pointSize(), 15);
    QCOMPARE(toggle.weight(), 75);
    QVERIFY(!toggle.italic());

    const QSizePolicy chartPolicy = window->getChartView()->sizePolicy();
    QCOMPARE(chartPolicy.horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(chartPolicy.verticalPolicy(), QSizePolicy::Expanding);
}

void tst_MainUI::layoutStretches()
{
    auto *column = child<QVBoxLayout>("verticalLayout");
    QCOMPARE(column->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(column->count(), 4);
    const QList<int> columnStretch{0, 1, 0, 1};
    const char *rows[] = {"horizontalLayout_2", "horizontalLayout_3", "horizontalLayout"};
    const QList<QList<int>> rowStretch{{1, 2, 1}, {0, 0, 0, 0, 0}, {1, 0, 0}};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(column->stretch(i), columnStretch.at(i));
    QCOMPARE(column->itemAt(0)->widget(), child<QWidget>("label"));
    for (int r = 0; r < 3; ++r) {
        auto *row = child<QHBoxLayout>(rows[r]);
        QCOMPARE(column->itemAt(r + 1)->layout(), row);
        QCOMPARE(row->count(), rowStretch.at(r).size());
        for (int i = 0; i < row->count(); ++i) {
            QCOMPARE(row->stretch(i), rowStretch.at(r).at(i));
            // Widgets sit between spacers of 40 x 20.
            if (QSpacerItem *spacer = row->itemAt(i)->spacerItem())
                QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        }
    }
}

void tst_MainUI::initialTexts()
{
    auto *toggle = child<QPushButton>("btnSimu");
    QVERIFY(toggle->isCheckable());
    QVERIFY(!toggle->isChecked());
    QCOMPARE(toggle->text(), QString("Lancer la simulation"));
    QVERIFY(child<QPushButton>("btnQuit")->isEnabled());
    QCOMPARE(child<QPushButton>("btnQuit")->text(), QString("Quitter"));
    QCOMPARE(child<QPushButton>("openFileButton")->text(), QString("Sélectionner un fichier"));
    QCOMPARE(child<QLabel>("fileLabel")->text(), QString("Aucun fichier sélectionné."));
    QCOMPARE(child<QLabel>("label")->text(), QString("Simulation signal ECG"));
}

void tst_MainUI::togglePressesUpdateBeforeSignal()
{
    auto *toggle = child<QPushButton>("btnSimu");
    auto *quit = child<QPushButton>("btnQuit");
    QVector<Toggle> seen;
    connect(window, &MainUI::simuToggled, this,
            [&](bool checked) { seen.append({checked, toggle->text(), quit->isEnabled()}); });
    window->show();

    QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(seen.size(), 1);
    QVERIFY(seen[0].checked);
    QCOMPARE(seen[0].caption, QString("Stopper la simulation"));
    QVERIFY(!seen[0].quitEnabled);

    QTest::mouseClick(toggle, Qt::LeftButton);
    QCOMPARE(seen.size(), 2);
    QVERIFY(!seen[1].checked);
    QCOMPARE(seen[1].caption, QString("Lancer la simulation"));
    QVERIFY(seen[1].quitEnabled);
}

void tst_MainUI::checkedStateFromCode()
{
    auto *toggle = child<QPushButton>("btnSimu");
    QSignalSpy spy(window, &MainUI::simuToggled);
    toggle->setChecked(false);
    QCOMPARE(spy.count(), 0);
    toggle->setChecked(true);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    toggle->setChecked(true);
    QCOMPARE(spy.count(), 1);
    QVERIFY(!child<QPushButton>("btnQuit")->isEnabled());
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
    window->show();
    QTest::mouseClick(child<QPushButton>(qPrintable(button)), Qt::LeftButton);
    QCOMPARE(openSpy.count(), opens ? 1 : 0);
    QCOMPARE(exitSpy.count(), opens ? 0 : 1);
    QCOMPARE(toggleSpy.count(), 0);
    QVERIFY(window->isVisible());
}

void tst_MainUI::closeIsRefused()
{
    QSignalSpy openSpy(window, &MainUI::openFileRequested);
    QSignalSpy exitSpy(window, &MainUI::exitRequested);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());
    QCOMPARE(openSpy.count() + exitSpy.count(), 0);
}

void tst_MainUI::escapeDoesNothing()
{
    QSignalSpy exitSpy(window, &MainUI::exitRequested);
    QSignalSpy rejectedSpy(window, &QDialog::rejected);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::keyClick(child<QPushButton>("btnSimu"), Qt::Key_Escape);
    QVERIFY(window->isVisible());
    QCOMPARE(rejectedSpy.count(), 0);
    QCOMPARE(exitSpy.count(), 0);
}

void tst_MainUI::fileNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");

    QTest::newRow("empty") << "" << "Aucun fichier sélectionné.";
    QTest::newRow("full path") << "/home/pi/ecg/rec01.csv" << "rec01.csv";
    QTest::newRow("no slash") << "Aucun fichier" << "Aucun fichier";
    QTest::newRow("trailing slash") << "/home/pi/ecg/" << "";
    QTest::newRow("spaces in folders") << "/home/pi/ECG signals (1000 fragments)/a b.csv" << "a b.csv";
}

void tst_MainUI::fileNames()
{
    QFETCH(QString, path);
    QFETCH(QString, shown);

    window->setFileName(path);
    QCOMPARE(child<QLabel>("fileLabel")->text(), shown);
}

void tst_MainUI::resizingMovesNothing()
{
    window->show();
    for (const QSize &size : {QSize(800, 400), QSize(1920, 1080)}) {
        window->resize(size);
        QCoreApplication::processEvents();
        QCOMPARE(child<QWidget>("verticalLayoutWidget")->geometry(), QRect(390, 10, 496, 162));
        QCOMPARE(window->getChartView()->geometry(), QRect(20, 170, 1281, 491));
    }
}

QTEST_MAIN(tst_MainUI)
#include "tst_mainui.moc"

#include "app.h"

#include "appworker.h"
#include "outputrunner.h"
#include "mainui.h"
#include "preview.h"

#include <QApplication>
#include <QChartView>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineSeries>
#include <QMessageBox>
#include <QSettings>

using namespace QtCharts;

namespace {

const QString sampleDirectory = QStringLiteral("/home/pi/devQt/ecg/qt/tracemill/ECG signals (1000 fragments)");

// The folder of the last file chosen, kept in the user's config
// (~/.config/ecg-simulator/state.conf) apart from the settings that the user writes.
QSettings dialogState()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "ecg-simulator", "state");
}

// Where the file dialog opens: the bench's folder when this machine has it,
// else the last folder used, else the samples installed with the program
// (in a build, a link to the source tree's). An existing folder, so that the
// dialog types no name in.
QString dialogFolder()
{
    for (const QString &folder : {sampleDirectory, dialogState().value("last-folder").toString(),
                                  QCoreApplication::applicationDirPath() + "/../share/ecg-simulator/samples"}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return QDir::cleanPath(folder);
    }
    return QString();
}

// The busy cursor while a file is read: a day-long file takes seconds.
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    Q_DISABLE_COPY(BusyCursor)
};

} // namespace

App::App(const OutputSettings &settings, QObject *parent)
    : QObject(parent), settings(settings)
{
    mainUI = new MainUI;
    connect(mainUI, &MainUI::simuToggled, this, &App::onSimuToggled);
    connect(mainUI, &MainUI::exitRequested, this, &App::onExitRequested);
    connect(mainUI, &MainUI::openFileRequested, this, &App::onOpenFileClicked);

    output = std::make_unique<OutputRunner>(settings);
    connect(output->worker(), &AppWorker::setUpFailed, this, &App::onOutputFailed);
}

App::~App()
{
    qDebug() << "App destructor";
    output.reset();
    delete mainUI;
}

void App::start()
{
    mainUI->show();
    output->start();
}

void App::onSimuToggled(bool checked)
{
    if (!checked) {
        output->worker()->pause();
        return;
    }
    if (filePath.isEmpty() && deviceFailure.isEmpty()) {
        // The toggle stays on; the operator switches it off again.
        refuse("Aucun fichier sélectionné.", "Aucun fichier");
        return;
    }
    const QString refusal = switchOn();
    if (!refusal.isEmpty()) {
        warn(refusal);
        mainUI->switchOff();
    }
}

// The file is read afresh each time; a file that cannot be read, or holds no
// sample, leaves the output off instead of waiting for data.
QString App::switchOn()
{
    if (!deviceFailure.isEmpty())
        return deviceWarning();
    if (filePath.isEmpty())
        return "Aucun fichier sélectionné.";
    int loaded;
    {
        BusyCursor busy;
        loaded = output->worker()->loadFile(filePath, fileSignal);
    }
    if (loaded <= 0)
        return loadRefusal(loaded);
    output->worker()->resume();
    return QString();
}

AppWorker *App::worker() const
{
    return output->worker();
}

bool App::playing() const
{
    return mainUI->running();
}

QString App::setPlaying(bool on)
{
    if (!output->worker())
        return "Fin du programme en cours.";
    if (on == playing())
        return QString();
    if (on) {
        const QString refusal = switchOn();
        if (!refusal.isEmpty())
            return refusal;
    } else {
        output->worker()->pause();
    }
    mainUI->showRunning(on);
    return QString();
}

void App::quit()
{
    setPlaying(false);
    onExitRequested();
}

void App::raiseWindow()
{
    mainUI->show();
    mainUI->raise();
    mainUI->activateWindow();
}

QString App::choose(const QString &path, const QString &signalSelector)
{
    if (!output->worker())
        return "Fin du programme en cours.";
    std::unique_ptr<RecordReader> reader;
    QString refusal = open(path, &reader);
    if (!refusal.isEmpty())
        return refusal;
    const int signal = findSignal(reader->signalList(), signalSelector);
    if (signal < 0)
        return noSuchSignal(signalSelector, reader->signalList());
    refusal = accept(path, *reader, signal);
    if (!refusal.isEmpty())
        return refusal;
    // From its first sample: at once while the output is on, else at its start.
    if (playing()) {
        output->worker()->pause();
        refusal = switchOn();
        if (!refusal.isEmpty())
            mainUI->showRunning(false);
    }
    output->worker()->setPosition(0);
    return refusal;
}

// Nothing can go out: the operator is told at once, and again at each switch-on.
void App::onOutputFailed(const QString &reason)
{
    deviceFailure = reason;
    warn(deviceWarning());
    mainUI->switchOff();
}

QString App::deviceWarning() const
{
    return "Erreur initialisation DAC8551\n" + deviceFailure;
}

void App::onExitRequested()
{
    // Qt still delivers the events queued behind this click (a press on the
    // toggle, say) before the event loop ends; none may reach the worker, which
    // is ending and then deleted in its own thread.
    disconnect(mainUI, nullptr, this, nullptr);
    output->stop();
    QCoreApplication::quit();
}

void App::onOpenFileClicked()
{
    const QString path = QFileDialog::getOpenFileName(
        mainUI, tr("Ouvrir un fichier CSV"), dialogFolder(),
        tr("Enregistrements ECG (*.csv *.hea *.dat *.edf *.bdf);;Fichiers CSV (*.csv)"));
    if (path.isEmpty())
        return;
    dialogState().setValue("last-folder", QFileInfo(path).absolutePath());
    std::unique_ptr<RecordReader> reader;
    QString refusal = open(path, &reader);
    int signal = 0;
    if (refusal.isEmpty()) {
        signal = findSignal(reader->signalList(), settings.signal);
        if (signal < 0)
            refusal = noSuchSignal(settings.signal, reader->signalList());
        else if (!askSignal(reader->signalList(), &signal))
            return;
    }
    if (refusal.isEmpty())
        refusal = accept(path, *reader, signal);
    if (!refusal.isEmpty())
        refuse(refusal, "Aucun fichier sélectionné.");
}

// Opens a chosen file; the refusal when it cannot be, the detail in the log.
QString App::open(const QString &path, std::unique_ptr<RecordReader> *reader) const
{
    QString detail;
    *reader = openRecord(path, output->worker()->fullScale(), &detail);
    if (!*reader) {
        if (!detail.isEmpty())
            qWarning().noquote() << detail;
        return "Impossible d'ouvrir le fichier.";
    }
    if (QFileInfo(path).size() == 0)
        return "Le fichier est vide.";
    return QString();
}

// Makes the file and signal the chosen ones, and draws the chart of the codes
// that will go out; the refusal when the signal is too fast or the file
// cannot be read to its end. Read once, before the file is accepted.
QString App::accept(const QString &path, RecordReader &reader, int signal)
{
    const QString refusedRate = AppWorker::rateRefusal(settings.sampleRate, reader.signalList().at(signal).rate);
    if (!refusedRate.isEmpty()) {
        qWarning().noquote() << refusedRate;
        return "Impossible d'ouvrir le fichier.";
    }
    std::optional<QVector<QPointF>> points;
    {
        BusyCursor busy;
        points = previewPoints(reader, signal);
    }
    if (!points) {
        if (!reader.error().isEmpty())
            qWarning().noquote() << reader.error();
        return "Impossible d'ouvrir le fichier.";
    }
    filePath = path;
    fileSignal = signal;
    mainUI->setFileName(QFileInfo(path).fileName());

    // All points at once: appending them one by one costs a signal each.
    auto *series = new QLineSeries;
    series->replace(*points);

    auto *chart = new QChart;
    chart->legend()->hide();
    chart->addSeries(series);
    chart->createDefaultAxes();
    QChartView *view = mainUI->getChartView();
    // The view gives up its previous chart without deleting it.
    QChart *previous = view->chart();
    view->setChart(chart);
    previous->deleteLater();
    return QString();
}

// The operator's choice among a record's several signals, the one given
// proposed. False when the operator cancels: the earlier choice then stays.
bool App::askSignal(const QVector<SignalInfo> &signalInfos, int *signal)
{
    if (signalInfos.size() < 2)
        return true;
    QStringList items;
    for (int i = 0; i < signalInfos.size(); ++i)
        items << describeSignal(i + 1, signalInfos[i]);
    QInputDialog dialog(mainUI);
    dialog.setWindowTitle("Choisir un signal");
    dialog.setLabelText("Signal à jouer :");
    dialog.setOption(QInputDialog::UseListViewForComboBoxItems);
    dialog.setComboBoxItems(items);
    dialog.setTextValue(items[*signal]);
    dialog.setOkButtonText("OK");
    dialog.setCancelButtonText("Annuler");
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *signal = items.indexOf(dialog.textValue());
    return *signal >= 0;
}

void App::refuse(const QString &warning, const QString &fileLabel)
{
    warn(warning);
    mainUI->setFileName(fileLabel);
}

void App::warn(const QString &warning)
{
    QMessageBox::warning(mainUI, "Erreur", warning, QMessageBox::Ok, QMessageBox::NoButton);
}

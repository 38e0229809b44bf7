#include "app.h"

#include "appworker.h"
#include "outputrunner.h"
#include "mainui.h"
#include "preview.h"

#include <QApplication>
#include <QChartView>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineSeries>
#include <QMessageBox>

using namespace QtCharts;

namespace {

const QString sampleDirectory = QStringLiteral("/home/pi/devQt/ecg/qt/tracemill/ECG signals (1000 fragments)");

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
    if (!deviceFailure.isEmpty()) {
        warn(deviceWarning());
        mainUI->switchOff();
        return;
    }
    if (filePath.isEmpty()) {
        // The toggle stays on; the operator switches it off again.
        refuse("Aucun fichier sélectionné.", "Aucun fichier");
        return;
    }
    // The file is read afresh each time; a file that cannot be read, or holds
    // no sample, leaves the output off instead of waiting for data.
    int loaded;
    {
        BusyCursor busy;
        loaded = output->worker()->loadFile(filePath, fileSignal);
    }
    if (loaded <= 0) {
        warn(loaded < 0 ? "Impossible d'ouvrir le fichier." : "Le fichier est vide.");
        mainUI->switchOff();
        return;
    }
    output->worker()->resume();
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
        mainUI, tr("Ouvrir un fichier CSV"), sampleDirectory,
        tr("Enregistrements ECG (*.csv *.hea *.dat *.edf *.bdf);;Fichiers CSV (*.csv)"));
    if (path.isEmpty())
        return;

    QString detail;
    const std::unique_ptr<RecordReader> reader = openRecord(path, settings.fullScaleMv, &detail);
    if (!reader) {
        if (!detail.isEmpty())
            qWarning().noquote() << detail;
        refuse("Impossible d'ouvrir le fichier.", "Aucun fichier sélectionné.");
        return;
    }
    if (QFileInfo(path).size() == 0) {
        refuse("Le fichier est vide.", "Aucun fichier sélectionné.");
        return;
    }
    int signal = 0;
    if (!chooseSignal(reader->signalList(), &signal))
        return;
    const QString refusedRate = AppWorker::rateRefusal(settings.sampleRate, reader->signalList().at(signal).rate);
    if (!refusedRate.isEmpty()) {
        qWarning().noquote() << refusedRate;
        refuse("Impossible d'ouvrir le fichier.", "Aucun fichier sélectionné.");
        return;
    }
    // Read once, before the file is accepted: a file with an over-long line is
    // refused like one that cannot be read.
    std::optional<QVector<QPointF>> points;
    {
        BusyCursor busy;
        points = previewPoints(*reader, signal);
    }
    if (!points) {
        if (!reader->error().isEmpty())
            qWarning().noquote() << reader->error();
        refuse("Impossible d'ouvrir le fichier.", "Aucun fichier sélectionné.");
        return;
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
}

// The signal that --signal names, or the operator's choice among a record's
// several: the named one, or else the first, proposed. False when none is
// named so, or the operator cancels: the earlier choice then stays.
bool App::chooseSignal(const QVector<SignalInfo> &signalInfos, int *signal)
{
    *signal = findSignal(signalInfos, settings.signal);
    if (*signal < 0) {
        refuse(QString("Aucun signal « %1 » dans ce fichier. Ses signaux : %2.")
                   .arg(settings.signal.trimmed(), describeSignals(signalInfos)),
               "Aucun fichier sélectionné.");
        return false;
    }
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

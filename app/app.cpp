#include "app.h"

#include "appworker.h"
#include "mainui.h"
#include "preview.h"
#include "samplefile.h"

#include <QApplication>
#include <QChartView>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineSeries>
#include <QMessageBox>
#include <QThread>

using namespace QtCharts;

namespace {

// A pass takes at most about 100 ms (the wait for data), so this is generous.
constexpr unsigned long shutdownTimeoutMs = 5000;
const QString sampleDirectory = QStringLiteral("/home/pi/devQt/ecg/qt/tracemill/ECG signals (1000 fragments)");

} // namespace

App::App(const OutputSettings &settings, QObject *parent)
    : QObject(parent)
{
    mainUI = new MainUI;
    connect(mainUI, &MainUI::simuToggled, this, &App::onSimuToggled);
    connect(mainUI, &MainUI::exitRequested, this, &App::onExitRequested);
    connect(mainUI, &MainUI::openFileRequested, this, &App::onOpenFileClicked);

    worker = new AppWorker(settings);
    thread = new QThread;
    worker->moveToThread(thread);

    connect(thread, &QThread::started, worker, &AppWorker::process);
    // These handlers run in the output thread, possibly after this App is gone
    // (when the shutdown wait times out): they hold the thread, not the App.
    QThread *const outputThread = thread;
    connect(
        thread, &QThread::finished, thread,
        [outputThread] {
            qDebug() << "Thread terminé";
            outputThread->quit();
        },
        Qt::DirectConnection);
    connect(
        worker, &AppWorker::finished, worker,
        [outputThread] {
            qDebug() << "Worker terminé";
            outputThread->quit();
        },
        Qt::DirectConnection);
    connect(worker, &AppWorker::finished, worker, &QObject::deleteLater);
    connect(
        worker, &AppWorker::resultReady, worker,
        [](const QString &result) { qDebug() << "Résultat reçu:" << result; }, Qt::DirectConnection);
}

App::~App()
{
    qDebug() << "App destructor";
    shutDown();
}

void App::start()
{
    mainUI->show();
    thread->start();
}

void App::onSimuToggled(bool checked)
{
    if (!checked) {
        worker->pause();
        return;
    }
    if (filePath.isEmpty()) {
        // The toggle stays on; the operator switches it off again.
        refuse("Aucun fichier sélectionné.", "Aucun fichier");
        return;
    }
    // The worker is paused here, so it may reload; the file is read afresh each time.
    worker->loadFile(filePath);
    worker->resume();
}

void App::onExitRequested()
{
    // Qt still delivers the events queued behind this click (a press on the
    // toggle, say) before the event loop ends; none may reach the worker, which
    // is ending and then deleted in its own thread.
    disconnect(mainUI, nullptr, this, nullptr);
    worker->stop();
    QCoreApplication::quit();
}

void App::onOpenFileClicked()
{
    const QString path =
        QFileDialog::getOpenFileName(mainUI, tr("Ouvrir un fichier CSV"), sampleDirectory, tr("Fichiers CSV (*.csv)"));
    if (path.isEmpty())
        return;

    QFile file(path);
    if (!openSampleFile(file)) {
        refuse("Impossible d'ouvrir le fichier.", "Aucun fichier sélectionné.");
        return;
    }
    if (file.size() == 0) {
        refuse("Le fichier est vide.", "Aucun fichier sélectionné.");
        return;
    }
    // Read once, before the file is accepted: a file with an over-long line is
    // refused like one that cannot be read.
    const std::optional<QVector<QPointF>> points = previewPoints(file);
    if (!points) {
        refuse("Impossible d'ouvrir le fichier.", "Aucun fichier sélectionné.");
        return;
    }
    filePath = path;
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

void App::refuse(const QString &warning, const QString &fileLabel)
{
    QMessageBox::warning(mainUI, "Erreur", warning, QMessageBox::Ok, QMessageBox::NoButton);
    mainUI->setFileName(fileLabel);
}

// Lets the output thread end before the process does, so that no frame is cut and
// the device is closed. The worker ends its loop on stop (Quit); when the device
// never opened, the thread sits in its own event loop, which quit ends.
void App::shutDown()
{
    // Should the thread outlive the wait, it deletes itself once it ends (the
    // worker goes with it, after finished); made before the wait so that no
    // end goes unseen, and dropped with the thread when the wait succeeds.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->quit();
    const bool ended = thread->wait(shutdownTimeoutMs);
    if (ended) {
        // Still there only when the loop never ran to its end (the DAC did not open).
        delete worker;
        delete thread;
    } else {
        qWarning() << "Le thread de sortie ne s'arrête pas; fin sans l'attendre";
    }
    delete mainUI;
}

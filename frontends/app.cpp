#include "app.h"

#include "detectionscorer.h"
#include "mainui.h"
#include "remotefiles.h"
#include "statusline.h"
#include "waveformview.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QSettings>

namespace {
// The status line and the playhead follow the output this often.
constexpr int refreshMs = 200;

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
    for (const QString &folder :
         {sampleDirectory, dialogState().value("last-folder").toString(), installedSamplesFolder()}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return QDir::cleanPath(folder);
    }
    return QString();
}
} // namespace

App::App(const OutputSettings &settings, QObject *parent)
    : QObject(parent), model(settings)
{
    mainUI = new MainUI;
    connect(mainUI, &MainUI::simuToggled, this, &App::onSimuToggled);
    connect(mainUI, &MainUI::exitRequested, this, &App::onExitRequested);
    connect(mainUI, &MainUI::openFileRequested, this, &App::onOpenFileClicked);
    connect(mainUI, &MainUI::cancelLoadRequested, &model, &Playback::cancelLoad);
    connect(&model, &Playback::changed, this, &App::showPlayback);
    connect(&model, &Playback::outputFailed, this, &App::onOutputFailed);
    connect(mainUI->waveformView(), &WaveformView::positionPicked, this, &App::onPositionPicked);
    connect(&refresh, &QTimer::timeout, this, &App::showProgress);
    refresh.start(refreshMs);
    showPlayback();
}

App::~App()
{
    qDebug() << "App destructor";
    delete mainUI;
}

void App::start()
{
    mainUI->show();
    // Over the window, once it shows.
    if (const Refusal refusal = model.start(Playback::Unmarked::StartAnyway))
        QTimer::singleShot(0, this, [this, refusal] { warn(refusal); });
}

// Whatever changed the playback (the window, SCPI, MPRIS), the window shows it.
void App::showPlayback()
{
    mainUI->showRunning(model.switchedOn());
    if (model.loading())
        mainUI->showLoading(model.loadProgress());
    else
        mainUI->hideLoading();
    if (model.list() != charted)
        showChart();
    showProgress();
}

// Where the output is, which moves without a change to tell.
void App::showProgress()
{
    PlaybackFacts facts;
    facts.state = model.state();
    const std::shared_ptr<const SampleList> list = model.list();
    facts.fileName = QFileInfo(model.file()).fileName();
    facts.signalLabel = list && list->isRecord() ? model.signalLabel() : QString();
    facts.rate = model.rate();
    facts.ownRate = model.ownRate();
    facts.position = model.position();
    facts.length = model.length();
    if (list && list->isRecord())
        facts.fullScaleMv = model.fullScale();
    facts.loops = model.loops();
    facts.heartRate = model.heartRate();
    if (const DetectionScorer *detections = model.detections()) {
        facts.scoring = true;
        if (const std::optional<BeatScore> score = detections->score()) {
            facts.sensitivity = score->sensitivity();
            facts.positivePredictivity = score->positivePredictivity();
        }
    }
    if (!model.outputIsChosen()) {
        facts.outputFile = QFileInfo(model.outputFile()).fileName();
        facts.outputSignal = model.outputSignalLabel();
    }
    mainUI->showStatus(facts, model.health());
    // At the read position once the chosen file went in the output.
    const bool atPlayhead = model.outputIsChosen() && !model.outputFile().isEmpty();
    mainUI->waveformView()->setPlayhead(atPlayhead ? model.position() : -1);
}

// A tap on the chart moves the read position there, while nothing goes out:
// the next start begins there.
void App::onPositionPicked(qint64 sample)
{
    if (model.switchedOn() || !model.outputIsChosen())
        return;
    if (const Refusal refusal = model.setPosition(sample))
        warn(refusal);
}

void App::onSimuToggled(bool checked)
{
    if (!checked) {
        model.setPlaying(false);
        return;
    }
    // A refusal leaves the state as it was; the toggle shows the state once
    // the box is closed, whatever a remote command did meanwhile.
    model.setPlaying(true, [this](const Refusal &refusal) {
        if (refusal)
            warn(refusal);
        else if (const Refusal missing = model.beatsMissing(); missing && model.outputFile() != beatsMissingWarned) {
            // Said once a file: it plays, without what needs its beats.
            beatsMissingWarned = model.outputFile();
            warn(missing);
        }
        showPlayback();
    });
}

void App::quit()
{
    model.setPlaying(false);
    onExitRequested();
}

void App::raiseWindow()
{
    mainUI->show();
    mainUI->raise();
    mainUI->activateWindow();
}

// Nothing can go out: the operator is told at once, and again at each switch-on.
void App::onOutputFailed(const QString &reason)
{
    warn(Refusal::device(reason));
    showPlayback();
}

// The program ends once the output has stopped; should the device hang, the
// playback ends it 5 s later.
void App::onExitRequested()
{
    // Qt still delivers the events queued behind this click (a press on the
    // toggle, say) before the event loop ends; none may reach the playback.
    disconnect(mainUI, nullptr, this, nullptr);
    connect(&model, &Playback::finished, qApp, &QCoreApplication::quit);
    model.end();
}

void App::onOpenFileClicked()
{
    const QString path = QFileDialog::getOpenFileName(
        mainUI, tr("Ouvrir un fichier CSV"), dialogFolder(),
        tr("Enregistrements ECG (*.csv *.hea *.dat *.edf *.bdf);;Fichiers CSV (*.csv)"));
    if (path.isEmpty())
        return;
    dialogState().setValue("last-folder", QFileInfo(path).absolutePath());
    // The file is opened in the background, and its signal read once the operator chose it.
    model.listSignals(path, [this, path](const Refusal &refusal, const QVector<SignalInfo> &signalInfos, int signal) {
        if (refusal)
            return warn(refusal);
        if (!askSignal(signalInfos, &signal))
            return;
        model.choose(path, QString::number(signal + 1), Playback::When::AtNextStart, [this](const Refusal &refused) {
            if (refused)
                warn(refused);
        });
    });
}

// The chart of the codes that will go out, in millivolts for a record, with
// its annotations, and the file's name.
void App::showChart()
{
    charted = model.list();
    mainUI->setFileName(model.file());
    if (!charted) {
        mainUI->waveformView()->clear();
        return;
    }
    mainUI->waveformView()->setSignal(model.envelope(), charted->rate);
    mainUI->waveformView()->setAnnotations(model.annotations());
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
    mainUI->adaptForTouch(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *signal = items.indexOf(dialog.textValue());
    return *signal >= 0;
}

// The operator's text with the reason under it; a read given up on purpose
// needs no box.
void App::warn(const Refusal &refusal)
{
    if (refusal.kind == Refusal::Cancelled)
        return;
    QMessageBox::warning(mainUI, "Erreur", refusal.explained(), QMessageBox::Ok, QMessageBox::NoButton);
}

#ifndef APP_H
#define APP_H

#include "controls.h"
#include "outputsettings.h"
#include "playback.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class MainUI;

// Builds the window and the playback; turns the operator's commands into
// playback commands, and shows whatever the playback does, whoever asked.
class App : public QObject, public Controls
{
    Q_OBJECT

public:
    explicit App(const OutputSettings &settings = OutputSettings(), QObject *parent = nullptr);
    ~App() override;

    // Shows the window, then starts the output thread.
    void start();

    Playback *playback() { return &model; }
    void quit() override;
    bool hasWindow() const override { return true; }
    void raiseWindow() override;

private slots:
    void onSimuToggled(bool checked);
    void onExitRequested();
    void onOpenFileClicked();
    void onOutputFailed(const QString &reason);
    void onPositionPicked(qint64 sample);

private:
    void showPlayback();
    void showProgress();
    void showChart();
    bool askSignal(const QVector<SignalInfo> &signalInfos, int *signal);
    void warn(const Refusal &refusal);

    MainUI *mainUI;
    Playback model;
    // What the chart shows.
    std::shared_ptr<const SampleList> charted;
    // The last file said to have no beats for what needs them.
    QString beatsMissingWarned;
    QTimer refresh;
};

#endif // APP_H

#ifndef APP_H
#define APP_H

#include "controls.h"
#include "outputsettings.h"
#include "recordreader.h"

#include <QObject>
#include <QString>

#include <memory>

class MainUI;
class OutputRunner;

// Builds the window, the output worker and its thread; turns the operator's
// commands, and the remote ones, into worker commands and previews the chosen
// file.
class App : public QObject, public Controls
{
    Q_OBJECT

public:
    explicit App(const OutputSettings &settings = OutputSettings(), QObject *parent = nullptr);
    ~App() override;

    // Shows the window, then starts the output thread.
    void start();

    AppWorker *worker() const override;
    QString file() const override { return filePath; }
    int signal() const override { return fileSignal; }
    bool playing() const override;
    QString choose(const QString &path, const QString &signalSelector) override;
    QString setPlaying(bool on) override;
    void quit() override;
    bool hasWindow() const override { return true; }
    void raiseWindow() override;

private slots:
    void onSimuToggled(bool checked);
    void onExitRequested();
    void onOpenFileClicked();
    void onOutputFailed(const QString &reason);

private:
    QString switchOn();
    QString open(const QString &path, std::unique_ptr<RecordReader> *reader) const;
    QString accept(const QString &path, RecordReader &reader, int signal);
    bool askSignal(const QVector<SignalInfo> &signalInfos, int *signal);
    void refuse(const QString &warning, const QString &fileLabel);
    void warn(const QString &warning);
    QString deviceWarning() const;

    MainUI *mainUI;
    std::unique_ptr<OutputRunner> output;
    const OutputSettings settings;
    QString filePath;
    // The signal of filePath to play: always 0 for a sample file.
    int fileSignal = 0;
    // Why the DAC could not be set up; empty while it is (or may yet be) fine.
    QString deviceFailure;
};

#endif // APP_H

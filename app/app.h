#ifndef APP_H
#define APP_H

#include "outputsettings.h"
#include "recordreader.h"

#include <QObject>
#include <QString>

#include <memory>

class MainUI;
class OutputRunner;

// Builds the window, the output worker and its thread; turns the operator's
// commands into worker commands and previews the chosen sample file.
class App : public QObject
{
    Q_OBJECT

public:
    explicit App(const OutputSettings &settings = OutputSettings(), QObject *parent = nullptr);
    ~App() override;

    // Shows the window, then starts the output thread.
    void start();

private slots:
    void onSimuToggled(bool checked);
    void onExitRequested();
    void onOpenFileClicked();
    void onOutputFailed(const QString &reason);

private:
    bool chooseSignal(const QVector<SignalInfo> &signalInfos, int *signal);
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

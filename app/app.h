#ifndef APP_H
#define APP_H

#include "outputsettings.h"

#include <QObject>
#include <QPointer>
#include <QString>

class AppWorker;
class MainUI;
class QThread;

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

private:
    void refuse(const QString &warning, const QString &fileLabel);
    void shutDown();

    MainUI *mainUI;
    QThread *thread;
    // Tracks the worker's deferred deletion, which happens in the output thread.
    QPointer<AppWorker> worker;
    QString filePath;
};

#endif // APP_H

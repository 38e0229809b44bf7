#ifndef APP_H
#define APP_H

#include "outputsettings.h"

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

private:
    void refuse(const QString &warning, const QString &fileLabel);

    MainUI *mainUI;
    std::unique_ptr<OutputRunner> output;
    QString filePath;
};

#endif // APP_H

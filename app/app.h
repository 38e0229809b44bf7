#ifndef APP_H
#define APP_H

#include <QObject>
#include <QPointer>
#include <QString>

class AppWorker;
class QThread;

// Wires the output worker to its thread and turns operator commands into worker commands.
class App : public QObject
{
    Q_OBJECT

public:
    explicit App(QObject *parent = nullptr);
    ~App() override;

    // Starts the output thread.
    void start();

private slots:
    void onSimuToggled(bool checked);
    void onExitRequested();

private:
    void shutDownOutputThread();

    QThread *thread;
    // Tracks the worker's deferred deletion, which happens in the output thread.
    QPointer<AppWorker> worker;
    QString filePath;
};

#endif // APP_H

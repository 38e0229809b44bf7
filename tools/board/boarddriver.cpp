// Runs inside the emulated ARM board (tools/board.sh), on the kernel's own
// spidev driver. Drives the unmodified application as an operator would and
// reports, line by line behind "BOARD ", what the host then checks against the
// bus: the kernel's count of SPI messages at each step, every log line of the
// application, the scheduling of its real-time thread, and the settings that
// SpiDev reads back from the driver.
//
// usage: boarddriver operate SAMPLE_FILE SECONDS [RATE]
//            choose the file, switch on, SECONDS, switch off, 1 s, switch on,
//            SECONDS, switch off, Quit; at RATE samples per second if given
//        boarddriver refused
//            wait for the application's word that the DAC failed, in the log
//            and in its warning box, then Quit

#include "runningapp.h"
#include "spidev.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTest>

#include <QElapsedTimer>

#include <atomic>
#include <cstdio>

#include <sched.h>

namespace {

constexpr int waitMs = 60000;
std::atomic<bool> dacRefused{false};

void report(const QString &line)
{
    std::printf("BOARD %s\n", qPrintable(line));
    std::fflush(stdout);
}

void reportLog(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text == "Erreur initialisation DAC8551")
        dacRefused = true;
    report("log " + text);
}

// The kernel's count of SPI messages to the DAC's node, or -1 without the node.
long messages()
{
    QFile count("/sys/bus/spi/devices/spi0.0/statistics/messages");
    return count.open(QIODevice::ReadOnly) ? count.readAll().trimmed().toLong() : -1;
}

// The real-time threads of this process, as "FIFO 20", or "none".
QString realtimeThreads()
{
    QStringList found;
    for (const QString &task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const int policy = sched_getscheduler(task.toInt());
        sched_param parameters{};
        sched_getparam(task.toInt(), &parameters);
        if (policy == SCHED_FIFO || policy == SCHED_RR)
            found << QString("%1 %2").arg(policy == SCHED_FIFO ? "FIFO" : "RR").arg(parameters.sched_priority);
    }
    return found.isEmpty() ? "none" : found.join(", ");
}

// The settings as SpiDev hands them to the driver and reads them back, with
// the worker's record.
void reportReadBack()
{
    const SpiConfig workerConfig{1, 8, 100000, 0};
    SpiDev probe("/dev/spidev0.0", &workerConfig);
    if (!probe.open()) {
        report("read back: the device does not open");
        return;
    }
    const SpiConfig &config = probe.currentConfig();
    report(QString("read back: mode %1, %2 bits, %3 Hz").arg(config.mode).arg(config.bitsPerWord).arg(config.speed));
}

int operate(const QString &path, int seconds, double rate)
{
    reportReadBack();
    RunningApp user({"/dev/spidev0.0", rate});
    user.choose(QFileInfo(path).absoluteFilePath());
    report(QString("messages before: %1").arg(messages()));
    for (const char *run : {"first", "second"}) {
        user.click("btnSimu");
        QTest::qWait(1000);
        report(QString("real-time threads while streaming: %1").arg(realtimeThreads()));
        // The pace over the rest of the run, after a second of warm-up, in the guest's time.
        const long messagesFrom = messages();
        QElapsedTimer stretch;
        stretch.start();
        QTest::qWait(seconds * 1000 - 1000);
        report(QString("stretch of the %1 run: %2 messages in %3 s")
                   .arg(run)
                   .arg(messages() - messagesFrom)
                   .arg(stretch.nsecsElapsed() / 1e9, 0, 'f', 6));
        user.click("btnSimu");
        report(QString("messages after the %1 run: %2").arg(run).arg(messages()));
        QTest::qWait(1000);
        report(QString("messages after the pause: %1").arg(messages()));
    }
    const int status = user.quit();
    report(QString("messages after Quit: %1").arg(messages()));
    if (user.modals.unexpected() > 0)
        report(QString("unexpected dialogs: %1").arg(user.modals.unexpected()));
    return status;
}

int refused()
{
    RunningApp user;
    QString shown;
    user.modals.expect([&shown](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            shown = box->text();
        modal->close();
        return true;
    });
    const bool told = QTest::qWaitFor([&] { return dacRefused && shown.startsWith("Erreur initialisation DAC8551\n"); },
                                      waitMs);
    report(QString("DAC refused: %1").arg(told ? "yes" : "no"));
    report("warning box: " + shown.replace('\n', " / "));
    return user.quit();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    qInstallMessageHandler(reportLog);
    const QStringList arguments = application.arguments();
    int status = 2;
    if ((arguments.size() == 4 || arguments.size() == 5) && arguments[1] == "operate")
        status = operate(arguments[2], arguments[3].toInt(), arguments.value(4, "0").toDouble());
    else if (arguments.size() == 2 && arguments[1] == "refused")
        status = refused();
    else
        std::fprintf(stderr, "usage: boarddriver operate SAMPLE_FILE SECONDS [RATE] | boarddriver refused\n");
    report(QString("exit status: %1").arg(status));
    return status;
}

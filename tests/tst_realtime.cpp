#include "fakespidev.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString warning = QStringLiteral("Priorité temps réel indisponible, cadence non garantie");
const QString rtkitService = QStringLiteral("org.freedesktop.RealtimeKit1");

// A program started for a test, ended with it. Daemons that drop to their own
// user (polkitd, rtkit-daemon) lose the kernel's tie to the test, but end with
// the private bus, which keeps it.
class Daemon : public ChildProcess
{
public:
    // Why it is not serving, for a failure message.
    QString report()
    {
        return program() + ": " + errorString() + " " + QString::fromLocal8Bit(readAllStandardError());
    }
};

// A message bus of the test's own, standing in for the system bus.
class PrivateBus
{
public:
    bool start()
    {
        // Daemons that drop to their own user (polkitd) must reach the socket.
        QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
        QFile config(dir.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QString("<busconfig><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                             "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                             "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>")
                         .arg(dir.path())
                         .toUtf8());
        config.close();
        daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
        if (!QTest::qWaitFor([&] { return daemon.canReadLine() || daemon.state() == QProcess::NotRunning; }, waitMs))
            return false;
        address = daemon.readLine().trimmed();
        return !address.isEmpty();
    }

    QString address;

private:
    QTemporaryDir dir;
    Daemon daemon;
};

// The calling thread without CAP_SYS_NICE and with an RLIMIT_RTPRIO of 0, as an
// ordinary user: threads it starts meanwhile inherit that, and the kernel
// refuses them real-time scheduling.
class Unprivileged
{
public:
    Unprivileged()
    {
        syscall(SYS_capget, &header, saved);
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
        syscall(SYS_capset, &header, reduced);
        getrlimit(RLIMIT_RTPRIO, &savedLimit);
        const rlimit none{0, savedLimit.rlim_max};
        setrlimit(RLIMIT_RTPRIO, &none);
    }

    ~Unprivileged()
    {
        syscall(SYS_capset, &header, saved);
        setrlimit(RLIMIT_RTPRIO, &savedLimit);
    }

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    rlimit savedLimit{};
};

bool hasSysNice()
{
    return Unprivileged().saved[0].permitted & CAP_TO_MASK(CAP_SYS_NICE);
}

// The cases that only root can run fail under CI, which runs as root; elsewhere
// they skip, saying why and how to run them.
#define REQUIRE_SYS_NICE(what)                                                                           \
    if (!hasSysNice()) {                                                                                \
        const QByteArray why = what " needs CAP_SYS_NICE: run the tests as root (sudo tools/test.sh)";   \
        if (qEnvironmentVariableIsSet("CI"))                                                             \
            QFAIL(why.constData());                                                                      \
        QSKIP(why.constData());                                                                          \
    }

// "FIFO 20", "RR 20" or "OTHER 0".
QString schedulingOf(int threadId)
{
    sched_param parameters{};
    sched_getparam(threadId, &parameters);
    const int policy = sched_getscheduler(threadId) & ~SCHED_RESET_ON_FORK;
    const char *name = policy == SCHED_FIFO ? "FIFO" : policy == SCHED_RR ? "RR" : "OTHER";
    return QString("%1 %2").arg(name).arg(parameters.sched_priority);
}

} // namespace

class tst_Realtime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void request_data();
    void request();
    void realRealtimeKitDaemon();

private:
    // Streams a short file from a new output thread and returns it once frames flow.
    std::unique_ptr<OutputThread> streaming();
    QDBusConnection privateBus() const;

    PrivateBus bus;
    SampleFiles files;
};

void tst_Realtime::initTestCase()
{
    QVERIFY2(bus.start(), "cannot start dbus-daemon for a private bus (package dbus-daemon)");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.toUtf8());
}

void tst_Realtime::init()
{
    fakespidev::reset();
}

QDBusConnection tst_Realtime::privateBus() const
{
    return QDBusConnection::connectToBus(bus.address, "test");
}

std::unique_ptr<OutputThread> tst_Realtime::streaming()
{
    auto output = std::make_unique<OutputThread>();
    loadInto(*output, files.write("two.csv", "1\n2\n"));
    output->play(true);
    if (!QTest::qWaitFor([] { return fakespidev::transferCount() >= 10; }, waitMs))
        return nullptr;
    return output;
}

void tst_Realtime::request_data()
{
    QTest::addColumn<bool>("privileged");
    QTest::addColumn<QString>("scheduling");

    QTest::newRow("direct, as root") << true << "FIFO 20";
    // No RealtimeKit on the bus: the loop runs all the same, and says so.
    QTest::newRow("neither allowed nor RealtimeKit") << false << "OTHER 0";
}

void tst_Realtime::request()
{
    QFETCH(bool, privileged);
    QFETCH(QString, scheduling);
    if (privileged)
        REQUIRE_SYS_NICE("The direct request");

    LogCapture log;
    std::unique_ptr<Unprivileged> unprivileged(privileged ? nullptr : new Unprivileged);
    const auto output = streaming();
    QVERIFY(output);
    QCOMPARE(schedulingOf(output->threadId()), scheduling);
    QCOMPARE(schedulingOf(getpid()), QString("OTHER 0"));
    QCOMPARE(log.count(warning), privileged ? 0 : 1);
}

// Debian's rtkit-daemon, asking polkitd, both on the private bus. polkitd
// authorizes root for anything; the kernel refuses this thread directly.
void tst_Realtime::realRealtimeKitDaemon()
{
    REQUIRE_SYS_NICE("Starting rtkit-daemon and polkitd");
    Daemon polkit;
    Daemon rtkit;
    polkit.start("/usr/lib/polkit-1/polkitd", {"--no-debug"});
    rtkit.start("/usr/libexec/rtkit-daemon", {"--no-canary"});
    const auto registered = [&] {
        QDBusConnectionInterface *names = privateBus().interface();
        return names->isServiceRegistered("org.freedesktop.PolicyKit1")
               && names->isServiceRegistered(rtkitService);
    };
    QVERIFY2(QTest::qWaitFor(registered, waitMs),
             qPrintable("rtkit-daemon and polkitd (packages rtkit, polkitd) did not start on the private bus: "
                        + polkit.report() + "; " + rtkit.report()));

    LogCapture log;
    Unprivileged unprivileged;
    const auto output = streaming();
    QVERIFY(output);
    QCOMPARE(schedulingOf(output->threadId()), QString("RR 20")); // RealtimeKit's choice
    QCOMPARE(log.count(warning), 0);
}

QTEST_MAIN(tst_Realtime)
#include "tst_realtime.moc"

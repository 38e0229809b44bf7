#include "unixsignals.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <thread>

class tst_UnixSignals : public QObject
{
    Q_OBJECT

private slots:
    void unreadSignalsNeitherBlockNorTouchErrno();
};

// The handler interrupts whatever code runs: while the event loop is busy
// (a long file being read) signals pile up unread, and the interrupted code
// may be about to read errno.
void tst_UnixSignals::unreadSignalsNeitherBlockNorTouchErrno()
{
    UnixSignals unixSignals;
    QVERIFY(unixSignals.catchSignals({SIGHUP}));
    QSignalSpy received(&unixSignals, &UnixSignals::received);

    // Far more than a socket holds unread; a blocking handler would hang here.
    std::atomic<bool> raised{false};
    std::atomic<int> errnoChanged{0};
    std::thread raising([&] {
        for (int i = 0; i < 5000; ++i) {
            errno = EDOM;
            std::raise(SIGHUP);
            errnoChanged += errno != EDOM;
        }
        raised = true;
    });
    // Events are not processed meanwhile, so nothing reads the socket.
    for (int waited = 0; !raised && waited < waitMs; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!raised) {
        raising.detach();
        QFAIL("the handler blocked");
    }
    raising.join();
    QCOMPARE(errnoChanged.load(), 0);
    QVERIFY(received.wait(waitMs) || !received.isEmpty());
    QCOMPARE(received.first().first().toInt(), SIGHUP);
}

QTEST_MAIN(tst_UnixSignals)
#include "tst_unixsignals.moc"

#include "detectline.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <gpiod.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr const char *consumer = "ecg-simulator";
// A day of beats at 200 a minute is some 300,000: a caller that took none for that long is gone.
constexpr int maxQueued = 1 << 19;
constexpr unsigned int readBatch = 16;

QString reasonOf(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

DetectLine::~DetectLine()
{
    close();
}

bool DetectLine::parseEdge(const QString &text, Edge *edge, QString *reason)
{
    if (text == QLatin1String("rising") || text == QLatin1String("falling")) {
        *edge = text == QLatin1String("rising") ? Edge::Rising : Edge::Falling;
        return true;
    }
    *reason = QString("Front de détection \"%1\" refusé: rising ou falling attendu").arg(text);
    return false;
}

bool DetectLine::open(const QString &chipAndLine, Edge edge)
{
    if (line)
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        queued.clear();
        if (!SyncLine::parse(chipAndLine, &address, &failure, QStringLiteral("Détection GPIO")))
            return false;
    }
    lostEdges = 0;
    int lookUpError = 0;
    QString what;
    gpiod_line *found = findGpioLine(address, &chip, &lookUpError, &what);
    if (!found) {
        close();
        return fail(lookUpError, what);
    }
    const int requested = edge == Edge::Rising ? gpiod_line_request_rising_edge_events(found, consumer)
                                               : gpiod_line_request_falling_edge_events(found, consumer);
    if (requested < 0) {
        const int error = errno;
        close();
        return fail(error, QString("réservation de la ligne %1 de \"%2\" impossible")
                               .arg(address.offset).arg(address.chip));
    }
    line = found;
    if (pipe2(stopPipe, O_CLOEXEC) < 0) {
        const int error = errno;
        close();
        return fail(error, QString("canal d'arrêt impossible"));
    }
    watchingLine = true;
    watcher = std::thread(&DetectLine::watch, this, gpiod_line_event_get_fd(line));
    return true;
}

void DetectLine::watch(int eventFd)
{
    pollfd fds[2] = {{eventFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    gpiod_line_event events[readBatch];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            fail(error, QString("attente de la ligne %1 impossible").arg(address.offset));
            break;
        }
        if (fds[1].revents)
            break;
        const int count = gpiod_line_event_read_fd_multiple(eventFd, events, readBatch);
        if (count < 0) {
            const int error = errno;
            fail(error, QString("lecture des fronts de la ligne %1 impossible").arg(address.offset));
            break;
        }
        std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < count; ++i) {
            if (queued.size() < maxQueued)
                queued.append(qint64(events[i].ts.tv_sec) * 1000000000 + events[i].ts.tv_nsec);
            else
                ++lostEdges;
        }
    }
    watchingLine = false;
}

void DetectLine::close()
{
    if (watcher.joinable()) {
        const char stop = 0;
        if (write(stopPipe[1], &stop, 1) != 1) {
            const int error = errno;
            fail(error, QString("arrêt de l'attente impossible"));
        }
        watcher.join();
    }
    for (int &end : stopPipe) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
    if (line)
        gpiod_line_release(line);
    if (chip)
        gpiod_chip_close(chip);
    line = nullptr;
    chip = nullptr;
}

QString DetectLine::lastFailure() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return failure;
}

QVector<qint64> DetectLine::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(queued, {});
}

bool DetectLine::fail(int error, const QString &what)
{
    std::lock_guard<std::mutex> lock(mutex);
    failure = QString("Détection GPIO: %1: \"%2\"").arg(what, reasonOf(error));
    return false;
}

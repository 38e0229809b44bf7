#include "realtime.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include <algorithm>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString rtkitService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString rtkitPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
// Each bus call is bounded, so that a busy or hung broker cannot hold up the output.
constexpr int busTimeoutMs = 1000;

bool setFifo(int priority)
{
    sched_param parameters{};
    parameters.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

// One of RealtimeKit's properties, or an invalid variant when it cannot be read.
QVariant rtkitProperty(const QDBusConnection &bus, const QString &name)
{
    QDBusMessage get =
        QDBusMessage::createMethodCall(rtkitService, rtkitPath, "org.freedesktop.DBus.Properties", "Get");
    get << rtkitService << name;
    const QDBusMessage reply = bus.call(get, QDBus::Block, busTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// RealtimeKit serves only processes that bound the CPU time a real-time thread
// may take without sleeping (RLIMIT_RTTIME) by its own maximum. The output loop
// sleeps every 2 ms, far below any such bound.
bool limitRealtimeCpuTime(qint64 maximumUs)
{
    rlimit limit{};
    if (maximumUs <= 0 || getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return false;
    limit.rlim_max = std::min(limit.rlim_max, rlim_t(maximumUs));
    limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
    return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

bool viaRealtimeKit(int priority)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    const QVariant maximumPriority = rtkitProperty(bus, "MaxRealtimePriority");
    const QVariant maximumCpuTimeUs = rtkitProperty(bus, "RTTimeUSecMax");
    if (!maximumPriority.isValid() || !maximumCpuTimeUs.isValid()
        || !limitRealtimeCpuTime(maximumCpuTimeUs.toLongLong()))
        return false;
    const int granted = std::min(priority, maximumPriority.toInt());
    if (granted < 1)
        return false;
    QDBusMessage request = QDBusMessage::createMethodCall(rtkitService, rtkitPath, rtkitService, "MakeThreadRealtime");
    request << quint64(gettid()) << quint32(granted);
    return bus.call(request, QDBus::Block, busTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

} // namespace

bool makeCurrentThreadRealtime(int priority)
{
    return setFifo(priority) || viaRealtimeKit(priority);
}

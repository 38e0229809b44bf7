#include "logcapture.h"

#include <QTest>
#include <QVector>

namespace {
LogCapture *active = nullptr;
}

LogCapture::LogCapture(Forwarding forwarding)
    : forwarding(forwarding)
{
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker locker(&active->mutex);
        active->captured.append({type, text});
    }
    if (active->forwarding == Forward && active->previous)
        active->previous(type, context, text);
}

// Copies element by element under the lock: a shallow copy would share its
// buffer with the one the logging threads append to.
QVector<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    QVector<Line> copy;
    copy.reserve(captured.size());
    for (const Line &line : captured)
        copy.append(line);
    return copy;
}

QStringList LogCapture::texts() const
{
    QMutexLocker locker(&mutex);
    QStringList result;
    for (const Line &line : captured)
        result << line.text;
    return result;
}

int LogCapture::count(const QString &text) const
{
    return texts().count(text);
}

bool LogCapture::waitFor(const QString &text, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(text) > 0; }, timeoutMs);
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
}

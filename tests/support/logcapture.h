#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every debug-stream line, from any thread, while it exists, and
// still passes them on to the previous handler.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    enum Forwarding { Forward, Keep };

    // Keep: the lines are only collected (for lines too long to print).
    explicit LogCapture(Forwarding forwarding = Forward);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QVector<Line> lines() const;
    QStringList texts() const;
    int count(const QString &text) const;
    // Waits at most timeoutMs for a line equal to text; true once it was logged.
    bool waitFor(const QString &text, int timeoutMs = 5000) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex mutex;
    QVector<Line> captured;
    QtMessageHandler previous;
    Forwarding forwarding;
};

#endif // LOGCAPTURE_H

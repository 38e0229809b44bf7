#ifndef SCPISESSION_H
#define SCPISESSION_H

#include "scpigrammar.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

// One client's side of the conversation, as IEEE 488.2 keeps it per
// interface: its error queue and status registers, and the line in progress.
class ScpiSession : public QObject
{
    Q_OBJECT

public:
    using Dispatch = std::function<QString(ScpiSession &, const ScpiCommand &)>;

    // What a line's answers may come to: past it the rest of the line is not
    // run, and the client is closed.
    static constexpr int maxAnswerBytes = 1024 * 1024;

    // Takes a line's commands, to run in order.
    void start(const QString &line);
    // Runs the line's commands from where they stopped, until one waits for
    // the program (hold) or the line ends: then true, with the answers to
    // its queries joined by ';' (empty: none). A query that fails answers
    // nothing and queues its error.
    bool resume(const Dispatch &dispatch, QString *answers);
    // A line is in progress: the client's next lines wait for it.
    bool busy() const { return waiting || !line.atEnd(); }
    // A command of the line waits for the program (a file being read): the
    // commands after it run once released, as the client sent them.
    void hold() { waiting = true; }
    void release();

    // Queued for SYSTem:ERRor?, oldest first; a full queue's last entry
    // becomes the overflow. A detail follows the standard text after a semicolon.
    void error(int code, const QString &detail = QString());
    QString nextError();
    QString allErrors();
    int errorCount() const { return errors.size(); }

    int statusByte() const;
    int takeEvents();
    // *OPC: the operation complete event.
    void operationComplete();
    // *CLS: the error queue and the events.
    void clear();
    int eventEnable = 0;
    int serviceRequestEnable = 0;

    // *ESE and *SRE: an enable register set, or its value.
    QString enable(const ScpiCommand &command, int *enableRegister);

    // A setting's number, or nothing after queueing why it is refused.
    std::optional<double> number(const QString &parameter, const NumericRange &range);
    // A query's answer: the value, or the bound or default that its argument names.
    QString numberQuery(const QString &parameter, double value, const NumericRange &range);

signals:
    // The command held is done: the line goes on.
    void released();

private:
    bool waiting = false;
    QStringList errors;
    int events = 0;
    // The commands of the line in progress not run yet, and the answers not sent yet.
    ScpiLine line;
    QStringList replies;
    int replyBytes = 0;
};

#endif // SCPISESSION_H

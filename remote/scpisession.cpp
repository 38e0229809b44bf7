#include "scpisession.h"

#include <cmath>

namespace {

constexpr int maxErrors = 16;

// The status byte's bits and the standard event status register's (IEEE 488.2).
enum StatusBit { errorAvailable = 4, messageAvailable = 16, eventSummary = 32, serviceRequest = 64 };
enum EventBit { operationCompleted = 1, queryError = 4, deviceError = 8, executionError = 16, commandError = 32 };

// SCPI's standard texts of the errors that the server queues.
QString errorText(int code)
{
    switch (code) {
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -131: return "Invalid suffix";
    case -200: return "Execution error";
    case -222: return "Data out of range";
    case -224: return "Illegal parameter value";
    case -241: return "Hardware missing";
    case -256: return "File name not found";
    case -257: return "File name error";
    case -350: return "Queue overflow";
    case -363: return "Input buffer overrun";
    default: return "Command error";
    }
}

// The event that an error's class sets: -1xx command, -2xx execution,
// -3xx device-specific, -4xx query errors.
int errorEvent(int code)
{
    switch (-code / 100) {
    case 1: return commandError;
    case 2: return executionError;
    case 3: return deviceError;
    case 4: return queryError; // none over TCP: no read reaches the server, answers wait in the socket
    default: return 0;
    }
}

} // namespace

void ScpiSession::start(const QString &text)
{
    line = ScpiLine(text);
    replies.clear();
    replyBytes = 0;
}

bool ScpiSession::resume(const Dispatch &dispatch, QString *answers)
{
    while (!waiting) {
        const std::optional<ScpiCommand> command = line.next();
        if (!command)
            break;
        const QString reply = dispatch(*this, *command);
        if (command->query && !reply.isNull()) {
            replies << reply;
            replyBytes += reply.size() + 1;
        }
        if (replyBytes > maxAnswerBytes)
            line.drop();
    }
    if (waiting)
        return false;
    *answers = replies.join(';');
    replies.clear();
    return true;
}

void ScpiSession::release()
{
    waiting = false;
    emit released();
}

void ScpiSession::error(int code, const QString &detail)
{
    events |= errorEvent(code);
    const QString text =
        detail.isEmpty() ? errorText(code) : errorText(code) + ";" + QString(detail).replace('\n', ' ');
    if (errors.size() < maxErrors - 1)
        errors.append(QString("%1,%2").arg(code).arg(quoted(ascii(text))));
    else if (errors.size() == maxErrors - 1)
        errors.append(QString("-350,%1").arg(quoted(errorText(-350))));
}

QString ScpiSession::nextError()
{
    return errors.isEmpty() ? QString("0,\"No error\"") : errors.takeFirst();
}

QString ScpiSession::allErrors()
{
    const QString all = errors.isEmpty() ? nextError() : errors.join(',');
    errors.clear();
    return all;
}

// The summary bits; the service request bit is set when an enabled one is.
int ScpiSession::statusByte() const
{
    int status = (errors.isEmpty() ? 0 : errorAvailable) | (replies.isEmpty() ? 0 : messageAvailable)
                 | ((events & eventEnable) ? eventSummary : 0);
    if (status & serviceRequestEnable & ~serviceRequest)
        status |= serviceRequest;
    return status;
}

int ScpiSession::takeEvents()
{
    const int taken = events;
    events = 0;
    return taken;
}

void ScpiSession::operationComplete()
{
    events |= operationCompleted;
}

void ScpiSession::clear()
{
    errors.clear();
    events = 0;
}

QString ScpiSession::enable(const ScpiCommand &command, int *enableRegister)
{
    if (command.query)
        return decimal(*enableRegister);
    if (const std::optional<double> value = number(command.parameter, {0, 255, 0, {}}))
        *enableRegister = int(std::lround(*value));
    return QString();
}

std::optional<double> ScpiSession::number(const QString &parameter, const NumericRange &range)
{
    int code = 0;
    const std::optional<double> value = numericValue(parameter, range, &code);
    if (!value)
        error(code);
    return value;
}

QString ScpiSession::numberQuery(const QString &parameter, double value, const NumericRange &range)
{
    if (parameter.isEmpty())
        return decimal(value);
    if (const std::optional<double> named = namedNumber(parameter, range))
        return decimal(*named);
    error(-224);
    return QString();
}

#include "unixsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalSockets[2] = {-1, -1};

// Keeps errno for the code it interrupted. The socket never blocks: should
// hundreds of signals be left unread, the handler drops one rather than hang
// the thread that it interrupted.
void writeSignal(int number)
{
    const int savedErrno = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignals::UnixSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return;
    notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignals);
}

// The program is ending once these are no longer caught: a late one (GNU
// timeout sends its second a moment after the first) is ignored, rather than
// end the program with a status of its own while it closes.
UnixSignals::~UnixSignals()
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    for (int number : caught)
        sigaction(number, &ignore, nullptr);
    for (int &socket : signalSockets) {
        if (socket >= 0)
            ::close(socket);
        socket = -1;
    }
}

bool UnixSignals::catchSignals(std::initializer_list<int> numbers)
{
    if (!notifier)
        return false;
    struct sigaction action{};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : numbers) {
        if (sigaction(number, &action, nullptr) != 0)
            return false;
        caught.append(number);
    }
    return true;
}

void UnixSignals::readSignals()
{
    char numbers[64];
    ssize_t count;
    while ((count = ::read(signalSockets[1], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit received(numbers[i]);
    }
}

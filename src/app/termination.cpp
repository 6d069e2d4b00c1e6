#include "app/termination.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace termination {

#ifdef Q_OS_UNIX
namespace {

int pipeEnds[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe, read on the event loop's side.
void onSignalRaised(int signalNumber)
{
    const int saved = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[0], &byte, 1);
    errno = saved;
}

} // namespace

void install(std::function<void(int)> onSignal)
{
    if (pipeEnds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeEnds) != 0)
        return;
    ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    auto *notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal = std::move(onSignal)] {
        char byte = 0;
        if (::read(pipeEnds[1], &byte, 1) == 1)
            onSignal(int(byte));
    });
    struct sigaction action{};
    action.sa_handler = onSignalRaised;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

#else

void install(std::function<void(int)>) {}

#endif

} // namespace termination

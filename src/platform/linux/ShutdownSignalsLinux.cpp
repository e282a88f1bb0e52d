#include "platform/ShutdownSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace orvelquin::platform {
namespace {

int g_writeFd = -1;
constexpr std::array kSignals = {SIGTERM, SIGINT, SIGHUP};

// Async-signal-safe: one byte into the pipe, and the event loop does the rest.
extern "C" void onShutdownSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_writeFd, &byte, 1);
    errno = saved;
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent)
    : QObject(parent) {
    std::array<int, 2> fds{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds.data()) != 0) {
        return;
    }
    m_readFd = fds[0];
    g_writeFd = fds[1];
    auto* notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ShutdownSignals::drain);

    struct sigaction action = {};
    action.sa_handler = onShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kSignals) {
        ::sigaction(sig, &action, nullptr);
    }
}

ShutdownSignals::~ShutdownSignals() {
    for (const int sig : kSignals) {
        ::signal(sig, SIG_DFL);
    }
    if (m_readFd >= 0) {
        ::close(m_readFd);
        ::close(g_writeFd);
        g_writeFd = -1;
    }
}

void ShutdownSignals::drain() {
    std::array<char, 64> buffer{};
    while (::read(m_readFd, buffer.data(), buffer.size()) > 0) {
    }
    Q_EMIT shutdownRequested();
}

} // namespace orvelquin::platform

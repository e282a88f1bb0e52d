#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>

namespace orvelquin::platform {
namespace {

void setDisposition(int sig, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
}

// The warden is a fork of the agent that never execs: it must not keep the agent's sockets,
// lock file or lifeline write end open, or their peers would never see them close.
void closeAllBut(std::array<int, 2> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned int from = 0;
    for (const int fd : keep) {
        if (fd < 0) {
            continue;
        }
        if (static_cast<unsigned int>(fd) > from) {
            ::close_range(from, static_cast<unsigned int>(fd) - 1, 0);
        }
        from = static_cast<unsigned int>(fd) + 1;
    }
    if (::close_range(from, UINT_MAX, 0) != 0) {
        struct rlimit limit = {};
        const rlim_t end = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        for (rlim_t fd = from; fd < end && fd < INT_MAX; ++fd) {
            if (static_cast<int>(fd) != keep[0] && static_cast<int>(fd) != keep[1]) {
                ::close(static_cast<int>(fd));
            }
        }
    }
}

[[noreturn]] void runWarden(pid_t leader, int lifeline) {
    // The group's SIGTERM is for the runtime: the warden stays to finish what the runtime leaves.
    setDisposition(SIGTERM, SIG_IGN);
    setDisposition(SIGINT, SIG_IGN);
    setDisposition(SIGHUP, SIG_IGN);
    ::prctl(PR_SET_NAME, "runtime-warden", 0, 0, 0);
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
    const int leaderFd = static_cast<int>(::syscall(SYS_pidfd_open, leader, 0));
    closeAllBut({lifeline, leaderFd});
    std::array<pollfd, 2> watched = {pollfd{leaderFd, POLLIN, 0}, pollfd{lifeline, POLLIN, 0}};
    if (leaderFd < 0 && lifeline < 0) {
        ::_exit(0);
    }
    // Negative descriptors are skipped by poll; any event is the end of the leader or the agent.
    while (::poll(watched.data(), watched.size(), -1) < 0 && errno == EINTR) {
    }
    ::kill(0, SIGKILL);
    ::_exit(0);
}

// Forked twice so the warden is nobody's child here: the runtime never sees its exit.
void startWarden(int lifeline) {
    const pid_t leader = ::getpid();
    // The agent's child handlers, inherited until exec, must not reap or report the middle fork.
    setDisposition(SIGCHLD, SIG_DFL);
    const pid_t middle = ::fork();
    if (middle < 0) {
        return;
    }
    if (middle == 0) {
        if (::fork() == 0) {
            runWarden(leader, lifeline);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

int agentLifeline() {
    static const int readEnd = [] {
        std::array<int, 2> fds{};
        return ::pipe2(fds.data(), O_CLOEXEC) == 0 ? fds[0] : -1;
    }();
    return readEnd;
}

void prepareGroupLeaderChild(qint64 agentPid, int lifeline) {
    const bool ownGroup = ::setpgid(0, 0) == 0;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The agent may have died before the death signal was armed.
    if (::getppid() != static_cast<pid_t>(agentPid)) {
        ::raise(SIGKILL);
    }
    // In the agent's own group the warden would kill the agent.
    if (ownGroup) {
        startWarden(lifeline);
    }
}

bool signalProcessGroup(qint64 group, GroupSignal signal) {
    if (group <= 1) {
        return false;
    }
    return ::kill(-static_cast<pid_t>(group), signal == GroupSignal::Kill ? SIGKILL : SIGTERM) == 0;
}

} // namespace orvelquin::platform

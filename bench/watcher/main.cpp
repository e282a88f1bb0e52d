// Stands in for the panel and dates each registration. One line per event on stdout:
//   ready <CLOCK_MONOTONIC ns>
//   registered <CLOCK_MONOTONIC ns> <pid of the item's owner> <registration>
// The clock is read first, so a line dates the moment the call reached us.
#include "StatusNotifierWatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <cstdio>
#include <ctime>

namespace {

qint64 monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    StatusNotifierWatcher watcher;
    QObject::connect(&watcher, &StatusNotifierWatcher::StatusNotifierItemRegistered, [](const QString& registration) {
        const qint64 at = monotonicNs();
        const QString owner = registration.section(u'/', 0, 0);
        const uint pid = QDBusConnection::sessionBus().interface()->servicePid(owner).value();
        std::printf("registered %lld %u %s\n", static_cast<long long>(at), pid, qPrintable(registration));
        std::fflush(stdout);
    });
    if (!watcher.start()) {
        std::fprintf(stderr, "orvelquin-bench-watcher: cannot own org.kde.StatusNotifierWatcher on the session bus\n");
        return 1;
    }
    std::printf("ready %lld\n", static_cast<long long>(monotonicNs()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

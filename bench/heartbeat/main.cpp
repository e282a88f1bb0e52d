// Runs the real AppDelegate, signed in with the credentials already in the Secret Service, with
// a heartbeat every --interval seconds, and prints one JSON line: the processor time the process
// spent per heartbeat over --beats beats, after --warmup beats that fill caches and open the
// connection. Usage: orvelquin-bench-heartbeat [--beats N] [--warmup N] [--interval SECONDS]
#include "app/AppDelegate.h"
#include "core/AppInfo.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <sys/resource.h>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

double cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Inodes of this process's TCP sockets to the given loopback port, so the caller can tell
// whether the heartbeats kept using one connection.
QJsonArray socketsToPort(int port) {
    QSet<QString> own;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        const QString name = target.mid(target.lastIndexOf(u'/') + 1);
        if (name.startsWith(u"socket:["_s)) {
            own.insert(name.mid(8).chopped(1));
        }
    }
    QJsonArray found;
    const QString remote = u":%1"_s.arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const QString& table : {u"/proc/net/tcp"_s, u"/proc/net/tcp6"_s}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine(); // header
        while (!file.atEnd()) {
            const QStringList fields = QString::fromLatin1(file.readLine()).split(u' ', Qt::SkipEmptyParts);
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            if (fields.size() > 9 && fields.at(2).endsWith(remote) && own.contains(fields.at(9))) {
                found.append(fields.at(9));
            }
        }
    }
    return found;
}

double argValue(const QStringList& args, const QString& name, double fallback) {
    const qsizetype at = args.indexOf(name);
    bool ok = false;
    const double value = at >= 0 && at + 1 < args.size() ? args.at(at + 1).toDouble(&ok) : fallback;
    return ok ? value : fallback;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Orvelquin"_s);
    QCoreApplication::setApplicationName(u"orvelquin-desktop"_s);

    const QStringList args = QCoreApplication::arguments();
    const int beats = static_cast<int>(argValue(args, u"--beats"_s, 200));
    const int warmup = static_cast<int>(argValue(args, u"--warmup"_s, 10));
    const double interval = argValue(args, u"--interval"_s, 0.05);
    if (beats < 1 || warmup < 1 || interval <= 0) {
        std::fprintf(stderr, "usage: orvelquin-bench-heartbeat [--beats N] [--warmup N] [--interval SECONDS]\n");
        return 2;
    }

    // A lock of its own, so a running agent does not turn this one away.
    QTemporaryDir lockDir;
    orvelquin::AppServices services = orvelquin::AppServices::system();
    services.lockDirectory = lockDir.path();
    services.heartbeat.normal = interval;
    orvelquin::AppDelegate delegate(std::move(services));
    const int port = QUrl(orvelquin::AppInfo::serviceBaseURL()).port(80);

    int done = 0;
    double cpuAtStart = 0;
    QJsonArray socketsAtStart;
    QElapsedTimer wall;
    QObject::connect(&delegate, &orvelquin::AppDelegate::heartbeatFinished, &app, [&] {
        ++done;
        if (delegate.connectionState() != orvelquin::ConnectionState::Connected) {
            std::fprintf(stderr, "orvelquin-bench-heartbeat: heartbeat %d failed (%s)\n", done,
                         qPrintable(orvelquin::displayWord(delegate.connectionState())));
            QCoreApplication::exit(1);
            return;
        }
        if (done == warmup) {
            socketsAtStart = socketsToPort(port);
            wall.start();
            cpuAtStart = cpuMs();
        } else if (done == warmup + beats) {
            const double spent = cpuMs() - cpuAtStart;
            const double seconds = static_cast<double>(wall.elapsed()) / 1e3;
            const QJsonArray socketsAtEnd = socketsToPort(port);
            const QJsonObject result{
                {u"beats"_s, beats},
                {u"interval_s"_s, interval},
                {u"cpu_ms_total"_s, spent},
                {u"cpu_ms_per_beat"_s, spent / beats},
                {u"wall_s"_s, seconds},
                {u"sockets_at_start"_s, socketsAtStart},
                {u"sockets_at_end"_s, socketsAtEnd},
                {u"connection_reused"_s, !socketsAtStart.isEmpty() && socketsAtStart == socketsAtEnd},
            };
            std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
            std::fflush(stdout);
            QCoreApplication::exit(0);
        }
    });
    // The credentials arrive once the keychain has answered; the menu is rebuilt then.
    QObject::connect(&delegate, &orvelquin::AppDelegate::menuRebuilt, &app, [&] {
        if (!delegate.isKeychainPending() && !delegate.deviceToken()) {
            std::fprintf(stderr, "orvelquin-bench-heartbeat: not signed in (no device token in the Secret Service)\n");
            QCoreApplication::exit(1);
        }
    });
    QTimer::singleShot(0, &delegate, [&] { delegate.applicationDidFinishLaunching(); });
    // Generous: a stalled service should end the run, not hang the bench.
    QTimer::singleShot(static_cast<int>((warmup + beats) * (interval + 1.0) * 1000.0) + 30'000, &app, [] {
        std::fprintf(stderr, "orvelquin-bench-heartbeat: timed out\n");
        QCoreApplication::exit(3);
    });

    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}

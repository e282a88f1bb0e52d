#include "platform/ProcessProbe.h"

#include <QFile>
#include <QFileInfo>

#include <signal.h>
#include <unistd.h>

namespace orvelquin::platform {

qint64 currentProcessId() {
    return static_cast<qint64>(::getpid());
}

bool processExists(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

QString processExecutableName(qint64 pid) {
    const QString dir = QStringLiteral("/proc/%1").arg(pid);
    QString target = QFile::symLinkTarget(dir + QStringLiteral("/exe"));
    if (!target.isEmpty()) {
        // A binary replaced by an upgrade while it runs shows as "<path> (deleted)".
        constexpr QStringView deleted = u" (deleted)";
        if (target.endsWith(deleted)) {
            target.chop(deleted.size());
        }
        return QFileInfo(target).fileName();
    }
    // Without access to exe, the kernel's command name (cut to 15 bytes) is the best we have.
    QFile comm(dir + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly)) {
        return QString::fromUtf8(comm.readAll()).trimmed();
    }
    return {};
}

} // namespace orvelquin::platform

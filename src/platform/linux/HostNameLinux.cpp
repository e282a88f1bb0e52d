#include "platform/HostName.h"

#include <QFile>
#include <QSysInfo>

namespace orvelquin::platform {
namespace {

// PRETTY_HOSTNAME of /etc/machine-info, a shell-style assignment that may be quoted.
std::optional<QString> prettyHostName() {
    QFile file(QStringLiteral("/etc/machine-info"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray data = file.read(64 * 1024);
    for (const QByteArray& rawLine : data.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) {
            continue;
        }
        QString value = QString::fromUtf8(line.mid(16)).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        if (!value.trimmed().isEmpty()) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> localizedHostName() {
    if (auto pretty = prettyHostName()) {
        return pretty;
    }
    const QString host = QSysInfo::machineHostName();
    if (!host.isEmpty()) {
        return host;
    }
    return std::nullopt;
}

} // namespace orvelquin::platform

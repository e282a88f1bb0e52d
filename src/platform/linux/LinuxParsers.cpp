#include "platform/linux/LinuxParsers.h"

#include <QList>
#include <QRegularExpression>

#include <limits>

namespace orvelquin::platform::LinuxParsers {
namespace {

// "key<tabs/spaces>: value" lines as /proc files write them.
std::optional<QString> field(const QByteArray& text, const QByteArray& key) {
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed() != key) {
            continue;
        }
        const QString value = QString::fromUtf8(line.mid(colon + 1)).trimmed();
        if (!value.isEmpty()) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

QString osVersion(const QString& kernelRelease) {
    static const QRegularExpression leading(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch m = leading.match(kernelRelease);
    auto part = [&](int i) { return m.hasMatch() && m.hasCaptured(i) ? m.captured(i).toULongLong() : 0ULL; };
    return QStringLiteral("Linux %1.%2.%3").arg(part(1)).arg(part(2)).arg(part(3));
}

std::optional<QString> cpuModel(const QByteArray& cpuinfo) {
    if (auto model = field(cpuinfo, "model name")) {
        return model;
    }
    return field(cpuinfo, "Hardware");
}

std::optional<quint64> meminfoBytes(const QByteArray& meminfo, const QByteArray& key) {
    const std::optional<QString> value = field(meminfo, key);
    if (!value) {
        return std::nullopt;
    }
    const QStringList parts = value->split(u' ', Qt::SkipEmptyParts);
    bool ok = false;
    const quint64 kib = parts.value(0).toULongLong(&ok);
    if (!ok || kib > (std::numeric_limits<quint64>::max() / 1024)) {
        return std::nullopt;
    }
    return kib * 1024;
}

std::optional<QString> gpuName(const QByteArray& lspciOutput) {
    static const QList<QByteArray> classes = {"VGA compatible controller: ", "3D controller: ", "Display controller: "};
    for (const QByteArray& line : lspciOutput.split('\n')) {
        for (const QByteArray& cls : classes) {
            const qsizetype at = line.indexOf(cls);
            // The class follows the slot ("00:02.0 "), never the vendor text.
            if (at > 0 && line.at(at - 1) == ' ' && !line.left(at - 1).contains(' ')) {
                const QString name = QString::fromUtf8(line.mid(at + cls.size())).trimmed();
                if (!name.isEmpty()) {
                    return name;
                }
            }
        }
    }
    return std::nullopt;
}

std::optional<QString> deviceTreeModel(const QByteArray& model) {
    const QString text = QString::fromUtf8(model).remove(QChar(0)).trimmed();
    return text.isEmpty() ? std::nullopt : std::optional(text);
}

std::optional<quint64> procStatTicks(const QByteArray& stat) {
    // The command name in parentheses may itself hold spaces and ')': fields start after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return std::nullopt;
    }
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // After the name: state(3) ... utime is field 14 and stime field 15 of the whole line.
    constexpr int kUtime = 14 - 3;
    constexpr int kStime = 15 - 3;
    if (fields.size() <= kStime) {
        return std::nullopt;
    }
    bool okUser = false;
    bool okSystem = false;
    const quint64 user = fields[kUtime].toULongLong(&okUser);
    const quint64 system = fields[kStime].toULongLong(&okSystem);
    // A line no kernel writes must not wrap around to a small, believable time.
    if (!okUser || !okSystem || user > std::numeric_limits<quint64>::max() - system) {
        return std::nullopt;
    }
    return user + system;
}

} // namespace orvelquin::platform::LinuxParsers

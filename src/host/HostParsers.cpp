#include "host/HostParsers.h"

#include <QList>
#include <QRegularExpression>

namespace orvelquin::HostParsers {
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

} // namespace orvelquin::HostParsers

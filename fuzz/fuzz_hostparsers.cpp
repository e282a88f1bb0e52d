// What the Linux host probes read: /proc/cpuinfo, /proc/meminfo, the device-tree model, lspci
// output, the kernel release and /proc/<pid>/stat, whose command name is chosen by whoever started
// the process.
#include "FuzzCheck.h"
#include "platform/linux/LinuxParsers.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <limits>

using namespace orvelquin::platform;

namespace {

// One line of text with nothing around it: what the host description shows.
bool isShownValue(const QString& value) {
    return !value.isEmpty() && value == value.trimmed() && !value.contains(u'\n');
}

void checkOsVersion(const QString& release) {
    static const QRegularExpression shape(QLatin1StringView("^Linux ([0-9]+)\\.([0-9]+)\\.([0-9]+)$"));
    const QString os = LinuxParsers::osVersion(release);
    const QRegularExpressionMatch m = shape.match(os);
    FUZZ_CHECK(m.hasMatch());
    // In an ASCII release, leading numbers that fit in 64 bits are reported as they are; longer
    // ones have no defined value.
    bool ascii = true;
    for (const QChar c : release) {
        ascii = ascii && c.unicode() < 0x80;
    }
    static const QRegularExpression leading(QLatin1StringView("^([0-9]+)(?:\\.([0-9]+))?(?:\\.([0-9]+))?"));
    const QRegularExpressionMatch r = leading.match(release);
    if (ascii && r.hasMatch()) {
        for (int i = 1; i <= 3; ++i) {
            if (r.captured(i).size() <= 19) {
                const quint64 expected = r.hasCaptured(i) ? r.captured(i).toULongLong() : 0;
                FUZZ_CHECK(m.captured(i).toULongLong() == expected);
            }
        }
    }
}

// The tick fields restated: after the last ')', fields 14 and 15 of the line.
void checkProcStat(const QByteArray& stat) {
    const std::optional<quint64> ticks = LinuxParsers::procStatTicks(stat);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        FUZZ_CHECK(!ticks);
        return;
    }
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    if (fields.size() < 13) {
        FUZZ_CHECK(!ticks);
        return;
    }
    bool okUser = false;
    bool okSystem = false;
    const quint64 user = fields[11].toULongLong(&okUser);
    const quint64 system = fields[12].toULongLong(&okSystem);
    const bool fits = okUser && okSystem && user <= std::numeric_limits<quint64>::max() - system;
    FUZZ_CHECK(ticks.has_value() == fits);
    FUZZ_CHECK(!ticks || *ticks == user + system);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (const std::optional<QString> cpu = LinuxParsers::cpuModel(input)) {
        FUZZ_CHECK(isShownValue(*cpu));
    }
    for (const QByteArray& key : {QByteArray("MemTotal"), QByteArray("MemAvailable")}) {
        if (const std::optional<quint64> bytes = LinuxParsers::meminfoBytes(input, key)) {
            FUZZ_CHECK(*bytes % 1024 == 0);
        }
    }
    if (const std::optional<QString> board = LinuxParsers::deviceTreeModel(input)) {
        FUZZ_CHECK(!board->isEmpty() && *board == board->trimmed() && !board->contains(QChar(0)));
    }
    if (const std::optional<QString> gpu = LinuxParsers::gpuName(input)) {
        FUZZ_CHECK(isShownValue(*gpu));
    }
    checkOsVersion(QString::fromUtf8(input));
    checkProcStat(input);
    return 0;
}

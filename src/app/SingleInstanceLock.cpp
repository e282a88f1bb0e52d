#include "app/SingleInstanceLock.h"

#include "core/Text.h"
#include "platform/ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <limits>

namespace orvelquin {
SingleInstanceLock::SingleInstanceLock(QString directory, QString agentName)
    : m_directory(std::move(directory))
    , m_agentName(std::move(agentName)) {}

QString SingleInstanceLock::filePath() const {
    return QDir(m_directory).filePath(kFileName);
}

std::optional<qint32> SingleInstanceLock::parsePid(const QByteArray& contents) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(contents);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    const QString trimmed = trimHorizontalSpace(text);
    const QStringView number(trimmed);
    qsizetype pos = 0;
    bool negative = false;
    if (!number.isEmpty() && (number[0] == u'+' || number[0] == u'-')) {
        negative = number[0] == u'-';
        pos = 1;
    }
    if (pos == number.size()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (; pos < number.size(); ++pos) {
        const char16_t c = number[pos].unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (c - u'0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1) {
            return std::nullopt;
        }
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<qint32>::max() || value < std::numeric_limits<qint32>::min()) {
        return std::nullopt;
    }
    return static_cast<qint32>(value);
}

bool SingleInstanceLock::isLiveAgent(qint64 pid) const {
    // 0 and negative numbers address process groups, and our own id can only be a leftover from a
    // crashed agent whose pid we inherited: none of them is another running agent.
    if (pid < 1 || pid == platform::currentProcessId()) {
        return false;
    }
    if (!platform::processExists(pid)) {
        return false;
    }
    // An id reused by an unrelated program after a crash must not lock the agent out. The kernel's
    // short command name is a prefix of the real name when that is all /proc lets us read.
    const QString name = platform::processExecutableName(pid);
    return name.isEmpty() || name == m_agentName || (name.size() == 15 && m_agentName.startsWith(name));
}

bool SingleInstanceLock::acquire() {
    const QString path = filePath();
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        const std::optional<qint32> pid = parsePid(existing.readAll());
        existing.close();
        if (pid && isLiveAgent(*pid)) {
            return false;
        }
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(platform::currentProcessId()));
        file.commit();
    }
    // Even an unwritable lock counts as taken: refusing to run would be worse than a rare duplicate.
    m_held = true;
    return true;
}

void SingleInstanceLock::release() {
    if (m_held) {
        QFile::remove(filePath());
        m_held = false;
    }
}

} // namespace orvelquin

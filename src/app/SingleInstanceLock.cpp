#include "app/SingleInstanceLock.h"

#include "core/Logging.h"
#include "core/Text.h"
#include "platform/ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <limits>

namespace orvelquin {
namespace {

// A pid with room for any padding a person might add; anything longer is not a lock file's.
constexpr qsizetype kMaxContents = 4096;

} // namespace

SingleInstanceLock::SingleInstanceLock(QString directory, QString agentName, QString fallbackBase)
    : m_directory(std::move(directory))
    , m_agentName(std::move(agentName))
    , m_fallbackDirectory(QDir(fallbackBase.isEmpty() ? QDir::tempPath() : fallbackBase)
                              .filePath(QStringLiteral("orvelquin-desktop-%1").arg(platform::currentUserId()))) {}

QString SingleInstanceLock::filePath() const {
    // An empty directory would put the lock in whatever directory the agent was started from, and
    // one that others may write to would let them plant or swap the file.
    const QString& directory = platform::isPrivateDirectory(m_directory) ? m_directory : m_fallbackDirectory;
    return QDir(directory).filePath(kFileName);
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
    // short command name is a prefix of the real name when that is all the system lets us read.
    const QString name = platform::processExecutableName(pid);
    return name.isEmpty() || name == m_agentName || (name.size() == 15 && m_agentName.startsWith(name));
}

bool SingleInstanceLock::namesLiveAgent(const QByteArray& contents) const {
    if (contents.size() > kMaxContents) {
        return false;
    }
    const std::optional<qint32> pid = parsePid(contents);
    return pid && isLiveAgent(*pid);
}

bool SingleInstanceLock::acquire() {
    m_pid = QByteArray::number(platform::currentProcessId());
    m_held = take();
    qCDebug(lcLock).noquote() << (m_held ? "holding" : "refused by another agent at") << filePath();
    return m_held;
}

// Even a lock without a file counts as taken: refusing to run would be worse than a rare duplicate.
bool SingleInstanceLock::take() {
    const QString path = filePath();
    // With no directory that only this user can write to there is no safe place for the file.
    if (!platform::isPrivateDirectory(m_directory) && !platform::makePrivateDirectory(m_fallbackDirectory)) {
        return true;
    }
    switch (m_file.lock(path)) {
    case platform::LockFile::Outcome::Busy:
        return false;
    case platform::LockFile::Outcome::Locked:
        // Older agents wrote the file without locking it: the pid inside still speaks for them.
        if (namesLiveAgent(m_file.read(kMaxContents + 1))) {
            m_file.unlock();
            return false;
        }
        m_file.write(m_pid);
        return true;
    case platform::LockFile::Outcome::Failed:
        break;
    }
    QFile existing(path);
    return !(existing.open(QIODevice::ReadOnly) && namesLiveAgent(existing.read(kMaxContents + 1)));
}

void SingleInstanceLock::release() {
    // Whoever replaced or rewrote the file since (an older agent, the user) owns it now.
    if (m_file.isLocked() && m_file.isAtPath() && m_file.read(kMaxContents + 1) == m_pid) {
        m_file.remove();
    }
    m_file.unlock();
    m_held = false;
}

} // namespace orvelquin

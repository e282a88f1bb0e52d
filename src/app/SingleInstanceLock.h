#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace orvelquin {

// One running agent per user: a file in the per-user runtime directory holding the pid of the
// agent that runs. A file left behind by a crash is recognised as stale and taken over.
class SingleInstanceLock {
public:
    static constexpr auto kFileName = QLatin1StringView("orvelquin-desktop.pid");

    // directory: where the lock lives; agentName: the executable name that identifies an agent.
    SingleInstanceLock(QString directory, QString agentName);

    // Lock file contents as a signed 32-bit number: spaces and tabs around it are ignored, a
    // single sign is allowed, line breaks are not.
    static std::optional<qint32> parsePid(const QByteArray& contents);

    // True when this process now holds the lock; false when another live agent holds it.
    bool acquire();
    // Removes the file if this process took the lock; a refused instance never touches it.
    void release();

    QString filePath() const;
    bool isHeld() const { return m_held; }

private:
    bool isLiveAgent(qint64 pid) const;

    QString m_directory;
    QString m_agentName;
    bool m_held = false;
};

} // namespace orvelquin

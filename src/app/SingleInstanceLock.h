#pragma once

#include "platform/LockFile.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace orvelquin {

// One running agent per user: a file in the per-user runtime directory holding the pid of the
// agent that runs, under an flock the agent keeps for its whole life. A file left behind by a
// crash, or by an older agent that did not lock it, is judged by the pid it holds.
class SingleInstanceLock {
public:
    static constexpr auto kFileName = QLatin1StringView("orvelquin-desktop.pid");

    // directory: where the lock lives; agentName: the executable name that identifies an agent;
    // fallbackBase: where a private directory is made when directory is unusable (default: the
    // temporary directory).
    SingleInstanceLock(QString directory, QString agentName, QString fallbackBase = {});

    // Lock file contents as a signed 32-bit number: spaces and tabs around it are ignored, a
    // single sign is allowed, line breaks are not.
    static std::optional<qint32> parsePid(const QByteArray& contents);

    // True when this process now holds the lock; false when another live agent holds it.
    bool acquire();
    // Removes the file if it is still the one this process locked and still holds its pid; a
    // refused instance never touches it.
    void release();

    QString filePath() const;
    bool isHeld() const { return m_held; }

private:
    bool take();
    bool isLiveAgent(qint64 pid) const;
    bool namesLiveAgent(const QByteArray& contents) const;

    QString m_directory;
    QString m_agentName;
    QString m_fallbackDirectory;
    platform::LockFile m_file;
    QByteArray m_pid;
    bool m_held = false;
};

} // namespace orvelquin

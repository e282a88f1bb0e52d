#pragma once

#include <QByteArray>
#include <QString>

namespace orvelquin::platform {

// A file under an exclusive advisory lock (flock) for as long as this object holds it. The lock
// belongs to the open file, so the kernel ends it with the process however the process ends.
class LockFile {
    Q_DISABLE_COPY_MOVE(LockFile)

public:
    enum class Outcome { Locked, Busy, Failed };

    LockFile() = default;
    ~LockFile();

    // Opens or creates path, never through a symlink (a symlink or other non-regular file found
    // there is removed, not followed), and takes the lock without waiting. Busy: another open file
    // holds the lock. Failed: the file cannot be opened or locked at all.
    Outcome lock(const QString& path);
    bool isLocked() const { return m_fd >= 0; }

    // True while the path still leads to the file this object holds.
    bool isAtPath() const;
    // At most limit bytes from the start of the file.
    QByteArray read(qsizetype limit) const;
    // Replaces the whole contents in place, so the locked file stays the one at the path.
    bool write(const QByteArray& contents);
    // Unlinks the path; only meaningful right after isAtPath() said it is ours.
    void remove();
    void unlock();

private:
    int m_fd = -1;
    QByteArray m_path;
};

// True for an existing directory owned by this user that nobody else may write to.
bool isPrivateDirectory(const QString& path);

// Makes path such a directory, creating it with mode 0700. A symlink or anything not owned by this
// user there is refused, never followed or taken over.
bool makePrivateDirectory(const QString& path);

unsigned currentUserId();

} // namespace orvelquin::platform

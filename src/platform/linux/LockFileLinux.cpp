#include "platform/LockFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvelquin::platform {
namespace {

// Each retry answers someone else removing or replacing the file under us; more than a few in a
// row means it is being fought over, and whoever fights holds it.
constexpr int kAttempts = 8;

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A directory of this user's that nobody else can write to.
bool isPrivate(const struct stat& info) {
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

LockFile::~LockFile() {
    unlock();
}

LockFile::Outcome LockFile::lock(const QString& path) {
    unlock();
    m_path = QFile::encodeName(path);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // O_NONBLOCK only keeps a FIFO in the file's place from hanging the open.
        const int fd = ::open(m_path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
        struct stat atPath {};
        if (fd < 0) {
            // A symlink is nobody's lock. Checking again right before the unlink keeps us from
            // removing the file another agent has just put in its place.
            if (errno == ELOOP && ::lstat(m_path.constData(), &atPath) == 0 && S_ISLNK(atPath.st_mode) &&
                ::unlink(m_path.constData()) == 0) {
                continue;
            }
            return Outcome::Failed;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            ::close(fd);
            return Outcome::Failed;
        }
        if (!S_ISREG(info.st_mode)) {
            ::close(fd);
            if (::lstat(m_path.constData(), &atPath) == 0 && sameFile(info, atPath) &&
                ::unlink(m_path.constData()) == 0) {
                continue;
            }
            return Outcome::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            m_fd = fd;
            // A holder that is quitting unlinks the file before it lets go: that lock is over.
            const bool stillThere = isAtPath();
            unlock();
            if (error != EWOULDBLOCK) {
                return Outcome::Failed;
            }
            if (stillThere) {
                return Outcome::Busy;
            }
            continue;
        }
        m_fd = fd;
        // Between our open and our flock the file may have been unlinked (by a holder that quit)
        // and the path created anew by another agent: a lock on the old file locks nothing.
        if (isAtPath()) {
            return Outcome::Locked;
        }
        unlock();
    }
    return Outcome::Busy;
}

bool LockFile::isAtPath() const {
    struct stat held {};
    struct stat atPath {};
    return m_fd >= 0 && ::fstat(m_fd, &held) == 0 && ::lstat(m_path.constData(), &atPath) == 0 &&
           sameFile(held, atPath);
}

QByteArray LockFile::read(qsizetype limit) const {
    QByteArray contents;
    if (m_fd < 0) {
        return contents;
    }
    contents.resize(limit);
    qsizetype filled = 0;
    while (filled < limit) {
        const ssize_t n = ::pread(m_fd, contents.data() + filled, size_t(limit - filled), off_t(filled));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        filled += n;
    }
    contents.truncate(filled);
    return contents;
}

bool LockFile::write(const QByteArray& contents) {
    if (m_fd < 0 || ::ftruncate(m_fd, 0) != 0) {
        return false;
    }
    qsizetype written = 0;
    while (written < contents.size()) {
        const ssize_t n =
            ::pwrite(m_fd, contents.constData() + written, size_t(contents.size() - written), off_t(written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += n;
    }
    return true;
}

void LockFile::remove() {
    if (m_fd >= 0) {
        ::unlink(m_path.constData());
    }
}

void LockFile::unlock() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool isPrivateDirectory(const QString& path) {
    struct stat info {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 && isPrivate(info);
}

bool makePrivateDirectory(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::lstat(native.constData(), &info) == 0 && isPrivate(info);
}

unsigned currentUserId() {
    return ::geteuid();
}

} // namespace orvelquin::platform

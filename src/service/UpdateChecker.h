#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;

namespace orvelquin {

// Asks the service which release is the latest; never fails, a failure is simply Unreachable.
class UpdateChecker {
public:
    static constexpr qint64 kMaxReplyBytes = 64 * 1024;

    struct Status {
        enum class Kind { UpToDate, Available, Unreachable };
        Kind kind = Kind::Unreachable;
        QString latestVersion; // set for Available only, exactly as the service sent it

        static Status upToDate() { return {Kind::UpToDate, {}}; }
        static Status available(QString version) { return {Kind::Available, std::move(version)}; }
        static Status unreachable() { return {Kind::Unreachable, {}}; }
        bool operator==(const Status&) const = default;
    };

    UpdateChecker(QUrl baseURL, QNetworkAccessManager& session,
                  std::chrono::milliseconds timeout = std::chrono::seconds(15));

    QCoro::Task<Status> check() const;

    // Numeric string order: runs of digits compare by value, everything else by character code,
    // and a prefix orders first. Negative, zero or positive like strcmp.
    static int compareVersions(QStringView a, QStringView b);
    static Status evaluate(const QString& runningVersion, int httpStatus, const QByteArray& body);

private:
    QUrl m_baseURL;
    QNetworkAccessManager* m_session;
    std::chrono::milliseconds m_timeout;
};

} // namespace orvelquin

#include "service/UpdateChecker.h"

#include "core/AppInfo.h"
#include "service/HttpExchange.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {
namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Compares two digit runs by value without converting, so any length works.
int compareDigitRuns(QStringView a, QStringView b) {
    while (a.size() > 1 && a.front() == u'0') {
        a = a.sliced(1);
    }
    while (b.size() > 1 && b.front() == u'0') {
        b = b.sliced(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b);
}

} // namespace

UpdateChecker::UpdateChecker(QUrl baseURL, QNetworkAccessManager& session, std::chrono::milliseconds timeout)
    : m_baseURL(std::move(baseURL))
    , m_session(&session)
    , m_timeout(timeout) {}

int UpdateChecker::compareVersions(QStringView a, QStringView b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && isDigit(a[ei])) {
                ++ei;
            }
            while (ej < b.size() && isDigit(b[ej])) {
                ++ej;
            }
            if (const int c = compareDigitRuns(a.sliced(i, ei - i), b.sliced(j, ej - j)); c != 0) {
                return c;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i].unicode() < b[j].unicode() ? -1 : 1;
        }
        ++i;
        ++j;
    }
    const qsizetype restA = a.size() - i;
    const qsizetype restB = b.size() - j;
    return restA == restB ? 0 : (restA < restB ? -1 : 1);
}

UpdateChecker::Status UpdateChecker::evaluate(const QString& runningVersion, int httpStatus, const QByteArray& body) {
    if (httpStatus != 200) {
        return Status::unreachable();
    }
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject()) {
        return Status::unreachable();
    }
    const QJsonValue latest = doc.object().value(u"latest_version"_s);
    if (!latest.isString() || latest.toString().isEmpty()) {
        return Status::unreachable();
    }
    if (compareVersions(runningVersion, latest.toString()) < 0) {
        return Status::available(latest.toString());
    }
    return Status::upToDate();
}

QCoro::Task<UpdateChecker::Status> UpdateChecker::check() const {
    const QUrl url =
        QUrl::fromEncoded(m_baseURL.toEncoded() + QByteArray("/api/desktop/releases/latest"), QUrl::StrictMode);
    const HttpResult result =
        co_await exchange(*m_session, QNetworkRequest(url), std::nullopt, Resend::Allowed, kMaxReplyBytes, m_timeout);
    if (!result.status) {
        co_return Status::unreachable();
    }
    co_return evaluate(AppInfo::version(), *result.status, result.body);
}

} // namespace orvelquin

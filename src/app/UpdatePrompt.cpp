#include "app/UpdatePrompt.h"

#include "core/AppInfo.h"
#include "platform/AlertPresenter.h"
#include "service/UpdateChecker.h"

#include <QPointer>

namespace orvelquin {

UpdatePrompt::UpdatePrompt(UpdateChecker& checker, platform::AlertPresenter& alerts,
                           std::function<void()> openDownloadPage, QObject* parent)
    : QObject(parent)
    , m_checker(checker)
    , m_alerts(alerts)
    , m_openDownloadPage(std::move(openDownloadPage)) {}

UpdatePrompt::~UpdatePrompt() = default;

QCoro::Task<> UpdatePrompt::checkAtLaunch() {
    QPointer<UpdatePrompt> self(this);
    const UpdateChecker::Status status = co_await m_checker.check();
    if (!self || m_closed) {
        co_return;
    }
    if (status.kind == UpdateChecker::Status::Kind::Available) {
        m_pendingVersion = status.latestVersion;
        Q_EMIT pendingVersionChanged();
    }
    Q_EMIT finished();
}

QCoro::Task<> UpdatePrompt::checkByHand() {
    QPointer<UpdatePrompt> self(this);
    const UpdateChecker::Status status = co_await m_checker.check();
    if (!self || m_closed) {
        co_return;
    }
    switch (status.kind) {
    case UpdateChecker::Status::Kind::UpToDate:
        m_alerts.run(
            {QStringLiteral("Up to date"),
             QStringLiteral("Orvelquin Desktop ") + AppInfo::version() + QStringLiteral(" is the latest version."),
             {}});
        break;
    case UpdateChecker::Status::Kind::Unreachable:
        m_alerts.run({QStringLiteral("Unable to check"),
                      QStringLiteral("The update service is unreachable. Check your connection and try again."),
                      {}});
        break;
    case UpdateChecker::Status::Kind::Available:
        if (m_alerts.run({QStringLiteral("Update available"),
                          QStringLiteral("Version ") + status.latestVersion +
                              QStringLiteral(" is available. Download the latest developer preview from the Orvelquin "
                                             "download page."),
                          {QStringLiteral("Open download page"), QStringLiteral("Later")}}) == 0) {
            m_openDownloadPage();
        }
        break;
    }
    Q_EMIT finished();
}

} // namespace orvelquin

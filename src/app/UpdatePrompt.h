#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace orvelquin {

class UpdateChecker;

namespace platform {
class AlertPresenter;
}

// The release check at launch, which quietly records a newer version for the menu, and the one
// asked for from the menu, which always answers with a dialog.
class UpdatePrompt : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdatePrompt)

public:
    UpdatePrompt(UpdateChecker& checker, platform::AlertPresenter& alerts, std::function<void()> openDownloadPage,
                 QObject* parent = nullptr);
    ~UpdatePrompt() override;

    QCoro::Task<> checkAtLaunch();
    QCoro::Task<> checkByHand();
    // From now on nothing is shown or recorded: the owner is being torn down.
    void close() { m_closed = true; }

    // The newer version the launch check found.
    std::optional<QString> pendingVersion() const { return m_pendingVersion; }

Q_SIGNALS:
    void pendingVersionChanged();
    void finished();

private:
    UpdateChecker& m_checker;
    platform::AlertPresenter& m_alerts;
    std::function<void()> m_openDownloadPage;
    std::optional<QString> m_pendingVersion;
    bool m_closed = false;
};

} // namespace orvelquin

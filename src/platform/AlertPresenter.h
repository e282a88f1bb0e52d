#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace orvelquin::platform {

struct Alert {
    enum class Severity { Information, Warning };

    QString message;
    QString informative;
    // Button titles, first is the default; empty means the platform's single "OK".
    QStringList buttons;
    // Warning for failures; decides the icon the desktop shows beside the texts.
    Severity severity = Severity::Information;
};

struct SignInEntry {
    QString email;
    QString password;
};

// Every modal dialog the agent shows goes through here, so flows that end in one are tested
// with a scripted presenter instead of a person.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Blocks until dismissed; returns the index of the pressed button (0 for the default), or -1.
    virtual int run(const Alert& alert) = 0;
    // The sign-in prompt; nothing when the user cancels. Texts are returned exactly as typed.
    // `initialEmail` fills the e-mail field, so a retry after a failure need not retype it.
    virtual std::optional<SignInEntry> askSignIn(const QString& message, const QString& informative,
                                                 const QString& initialEmail) = 0;
};

std::unique_ptr<AlertPresenter> createAlertPresenter();

} // namespace orvelquin::platform

#pragma once

#include <QDBusConnection>
#include <QString>

#include <memory>

namespace orvelquin::platform {

struct Notification {
    enum class Urgency { Low, Normal, Critical };

    QString summary;
    QString body;
    // A themed icon name.
    QString icon = QStringLiteral("com.orvelquin.desktop");
    Urgency urgency = Urgency::Normal;
};

// A passing word on the desktop for moments the user should hear about without opening the menu.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Returns at once. Without a notification service nothing is shown and nothing fails.
    virtual void notify(const Notification& notification) = 0;
};

// Through the desktop's notification service (org.freedesktop.Notifications) on `bus`.
std::unique_ptr<Notifier> createNotifier(const QDBusConnection& bus = QDBusConnection::sessionBus());

} // namespace orvelquin::platform

#include "platform/Notifications.h"

#include <QDBusMessage>
#include <QVariantMap>

namespace orvelquin::platform {
namespace {

class DesktopNotifier final : public Notifier {
public:
    explicit DesktopNotifier(const QDBusConnection& bus)
        : m_bus(bus) {}

    void notify(const Notification& notification) override {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        const QVariantMap hints{
            // Lets the desktop's per-application settings silence or style them.
            {QStringLiteral("desktop-entry"), QStringLiteral("com.orvelquin.desktop")},
            {QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(notification.urgency))},
        };
        call << QStringLiteral("Orvelquin Desktop") << 0U << notification.icon << notification.summary
             << notification.body << QStringList() << hints << -1;
        // Sent, never waited for: a missing or hung service must not hold up the agent, and its
        // reply (an id, or an error) is of no use.
        m_bus.send(call);
    }

private:
    QDBusConnection m_bus;
};

} // namespace

std::unique_ptr<Notifier> createNotifier(const QDBusConnection& bus) {
    return std::make_unique<DesktopNotifier>(bus);
}

} // namespace orvelquin::platform

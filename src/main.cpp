#include "app/AppDelegate.h"
#include "platform/ShutdownSignals.h"
#include "platform/WindowSystem.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    // Set only for the application object, so that programs the agent starts choose for themselves.
    const QByteArray windowSystem = orvelquin::platform::preferredWindowSystem();
    if (!windowSystem.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", windowSystem);
    }
    QApplication app(argc, argv);
    if (!windowSystem.isEmpty()) {
        qunsetenv("QT_QPA_PLATFORM");
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Orvelquin"));
    // Panels show the application name as the status item's title.
    QCoreApplication::setApplicationName(QStringLiteral("Orvelquin Desktop"));
    // Ties dialogs to the installed desktop entry (its icon, and the Wayland app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.orvelquin.desktop"));

    orvelquin::AppDelegate delegate;
    orvelquin::platform::ShutdownSignals shutdownSignals;
    QObject::connect(&shutdownSignals, &orvelquin::platform::ShutdownSignals::shutdownRequested, &delegate,
                     &orvelquin::AppDelegate::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &orvelquin::AppDelegate::applicationWillTerminate);
    QTimer::singleShot(0, &delegate, &orvelquin::AppDelegate::applicationDidFinishLaunching);

    QApplication::exec();
    return 0;
}

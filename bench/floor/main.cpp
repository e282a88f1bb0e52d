// A tray icon with a small menu and nothing else, made the way the agent makes its own, so that
// scripts/bench can subtract what Qt and the desktop cost any tray program.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Orvelquin"_s);
    QCoreApplication::setApplicationName(u"orvelquin-bench-floor"_s);
    QApplication::setQuitOnLastWindowClosed(false);

    QMenu menu;
    menu.addAction(u"Status: idle"_s)->setEnabled(false);
    menu.addSeparator();
    menu.addAction(u"Open Console"_s);
    menu.addAction(u"Check for Updates\u2026"_s);
    menu.addSeparator();
    QObject::connect(menu.addAction(u"Quit"_s), &QAction::triggered, &app, &QCoreApplication::quit);

    QSystemTrayIcon tray;
    QIcon icon = QIcon::fromTheme(u"orvelquin-desktop-symbolic"_s, QIcon(u":/icons/orvelquin-desktop-symbolic.svg"_s));
    icon.setIsMask(true);
    tray.setIcon(icon);
    tray.setToolTip(u"Orvelquin"_s);
    tray.setContextMenu(&menu);
    tray.show();

    return QApplication::exec();
}

#include "platform/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace orvelquin::platform {
namespace {

QString autostartPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/orvelquin-desktop.desktop");
}

// The program to start at login. An AppImage runs from a temporary mount, so its own stable
// path is named instead of the running binary.
QString stableProgramPath() {
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty() && QFileInfo(appImage).isExecutable()) {
        return appImage;
    }
    const QString canonical = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    return canonical.isEmpty() ? QCoreApplication::applicationFilePath() : canonical;
}

// Quoting of the desktop entry Exec key: a quoted argument escapes " ` $ \ with a backslash,
// "%" is doubled, and the whole value is then escaped once more as a desktop entry string.
QString execArgument(const QString& path) {
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
    }
    quoted.replace(u'%', QStringLiteral("%%"));
    quoted = u'"' + quoted + u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

class AutostartEntry final : public LoginItem {
public:
    bool registerItem(QString* error) override {
        const QString path = autostartPath();
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            *error = QStringLiteral("Cannot create %1").arg(QFileInfo(path).absolutePath());
            return false;
        }
        const QString program = stableProgramPath();
        if (program.contains(u'\n') || program.contains(u'\r')) {
            *error = QStringLiteral("The program path cannot be written to an autostart entry");
            return false;
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            *error = file.errorString();
            return false;
        }
        const QString entry = QStringLiteral("[Desktop Entry]\n"
                                             "Type=Application\n"
                                             "Name=Orvelquin Desktop\n"
                                             "Comment=Keeps this computer online as an Orvelquin device\n"
                                             "Exec=%1\n"
                                             "Icon=com.orvelquin.desktop\n"
                                             "Terminal=false\n"
                                             "NoDisplay=true\n"
                                             "X-GNOME-Autostart-enabled=true\n")
                                  .arg(execArgument(program));
        file.write(entry.toUtf8());
        if (!file.commit()) {
            *error = file.errorString();
            return false;
        }
        return true;
    }

    bool unregisterItem(QString* error) override {
        QFile file(autostartPath());
        if (!file.exists() || file.remove()) {
            return true;
        }
        *error = file.errorString();
        return false;
    }
};

} // namespace

std::unique_ptr<LoginItem> createLoginItem() {
    return std::make_unique<AutostartEntry>();
}

} // namespace orvelquin::platform

#include "core/AppInfo.h"

#include "AppInfoConfig.h"

namespace orvelquin::AppInfo {

QString version() {
    static const QString text = [] {
        const QString configured = QStringLiteral(ORVELQUIN_VERSION).trimmed();
        return configured.isEmpty() ? QStringLiteral("0.3.1-dev") : configured;
    }();
    return text;
}

QString serviceBaseURL() {
    return QStringLiteral(ORVELQUIN_SERVICE_URL);
}

} // namespace orvelquin::AppInfo

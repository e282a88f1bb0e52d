#include "app/RuntimeTelemetry.h"

#include "core/AppInfo.h"
#include "host/SystemInfo.h"
#include "runtime/SellerRuntimeController.h"

#include <cmath>

namespace orvelquin {

double roundToTenth(double value) {
    return std::round(value * 10.0) / 10.0;
}

QJsonObject telemetryReport(const RuntimeSnapshot& s) {
    QJsonObject report{
        {QStringLiteral("installed"), s.installed},
        {QStringLiteral("version"), AppInfo::version()},
        {QStringLiteral("state"), s.state},
        {QStringLiteral("provider_mode"), QStringLiteral("fake")},
        {QStringLiteral("seller_enabled"), false},
        {QStringLiteral("marketplace_enabled"), false},
        {QStringLiteral("ram_usage_bytes"), static_cast<qint64>(s.activeRamBytes)},
    };
    if (s.running) {
        report.insert(QStringLiteral("uptime_seconds"), s.uptimeSeconds);
        if (s.cpuUsagePercent) {
            report.insert(QStringLiteral("cpu_usage_pct"), roundToTenth(*s.cpuUsagePercent));
        }
    }
    if (s.pid) {
        report.insert(QStringLiteral("pid"), *s.pid);
    }
    if (s.startedAt) {
        report.insert(QStringLiteral("started_at"),
                      s.startedAt->toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")));
    }
    if (s.lastTransition) {
        report.insert(QStringLiteral("last_transition"), *s.lastTransition);
    }
    if (s.lastError) {
        report.insert(QStringLiteral("last_error"), *s.lastError);
    }
    if (s.installed) {
        report.insert(QStringLiteral("health"),
                      s.running ? QStringLiteral("available") : QStringLiteral("unavailable"));
    }
    return report;
}

QJsonObject runtimeTelemetry(SellerRuntimeController& runtime, const SystemInfo& systemInfo) {
    RuntimeSnapshot s;
    s.installed = runtime.mode() != SellerRuntimeController::Mode::Unavailable;
    s.state = SellerRuntimeController::stateLabel(runtime.state());
    s.running = runtime.state() == SellerRuntimeController::RuntimeState::Running;
    if (s.running) {
        s.uptimeSeconds = runtime.uptimeSeconds();
        s.cpuUsagePercent = runtime.cpuUsagePercent();
    }
    s.pid = runtime.pid();
    s.startedAt = runtime.startedAt();
    s.lastTransition = runtime.lastTransition();
    s.lastError = runtime.lastError();
    s.activeRamBytes = systemInfo.activeRamBytes;
    return telemetryReport(s);
}

} // namespace orvelquin

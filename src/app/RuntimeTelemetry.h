#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace orvelquin {

class SellerRuntimeController;
struct SystemInfo;

// What one report says about the seller runtime; absent values are left out of the report.
struct RuntimeSnapshot {
    bool installed = false;
    QString state;
    bool running = false;
    qint64 uptimeSeconds = 0;
    std::optional<double> cpuUsagePercent;
    std::optional<qint64> pid;
    std::optional<QDateTime> startedAt;
    std::optional<QString> lastTransition;
    std::optional<QString> lastError;
    quint64 activeRamBytes = 0;
};

// One decimal, halves away from zero (12.345 → 12.3, 0.05 → 0.1, 99.95 → 100.0).
double roundToTenth(double value);

QJsonObject telemetryReport(const RuntimeSnapshot& snapshot);

// Takes a processor sample of a running runtime, which starts a new measuring window.
QJsonObject runtimeTelemetry(SellerRuntimeController& runtime, const SystemInfo& systemInfo);

} // namespace orvelquin

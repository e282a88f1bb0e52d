#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QProcess;

namespace orvelquin {

// Launches the seller runtime on request, records what happens to it and measures it. It never
// restarts the runtime by itself; it reports through its state, never by throwing.
class SellerRuntimeController : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SellerRuntimeController)

public:
    enum class Mode { Bundled, CustomPath, Unavailable };
    enum class RuntimeState { Stopped, Running, Crashed, Error };

    struct Hooks {
        // Where the bundled runtime is looked for: <exe dir>/../share/orvelquin-desktop by default.
        QString resourceDirectory;
        std::function<QDateTime()> now;
        std::function<std::optional<quint64>(qint64 pid)> cpuTimeNs;
        // How long a runtime asked to stop may take before its process group is killed.
        std::chrono::milliseconds shutdownGrace{3000};
    };

    explicit SellerRuntimeController(QObject* parent = nullptr);
    SellerRuntimeController(Hooks hooks, QObject* parent = nullptr);
    ~SellerRuntimeController() override;

    std::optional<QString> bundledRuntimePath() const;
    Mode mode() const;

    bool start(const QString& baseURL, const QString& deviceToken, int capacity);
    void stop();

    RuntimeState state() const { return m_state; }
    static QString stateLabel(RuntimeState state);
    static QString modeLabel(Mode mode);
    std::optional<QString> lastError() const { return m_lastError; }
    std::optional<QDateTime> startedAt() const { return m_startedAt; }
    std::optional<QString> lastTransition() const { return m_lastTransition; }
    std::optional<qint64> pid() const;

    qint64 uptimeSeconds() const;
    // Processor use since the previous call, in percent of one core (0 to 100); the first call
    // after a start has nothing to compare with.
    std::optional<double> cpuUsagePercent();

    // Trimmed, and cut to 256 user-perceived characters plus "…".
    static QString sanitize(const QString& text);

Q_SIGNALS:
    void stateChanged();

private:
    struct CpuSample {
        quint64 ticks;
        QDateTime time;
    };
    void onFinished(QProcess* exited);

    Hooks m_hooks;
    QProcess* m_process = nullptr;
    RuntimeState m_state = RuntimeState::Stopped;
    std::optional<QString> m_lastError;
    std::optional<QDateTime> m_startedAt;
    std::optional<QString> m_lastTransition;
    bool m_deliberatelyStopping = false;
    std::optional<CpuSample> m_lastCPUSample;
};

} // namespace orvelquin

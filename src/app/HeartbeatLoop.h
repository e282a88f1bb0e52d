#pragma once

#include "app/HeartbeatPolicy.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace orvelquin {

// Keeps the device reported online: a one-shot timer re-armed after every heartbeat, 30 s while
// the service answers and doubling to 300 s while it does not, and the connection state that the
// outcomes set.
class HeartbeatLoop : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeartbeatLoop)

public:
    struct Intervals {
        double normal = HeartbeatPolicy::kNormalInterval;
        double maximum = HeartbeatPolicy::kMaximumInterval;
        // How soon a heartbeat goes out once the network is back or the computer woke up.
        double early = 1.0;
    };
    // The device token the next heartbeat is for, absent while signed out.
    using TokenSource = std::function<std::optional<QString>()>;
    // Sends one heartbeat with the token; throws the service client's error when it fails.
    using Sender = std::function<QCoro::Task<>(QString deviceToken)>;

    HeartbeatLoop(Intervals intervals, TokenSource token, Sender send, QObject* parent = nullptr);
    ~HeartbeatLoop() override;

    // (Re)arms the timer with the current interval.
    void start();
    void stop();
    // Sends one heartbeat at once, if a device token is held, and applies its outcome.
    QCoro::Task<> beatNow();
    enum class Wake { NetworkBack, Resumed };
    // The network came back and the last heartbeat failed, or the computer woke up and the next
    // heartbeat is far off: beat within moments instead of at the end of the back-off. At most
    // once per normal interval, so a flapping network causes no burst; never while signed out
    // or while a heartbeat is in flight.
    void beatEarly(Wake wake);
    // From now on nothing is applied: the owner is being torn down.
    void close() { m_closed = true; }

    bool isArmed() const { return m_timer.isActive(); }
    // How long until the armed timer fires.
    std::chrono::milliseconds nextBeatIn() const { return std::chrono::milliseconds(m_timer.remainingTime()); }
    ConnectionState state() const { return m_state; }
    QString lastHeartbeat() const { return m_lastHeartbeat; }
    double interval() const { return m_interval; }

Q_SIGNALS:
    // An outcome changed the state, the time of the last heartbeat or the interval.
    void outcomeApplied();
    // Each heartbeat's end: applied, or dropped because the session it was sent for has ended.
    void finished();

private:
    Intervals m_intervals;
    TokenSource m_token;
    Sender m_send;
    QTimer m_timer;
    double m_interval;
    ConnectionState m_state = ConnectionState::Disconnected;
    QString m_lastHeartbeat = QStringLiteral("\u2014");
    bool m_inFlight = false;
    QElapsedTimer m_sinceEarly;
    bool m_closed = false;
};

} // namespace orvelquin

#include "app/HeartbeatLoop.h"

#include "core/Logging.h"
#include "service/ServiceErrors.h"

#include <QDateTime>
#include <QPointer>

#include <chrono>

namespace orvelquin {

HeartbeatLoop::HeartbeatLoop(Intervals intervals, TokenSource token, Sender send, QObject* parent)
    : QObject(parent)
    , m_intervals(intervals)
    , m_token(std::move(token))
    , m_send(std::move(send))
    , m_interval(intervals.normal) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // Without a device token the loop ends here: nothing is sent and nothing re-armed.
        if (m_token()) {
            beatNow();
        }
    });
}

HeartbeatLoop::~HeartbeatLoop() = default;

void HeartbeatLoop::start() {
    m_timer.start(std::chrono::milliseconds(static_cast<qint64>(m_interval * 1000.0)));
}

void HeartbeatLoop::stop() {
    m_timer.stop();
}

void HeartbeatLoop::beatEarly(Wake wake) {
    // Not armed: signed out, the loop ended, or a heartbeat is on its way.
    if (!m_token() || !m_timer.isActive() || m_inFlight || m_closed) {
        return;
    }
    const auto early = std::chrono::milliseconds(static_cast<qint64>(m_intervals.early * 1000.0));
    const bool failing = m_state != ConnectionState::Connected && m_state != ConnectionState::Disconnected;
    const bool farOff = std::chrono::milliseconds(m_timer.remainingTime()) > early;
    if (!farOff || (wake == Wake::NetworkBack && !failing)) {
        return;
    }
    if (m_sinceEarly.isValid() && m_sinceEarly.elapsed() < static_cast<qint64>(m_intervals.normal * 1000.0)) {
        return;
    }
    m_sinceEarly.start();
    qCDebug(lcHeartbeat) << (wake == Wake::NetworkBack ? "network back:" : "resumed:") << "heartbeat in"
                         << early.count() << "ms";
    m_timer.start(early);
}

QCoro::Task<> HeartbeatLoop::beatNow() {
    const std::optional<QString> token = m_token();
    if (!token) {
        co_return;
    }
    QPointer<HeartbeatLoop> self(this);
    std::optional<ConnectionState> failure;
    m_inFlight = true;
    try {
        co_await m_send(*token);
    } catch (const ServiceError& error) {
        failure = HeartbeatPolicy::classifyFailure(error);
    }
    if (!self || m_closed) {
        co_return;
    }
    m_inFlight = false;
    // Only the session it was sent for may take the outcome: after a sign-out, or a sign-in
    // with a new device token, an old heartbeat's answer says nothing about the current one.
    if (m_token() != token) {
        Q_EMIT finished();
        co_return;
    }
    if (!failure) {
        m_lastHeartbeat = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
        m_state = ConnectionState::Connected;
        m_interval = m_intervals.normal;
    } else {
        m_state = *failure;
        m_lastHeartbeat = QStringLiteral("\u2014");
        m_interval = HeartbeatPolicy::backedOff(m_interval, m_intervals.maximum);
    }
    qCDebug(lcHeartbeat).noquote() << displayWord(m_state) << "- next in" << m_interval << "s";
    Q_EMIT outcomeApplied();
    start();
    Q_EMIT finished();
}

} // namespace orvelquin

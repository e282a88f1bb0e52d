#include "runtime/SellerRuntimeController.h"

#include "core/Logging.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "platform/ChildProcess.h"
#include "platform/ProcessCpuTime.h"
#include "platform/ProcessProbe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <utility>

namespace orvelquin {
namespace {

const QString kRuntimeRelativePath = QStringLiteral("runtime/orvelquin-seller-runtime");

SellerRuntimeController::Hooks defaultHooks() {
    return {QCoreApplication::applicationDirPath() + QStringLiteral("/../share/orvelquin-desktop"),
            [] { return QDateTime::currentDateTime(); }, &platform::processCpuTimeNs};
}

std::optional<QString> configuredScript() {
    const QVariant value = userSettings().value(SettingsKeys::sellerRuntimePath);
    if (!value.isValid() || !value.canConvert<QString>()) {
        return std::nullopt;
    }
    const QString path = value.toString();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return std::nullopt;
    }
    return path;
}

// The runtime leads its own process group; should it not, the runtime itself gets the signal.
void signalRuntime(QProcess* process, platform::GroupSignal signal) {
    if (!platform::signalProcessGroup(process->processId(), signal)) {
        signal == platform::GroupSignal::Kill ? process->kill() : process->terminate();
    }
}

} // namespace

SellerRuntimeController::SellerRuntimeController(QObject* parent)
    : SellerRuntimeController(defaultHooks(), parent) {}

SellerRuntimeController::SellerRuntimeController(Hooks hooks, QObject* parent)
    : QObject(parent)
    , m_hooks(std::move(hooks)) {}

SellerRuntimeController::~SellerRuntimeController() {
    // A runtime asked to stop gets the grace to finish its SIGTERM handling: QProcess would
    // otherwise SIGKILL it, and only it, as soon as its object goes away with the agent.
    QList<QProcess*> running;
    for (QProcess* process : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            signalRuntime(process, platform::GroupSignal::Terminate);
            running.append(process);
        }
    }
    const QDeadlineTimer grace(m_hooks.shutdownGrace);
    for (QProcess* process : std::as_const(running)) {
        if (!process->waitForFinished(static_cast<int>(grace.remainingTime()))) {
            signalRuntime(process, platform::GroupSignal::Kill);
            process->waitForFinished(static_cast<int>(m_hooks.shutdownGrace.count()));
        }
    }
}

std::optional<QString> SellerRuntimeController::bundledRuntimePath() const {
    if (m_hooks.resourceDirectory.isEmpty()) {
        return std::nullopt;
    }
    const QString path = QDir::cleanPath(m_hooks.resourceDirectory + u'/' + kRuntimeRelativePath);
    return QFileInfo::exists(path) ? std::optional(path) : std::nullopt;
}

SellerRuntimeController::Mode SellerRuntimeController::mode() const {
    if (bundledRuntimePath()) {
        return Mode::Bundled;
    }
    return configuredScript() ? Mode::CustomPath : Mode::Unavailable;
}

QString SellerRuntimeController::stateLabel(RuntimeState state) {
    switch (state) {
    case RuntimeState::Stopped:
        return QStringLiteral("stopped");
    case RuntimeState::Running:
        return QStringLiteral("running");
    case RuntimeState::Crashed:
        return QStringLiteral("crashed");
    case RuntimeState::Error:
        break;
    }
    return QStringLiteral("error");
}

QString SellerRuntimeController::modeLabel(Mode mode) {
    switch (mode) {
    case Mode::Bundled:
        return QStringLiteral("bundled");
    case Mode::CustomPath:
        return QStringLiteral("custom path");
    case Mode::Unavailable:
        break;
    }
    return QStringLiteral("unavailable");
}

std::optional<qint64> SellerRuntimeController::pid() const {
    if (!m_process) {
        return std::nullopt;
    }
    return m_process->processId();
}

bool SellerRuntimeController::start(const QString& baseURL, const QString& deviceToken, int capacity) {
    stop();

    const QString capacityText = QString::number(capacity);
    QString program;
    QStringList arguments;
    if (const auto bundled = bundledRuntimePath()) {
        program = *bundled;
    } else if (const auto script = configuredScript()) {
        program = QStringLiteral("/usr/bin/env");
        arguments << QStringLiteral("python3") << *script;
    } else {
        m_state = RuntimeState::Error;
        m_lastError = QStringLiteral("Runtime not installed");
        qCDebug(lcRuntime) << "no runtime: none bundled and no script configured";
        Q_EMIT stateChanged();
        return false;
    }
    arguments << QStringLiteral("--provider") << QStringLiteral("fake") << QStringLiteral("--capacity") << capacityText;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORVELQUIN_BASE_URL"), baseURL);
    env.insert(QStringLiteral("ORVELQUIN_SELLER_JWT"), deviceToken);
    env.insert(QStringLiteral("ORVELQUIN_SELLER_PROVIDER"), QStringLiteral("fake"));
    env.insert(QStringLiteral("ORVELQUIN_SELLER_CAPACITY"), capacityText);
    env.insert(QStringLiteral("ORVELQUIN_SELLER_SELL_ENABLED"), QStringLiteral("false"));

    auto* process = new QProcess(this);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setProcessEnvironment(env);
    // Nobody reads the runtime's output; a pipe left unread would block a chatty runtime. Nobody
    // writes to its input either, and an open pipe there would keep it waiting for nothing.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    // The runtime and whatever it starts hold the device token: as one process group they end
    // together on stop, at exit and with an agent that crashed.
    const qint64 agent = platform::currentProcessId();
    const int lifeline = platform::agentLifeline();
    process->setChildProcessModifier([agent, lifeline] { platform::prepareGroupLeaderChild(agent, lifeline); });
    connect(process, &QProcess::finished, this, [this, process] { onFinished(process); });

    process->start();
    if (!process->waitForStarted()) {
        m_state = RuntimeState::Error;
        m_lastError = sanitize(process->errorString());
        m_lastTransition = QStringLiteral("error");
        qCDebug(lcRuntime).noquote() << "starting" << program << "failed:" << *m_lastError;
        process->disconnect(this);
        process->deleteLater();
        Q_EMIT stateChanged();
        return false;
    }
    // The program and its arguments only: the environment holds the device token.
    qCDebug(lcRuntime).noquote() << "started" << program << arguments.join(u' ') << "as pid" << process->processId();
    m_process = process;
    m_state = RuntimeState::Running;
    m_startedAt = m_hooks.now();
    m_lastCPUSample.reset();
    m_lastError.reset();
    m_lastTransition = QStringLiteral("started");
    m_deliberatelyStopping = false;
    Q_EMIT stateChanged();
    return true;
}

void SellerRuntimeController::stop() {
    m_deliberatelyStopping = true;
    if (m_process && m_process->state() != QProcess::NotRunning) {
        // The object lives on until its own exit notification arrives. A runtime that ignores
        // SIGTERM would go on selling with the device token while the menu says stopped; once it
        // has exited, the warden in its group ends whatever it left behind.
        QProcess* stopping = m_process;
        qCDebug(lcRuntime) << "stopping pid" << stopping->processId();
        signalRuntime(stopping, platform::GroupSignal::Terminate);
        QTimer::singleShot(m_hooks.shutdownGrace, stopping, [stopping] {
            if (stopping->state() != QProcess::NotRunning) {
                qCDebug(lcRuntime) << "pid" << stopping->processId() << "outlived its grace: killing its group";
                signalRuntime(stopping, platform::GroupSignal::Kill);
            }
        });
    }
    m_process = nullptr;
    m_state = RuntimeState::Stopped;
    m_lastTransition = QStringLiteral("stopped");
    m_lastCPUSample.reset();
    Q_EMIT stateChanged();
}

void SellerRuntimeController::onFinished(QProcess* exited) {
    exited->deleteLater();
    if (exited->exitStatus() == QProcess::CrashExit) {
        qCDebug(lcRuntime) << "runtime ended by a signal" << (exited == m_process ? "" : "(an earlier one: ignored)");
    } else {
        qCDebug(lcRuntime) << "runtime exited with code" << exited->exitCode()
                           << (exited == m_process ? "" : "(an earlier one: ignored)");
    }
    // Only the current runtime's exit means anything: a runtime stopped earlier may finish
    // exiting after a new one started, and must not touch the new one's state.
    if (exited != m_process) {
        return;
    }
    m_process = nullptr;
    if (m_deliberatelyStopping) {
        m_state = RuntimeState::Stopped;
        m_lastTransition = QStringLiteral("stopped");
    } else {
        m_state = RuntimeState::Crashed;
        m_lastError = QStringLiteral("Runtime exited unexpectedly");
        m_lastTransition = QStringLiteral("crashed");
    }
    m_deliberatelyStopping = false;
    Q_EMIT stateChanged();
}

qint64 SellerRuntimeController::uptimeSeconds() const {
    if (m_state != RuntimeState::Running || !m_startedAt) {
        return 0;
    }
    const qint64 ms = m_startedAt->msecsTo(m_hooks.now());
    return ms > 0 ? ms / 1000 : 0;
}

std::optional<double> SellerRuntimeController::cpuUsagePercent() {
    if (m_state != RuntimeState::Running || !m_process) {
        m_lastCPUSample.reset();
        return std::nullopt;
    }
    const std::optional<quint64> ticks = m_hooks.cpuTimeNs(m_process->processId());
    if (!ticks) {
        return std::nullopt;
    }
    const QDateTime now = m_hooks.now();
    const std::optional<CpuSample> previous = m_lastCPUSample;
    m_lastCPUSample = CpuSample{*ticks, now};
    if (!previous) {
        return std::nullopt;
    }
    const double elapsed = static_cast<double>(previous->time.msecsTo(now)) / 1000.0;
    if (elapsed <= 0) {
        return std::nullopt;
    }
    // Counters only grow for one process; a smaller reading means a reused id, so report 0.
    const double used = *ticks > previous->ticks ? static_cast<double>(*ticks - previous->ticks) : 0.0;
    const double usage = used / 1e9 / elapsed * 100.0;
    return std::clamp(usage, 0.0, 100.0);
}

QString SellerRuntimeController::sanitize(const QString& text) {
    return truncateGraphemes(text.trimmed(), 256);
}

} // namespace orvelquin

#pragma once

// A session bus of the test's own with nothing activatable and, for PrivateKeyring, a GNOME
// Keyring on it whose collections the test makes, locks and unlocks with a known password. No
// unlock prompter runs unless the test installs one, so every prompt fails at once.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtDBus>

#include <optional>

// Stands in for the desktop's prompter (gcr-prompter): counts the prompts the keyring opens and
// leaves each open, unanswered, until it goes, as a user closing the window would.
class Prompter final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.keyring.internal.Prompter")

public:
    explicit Prompter(const QString& address)
        : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("prompter"))) {
        m_bus.registerObject(QStringLiteral("/org/gnome/keyring/Prompter"), this, QDBusConnection::ExportAllSlots);
        m_bus.registerService(QStringLiteral("org.gnome.keyring.SystemPrompter"));
    }
    ~Prompter() override { QDBusConnection::disconnectFromBus(QStringLiteral("prompter")); }
    int opened = 0;

public Q_SLOTS:
    void BeginPrompting(const QDBusObjectPath&) { ++opened; }
    void StopPrompting(const QDBusObjectPath&) {}

private:
    QDBusConnection m_bus;
};

class PrivateBus {
public:
    PrivateBus() {
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        config.open(QIODevice::WriteOnly) &&
            config.write("<busconfig><listen>unix:dir=" + QFile::encodeName(m_dir.path()) +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                         "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close(); // an unwritten configuration leaves the bus without an address
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (m_bus.waitForStarted() && m_bus.waitForReadyRead(10000)) {
            address = QString::fromUtf8(m_bus.readLine().trimmed());
        }
    }
    ~PrivateBus() { m_bus.kill(), m_bus.waitForFinished(); }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        return env;
    }
    QString address;

protected:
    QTemporaryDir m_dir;
    QProcess m_bus;
};

class PrivateKeyring : public PrivateBus {
public:
    PrivateKeyring() {
        QProcessEnvironment env = environment();
        for (const char* dir : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "HOME"}) {
            env.insert(QString::fromLatin1(dir), m_dir.path());
        }
        m_daemon.setProcessEnvironment(env);
        m_daemon.start(
            QStringLiteral("gnome-keyring-daemon"),
            {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        m_daemon.waitForStarted();
        m_daemon.write(kPassword);
        m_daemon.closeWriteChannel();
        m_connection = QDBusConnection::connectToBus(address, QStringLiteral("private-keyring"));
        (void)QTest::qWaitFor([this] { return m_connection.interface()->isServiceRegistered(kSecrets).value(); },
                              10000);
        const QDBusMessage opened = call(u"OpenSession", {u"plain"_qs, QVariant::fromValue(QDBusVariant(QString()))});
        m_session = qvariant_cast<QDBusObjectPath>(opened.arguments().value(1));
    }
    ~PrivateKeyring() {
        QDBusConnection::disconnectFromBus(QStringLiteral("private-keyring"));
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    bool isReady() const { return !m_session.path().isEmpty(); }
    static QString login() { return QStringLiteral("/org/freedesktop/secrets/collection/login"); }

    QString createCollection(const QString& label) {
        const QVariantMap properties{{QStringLiteral("org.freedesktop.Secret.Collection.Label"), label}};
        return qvariant_cast<QDBusObjectPath>(
                   call(u"CreateWithMasterPassword", {properties, password()}, kInternal).arguments().value(0))
            .path();
    }
    bool lock(const QString& collection) {
        return ok(call(u"Lock", {QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(collection)})}));
    }
    bool unlock(const QString& collection) {
        return ok(call(u"UnlockWithMasterPassword", {QVariant::fromValue(QDBusObjectPath(collection)), password()},
                       kInternal));
    }
    bool setDefault(const QString& collection) {
        return ok(call(u"SetAlias", {u"default"_qs, QVariant::fromValue(QDBusObjectPath(collection))}));
    }

    // `secret-tool store`, as a user or another program would write an item, into `collection`.
    bool secretTool(const QString& collection, const QString& account, const QByteArray& value) {
        return tool({u"store"_qs, u"--label=by hand"_qs, u"--collection="_qs + collection}, account, value).has_value();
    }

    // The value of every item for the account, in keyrings that are unlocked.
    QList<QByteArray> values(const QString& account) {
        static const QRegularExpression secret(QStringLiteral("\nsecret = (.*)\ncreated = "),
                                               QRegularExpression::DotMatchesEverythingOption |
                                                   QRegularExpression::InvertedGreedinessOption);
        QList<QByteArray> result;
        for (const auto& match :
             secret.globalMatch(QString::fromUtf8(tool({u"search"_qs, u"--all"_qs}, account).value_or("")))) {
            result << match.captured(1).toUtf8();
        }
        return result;
    }

private:
    static constexpr auto kSecrets = QLatin1StringView("org.freedesktop.secrets");
    static constexpr auto kInternal = QLatin1StringView("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface");
    static constexpr const char* kPassword = "keyring-password";
    static bool ok(const QDBusMessage& reply) { return reply.type() == QDBusMessage::ReplyMessage; }
    QDBusMessage call(QStringView method, const QVariantList& arguments,
                      QLatin1StringView interface = QLatin1StringView("org.freedesktop.Secret.Service")) {
        QDBusMessage message = QDBusMessage::createMethodCall(kSecrets, QStringLiteral("/org/freedesktop/secrets"),
                                                              interface, method.toString());
        message.setArguments(arguments);
        return m_connection.call(message, QDBus::Block, 10000);
    }
    std::optional<QByteArray> tool(QStringList arguments, const QString& account, const QByteArray& input = {}) {
        QProcess tool;
        tool.setProcessEnvironment(environment());
        tool.start(QStringLiteral("secret-tool"),
                   arguments << u"service"_qs << u"com.orvelquin.desktop"_qs << u"account"_qs << account);
        tool.write(input);
        tool.closeWriteChannel();
        return tool.waitForFinished(10000) && tool.exitCode() == 0 ? std::optional(tool.readAllStandardOutput())
                                                                   : std::nullopt;
    }
    // The keyring's password as a Secret Service secret, (oayays).
    QVariant password() const {
        QDBusArgument secret;
        secret.beginStructure();
        secret << m_session << QByteArray() << QByteArray(kPassword) << QStringLiteral("text/plain");
        secret.endStructure();
        return QVariant::fromValue(secret);
    }

    QProcess m_daemon;
    QDBusConnection m_connection{QString()};
    QDBusObjectPath m_session;
};

#pragma once

// A session bus of the test's own with nothing activatable and, unless asked for the bare bus, a
// GNOME Keyring on it whose collections the test makes, locks and unlocks with a known password.
// No unlock prompter runs unless the test installs one, so every prompt fails at once.
#include <QTest>
#include <QtDBus>

// Stands in for the desktop's prompter (gcr-prompter): counts the prompts the keyring opens and
// leaves each open, unanswered, until it goes, as a user closing the window would.
class Prompter final : public QDBusVirtualObject {
public:
    explicit Prompter(const QString& address)
        : m_dbus(QDBusConnection::connectToBus(address, u"prompter"_qs)) {
        m_dbus.registerVirtualObject(u"/org/gnome/keyring/Prompter"_qs, this);
        m_dbus.registerService(u"org.gnome.keyring.SystemPrompter"_qs);
    }
    ~Prompter() override { QDBusConnection::disconnectFromBus(u"prompter"_qs); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        opened += message.member() == u"BeginPrompting";
        return bus.send(message.createReply());
    }
    QString introspect(const QString&) const override { return {}; }
    int opened = 0;

private:
    QDBusConnection m_dbus;
};

class PrivateKeyring {
public:
    explicit PrivateKeyring(bool withKeyring = true) {
        QFile config(m_dir.filePath(u"bus.conf"_qs));
        config.open(QIODevice::WriteOnly) &&
            config.write("<busconfig><listen>unix:dir=" + QFile::encodeName(m_dir.path()) +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                         "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close(); // an unwritten configuration leaves the bus without an address
        m_dbus.startCommand(u"dbus-daemon --nofork --print-address=1 --config-file=\""_qs + config.fileName() + u'"');
        address = m_dbus.waitForReadyRead(10000) ? QString::fromUtf8(m_dbus.readLine().trimmed()) : QString();
        bus = QDBusConnection::connectToBus(address, u"private-keyring"_qs);
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, address);
        for (const char* dir : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "HOME"}) {
            environment.insert(QString::fromLatin1(dir), m_dir.path());
        }
        m_daemon.setProcessEnvironment(environment);
        if (withKeyring) {
            m_daemon.startCommand(u"gnome-keyring-daemon --foreground --unlock --components=secrets"_qs);
            m_daemon.write(kPassword), m_daemon.closeWriteChannel();
            (void)QTest::qWaitFor([this] { return bus.interface()->isServiceRegistered(kSecrets).value(); }, 10000);
            const QDBusMessage opened =
                call("OpenSession", {u"plain"_qs, QVariant::fromValue(QDBusVariant(QString()))});
            m_session = qvariant_cast<QDBusObjectPath>(opened.arguments().value(1));
        }
    }
    ~PrivateKeyring() {
        QDBusConnection::disconnectFromBus(u"private-keyring"_qs);
        m_daemon.kill(), m_dbus.kill(), m_daemon.waitForFinished(), m_dbus.waitForFinished();
    }
    bool isReady() const { return !m_session.path().isEmpty(); }
    static QString login() { return u"/org/freedesktop/secrets/collection/login"_qs; }
    QString createCollection(const QString& label) {
        const QVariantMap properties{{u"org.freedesktop.Secret.Collection.Label"_qs, label}};
        const QDBusMessage made = call("CreateWithMasterPassword", {properties, password()}, kInternal);
        return qvariant_cast<QDBusObjectPath>(made.arguments().value(0)).path();
    }
    bool lock(const QString& id) { return ok(call("Lock", {QVariant::fromValue(QList{QDBusObjectPath(id)})})); }
    bool unlock(const QString& id) { return ok(call("UnlockWithMasterPassword", {path(id), password()}, kInternal)); }
    bool setDefault(const QString& id) { return ok(call("SetAlias", {u"default"_qs, path(id)})); }
    // `secret-tool store`, as a user or another program would write an item, into `collection`.
    bool secretTool(const QString& collection, const QString& account, const QByteArray& value) {
        return tool({u"store"_qs, u"--label=by hand"_qs, u"--collection="_qs + collection}, account, value).has_value();
    }
    // The value of every item for the account, in keyrings that are unlocked.
    QList<QByteArray> values(const QString& account) {
        static const QRegularExpression secret(u"(?s)\nsecret = (.*?)\ncreated = "_qs);
        QList<QByteArray> result;
        for (const auto& match :
             secret.globalMatch(QString::fromUtf8(tool({u"search"_qs, u"--all"_qs}, account).value_or("")))) {
            result << match.captured(1).toUtf8();
        }
        return result;
    }

    QString address;
    QDBusConnection bus{QString()};
    // For programs on this bus: the bus, and the keyring's own directories (settings included).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

private:
    static constexpr auto kSecrets = QLatin1StringView("org.freedesktop.secrets");
    static constexpr auto kInternal = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";
    static constexpr const char* kPassword = "keyring-password";
    static bool ok(const QDBusMessage& reply) { return reply.type() == QDBusMessage::ReplyMessage; }
    static QVariant path(const QString& path) { return QVariant::fromValue(QDBusObjectPath(path)); }
    QDBusMessage call(const char* method, const QVariantList& arguments,
                      const char* interface = "org.freedesktop.Secret.Service") {
        return QDBusInterface(kSecrets, u"/org/freedesktop/secrets"_qs, QString::fromLatin1(interface), bus)
            .callWithArgumentList(QDBus::Block, QString::fromLatin1(method), arguments);
    }
    std::optional<QByteArray> tool(QStringList arguments, const QString& account, const QByteArray& input = {}) {
        QProcess tool;
        tool.setProcessEnvironment(environment);
        tool.start(u"secret-tool"_qs,
                   arguments << u"service"_qs << u"com.orvelquin.desktop"_qs << u"account"_qs << account);
        tool.write(input), tool.closeWriteChannel();
        return tool.waitForFinished(10000) && tool.exitCode() == 0 ? std::optional(tool.readAllStandardOutput())
                                                                   : std::nullopt;
    }
    // The keyring's password as a Secret Service secret, (oayays).
    QVariant password() const {
        QDBusArgument secret;
        secret.beginStructure(), secret << m_session << QByteArray() << QByteArray(kPassword) << u"text/plain"_qs;
        return secret.endStructure(), QVariant::fromValue(secret);
    }

    QTemporaryDir m_dir; // outlives the processes that use it
    QProcess m_dbus, m_daemon;
    QDBusObjectPath m_session;
};

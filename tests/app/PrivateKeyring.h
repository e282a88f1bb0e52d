#pragma once

// A session bus of the test's own with nothing activatable and, for PrivateKeyring, a GNOME
// Keyring on it whose collections the test makes, locks and unlocks with a known password. No
// unlock prompter runs unless the test installs one, so every prompt fails at once.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtDBus>

#include <utility>
#include <vector>

// Stands in for the desktop's prompter (gcr-prompter): counts the prompts the keyring opens and
// leaves each open, unanswered, for as long as it lives.
class Prompter final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.keyring.internal.Prompter")

public:
    explicit Prompter(QDBusConnection bus)
        : m_bus(std::move(bus)) {
        m_bus.registerObject(QStringLiteral("/org/gnome/keyring/Prompter"), this, QDBusConnection::ExportAllSlots);
        m_bus.registerService(QStringLiteral("org.gnome.keyring.SystemPrompter"));
    }
    ~Prompter() override {
        for (const auto& [caller, callback] : m_open) { // as a user closing the window would
            m_bus.call(QDBusMessage::createMethodCall(caller, callback.path(),
                                                      QStringLiteral("org.gnome.keyring.internal.Prompter.Callback"),
                                                      QStringLiteral("PromptDone")));
        }
        m_bus.unregisterService(QStringLiteral("org.gnome.keyring.SystemPrompter"));
        m_bus.unregisterObject(QStringLiteral("/org/gnome/keyring/Prompter"));
    }
    int opened = 0;

public Q_SLOTS:
    void BeginPrompting(const QDBusObjectPath& callback) {
        ++opened, m_open.emplace_back(message().service(), callback);
    }
    void StopPrompting(const QDBusObjectPath&) {}

private:
    QDBusConnection m_bus;
    std::vector<std::pair<QString, QDBusObjectPath>> m_open;
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
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QProcessEnvironment env = environment();
        for (const QString& dir : QStringList{u"XDG_RUNTIME_DIR"_qs, u"XDG_DATA_HOME"_qs, u"HOME"_qs}) {
            QDir(m_dir.path()).mkpath(dir);
            env.insert(dir, m_dir.filePath(dir));
        }
        QFile::setPermissions(m_dir.filePath(QStringLiteral("XDG_RUNTIME_DIR")), QFileDevice::Permissions(0x7000));
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
    QDBusConnection& bus() { return m_connection; }
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
        QProcess tool;
        tool.setProcessEnvironment(environment());
        tool.start(QStringLiteral("secret-tool"),
                   {QStringLiteral("store"), QStringLiteral("--label=by hand"),
                    QStringLiteral("--collection=") + collection, QStringLiteral("service"),
                    QStringLiteral("com.orvelquin.desktop"), QStringLiteral("account"), account});
        tool.write(value);
        tool.closeWriteChannel();
        return tool.waitForFinished(10000) && tool.exitCode() == 0;
    }

    // The value of every item for the account, anywhere; one in a locked keyring reads "<locked>".
    QList<QByteArray> values(const QString& account) {
        const QMap<QString, QString> attributes{{QStringLiteral("service"), QStringLiteral("com.orvelquin.desktop")},
                                                {QStringLiteral("account"), account}};
        QList<QDBusObjectPath> items;
        for (const QVariant& list : call(u"SearchItems", {QVariant::fromValue(attributes)}).arguments()) {
            items << qdbus_cast<QList<QDBusObjectPath>>(list);
        }
        const auto secrets = qvariant_cast<QDBusArgument>(
            call(u"GetSecrets", {QVariant::fromValue(items), QVariant::fromValue(m_session)}).arguments().value(0));
        QList<QByteArray> result;
        secrets.beginMap();
        while (!secrets.atEnd()) {
            QDBusObjectPath item, session;
            QByteArray parameters, value;
            QString contentType;
            secrets.beginMapEntry(), secrets >> item, secrets.beginStructure();
            secrets >> session >> parameters >> value >> contentType;
            secrets.endStructure(), secrets.endMapEntry(), result << value;
        }
        secrets.endMap();
        return result << QList<QByteArray>(items.size() - result.size(), "<locked>");
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

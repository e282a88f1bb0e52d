#pragma once

// A session bus of the test's own with nothing activatable and, for PrivateKeyring, a GNOME
// Keyring on it: collections made, locked and unlocked with a known password over the Secret
// Service API, and no unlock prompter unless the test installs one, so every prompt fails at once.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtDBus>

#include <utility>
#include <vector>

struct PlainSecret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};
Q_DECLARE_METATYPE(PlainSecret)
using SecretsByItem = QMap<QDBusObjectPath, PlainSecret>;

inline QDBusArgument& operator<<(QDBusArgument& arg, const PlainSecret& s) {
    arg.beginStructure();
    arg << s.session << s.parameters << s.value << s.contentType;
    arg.endStructure();
    return arg;
}
inline const QDBusArgument& operator>>(const QDBusArgument& arg, PlainSecret& s) {
    arg.beginStructure();
    arg >> s.session >> s.parameters >> s.value >> s.contentType;
    arg.endStructure();
    return arg;
}

// Stands in for the desktop's prompter (gcr-prompter): counts the prompts the keyring opens and
// refuses each at once or leaves it open, unanswered, for as long as it lives.
class Prompter final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.keyring.internal.Prompter")

public:
    enum class Answer { Refuse, Never };
    Prompter(QDBusConnection bus, Answer answer)
        : m_bus(std::move(bus))
        , m_answer(answer) {
        m_bus.registerObject(QStringLiteral("/org/gnome/keyring/Prompter"), this, QDBusConnection::ExportAllSlots);
        m_bus.registerService(QStringLiteral("org.gnome.keyring.SystemPrompter"));
    }
    ~Prompter() override {
        // Closes what is still open, as a user closing the window would.
        for (const auto& [caller, callback] : m_open) {
            m_bus.call(QDBusMessage::createMethodCall(caller, callback.path(),
                                                      QStringLiteral("org.gnome.keyring.internal.Prompter.Callback"),
                                                      QStringLiteral("PromptDone")),
                       QDBus::Block, 10000);
        }
        m_bus.unregisterService(QStringLiteral("org.gnome.keyring.SystemPrompter"));
        m_bus.unregisterObject(QStringLiteral("/org/gnome/keyring/Prompter"));
    }
    int opened = 0;

public Q_SLOTS:
    void BeginPrompting(const QDBusObjectPath& callback) {
        ++opened;
        if (m_answer == Answer::Refuse) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("refused"));
        } else {
            m_open.push_back({message().service(), callback});
        }
    }
    void StopPrompting(const QDBusObjectPath&) {}

private:
    QDBusConnection m_bus;
    Answer m_answer;
    std::vector<std::pair<QString, QDBusObjectPath>> m_open;
};

class PrivateBus {
public:
    PrivateBus() {
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        config.open(QIODevice::WriteOnly) &&
            config.write("<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(m_dir.path()) +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                         "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close(); // an unwritten configuration leaves the bus without an address
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (m_bus.waitForStarted() && m_bus.waitForReadyRead(10000)) {
            m_address = QString::fromUtf8(m_bus.readLine().trimmed());
        }
    }
    ~PrivateBus() { m_bus.kill(), m_bus.waitForFinished(); }
    QString address() const { return m_address; }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        return env;
    }

protected:
    QTemporaryDir m_dir;

private:
    QProcess m_bus;
    QString m_address;
};

class PrivateKeyring : public PrivateBus {
public:
    static constexpr const char* kPassword = "keyring-password";

    PrivateKeyring() {
        qDBusRegisterMetaType<PlainSecret>();
        qDBusRegisterMetaType<SecretsByItem>();
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QProcessEnvironment env = environment();
        for (const char* dir : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "HOME"}) {
            QDir(m_dir.path()).mkpath(QString::fromLatin1(dir));
            env.insert(QString::fromLatin1(dir), m_dir.filePath(QString::fromLatin1(dir)));
        }
        QFile::setPermissions(m_dir.filePath(QStringLiteral("XDG_RUNTIME_DIR")), QFileDevice::Permissions(0x7000));
        m_daemon.setProcessEnvironment(env);
        m_daemon.start(
            QStringLiteral("gnome-keyring-daemon"),
            {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        m_daemon.waitForStarted();
        m_daemon.write(kPassword);
        m_daemon.closeWriteChannel();
        m_connection = QDBusConnection::connectToBus(address(), QStringLiteral("private-keyring"));
        const auto secrets = [this] {
            return m_connection.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value();
        };
        if (!m_connection.isConnected() || !QTest::qWaitFor(secrets, 10000)) {
            return;
        }
        const QDBusMessage opened = service(QStringLiteral("OpenSession"),
                                            {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        if (opened.arguments().size() == 2) {
            m_session = qvariant_cast<QDBusObjectPath>(opened.arguments().at(1));
        }
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
        QDBusReply<QDBusObjectPath> reply =
            internal(QStringLiteral("CreateWithMasterPassword"), {properties, QVariant::fromValue(password())});
        return reply.isValid() ? reply.value().path() : QString();
    }
    bool lock(const QString& collection) {
        return ok(service(QStringLiteral("Lock"),
                          {QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(collection)})}));
    }
    bool unlock(const QString& collection) {
        return ok(internal(QStringLiteral("UnlockWithMasterPassword"),
                           {QVariant::fromValue(QDBusObjectPath(collection)), QVariant::fromValue(password())}));
    }
    bool setDefault(const QString& collection) {
        return ok(service(QStringLiteral("SetAlias"),
                          {QStringLiteral("default"), QVariant::fromValue(QDBusObjectPath(collection))}));
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

    // Every item for the account, anywhere, with its value; unlocks what it must with the password.
    QList<QByteArray> values(const QString& account) {
        const QMap<QString, QString> attributes{{QStringLiteral("service"), QStringLiteral("com.orvelquin.desktop")},
                                                {QStringLiteral("account"), account}};
        QList<QDBusObjectPath> items;
        for (const QVariant& list :
             service(QStringLiteral("SearchItems"), {QVariant::fromValue(attributes)}).arguments()) {
            for (const QDBusObjectPath& item : qdbus_cast<QList<QDBusObjectPath>>(list)) {
                unlock(item.path().section(u'/', 0, -2));
                items << item;
            }
        }
        QDBusReply<SecretsByItem> secrets =
            service(QStringLiteral("GetSecrets"), {QVariant::fromValue(items), QVariant::fromValue(m_session)});
        QList<QByteArray> result;
        for (const PlainSecret& secret : secrets.value()) {
            result << secret.value;
        }
        if (secrets.value().size() != items.size()) {
            result << QByteArrayLiteral("<unreadable>");
        }
        return result;
    }

private:
    static bool ok(const QDBusMessage& reply) { return reply.type() == QDBusMessage::ReplyMessage; }
    QDBusMessage service(const QString& method, const QVariantList& arguments,
                         const QString& interface = QStringLiteral("org.freedesktop.Secret.Service")) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"), interface, method);
        message.setArguments(arguments);
        return m_connection.call(message, QDBus::Block, 10000);
    }
    QDBusMessage internal(const QString& method, const QVariantList& arguments) {
        return service(method, arguments, QStringLiteral("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface"));
    }
    PlainSecret password() const { return {m_session, {}, QByteArray(kPassword), QStringLiteral("text/plain")}; }

    QProcess m_daemon;
    QDBusConnection m_connection{QString()};
    QDBusObjectPath m_session;
};

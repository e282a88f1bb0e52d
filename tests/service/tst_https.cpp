// The client over real TLS: a loopback server with a certificate from a CA that the test makes.
#include "service/APIClient.h"

#include <QCoroTask>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace orvelquin;

namespace {

// Runs openssl with the arguments; false (with its output in the log) if it fails.
bool openssl(const QString& dir, const QStringList& arguments) {
    QProcess tool;
    tool.setWorkingDirectory(dir);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("openssl"), arguments);
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning().noquote() << "openssl" << arguments.join(u' ') << "failed:" << tool.readAll();
        return false;
    }
    return true;
}

QString failureOfSignIn(APIClient& api) {
    auto run = [](APIClient& client) -> QCoro::Task<QString> {
        try {
            co_await client.signIn(QStringLiteral("ana@example.test"), QStringLiteral("pw"));
        } catch (const TransportError& error) {
            co_return QStringLiteral("transport:") + error.message();
        } catch (const ServiceError& error) {
            co_return QStringLiteral("other:") + error.message();
        }
        co_return QString();
    };
    return QCoro::waitFor(run(api));
}

} // namespace

class TestHttps : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QSslServer m_server;
    QList<QSslCertificate> m_ca;
    QUrl m_url;
    int m_requests = 0;

    void answer(QSslSocket* socket) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) {
                return;
            }
            const qsizetype lengthAt = buffer->toLower().indexOf("content-length:");
            const qsizetype length = lengthAt < 0
                                         ? 0
                                         : buffer->mid(lengthAt + 15, buffer->indexOf("\r\n", lengthAt) - lengthAt - 15)
                                               .trimmed()
                                               .toLongLong();
            if (buffer->size() < end + 4 + length) {
                return;
            }
            ++m_requests;
            const QByteArray body = R"({"access_token":"at_tls","refresh_token":"rt_tls"})";
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    }

private Q_SLOTS:
    void initTestCase() {
        if (!QSslSocket::supportsSsl()) {
            QFAIL("Qt has no TLS backend");
        }
        const QString dir = m_dir.path();
        QFile ext(m_dir.filePath(QStringLiteral("server.ext")));
        QVERIFY(ext.open(QIODevice::WriteOnly));
        ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        ext.close();
        QVERIFY(openssl(dir, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                              QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                              QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=Orvelquin Test CA"),
                              QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                              QStringLiteral("ca.pem")}));
        QVERIFY(openssl(dir, {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                              QStringLiteral("-nodes"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                              QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                              QStringLiteral("server.csr")}));
        QVERIFY(openssl(dir, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                              QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                              QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                              QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                              QStringLiteral("server.ext"), QStringLiteral("-out"), QStringLiteral("server.pem")}));

        m_ca = QSslCertificate::fromPath(m_dir.filePath(QStringLiteral("ca.pem")));
        QCOMPARE(m_ca.size(), 1);
        QFile keyFile(m_dir.filePath(QStringLiteral("server.key")));
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        QSslConfiguration serverConfig = QSslConfiguration::defaultConfiguration();
        serverConfig.setLocalCertificateChain(QSslCertificate::fromPath(m_dir.filePath(QStringLiteral("server.pem"))));
        serverConfig.setPrivateKey(QSslKey(&keyFile, QSsl::Rsa));
        serverConfig.setPeerVerifyMode(QSslSocket::VerifyNone); // clients show no certificate
        m_server.setSslConfiguration(serverConfig);
        connect(&m_server, &QSslServer::pendingConnectionAvailable, this, [this] {
            while (auto* socket = qobject_cast<QSslSocket*>(m_server.nextPendingConnection())) {
                answer(socket);
            }
        });
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        m_url = QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_server.serverPort()));
    }

    void untrustedCertificateFails() {
        QNetworkAccessManager network;
        APIClient api(m_url, network);
        const QString failure = failureOfSignIn(api);
        QVERIFY2(failure.startsWith(QStringLiteral("transport:")) && failure.contains(QStringLiteral("SSL")),
                 qPrintable(failure));
        QCOMPARE(m_requests, 0);
    }

    void certificateFromTrustedCASucceeds() {
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.addCaCertificates(m_ca);
        QSslConfiguration::setDefaultConfiguration(trusting);
        QNetworkAccessManager network;
        APIClient api(m_url, network);
        QCOMPARE(failureOfSignIn(api), QString());
        QCOMPARE(m_requests, 1);
    }
};

QTEST_GUILESS_MAIN(TestHttps)
#include "tst_https.moc"

// velmo-rendezvous over TLS against the app's REST and signaling clients, with a
// certificate authority the test makes with openssl: a certificate from the trusted
// authority connects; one from an unknown authority or for another host name is refused
// with the Japanese message, and the TLS port never answers plain HTTP.
#include "config/AppConfig.h"
#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/SharedSignalingPort.h"
#include "rendezvous/Signaling.h"
#include "support/RendezvousProcess.h"
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString untrustedPrefix = QStringLiteral("サーバーの証明書を確認できません(");

// Certificates made with the openssl command line into a temporary directory.
class Pki {
public:
    // A self-signed authority "<name>.pem" / "<name>.key".
    bool makeAuthority(const QString &name) {
        return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                        "-keyout", path(name + ".key"), "-out", path(name + ".pem"), "-days", "2", "-subj",
                        "/CN=" + name});
    }
    // A server certificate "<name>.pem" / "<name>.key" for `altNames` (e.g. "IP:127.0.0.1"),
    // signed by the authority `ca`.
    bool makeServer(const QString &name, const QString &ca, const QString &altNames) {
        QFile ext(path(name + ".ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write("subjectAltName=" + altNames.toUtf8() + "\nextendedKeyUsage=serverAuth\n");
        ext.close();
        return openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                        path(name + ".key"), "-out", path(name + ".csr"), "-subj", "/CN=" + name}) &&
               openssl({"x509", "-req", "-in", path(name + ".csr"), "-CA", path(ca + ".pem"), "-CAkey",
                        path(ca + ".key"), "-CAcreateserial", "-out", path(name + ".pem"), "-days", "2", "-extfile",
                        path(name + ".ext")});
    }
    QString path(const QString &file) const { return m_dir.filePath(file); }
    QStringList serverArgs(const QString &name) const {
        return {"--tls-cert", path(name + ".pem"), "--tls-key", path(name + ".key")};
    }

private:
    bool openssl(const QStringList &args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            qWarning() << "openssl" << args << "failed:" << p.readAll();
            return false;
        }
        return true;
    }
    QTemporaryDir m_dir;
};

QString httpsUrl(const RendezvousProcess &server) {
    return QStringLiteral("https://127.0.0.1:%1").arg(server.port());
}

} // namespace

class TestServerTls : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;
    Pki pki;

    std::optional<DeviceInfo> deviceInfo(const QString &id) {
        std::optional<std::optional<DeviceInfo>> got;
        objects.api()->deviceInfo(id, this, [&got](Result<DeviceInfo> info) { got = std::move(info.value); });
        if (!QTest::qWaitFor([&] { return got.has_value(); }, 12000))
            return DeviceInfo{QStringLiteral("<timeout>")};
        return *got;
    }
    // What a session would show after "接続できません: ".
    QString signalingFailure() {
        std::optional<QString> got;
        objects.port()->connect(
            this, [&got](const Result<std::monostate> &r) { got = r.ok() ? QString() : r.error.message; });
        if (!QTest::qWaitFor([&] { return got.has_value(); }, 12000))
            return QStringLiteral("<timeout>");
        return *got;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(pki.makeAuthority("trusted-ca"));
        QVERIFY(pki.makeAuthority("unknown-ca"));
        QVERIFY(pki.makeServer("good", "trusted-ca", "IP:127.0.0.1,DNS:localhost"));
        QVERIFY(pki.makeServer("stranger", "unknown-ca", "IP:127.0.0.1,DNS:localhost"));
        QVERIFY(pki.makeServer("elsewhere", "trusted-ca", "DNS:elsewhere.invalid"));
        // The test's authority stands in for the system's CA store, for this process only.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(pki.path("trusted-ca.pem")));
        QSslConfiguration::setDefaultConfiguration(tls);
    }

    // Unknown authority and wrong host name: REST and signaling refuse, with the reason.
    void untrustedCertificatesAreRefused_data() {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unknown authority") << "stranger"
                                           << "信頼できる認証局の証明書ではありません";
        QTest::newRow("wrong host name") << "elsewhere"
                                         << "ホスト名";
    }
    void untrustedCertificatesAreRefused() {
        QFETCH(QString, cert);
        QFETCH(QString, reason);
        RendezvousProcess server;
        QVERIFY(server.start(pki.serverArgs(cert)));
        objects.config()->setServer(httpsUrl(server));

        QVERIFY(!deviceInfo(QStringLiteral("123456789")));
        const QString failure = objects.trust()->failure();
        QVERIFY2(failure.startsWith(untrustedPrefix) && failure.contains(reason), qPrintable(failure));

        QCOMPARE(signalingFailure(), failure);
        QVERIFY(!objects.signaling()->online());
    }

    // Plain HTTP on the TLS port gets no answer: the server never speaks in the clear.
    void plainHttpIsNotServed() {
        RendezvousProcess server;
        QVERIFY(server.start(pki.serverArgs("good")));
        QNetworkAccessManager nam;
        QNetworkReply *reply = nam.get(QNetworkRequest(QUrl(server.url() + "/healthz")));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(12000));
        QVERIFY(reply->error() != QNetworkReply::NoError);
        QVERIFY(!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
        reply->deleteLater();
    }

    // A certificate from the trusted authority: a device registers over wss, the REST client
    // finds it over https, the viewer's signaling socket is greeted, and the failure clears.
    void trustedCertificateConnects() {
        RendezvousProcess server;
        QVERIFY(server.start(pki.serverArgs("good")));
        const QString base = httpsUrl(server);
        objects.config()->setServer(base);

        ScriptedPeer device;
        QVERIFY(device.registerAt(QStringLiteral("wss://127.0.0.1:%1/ws/device").arg(server.port()),
                                  QStringLiteral("tls-test-secret-0123456789"), QStringLiteral("Desk")));
        const std::optional<DeviceInfo> info = deviceInfo(device.id());
        QVERIFY(info);
        QCOMPARE(info->name, QStringLiteral("Desk"));
        QVERIFY(info->online);
        QCOMPARE(objects.trust()->failure(), QString());

        QCOMPARE(signalingFailure(), QString());
        QVERIFY(objects.signaling()->online());
        QVERIFY(!objects.signaling()->myId().isEmpty());
    }
};

QTEST_MAIN(TestServerTls)
#include "tst_server_tls.moc"

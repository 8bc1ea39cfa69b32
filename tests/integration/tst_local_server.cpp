// The local rendezvous server the application starts for itself, with real velmo-rendezvous
// and velmo-remote-host processes: started when nothing answers on the default address (and
// the agent then gets a device ID from it), left alone when something does, untouched for any
// other server, and ended at quit only when the application started it.
#include "agent/AgentController.h"
#include "rendezvous/LocalServer.h"
#include "support/HostProcess.h"
#include "support/TestEnv.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>

#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

const QString defaultServer = QStringLiteral("http://127.0.0.1:8787");

bool defaultAddressAnswers() {
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), LocalServer::defaultPort);
    return s.waitForConnected(2000);
}

// ensure() and wait for its `ready`.
bool ensure(LocalServer &server, const QString &url) {
    bool ready = false;
    server.ensure(url, nullptr, [&ready] { ready = true; });
    return QTest::qWaitFor([&] { return ready; }, 15000);
}

} // namespace

class TestLocalServer : public QObject {
    Q_OBJECT

    TestEnv env;

private Q_SLOTS:
    void init() {
        qputenv("VELMO_RENDEZVOUS", VELMO_SERVER_BIN);
        QVERIFY(!defaultAddressAnswers());
    }

    void defaultLocalAddress_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("local");
        QTest::newRow("default") << "http://127.0.0.1:8787" << true;
        QTest::newRow("trailing slashes") << "http://127.0.0.1:8787//" << true;
        QTest::newRow("localhost") << "http://localhost:8787" << true;
        QTest::newRow("https") << "https://127.0.0.1:8787" << false;
        QTest::newRow("other port") << "http://127.0.0.1:8788" << false;
        QTest::newRow("with a path") << "http://127.0.0.1:8787/rv" << false;
        QTest::newRow("other host") << "http://192.0.2.1:8787" << false;
    }
    void defaultLocalAddress() {
        QFETCH(QString, url);
        QFETCH(bool, local);
        QCOMPARE(LocalServer::isDefaultLocal(url), local);
    }

    // Nothing answers: ours starts with its registry in the data directory, the agent
    // registers with it and gets a device ID, the server's lines reach the log, and quitting
    // ends it.
    void startsServerAndTheAgentGetsAnId() {
        LocalServer server(env.dataDir());
        AgentController agent;
        connect(&server, &LocalServer::logLine, &agent, &AgentController::log);
        qputenv("VELMO_RMAGENT", VELMO_HOST_BIN);

        QVERIFY(ensure(server, defaultServer));
        QCOMPARE(server.origin(), LocalServer::Origin::StartedByApp);
        QVERIFY(server.summary().contains(QStringLiteral("このアプリが起動したサーバー")));
        QVERIFY(QFileInfo::exists(env.dataDir() + "/rendezvous/registry.sqlite3"));

        agent.start(defaultServer);
        static const QRegularExpression nineDigits(QStringLiteral("^\\d{9}$"));
        QTRY_VERIFY_WITH_TIMEOUT(agent.status() && nineDigits.match(agent.status()->id).hasMatch(), 20000);
        const QString id = agent.status()->id;
        QByteArray answer;
        QCOMPARE(testHttp("GET", LocalServer::defaultPort, "/api/v1/devices/" + id, {}, {}, &answer), 200);
        QCOMPARE(QJsonDocument::fromJson(answer).object().value("online").toBool(), true);
        const QStringList log = agent.logLines();
        QVERIFY(!log.filter("rendezvous: velmo-rendezvous listening on 127.0.0.1:8787").isEmpty());
        QVERIFY(!log.filter(QRegularExpression("rendezvous: info: device " + id + " registered")).isEmpty());

        // A second run of the start-up (the window shown again) finds ours running.
        QVERIFY(ensure(server, defaultServer));
        QCOMPARE(server.origin(), LocalServer::Origin::StartedByApp);

        // Ours killed while serving is started again, and the agent finds it again.
        const qint64 killed = server.processId();
        QVERIFY(killed > 0);
        ::kill(pid_t(killed), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(server.origin() == LocalServer::Origin::StartedByApp && server.processId() != killed,
                                 20000);
        QVERIFY(!agent.logLines().filter("rendezvous: サーバーを起動し直します").isEmpty());
        // The registry survived: the agent's device is online again under the same ID.
        QTRY_VERIFY_WITH_TIMEOUT(testHttp("GET", LocalServer::defaultPort, "/api/v1/devices/" + id, {}, {}, &answer) ==
                                         200 &&
                                     QJsonDocument::fromJson(answer).object().value("online").toBool(),
                                 30000);

        agent.terminateAgentSync();
        const qint64 pid = server.processId();
        QVERIFY(pid > 0);
        server.terminateSync();
        QVERIFY(!defaultAddressAnswers());
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1/exe").arg(pid)));
    }

    // Something already answers there: used, and still running after quit.
    void runningServerLeftAlone() {
        QTemporaryDir dir;
        QProcess other;
        other.start(VELMO_SERVER_BIN, {"--listen", "127.0.0.1:8787", "--db", dir.filePath("r.sqlite3")});
        QVERIFY(QTest::qWaitFor([&] { return other.readAllStandardOutput().contains("listening"); }, 10000));

        LocalServer server(env.dataDir());
        QVERIFY(ensure(server, defaultServer));
        QCOMPARE(server.origin(), LocalServer::Origin::AlreadyRunning);
        QVERIFY(server.summary().contains(QStringLiteral("起動していません")));
        QCOMPARE(server.processId(), 0);
        server.terminateSync();
        QVERIFY(defaultAddressAnswers());
        QCOMPARE(other.state(), QProcess::Running);
        other.terminate();
        QVERIFY(other.waitForFinished(5000));
    }

    // Another server is never probed or started; without an executable, or with one that
    // ends at once, the start-up still goes on and the panel says why.
    void otherServerMissingOrFailingExecutable() {
        LocalServer server(env.dataDir());
        bool ready = false;
        server.ensure(QStringLiteral("http://127.0.0.1:9"), nullptr, [&ready] { ready = true; });
        QVERIFY(ready); // at once
        QCOMPARE(server.origin(), LocalServer::Origin::Remote);
        QVERIFY(server.summary().isEmpty());
        QVERIFY(!defaultAddressAnswers());

        qputenv("VELMO_RENDEZVOUS", "");
        LocalServer missing(env.dataDir());
        ready = false;
        missing.ensure(defaultServer, nullptr, [&ready] { ready = true; });
        QVERIFY(ready); // at once: nothing to start, nothing to wait for
        QCOMPARE(missing.origin(), LocalServer::Origin::NotFound);
        QVERIFY(missing.summary().contains(QStringLiteral("見つからない")));

        qputenv("VELMO_RENDEZVOUS", "/bin/false");
        LocalServer failing(env.dataDir());
        QStringList lines;
        connect(&failing, &LocalServer::logLine, this, [&lines](const QString &l) { lines << l; });
        QVERIFY(ensure(failing, defaultServer));
        QCOMPARE(failing.origin(), LocalServer::Origin::Failed);
        QVERIFY(!lines.filter(QStringLiteral("rendezvous 終了: status=1")).isEmpty());
    }
};

QTEST_MAIN(TestLocalServer)
#include "tst_local_server.moc"

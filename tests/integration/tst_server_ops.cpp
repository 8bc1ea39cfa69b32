// velmo-rendezvous as an operator sees it: its version, the health check, one log line per
// event with its level (syslog priorities under journald), and a shutdown on SIGTERM that
// tells every connected peer the server is going away (1001).
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A server whose standard output and standard error the test reads itself.
struct Server {
    QProcess process;
    quint16 port = 0;
    QByteArray out;

    bool start(const QStringList &extraArgs = {},
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VELMO_SERVER_BIN),
                      QStringList{"--listen", "127.0.0.1:0", "--db", ":memory:"} + extraArgs);
        static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        return QTest::qWaitFor(
                   [&] {
                       out += process.readAllStandardOutput();
                       const auto m = re.match(QString::fromUtf8(out));
                       if (m.hasMatch())
                           port = quint16(m.captured(1).toUInt());
                       return port != 0 || process.state() == QProcess::NotRunning;
                   },
                   10000) &&
               port != 0;
    }
    QString ws(const QString &path) const { return QStringLiteral("ws://127.0.0.1:%1").arg(port) + path; }
    QStringList logLines() {
        const QString text = QString::fromUtf8(process.readAllStandardError());
        return text.split(u'\n', Qt::SkipEmptyParts);
    }
    ~Server() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
};

} // namespace

class TestServerOps : public QObject {
    Q_OBJECT

    TestEnv env;

private Q_SLOTS:
    void version() {
        QProcess p;
        p.start(QStringLiteral(VELMO_SERVER_BIN), {"--version"});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("velmo-rendezvous " VELMO_VERSION));
    }

    // /healthz answers 200 with the load; the server's events are logged one line each, every
    // line led by its level, warnings for refused registrations.
    void healthAndLog() {
        Server server;
        QVERIFY(server.start());
        ScriptedPeer device;
        QVERIFY(device.registerAt(server.ws("/ws/device"), "ops-test-secret-0123456789", "Desk\nwith break"));
        ScriptedPeer bad;
        QVERIFY(bad.open(server.ws("/ws/device")));
        bad.sendText(QStringLiteral("{\"type\":\"hello\"}"));
        QTRY_VERIFY(bad.closed());

        QNetworkAccessManager nam;
        QNetworkReply *reply =
            nam.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(server.port))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        const QJsonObject health = QJsonDocument::fromJson(reply->readAll()).object();
        QCOMPARE(health.value("status").toString(), QStringLiteral("ok"));
        QCOMPARE(health.value("devicesOnline").toInt(), 1);
        reply->deleteLater();

        QStringList lines;
        QTRY_VERIFY((lines += server.logLines(), lines.filter("refused").size() == 1));
        static const QRegularExpression leveled(QStringLiteral("^(debug|info|warning|error): \\S"));
        for (const QString &line : std::as_const(lines))
            QVERIFY2(leveled.match(line).hasMatch(), qPrintable(line));
        const QStringList registered = lines.filter(QRegularExpression("^info: device \\d{9} registered"));
        QCOMPARE(registered.size(), 1);
        QVERIFY2(registered.first().contains("Desk with break"), qPrintable(registered.first())); // still one line
        QVERIFY(lines.filter("refused").first().startsWith("warning: "));
    }

    // A registry file from before schema versions is brought up to date and keeps its devices;
    // a file from a newer server is refused rather than misread.
    void registryFileMigrations() {
        QTemporaryDir dir;
        const QString file = dir.filePath("old.sqlite3");
        auto python = [&](const QString &code) {
            QProcess py;
            py.start("python3",
                     {"-c", "import hashlib, sqlite3, sys\ndb = sqlite3.connect(sys.argv[1])\n" + code, file});
            py.waitForFinished(10000);
            return py.readAllStandardOutput().trimmed();
        };
        python("db.execute('CREATE TABLE devices (id TEXT PRIMARY KEY, secret_hash BLOB NOT NULL UNIQUE, name TEXT NOT "
               "NULL, platform TEXT, created INTEGER NOT NULL, last_seen INTEGER NOT NULL, thumb BLOB, thumb_type "
               "TEXT)')\n"
               "db.execute('INSERT INTO devices VALUES (?, ?, ?, NULL, 1, 1, NULL, NULL)', ('123456789', "
               "hashlib.sha256(b'legacy-secret-0123456789abcdef').digest(), 'Old'))\ndb.commit()");
        {
            Server server;
            QVERIFY(server.start({"--db", file, "--expire-after", "0"}));
            ScriptedPeer device;
            QVERIFY(device.registerAt(server.ws("/ws/device"), "legacy-secret-0123456789abcdef", "Old"));
            QCOMPARE(device.id(), QStringLiteral("123456789"));
        }
        QCOMPARE(python("print(db.execute('SELECT MAX(version) FROM schema_version').fetchone()[0], "
                        "[c[1] for c in db.execute('PRAGMA table_info(devices)')].count('thumb_at'))"),
                 QByteArray("2 1"));

        python("db.execute('INSERT INTO schema_version VALUES (99)')\ndb.commit()");
        QProcess newer;
        newer.start(QStringLiteral(VELMO_SERVER_BIN), {"--listen", "127.0.0.1:0", "--db", file});
        QVERIFY(newer.waitForFinished(10000));
        QCOMPARE(newer.exitCode(), 2);
        QVERIFY(newer.readAllStandardError().contains("schema version 99"));
    }

    // The shared parts of several instances: a bad URL or an unreachable database ends the
    // start with a reason; an unreachable Redis does not stop the server, it says so in the
    // log and in /healthz, and sessions between its own viewers and devices go on.
    void sharedPartsUnreachable() {
        for (const QStringList &args : {QStringList{"--bus", "ftp://127.0.0.1/"},
                                        QStringList{"--db", "postgresql://velmo@127.0.0.1:1/none?connect_timeout=2"}}) {
            QProcess p;
            p.start(QStringLiteral(VELMO_SERVER_BIN), QStringList{"--listen", "127.0.0.1:0"} + args);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 2);
            const QByteArray err = p.readAllStandardError();
            QVERIFY2(err.contains(args.first() == "--bus" ? "--bus" : "cannot open the PostgreSQL registry"),
                     err.constData());
        }

        Server server;
        QVERIFY(server.start({"--bus", "redis://127.0.0.1:1"}));
        QStringList lines;
        QTRY_VERIFY((lines += server.logLines(),
                     lines.filter(QRegularExpression("^warning: redis .*unavailable")).size() >= 2));
        QNetworkAccessManager nam;
        QNetworkReply *reply =
            nam.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/healthz").arg(server.port))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value("bus").toString(), QStringLiteral("down"));
        reply->deleteLater();

        ScriptedPeer device, viewer;
        QVERIFY(device.registerAt(server.ws("/ws/device"), "ops-test-secret-bus-down-0123", "Desk"));
        QVERIFY(viewer.open(server.ws("/ws/viewer")) && viewer.take("hello"));
        viewer.send({{"type", "connect"}, {"to", device.id()}, {"sid", "b1"}, {"payload", QJsonObject{{"sdp", "x"}}}});
        QVERIFY(device.take("connect", "b1"));
        // A device held nowhere here: an answer at once, not a wait for the bus.
        viewer.send({{"type", "connect"}, {"to", "123456789"}, {"sid", "b2"}, {"payload", QJsonObject{{"sdp", "x"}}}});
        QCOMPARE(viewer.take("error", "b2", 3000)->value("error").toString(),
                 QStringLiteral("端末が見つからないか、オフラインです"));
    }

    // Under systemd the level is the syslog priority prefix journald reads.
    void journaldPriorities() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JOURNAL_STREAM", "8:12345");
        Server server;
        QVERIFY(server.start({}, env));
        ScriptedPeer viewer;
        QVERIFY(viewer.open(server.ws("/ws/viewer")));
        QStringList lines;
        QTRY_VERIFY((lines += server.logLines(), !lines.filter("viewer").isEmpty()));
        QVERIFY2(lines.filter("viewer").first().startsWith("<6>viewer "), qPrintable(lines.join('\n')));
    }

    // SIGTERM: viewers and devices get close code 1001, and the process ends by itself.
    void shutdownSaysGoingAway() {
        Server server;
        QVERIFY(server.start());
        ScriptedPeer device;
        QVERIFY(device.registerAt(server.ws("/ws/device"), "ops-test-secret-abcdefghij", "Desk"));
        ScriptedPeer viewer;
        QVERIFY(viewer.open(server.ws("/ws/viewer")));
        QVERIFY(viewer.take("hello"));

        server.process.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(device.closed() && viewer.closed(), 5000);
        QCOMPARE(device.closeCode(), 1001);
        QCOMPARE(viewer.closeCode(), 1001);
        QTRY_COMPARE_WITH_TIMEOUT(server.process.state(), QProcess::NotRunning, 5000);
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
    }

    // On a wildcard address the server says which URLs other computers use (here, in a
    // network namespace with only loopback, that there is none).
    void wildcardListenNamesUrls() {
        QProcess p;
        p.start(QStringLiteral(VELMO_SERVER_BIN), {"--listen", "0.0.0.0:0", "--db", ":memory:"});
        QByteArray out;
        QVERIFY(QTest::qWaitFor(
            [&] {
                out += p.readAllStandardOutput();
                return out.contains("other computers");
            },
            10000));
        static const QRegularExpression urlLine(
            QStringLiteral("server URL for other computers: http://\\d+\\.\\d+\\.\\d+\\.\\d+:\\d+|"
                           "no network address found"));
        QVERIFY2(urlLine.match(QString::fromUtf8(out)).hasMatch(), out.constData());
        QVERIFY(!out.contains("http://127.0.0.1"));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
    }
};

QTEST_MAIN(TestServerOps)
#include "tst_server_ops.moc"

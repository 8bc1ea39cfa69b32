// velmo-remote-host's control API as a program: control.json life cycle, the
// bearer token, every command's effect on the status, bad input, and ending.
#include "protocol/agent/ControlStatus.h"
#include "support/HostProcess.h"
#include "support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <QTemporaryDir>

#include <csignal>

#include <sys/stat.h>

class TestControlHost : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlJsonAndToken();
    void commandsChangeStatus();
    void sessionsAsksAndPermissions();
    void badInput();
    void filesSendTakesOnlyRegularFiles();
    void quitAndSigtermRemoveControlJson();
    void crashLeavesStaleFileAndRestartRewrites();

private:
    ControlStatus status(const HostProcess &h) {
        QByteArray body;
        if (h.get("status", &body) != 200)
            return {};
        return ControlStatus::decode(body).value_or(ControlStatus());
    }
    TestEnv m_env;
};

void TestControlHost::controlJsonAndToken() {
    HostProcess h(m_env.dataDir() + "/a");
    QVERIFY(h.ok());
    const QJsonObject cj = HostProcess::readControlJson(h.dataDir());
    QCOMPARE(cj.value("pid").toInteger(), h.pid());
    QVERIFY(cj.value("token").toString().size() >= 32);
    QCOMPARE(QFileInfo(h.dataDir() + "/control.json").permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());
    QCOMPARE(testHttp("GET", h.port(), "status", ""), 401);
    QCOMPARE(testHttp("GET", h.port(), "status", h.token().toUtf8() + "x"), 401);
    QCOMPARE(testHttp("POST", h.port(), "quit", "wrong"), 401);
    QVERIFY(h.running());
    QCOMPARE(h.get("status"), 200);
}

void TestControlHost::commandsChangeStatus() {
    HostProcess h(m_env.dataDir() + "/b", {}, {"--server", "http://rv.test:8787"});
    QVERIFY(h.ok());
    ControlStatus s = status(h);
    QCOMPARE(s.server, QStringLiteral("http://rv.test:8787"));
    QVERIFY(QRegularExpression("^\\d{6}$").match(s.autoPasscode).hasMatch());
    QVERIFY(s.sharing);
    const QString first = s.autoPasscode;

    QCOMPARE(h.post("passcode/rotate"), 200);
    QCOMPARE(h.post("sharing", {{"on", false}}), 200);
    QCOMPARE(h.post("notice-bar", {{"on", false}}), 200);
    QCOMPARE(h.post("passcode/fixed", {{"passcode", "s3cret"}}), 200);
    QCOMPARE(h.post("passcode/mode", {{"mode", "fixed"}}), 200);
    QCOMPARE(h.post("name", {{"name", "  会議室 PC "}}), 200);
    QCOMPARE(h.post("quality", {{"fps", 10}, {"scale", 0.5}, {"kbps", 800}}), 200);
    QCOMPARE(h.post("audio", {{"on", true}, {"source", "mic"}}), 200);
    QCOMPARE(h.post("controller/add", {{"label", "a"}, {"pub", "KEY1"}}), 200);
    QCOMPARE(h.post("controller/add", {{"label", "b"}, {"pub", "KEY2"}}), 200);
    QCOMPARE(h.post("controller/remove", {{"pub", "KEY1"}}), 200);
    QCOMPARE(h.post("controller/remove", {{"pub", "KEY1"}}), 404);
    s = status(h);
    QVERIFY(s.autoPasscode != first);
    QVERIFY(!s.sharing);
    QVERIFY(!s.noticeBar);
    QVERIFY(s.hasFixed);
    QCOMPARE(s.passcodeMode, QStringLiteral("fixed"));
    QCOMPARE(s.name, QStringLiteral("会議室 PC"));
    QCOMPARE(s.fps, 10);
    QCOMPARE(s.kbps, 800);
    QVERIFY(s.audioOn);
    QCOMPARE(s.audioSource, QStringLiteral("mic"));
    QCOMPARE(s.controllers.size(), 1);
    QCOMPARE(s.controllers[0].pub, QStringLiteral("KEY2"));
    QVERIFY(s.controllers[0].added > 0);
    QCOMPARE(h.post("passcode/fixed", {{"passcode", ""}}), 200);
    QVERIFY(!status(h).hasFixed);

    // Unattended access (Mutter's own remote desktop instead of the portal on GNOME): off
    // until the owner turns it on, kept for the agent's next start.
    QVERIFY(!s.unattended);
    QCOMPARE(h.post("unattended", {}), 400);
    QCOMPARE(h.post("unattended", {{"on", true}}), 200);
    QVERIFY(status(h).unattended);
    QFile settings(m_env.dataDir() + "/b/host-settings.json");
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(settings.readAll()).object().value("unattended"), QJsonValue(true));

    QCOMPARE(h.post("test/eula", {{"version", "3"}, {"hash", "abc"}, {"body", "# 利用規約"}}), 200);
    QCOMPARE(status(h).eulaRequired->version, QStringLiteral("3"));
    QCOMPARE(h.post("eula/accept"), 200);
    QVERIFY(!status(h).eulaRequired);
}

void TestControlHost::sessionsAsksAndPermissions() {
    HostProcess h(m_env.dataDir() + "/c");
    QVERIFY(h.ok());
    QCOMPARE(h.post("test/session", {{"sid", "s1"},
                                     {"viewer", "123456789"},
                                     {"name", "Suzuki"},
                                     {"authed", true},
                                     {"info", QJsonObject{{"app", "Velmo"}, {"os", "macOS"}}}}),
             200);
    QCOMPARE(h.post("test/ask", {{"sid", "q1"}, {"name", "Kato"}, {"ip", "198.51.100.4"}}), 200);
    QCOMPARE(h.post("test/ask", {{"sid", "q2"}, {"name", "Mori"}, {"ip", "198.51.100.5"}}), 200);
    ControlStatus s = status(h);
    QCOMPARE(s.sessions.size(), 1);
    QCOMPARE(s.sessions[0].detail(), QStringLiteral("Velmo · macOS  ID 123456789"));
    QCOMPARE(s.asks.size(), 2);

    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", false}, {"clip", true}, {"files", false}}), 200);
    s = status(h);
    QVERIFY(!s.sessions[0].input && s.sessions[0].clip && !s.sessions[0].files);
    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", true}}), 400); // all three each time
    // The viewer's microphone is off until given; a client that leaves it out keeps it as it is.
    QVERIFY(!s.sessions[0].mic);
    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", false}, {"clip", true}, {"files", false}, {"mic", true}}), 200);
    QVERIFY(status(h).sessions[0].mic);
    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", true}, {"clip", true}, {"files", false}}), 200);
    s = status(h);
    QVERIFY(s.sessions[0].mic && s.sessions[0].input);
    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", true}, {"clip", true}, {"files", false}, {"mic", "yes"}}), 400);
    QCOMPARE(h.post("perm", {{"sid", "s1"}, {"input", true}, {"clip", true}, {"files", false}, {"mic", false}}), 200);
    QVERIFY(!status(h).sessions[0].mic);
    QCOMPARE(h.post("asks/answer", {{"sid", "q1"}, {"ok", true}}), 200);
    QCOMPARE(h.post("asks/answer", {{"sid", "q1"}, {"ok", true}}), 404);
    QCOMPARE(h.post("disconnect", {{"sid", "q2"}}), 200); // a pending request is refused
    QCOMPARE(h.post("disconnect", {{"sid", "s1"}}), 200);
    QCOMPARE(h.post("disconnect", {{"sid", "s1"}}), 404);
    s = status(h);
    QVERIFY(s.sessions.isEmpty());
    QVERIFY(s.asks.isEmpty());
}

// "files/send" sends a regular file of this desktop and nothing else: not through a symbolic
// link, not a kernel pseudo-file (/proc), not a FIFO or a folder; each refusal says why. A
// file that passes is refused only for want of a session (404).
void TestControlHost::filesSendTakesOnlyRegularFiles() {
    HostProcess h(m_env.dataDir() + "/files");
    QVERIFY(h.ok());
    QTemporaryDir dir;
    const QString file = dir.filePath("report.txt");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("numbers\n");
    f.close();
    const QString link = dir.filePath("link.txt");
    QVERIFY(QFile::link(file, link));
    const QString fifo = dir.filePath("fifo");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QString path;
        int status;
        QString says;
    } cases[] = {
        {link, 400, QStringLiteral("シンボリックリンク")},
        {QStringLiteral("/proc/self/status"), 400, QStringLiteral("/proc")},
        {QStringLiteral("/proc/%1/environ").arg(h.pid()), 400, QStringLiteral("/proc")},
        {fifo, 400, QStringLiteral("通常のファイルではない")},
        {dir.path(), 400, QStringLiteral("フォルダ")},
        {dir.filePath("missing"), 400, QStringLiteral("見つかりません")},
        {QStringLiteral("relative/x"), 400, QStringLiteral("絶対パス")},
        {file, 404, QStringLiteral("セッション")},
    };
    for (const auto &c : cases) {
        QByteArray answer;
        const int status = h.post("files/send", {{"sid", "nosuch"}, {"path", c.path}}, &answer);
        QVERIFY2(status == c.status, qPrintable(c.path + ": " + QString::number(status)));
        QVERIFY2(QString::fromUtf8(answer).contains(c.says), qPrintable(c.path + ": " + QString::fromUtf8(answer)));
    }
}

void TestControlHost::badInput() {
    HostProcess h(m_env.dataDir() + "/d");
    QVERIFY(h.ok());
    const QByteArray tok = h.token().toUtf8();
    QByteArray answer;
    QCOMPARE(testHttp("POST", h.port(), "sharing", tok, "{\"on\":", &answer), 400);
    QVERIFY(!answer.isEmpty());
    QCOMPARE(testHttp("POST", h.port(), "sharing", tok, "[true]"), 400);
    QCOMPARE(testHttp("POST", h.port(), "sharing", tok, "{\"on\":\"yes\"}"), 400);
    QCOMPARE(testHttp("POST", h.port(), "quality", tok, "{\"fps\":1e9,\"scale\":1,\"kbps\":1}"), 400);
    QCOMPARE(testHttp("POST", h.port(), "quality", tok, "{\"fps\":30,\"scale\":0,\"kbps\":1}"), 400);
    QCOMPARE(testHttp("POST", h.port(), "name", tok, "{\"name\":\"   \"}"), 400);
    QCOMPARE(testHttp("POST", h.port(), "passcode/mode", tok, "{\"mode\":\"AUTO\"}"), 400);
    QCOMPARE(testHttp("POST", h.port(), "no/such", tok, "{}"), 404);
    QCOMPARE(testHttp("GET", h.port(), "sharing", tok), 405);
    QCOMPARE(testHttp("GET", h.port(), "nothing", tok), 404);
    QCOMPARE(testHttp("POST", h.port(), "status", tok, "{}"), 405);
    // A hostile size is refused (413, or the connection dropped while the body is still sent).
    const int big = testHttp("POST", h.port(), "sharing", tok, QByteArray(2 * 1024 * 1024, ' '));
    QVERIFY2(big == 413 || big == 0, QByteArray::number(big));
    // An empty body counts as {}.
    QCOMPARE(testHttp("POST", h.port(), "passcode/rotate", tok, ""), 200);
    QVERIFY(h.running());
    const ControlStatus s = status(h);
    QVERIFY(s.sharing);
    QCOMPARE(s.passcodeMode, QStringLiteral("auto"));
}

void TestControlHost::quitAndSigtermRemoveControlJson() {
    {
        HostProcess h(m_env.dataDir() + "/e");
        QVERIFY(h.ok());
        QCOMPARE(h.post("quit"), 200);
        QTRY_VERIFY(!h.running());
        QVERIFY(!QFile::exists(h.dataDir() + "/control.json"));
    }
    {
        HostProcess h(m_env.dataDir() + "/f");
        QVERIFY(h.ok());
        ::kill(pid_t(h.pid()), SIGTERM);
        QTRY_VERIFY(!h.running());
        QVERIFY(!QFile::exists(h.dataDir() + "/control.json"));
    }
}

void TestControlHost::crashLeavesStaleFileAndRestartRewrites() {
    HostProcess h(m_env.dataDir() + "/g");
    QVERIFY(h.ok());
    const quint16 oldPort = h.port();
    const QString oldToken = h.token();
    QCOMPARE(h.post("test/restart"), 200);
    QTRY_VERIFY(HostProcess::readControlJson(h.dataDir()).value("port").toInt() != oldPort);
    QVERIFY(h.reload());
    QVERIFY(h.token() != oldToken);
    QCOMPARE(h.get("status"), 200);
    QCOMPARE(testHttp("GET", oldPort, "status", oldToken.toUtf8()), 0); // the old listener is gone

    h.post("test/exit", {{"code", 7}});
    QTRY_VERIFY(!h.running());
    // A crash leaves control.json behind, naming a dead pid.
    QCOMPARE(HostProcess::readControlJson(h.dataDir()).value("port").toInt(), h.port());
}

QTEST_GUILESS_MAIN(TestControlHost)
#include "tst_control_host.moc"

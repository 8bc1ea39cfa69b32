// The supervisor against real velmo-remote-host processes: spawn, ride-along,
// stale and foreign control.json, replacement, stop, termination, commands,
// permissions, output and log handling.
#include "agent/AgentController.h"
#include "agent/AgentProcessInfo.h"
#include "support/HostProcess.h"
#include "support/LogLines.h"
#include "support/TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

// The agent a controller spawned, found through control.json.
struct Spawned {
    quint16 port = 0;
    QByteArray token;
    qint64 pid = 0;
    int post(const QString &path, const QJsonObject &body = {}) const {
        return testHttp("POST", port, path, token, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
};

Spawned readSpawned(const QString &dataDir) {
    const QJsonObject o = HostProcess::readControlJson(dataDir);
    return {quint16(o.value("port").toInt()), o.value("token").toString().toUtf8(), o.value("pid").toInteger()};
}

void writeControlJson(const QString &dataDir, qint64 port, const QString &token, qint64 pid) {
    QDir().mkpath(dataDir);
    QFile f(dataDir + "/control.json");
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(QJsonObject{{"port", port}, {"token", token}, {"pid", pid}}).toJson());
}

qint64 deadPid() {
    QProcess p;
    p.start("true");
    p.waitForFinished();
    return p.processId();
}

} // namespace

class TestAgentController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void spawnCommandsFollowAndStop();
    void rideAlongStopLeavesAgentRunning();
    void restartRightAfterStopSpawnsAnew();
    void lostAgentLoggedOnce();
    void staleControlJsonIgnoredAndDeleted();
    void foreignPidNeverSignalled();
    void unansweringOwnAgentIsTerminated();
    void earlyExitEndsWaitAtOnce();
    void noExecutable();
    void terminateEscalatesToKill();
    void notReadyAndPermissions();
    void spawnedOutputKeptWhole();
    void logCapAndRotation();
    void spawnedAgentEndsWithTheApp();

private:
    std::unique_ptr<AgentController> make() {
        auto c = std::make_unique<AgentController>();
        AgentController::Timings t = c->timings();
        t.permissionReloadMs = 100;
        c->setTimings(t);
        return c;
    }
    void waitDone(const std::function<void(AgentController::Done)> &op) {
        bool done = false;
        op([&] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
    }

    TestEnv m_env;
    std::unique_ptr<AgentController> m_c;
};

void TestAgentController::initTestCase() {
    qputenv("VELMO_HOST_TEST_HOOKS", "1");
    qputenv("VELMO_SYSTEMCTL", "/bin/false");
}

void TestAgentController::init() {
    QDir(m_env.dataDir()).removeRecursively();
    qputenv("VELMO_RMAGENT", VELMO_HOST_BIN);
    m_c = make();
}

void TestAgentController::cleanup() {
    if (m_c)
        m_c->terminateAgentSync();
    m_c.reset();
    qunsetenv("VELMO_HOST_EXIT_EARLY");
}

void TestAgentController::spawnCommandsFollowAndStop() {
    AgentController &c = *m_c;
    QCOMPARE(c.message(), QStringLiteral("エージェント未起動"));
    c.start("http://127.0.0.1:9");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み(127.0.0.1:")), 10000);
    Spawned a = readSpawned(m_env.dataDir());
    QCOMPARE(c.message(), QStringLiteral("制御 API 接続済み(127.0.0.1:%1)").arg(a.port));
    QVERIFY(c.running());
    QVERIFY(c.spawnedByUs());
    QVERIFY(!c.attachedToResident());
    QTRY_VERIFY(c.status().has_value());
    QCOMPARE(c.status()->server, QStringLiteral("http://127.0.0.1:9"));
    QTRY_VERIFY(hasLine(c.logLines(), "events: 受信開始(id="));
    QTRY_VERIFY(hasLine(c.logLines(), "agent: velmo-remote-host"));
    const QStringList lines = c.logLines();
    QVERIFY(hasLine(lines, QStringLiteral("Velmo Remote Host 起動: %1 --data %2 --server http://127.0.0.1:9")
                               .arg(VELMO_HOST_BIN, m_env.dataDir())));
    QVERIFY(hasLine(lines, QStringLiteral("control.json 読み込み: port=%1 pid=%2").arg(a.port).arg(a.pid)));
    QVERIFY(hasLine(lines, "status: id= name="));
    QVERIFY(hasLine(lines, " 接続=false 共有=true セッション=0"));
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ").match(lines.first()).hasMatch());
    QFile disk(m_env.dataDir() + "/desktop.log");
    QVERIFY(disk.open(QIODevice::ReadOnly));
    const QString diskText = QString::fromUtf8(disk.readAll());
    QVERIFY(diskText.contains("control.json 読み込み: port="));
    QVERIFY(diskText.contains("events: 受信開始(id="));

    // Commands change the agent and the status follows.
    waitDone([&](auto done) { c.setSharing(false, this, done); });
    QVERIFY(!c.status()->sharing);
    QVERIFY(!c.lastError());
    waitDone([&](auto done) { c.setPermissions("none", true, false, true, this, done); });
    QCOMPARE(c.lastError().value_or(QString()), QStringLiteral("そのセッションはありません"));
    QCOMPARE(a.post("test/respond", {{"path", "sharing"}, {"status", 409}, {"body", "今は変えられません"}}), 200);
    waitDone([&](auto done) { c.setSharing(true, this, done); });
    QCOMPARE(c.lastError().value_or(QString()), QStringLiteral("今は変えられません"));
    QCOMPARE(a.post("test/respond", {{"path", "name"}, {"status", 500}, {"body", ""}}), 200);
    waitDone([&](auto done) { c.setName("x", this, done); });
    QCOMPARE(c.lastError().value_or(QString()), QStringLiteral("エージェントがエラーを返しました(HTTP 500)"));
    waitDone([&](auto done) { c.setQuality(30, 0.5, 4000, this, done); });
    QVERIFY(!c.lastError());
    QCOMPARE(c.status()->fps, 30);

    // Events: an injected request shows up without a refresh.
    QCOMPARE(a.post("test/ask", {{"sid", "r1"}, {"name", "Sato"}, {"ip", "192.0.2.1"}}), 200);
    QTRY_VERIFY(c.status()->asks.size() == 1);
    waitDone([&](auto done) { c.answerAsk("r1", false, this, done); });
    QVERIFY(c.status()->asks.isEmpty());

    // The agent moves to a new port and token: followed with the swap message.
    QCOMPARE(a.post("test/restart"), 200);
    QTRY_VERIFY_WITH_TIMEOUT(readSpawned(m_env.dataDir()).port != a.port, 5000);
    const Spawned b = readSpawned(m_env.dataDir());
    QTRY_COMPARE_WITH_TIMEOUT(c.message(), QStringLiteral("起動中のエージェントに接続(127.0.0.1:%1)").arg(b.port),
                              4000);
    QVERIFY(
        hasLine(c.logLines(), QStringLiteral("エージェントが入れ替わったので繋ぎ直します(127.0.0.1:%1)").arg(b.port)));
    QCOMPARE(c.client()->port(), b.port);
    QCOMPARE(b.post("test/ask", {{"sid", "r2"}, {"name", "Ito"}, {"ip", "192.0.2.2"}}), 200);
    QTRY_VERIFY(c.status()->asks.size() == 1);

    // stop() ends the agent we spawned.
    c.stop();
    QCOMPARE(c.message(), QStringLiteral("エージェント停止"));
    QVERIFY(!c.running());
    QVERIFY(!c.status());
    QVERIFY(!c.client());
    QTRY_VERIFY(!AgentProcessInfo::exists(b.pid));
    QTRY_VERIFY(!QFile::exists(m_env.dataDir() + "/control.json"));
}

void TestAgentController::rideAlongStopLeavesAgentRunning() {
    HostProcess host(m_env.dataDir());
    QVERIFY(host.ok());
    AgentController &c = *m_c;
    c.start("http://unused");
    QTRY_COMPARE(c.message(), QStringLiteral("起動中のエージェントに接続(127.0.0.1:%1)").arg(host.port()));
    QVERIFY(hasLine(c.logLines(), QStringLiteral("既存のエージェント(pid %1)に相乗りします").arg(host.pid())));
    QVERIFY(!c.spawnedByUs());
    QVERIFY(c.running());
    QVERIFY(!c.attachedToResident());
    QTRY_VERIFY(c.status().has_value());
    QVERIFY(!hasLine(c.logLines(), "Velmo Remote Host 起動"));

    c.stop();
    QCOMPARE(c.message(), QStringLiteral("エージェント停止"));
    QTest::qWait(300);
    QVERIFY(host.running());
    QVERIFY(!host.requestPaths().contains("quit"));
    QCOMPARE(host.get("status"), 200);
}

void TestAgentController::restartRightAfterStopSpawnsAnew() {
    // The agent told to end may still answer for a moment: it is not ridden along.
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    const Spawned a = readSpawned(m_env.dataDir());
    QCOMPARE(a.post("test/ignore-sigterm", {{"on", true}}), 200);
    QCOMPARE(a.post("test/stall", {{"path", "quit"}}), 200);
    c.stop();
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    QVERIFY(!hasLine(c.logLines(), "相乗り"));
    QVERIFY(readSpawned(m_env.dataDir()).pid != a.pid);
    ::kill(pid_t(a.pid), SIGKILL);
}

void TestAgentController::lostAgentLoggedOnce() {
    auto host = std::make_unique<HostProcess>(m_env.dataDir());
    QVERIFY(host->ok());
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY(hasLine(c.logLines(), "events: 受信開始"));
    host.reset(); // the agent goes away; the stream is re-opened every second and fails
    auto count = [&] {
        int n = 0;
        for (const QString &l : c.logLines())
            n += l.contains(QStringLiteral("events 切断: ")) ? 1 : 0;
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(count(), 1, 10000);
    QTest::qWait(2500);
    QCOMPARE(count(), 1);
    // It comes back on a new port: followed.
    HostProcess again(m_env.dataDir());
    QVERIFY(again.ok());
    QTRY_COMPARE_WITH_TIMEOUT(c.message(), QStringLiteral("起動中のエージェントに接続(127.0.0.1:%1)").arg(again.port()),
                              8000);
    QTRY_VERIFY(c.status().has_value());
}

void TestAgentController::staleControlJsonIgnoredAndDeleted() {
    const qint64 dead = deadPid();
    writeControlJson(m_env.dataDir(), 1, "stale", dead);
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    QVERIFY(!hasLine(c.logLines(), "相乗り"));
    QVERIFY(!hasLine(c.logLines(), "前回のエージェント"));
    const Spawned a = readSpawned(m_env.dataDir());
    QVERIFY(a.pid != dead);
    QVERIFY(a.port != 1);
}

void TestAgentController::foreignPidNeverSignalled() {
    QProcess sleeper;
    sleeper.start("sleep", {"30"});
    QVERIFY(sleeper.waitForStarted());
    writeControlJson(m_env.dataDir(), 2, "x", sleeper.processId());
    QVERIFY(!AgentProcessInfo::isOurAgent(sleeper.processId()));
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    QVERIFY(!hasLine(c.logLines(), "前回のエージェント"));
    QVERIFY(!sleeper.waitForFinished(300));
    QCOMPARE(sleeper.state(), QProcess::Running);
    sleeper.kill();
    sleeper.waitForFinished();
}

void TestAgentController::unansweringOwnAgentIsTerminated() {
    // A velmo-remote-host that control.json names but that does not accept
    // the token in the file: ride-along fails, so it is ended before a spawn.
    const QString otherDir = m_env.home() + "/other";
    HostProcess old(otherDir);
    QVERIFY(old.ok());
    const qint64 oldPid = old.pid();
    writeControlJson(m_env.dataDir(), old.port(), "wrong-token", oldPid);
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    QVERIFY(hasLine(c.logLines(), QStringLiteral("前回のエージェント(pid %1)を終了させます").arg(oldPid)));
    QTRY_VERIFY(!old.running());
    QVERIFY(readSpawned(m_env.dataDir()).pid != oldPid);
}

void TestAgentController::earlyExitEndsWaitAtOnce() {
    qputenv("VELMO_HOST_EXIT_EARLY", "3");
    AgentController &c = *m_c;
    QCOMPARE(c.timings().controlJsonWaitMs, 20000);
    c.start("");
    // Well before the 20 s deadline.
    QTRY_COMPARE_WITH_TIMEOUT(c.message(), QStringLiteral("control.json を読めませんでした"), 5000);
    QCOMPARE(c.lastError().value_or(QString()),
             QStringLiteral("エージェントは起動しましたが control.json が現れません。ログを確認してください。"));
    QVERIFY(hasLine(c.logLines(), "agent 終了: status=3"));
    QVERIFY(hasLine(c.logLines(), "control.json 待ちタイムアウト"));
    QVERIFY(hasLine(c.logLines(), "agent: exiting before listening"));
    QVERIFY(!c.running());
    QVERIFY(!c.launching());
    // The ended process is kept: start does nothing until stop.
    const qsizetype n = c.logLines().size();
    c.start("");
    QTest::qWait(100);
    QCOMPARE(c.logLines().size(), n);
    c.stop();
    qunsetenv("VELMO_HOST_EXIT_EARLY");
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
}

void TestAgentController::noExecutable() {
    qputenv("VELMO_RMAGENT", m_env.home().toUtf8() + "/missing");
    AgentController &c = *m_c;
    c.start("");
    QTRY_COMPARE(c.message(), QStringLiteral("常駐版のエージェントがありません"));
    QVERIFY(c.lastError().value_or(QString()).startsWith(QStringLiteral("常駐版を入れられませんでした。")));
    QVERIFY(hasLine(c.logLines(), "常駐版が無く、代わりに動かせる Velmo Remote Host もありません"));
    QVERIFY(!c.running());
}

void TestAgentController::terminateEscalatesToKill() {
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    const Spawned a = readSpawned(m_env.dataDir());
    QCOMPARE(a.post("test/ignore-sigterm", {{"on", true}}), 200);
    const QString before = c.message();
    const qsizetype logBefore = c.logLines().size();
    QElapsedTimer t;
    t.start();
    c.terminateAgentSync();
    // SIGTERM was ignored for the whole grace period, then SIGKILL ended it.
    QVERIFY(t.elapsed() >= 2900);
    QVERIFY(!AgentProcessInfo::exists(a.pid) || AgentProcessInfo::executablePath(a.pid).isEmpty());
    QCOMPARE(c.message(), before);
    QCOMPARE(c.logLines().size(), logBefore);
}

void TestAgentController::notReadyAndPermissions() {
    AgentController &c = *m_c;
    waitDone([&](auto done) { c.rotatePasscode(this, done); });
    QCOMPARE(c.lastError().value_or(QString()), QStringLiteral("エージェントがまだ起動していません"));
    waitDone([&](auto done) { c.requestScreenPermission(this, done); });
    QVERIFY(c.awaitingScreenPerm());

    c.start("");
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    const Spawned a = readSpawned(m_env.dataDir());
    // Refused: the flag stays and the status is read again.
    QCOMPARE(a.post("test/perm", {{"screen", "denied"}, {"grantScreen", false}}), 200);
    waitDone([&](auto done) { c.requestScreenPermission(this, done); });
    QVERIFY(c.awaitingScreenPerm());
    QCOMPARE(c.status()->screenPerm, QStringLiteral("denied"));
    // Granted: the agent is started again so the permission takes effect.
    QCOMPARE(a.post("test/perm", {{"grantInput", true}}), 200);
    waitDone([&](auto done) { c.requestInputPermission(this, done); });
    QVERIFY(!c.awaitingScreenPerm());
    QVERIFY(hasLine(c.logLines(), "画面収録の許可を反映するためエージェントを起こし直します"));
    QTRY_VERIFY_WITH_TIMEOUT(c.message().startsWith(QStringLiteral("制御 API 接続済み")), 10000);
    QTRY_VERIFY(!AgentProcessInfo::exists(a.pid));
    QVERIFY(readSpawned(m_env.dataDir()).pid != a.pid);
}

void TestAgentController::spawnedOutputKeptWhole() {
    // An agent whose output arrives cut inside a character and inside lines.
    const QString script = m_env.home() + "/chatty-agent";
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n"
            "printf '\\343\\201'; sleep 0.2\n"
            "printf '\\202line1\\nli'; sleep 0.2\n"
            "printf 'ne2\\r\\n\\n\\377bad\\n'; sleep 0.2\n"
            "printf 'last'\n"
            "exit 4\n");
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    qputenv("VELMO_RMAGENT", script.toUtf8());
    AgentController &c = *m_c;
    c.start("");
    QTRY_VERIFY(hasLine(c.logLines(), "agent 終了: status=4"));
    QStringList agentLines;
    for (const QString &l : c.logLines())
        if (l.contains(" agent: "))
            agentLines << l.mid(l.indexOf(" agent: ") + 8);
    QCOMPARE(agentLines, (QStringList{"あline1", "line2", QString(QChar::ReplacementCharacter) + "bad", "last"}));
    QTRY_COMPARE(c.message(), QStringLiteral("control.json を読めませんでした"));
}

void TestAgentController::logCapAndRotation() {
    AgentController &c = *m_c;
    QDir().mkpath(m_env.dataDir());
    for (int i = 0; i < 600; ++i)
        c.log(QStringLiteral("line %1").arg(i));
    QCOMPARE(c.logLines().size(), 500);
    QVERIFY(c.logLines().first().endsWith(" line 100"));
    QVERIFY(c.logLines().last().endsWith(" line 599"));
    QFile disk(m_env.dataDir() + "/desktop.log");
    QVERIFY(disk.open(QIODevice::ReadOnly));
    QCOMPARE(disk.readAll().count('\n'), 600);
    disk.close();

    // Exactly 2 MiB stays; one byte more is deleted at the next launch.
    qputenv("VELMO_RMAGENT", m_env.home().toUtf8() + "/missing");
    QVERIFY(disk.open(QIODevice::WriteOnly | QIODevice::Truncate));
    disk.write(QByteArray(2 * 1024 * 1024, 'a'));
    disk.close();
    c.start("");
    QTRY_VERIFY(!c.launching());
    QVERIFY(QFileInfo(disk.fileName()).size() > 2 * 1024 * 1024); // kept, lines appended
    c.stop();
    QVERIFY(disk.open(QIODevice::WriteOnly | QIODevice::Truncate));
    disk.write(QByteArray(2 * 1024 * 1024 + 1, 'a'));
    disk.close();
    c.start("");
    QTRY_VERIFY(!c.launching());
    QVERIFY(QFileInfo(disk.fileName()).size() < 4096);
    QVERIFY(disk.open(QIODevice::ReadOnly));
    QVERIFY(!disk.readAll().contains("aaaa"));
}

namespace {
bool processAlive(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) S ...": an unreaped zombie has ended too.
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close > 0 && line.size() > close + 2 && line[close + 2] != 'Z';
}
} // namespace

// The application is killed outright (no orderly quit): the agent it started must not
// stay behind.
void TestAgentController::spawnedAgentEndsWithTheApp() {
    m_c.reset();
    QProcess app;
    app.start(QCoreApplication::applicationFilePath(), {"--spawn-and-wait"});
    QVERIFY(app.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += app.readAllStandardOutput()).contains("ready"), 15000);
    const Spawned a = readSpawned(m_env.dataDir());
    QVERIFY(a.pid > 0);
    QVERIFY(processAlive(a.pid));
    ::kill(pid_t(app.processId()), SIGKILL);
    QVERIFY(app.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(a.pid), 15000);
}

int main(int argc, char **argv) {
    // Child mode: an application that starts its own agent and then just runs.
    if (argc == 2 && QByteArray(argv[1]) == "--spawn-and-wait") {
        QCoreApplication app(argc, argv);
        AgentController c;
        c.start(QString());
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &app, [&] {
            if (c.spawnedByUs() && c.message().startsWith(QStringLiteral("制御 API 接続済み"))) {
                std::fputs("ready\n", stdout);
                std::fflush(stdout);
                poll.stop();
            }
        });
        poll.start(50);
        return app.exec();
    }
    QCoreApplication app(argc, argv);
    TestAgentController test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_agent_controller.moc"

// The resident agent as a systemd user service, with a recording stand-in for
// systemctl (VELMO_SYSTEMCTL) that can really start the unit's command.
#include "agent/AgentController.h"
#include "agent/AgentProcessInfo.h"
#include "agent/ResidentAgent.h"
#include "config/Paths.h"
#include "support/HostProcess.h"
#include "support/LogLines.h"
#include "support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {

bool copyExecutable(const QString &to) {
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(VELMO_HOST_BIN, to) &&
           QFile(to).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace

class TestResident : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void unitTextAndArguments();
    void installedAndOldLocations();
    void symlinkedHome();
    void startResidentWritesUnitThenStarts();
    void installWithoutBundledCopy();
    void installCopyFailure();
    void installAttachStopAndPermissionRestart();
    void residentFailureThenRetryAttaches();
    void leftoverControlJsonFailsAtOnce();

private:
    QStringList systemctlCalls() const {
        QFile f(m_env.home() + "/systemctl.log");
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void clearCalls() { QFile::remove(m_env.home() + "/systemctl.log"); }
    void killStandInAgent() {
        QFile f(m_env.home() + "/sysstate/pid");
        if (f.open(QIODevice::ReadOnly)) {
            const qint64 pid = f.readAll().trimmed().toLongLong();
            if (pid > 1 && AgentProcessInfo::isOurAgent(pid))
                ::kill(pid_t(pid), SIGKILL);
        }
        QDir(m_env.home() + "/sysstate").removeRecursively();
        QDir().mkpath(m_env.home() + "/sysstate");
    }

    TestEnv m_env;
    std::unique_ptr<AgentController> m_c;
    QByteArray m_path;
};

void TestResident::initTestCase() {
    qputenv("VELMO_SYSTEMCTL", VELMO_SOURCE_DIR "/tests/support/fake-systemctl.sh");
    qputenv("VELMO_SYSTEMCTL_LOG", (m_env.home() + "/systemctl.log").toUtf8());
    qputenv("VELMO_SYSTEMCTL_STATE", (m_env.home() + "/sysstate").toUtf8());
    qputenv("VELMO_HOST_TEST_HOOKS", "1");
    qputenv("VELMO_RMAGENT", "/nonexistent");
    m_path = qgetenv("PATH");
}

void TestResident::init() {
    killStandInAgent();
    qunsetenv("VELMO_SYSTEMCTL_RUN");
    qunsetenv("VELMO_AGENT_BUNDLE_DIR");
    qputenv("PATH", m_path);
    QDir(m_env.home() + "/.local/lib").removeRecursively();
    QDir(Paths::dataDir()).removeRecursively();
    QDir(Paths::systemdUserDir()).removeRecursively();
    QDir().mkpath(Paths::dataDir());
    clearCalls();
    m_c = std::make_unique<AgentController>();
}

void TestResident::cleanup() {
    m_c.reset();
    killStandInAgent();
}

void TestResident::unitTextAndArguments() {
    const QString data = Paths::dataDir();
    QCOMPARE(ResidentAgent::programArguments(data, " \t "), (QStringList{ResidentAgent::binaryPath(), "--data", data}));
    QCOMPARE(ResidentAgent::programArguments(data, "\thttps://rv.example/ "),
             (QStringList{ResidentAgent::binaryPath(), "--data", data, "--server", "https://rv.example/"}));

    // The text the application writes is the template shipped in deploy/linux.
    QFile tf(VELMO_SOURCE_DIR "/deploy/linux/velmo-remote-agent.service.in");
    QVERIFY(tf.open(QIODevice::ReadOnly));
    QString expected = QString::fromUtf8(tf.readAll());
    expected.replace("@EXEC_START@", QStringLiteral("\"%1\" \"--data\" \"%2\" \"--server\" \"http://a/%%41$$x\"")
                                         .arg(ResidentAgent::binaryPath(), data));
    expected.replace("@AGENT_LOG@", data + "/agent.log");
    QCOMPARE(ResidentAgent::unitText(data, "http://a/%41$x"), expected);
    QVERIFY(expected.contains("Restart=always"));
    QVERIFY(expected.contains("WantedBy=default.target"));
}

void TestResident::installedAndOldLocations() {
    QVERIFY(!ResidentAgent::installed());
    QCOMPARE(ResidentAgent::runBinaryPath(), ResidentAgent::binaryPath());
    const QString old = m_env.home() + "/.local/lib/VelmoRemoteAgent";
    QCOMPARE(ResidentAgent::legacyDirs().value(1), old);
    QVERIFY(copyExecutable(old + "/velmo-remote-host"));
    QVERIFY(ResidentAgent::installed());
    QCOMPARE(ResidentAgent::runBinaryPath(), old + "/velmo-remote-host");
    QVERIFY(ResidentAgent::isResidentExecutable(old + "/velmo-remote-host"));
    QVERIFY(ResidentAgent::isResidentExecutable(ResidentAgent::binaryPath()));
    QVERIFY(!ResidentAgent::isResidentExecutable(ResidentAgent::installedDir() + "2/velmo-remote-host"));
    QVERIFY(!ResidentAgent::isResidentExecutable(VELMO_HOST_BIN));
    // A file that is not executable does not count.
    QDir().mkpath(ResidentAgent::installedDir());
    QFile f(ResidentAgent::binaryPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QCOMPARE(ResidentAgent::runBinaryPath(), old + "/velmo-remote-host");
    QVERIFY(AgentController().residentInstalled());
}

// /proc/PID/exe names the canonical path; a home reached through a symlink must
// still be recognised.
void TestResident::symlinkedHome() {
    const QByteArray realHome = qgetenv("HOME");
    const QString link = m_env.home() + "/../" + QFileInfo(m_env.home()).fileName() + "-link";
    QFile::remove(link);
    QVERIFY(QFile::link(m_env.home(), link));
    qputenv("HOME", QFileInfo(link).absoluteFilePath().toUtf8());
    const bool copied = copyExecutable(ResidentAgent::binaryPath());
    const QString canonical = QFileInfo(ResidentAgent::binaryPath()).canonicalFilePath();
    const bool isResident = ResidentAgent::isResidentExecutable(canonical);
    const bool elsewhere = ResidentAgent::isResidentExecutable(QFileInfo(VELMO_HOST_BIN).canonicalFilePath());
    qputenv("HOME", realHome);
    QFile::remove(link);
    QVERIFY(copied);
    QVERIFY(canonical.startsWith(QFileInfo(m_env.home()).canonicalFilePath() + "/"));
    QVERIFY(isResident);
    QVERIFY(!elsewhere);
}

void TestResident::startResidentWritesUnitThenStarts() {
    QVERIFY(!QFile::exists(ResidentAgent::unitPath()));
    m_c->startResident();
    QVERIFY(QFile::exists(ResidentAgent::unitPath()));
    QCOMPARE(systemctlCalls(), (QStringList{"--user is-active velmo-remote-agent.service", "--user daemon-reload",
                                            "--user enable --now velmo-remote-agent.service"}));
    QVERIFY(hasLine(m_c->logLines(), "常駐版を起こしました(com.tarnwick.velmo-remote.agent)"));
    // Already running: restarted instead.
    clearCalls();
    m_c->startResident();
    QCOMPARE(systemctlCalls(),
             (QStringList{"--user is-active velmo-remote-agent.service", "--user restart velmo-remote-agent.service"}));
}

void TestResident::installWithoutBundledCopy() {
    QVERIFY(!ResidentAgent::bundledDir());
    bool done = false;
    m_c->installResident(false, this, [&] { done = true; });
    QVERIFY(done);
    QCOMPARE(m_c->lastError().value_or(QString()),
             QStringLiteral("このアプリには常駐版が同梱されていません(scripts/build.sh で作り直してください)"));
    QVERIFY(!QFile::exists(ResidentAgent::installedDir()));
    QVERIFY(systemctlCalls().isEmpty());
}

void TestResident::installCopyFailure() {
    const QString bundle = m_env.home() + "/bundle";
    QVERIFY(copyExecutable(bundle + "/velmo-remote-host"));
    qputenv("VELMO_AGENT_BUNDLE_DIR", bundle.toUtf8());
    QVERIFY(copyExecutable(ResidentAgent::binaryPath())); // an older installation
    // A cp that fails with status 1.
    const QString bin = m_env.home() + "/fakebin";
    QDir().mkpath(bin);
    QFile cp(bin + "/cp");
    QVERIFY(cp.open(QIODevice::WriteOnly));
    cp.write("#!/bin/sh\nexit 1\n");
    cp.close();
    cp.setPermissions(cp.permissions() | QFileDevice::ExeOwner);
    qputenv("PATH", bin.toUtf8() + ":" + m_path);

    bool done = false;
    m_c->installResident(false, this, [&] { done = true; });
    QCOMPARE(m_c->message(), QStringLiteral("常駐版を入れています…"));
    QTRY_VERIFY(done);
    const QString text = QStringLiteral("操作を完了できませんでした。(cp エラー 1)");
    QCOMPARE(m_c->lastError().value_or(QString()), QStringLiteral("常駐版を入れられませんでした: ") + text);
    QVERIFY(hasLine(m_c->logLines(), QStringLiteral("常駐版の配置に失敗: ") + text));
    QVERIFY(!QFile::exists(ResidentAgent::binaryPath())); // the old one stays deleted
    QVERIFY(systemctlCalls().isEmpty());
}

void TestResident::installAttachStopAndPermissionRestart() {
    // A build tree holds much beside the agent; only the agent is installed.
    const QString bundle = m_env.home() + "/bundle";
    QVERIFY(copyExecutable(bundle + "/velmo-remote-host"));
    QDir().mkpath(bundle + "/CMakeFiles/velmo-remote-host.dir");
    for (const char *name : {"/CMakeFiles/velmo-remote-host.dir/main.cpp.o", "/cmake_install.cmake"}) {
        QFile junk(bundle + name);
        QVERIFY(junk.open(QIODevice::WriteOnly));
    }
    qputenv("VELMO_AGENT_BUNDLE_DIR", bundle.toUtf8());
    const QString old = m_env.home() + "/.local/lib/velmo-remote-host";
    QVERIFY(copyExecutable(old + "/velmo-remote-host"));
    qputenv("VELMO_SYSTEMCTL_RUN", "1");
    AgentController::Timings t = m_c->timings();
    t.residentInstallWaitMs = 1500;
    t.permissionReloadMs = 100;
    m_c->setTimings(t);

    bool done = false;
    m_c->installResident(true, this, [&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
    QVERIFY(!m_c->lastError());
    QVERIFY(m_c->residentInstalled());
    QVERIFY(QFileInfo(ResidentAgent::binaryPath()).isExecutable());
    QCOMPARE(QDir(ResidentAgent::installedDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"velmo-remote-host"});
    QVERIFY(!QFile::exists(old));
    QVERIFY(hasLine(m_c->logLines(), QStringLiteral("昔の置き場所を消しました: ") + old));
    QVERIFY(hasLine(m_c->logLines(), QStringLiteral("常駐版を入れました: ") + ResidentAgent::installedDir()));
    const QStringList calls = systemctlCalls();
    QVERIFY(calls.indexOf("--user disable --now velmo-remote-agent.service") >= 0);
    QVERIFY(calls.indexOf("--user disable --now velmo-remote-agent.service") <
            calls.indexOf("--user enable --now velmo-remote-agent.service"));

    // The stand-in started the unit's command; start() attached to it.
    QTRY_VERIFY_WITH_TIMEOUT(m_c->attachedToResident(), 10000);
    const QJsonObject cj = HostProcess::readControlJson(Paths::dataDir());
    const qint64 pid = cj.value("pid").toInteger();
    QCOMPARE(AgentProcessInfo::executablePath(pid), ResidentAgent::binaryPath());
    QTRY_VERIFY(m_c->message().startsWith(QStringLiteral("常駐版のエージェントに接続(127.0.0.1:")));
    QVERIFY(!m_c->spawnedByUs());

    // A granted permission restarts the service rather than the agent itself.
    clearCalls();
    done = false;
    m_c->requestScreenPermission(this, [&] { done = true; });
    QTRY_VERIFY(done);
    QVERIFY(systemctlCalls().contains("--user restart velmo-remote-agent.service"));
    QVERIFY(hasLine(m_c->logLines(), "画面収録の許可を反映するため常駐版を起こし直しました"));

    // stop() leaves the resident agent alone.
    QTRY_VERIFY_WITH_TIMEOUT(m_c->running(), 10000);
    // The restarted agent announces itself in control.json; until then it names the old one.
    qint64 current = 0;
    auto restarted = [&] {
        current = HostProcess::readControlJson(Paths::dataDir()).value("pid").toInteger();
        return current != pid && AgentProcessInfo::exists(current);
    };
    QTRY_VERIFY_WITH_TIMEOUT(restarted(), 10000);
    m_c->stop();
    QTest::qWait(300);
    QVERIFY(AgentProcessInfo::exists(current));
    QVERIFY(AgentProcessInfo::isResidentAgent(current));
}

void TestResident::residentFailureThenRetryAttaches() {
    QVERIFY(copyExecutable(ResidentAgent::binaryPath()));
    AgentController::Timings t = m_c->timings();
    t.controlJsonWaitMs = 600;
    t.retryAttachMs = 300;
    m_c->setTimings(t);
    m_c->start("");
    QTRY_COMPARE(m_c->message(), QStringLiteral("常駐版のエージェントを起こせませんでした"));
    QCOMPARE(m_c->lastError().value_or(QString()), QStringLiteral("常駐版(") + ResidentAgent::installedDir() +
                                                       QStringLiteral(")が動きません。ログを確認してください。"));
    QVERIFY(hasLine(m_c->logLines(), "常駐版を起こします"));
    QVERIFY(!m_c->running());

    // The resident agent comes up later: the background retry attaches.
    HostProcess resident(Paths::dataDir(), ResidentAgent::binaryPath());
    QVERIFY(resident.ok());
    QTRY_VERIFY_WITH_TIMEOUT(m_c->running(), 10000);
    QVERIFY(hasLine(m_c->logLines(), "常駐版が上がったので繋ぎ直しました"));
    QVERIFY(m_c->attachedToResident());
    QVERIFY(!m_c->lastError());
    QCOMPARE(m_c->message(), QStringLiteral("常駐版のエージェントに接続(127.0.0.1:%1)").arg(resident.port()));
    QTRY_VERIFY(m_c->status().has_value());
}

void TestResident::leftoverControlJsonFailsAtOnce() {
    QVERIFY(copyExecutable(ResidentAgent::binaryPath()));
    quint16 port;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        port = s.serverPort();
    }
    QFile f(Paths::dataDir() + "/control.json");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(QJsonObject{{"port", port}, {"token", "t"}, {"pid", 999999}}).toJson());
    f.close();
    QCOMPARE(m_c->timings().controlJsonWaitMs, 20000);
    m_c->start("");
    QTRY_COMPARE_WITH_TIMEOUT(m_c->message(), QStringLiteral("常駐版のエージェントを起こせませんでした"), 5000);
}

QTEST_GUILESS_MAIN(TestResident)
#include "tst_resident.moc"

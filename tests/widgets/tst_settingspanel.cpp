// The settings panel against a real agent (velmo-remote-host with its test
// hooks), the real Secret Service, and the real uninstaller script.
#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "config/Keychain.h"
#include "config/Paths.h"
#include "rendezvous/LocalServer.h"
#include "rendezvous/Signaling.h"
#include "shell/SettingsPanelView.h"
#include "support/HostProcess.h"
#include "support/RendezvousProcess.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {
void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

int rideAlongLines(const AgentController &agent) {
    int n = 0;
    for (const QString &line : agent.logLines())
        n += line.contains(QStringLiteral("に相乗りします")) ? 1 : 0;
    return n;
}
} // namespace

class TestSettingsPanel : public QObject {
    Q_OBJECT

    TestEnv env;
    std::unique_ptr<AppConfig> settings;
    std::unique_ptr<HostProcess> host;
    std::unique_ptr<AgentController> agent;

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void textsAndSelectors();
    void saveTokenAndServer();
    void saveChecksTheServer();
    void audioFollowsAgent();
    void removalWithoutScriptOrOutput();
    void removalRunsUninstaller();
};

void TestSettingsPanel::initTestCase() {
    settings = std::make_unique<AppConfig>(Paths::settingsFile());
    host = std::make_unique<HostProcess>(Paths::dataDir());
    QVERIFY(host->ok());
    agent = std::make_unique<AgentController>(settings.get());
    agent->start(settings->server());
    QTRY_VERIFY_WITH_TIMEOUT(agent->status().has_value(), 10000);
}

void TestSettingsPanel::cleanupTestCase() {
    if (agent)
        agent->stop();
    agent.reset();
    if (host)
        host->stop();
}

void TestSettingsPanel::textsAndSelectors() {
    QCOMPARE(SettingsPanelView::trimmed(" \t https://a.example/ \t"), QString("https://a.example/"));
    QCOMPARE(SettingsPanelView::trimmed("\n x \n"), QString("\n x \n")); // only spaces and tabs
    QCOMPARE(SettingsPanelView::trimmed(" \t "), QString());
    QCOMPARE(SettingsPanelView::presetLabel("balanced"), QString("標準  15fps / 75% / 4000kbps"));

    AppConfig *config = settings.get();
    SettingsPanelView panel(config, agent.get(), nullptr, nullptr);
    auto *preset = panel.findChild<QComboBox *>("preset");
    QStringList labels;
    for (int i = 0; i < preset->count(); ++i)
        labels << preset->itemText(i);
    QCOMPARE(labels, QStringList({"速度優先  30fps / 50% / 2000kbps", "標準  15fps / 75% / 4000kbps",
                                  "画質優先  10fps / 100% / 8000kbps"}));
    QCOMPARE(preset->currentData().toString(), config->preset());
    preset->activated(0);
    QCOMPARE(config->preset(), QString("speed"));
    config->setPreset("quality"); // the selector follows the store
    QCOMPARE(preset->currentData().toString(), QString("quality"));
    config->setPreset("balanced");

    auto *video = panel.findChild<QComboBox *>("videoPref");
    QCOMPARE(video->itemText(0), QString("H.264(既定・低遅延)"));
    QCOMPARE(video->itemText(1), QString("JPEG(互換フォールバック)"));
    video->activated(1);
    QCOMPARE(config->videoPref(), QString("jpeg"));
    video->activated(0);
    QCOMPARE(config->videoPref(), QString("h264"));

    // The removal says what goes on Linux: no screen-recording permission exists on X11.
    bool removalCaption = false;
    for (QLabel *l : panel.findChildren<QLabel *>()) {
        QVERIFY2(!l->text().contains("画面収録"), qPrintable(l->text()));
        removalCaption |= l->text().startsWith("常駐版・ログイン時の自動起動・端末の身元・設定を、まとめて外します。");
    }
    QVERIFY(removalCaption);

    auto *cursor = panel.findChild<QCheckBox *>("showCursor");
    QCOMPARE(cursor->text(), QString("相手側のマウスカーソルを重ねて表示する"));
    cursor->click();
    QCOMPARE(config->showCursor(), !false);
    cursor->click();
    QCOMPARE(config->showCursor(), false);
}

void TestSettingsPanel::saveTokenAndServer() {
    AppConfig *config = settings.get();
    const QString server = config->server();
    // A saved server change goes through the local server supervisor, as in the application.
    LocalServer localServer(Paths::dataDir());
    SettingsPanelView panel(config, agent.get(), &localServer, nullptr);
    panel.show();
    auto *tokenField = panel.findChild<QLineEdit *>("token");
    auto *serverField = panel.findChild<QLineEdit *>("server");
    QCOMPARE(serverField->text(), server);
    const int rides = rideAlongLines(*agent);

    // Unchanged server, new token: stored in the keyring, the agent left alone.
    tokenField->clear();
    tokenField->insert("  s3cret\t");
    QSignalSpy savedSpy(&panel, &SettingsPanelView::savedChanged);
    QTest::mouseClick(panel.findChild<QPushButton *>("save"), Qt::LeftButton);
    QVERIFY(panel.saved());
    QVERIFY(panel.findChild<QLabel *>("savedLabel")->isVisible());
    QCOMPARE(config->adminToken(), QString("s3cret"));
    QCOMPARE(Keychain::get("adminToken"), std::optional<QString>("s3cret"));
    QCOMPARE(tokenField->text(), QString("  s3cret\t")); // the field is not rewritten
    // A second press a second later: the confirmation still ends 2 s after the first.
    QTest::qWait(1000);
    QTest::mouseClick(panel.findChild<QPushButton *>("save"), Qt::LeftButton);
    QTest::qWait(1200);
    QVERIFY(!panel.saved());
    QCOMPARE(rideAlongLines(*agent), rides);

    // An empty token deletes the keyring item.
    tokenField->clear();
    QTest::keyClick(tokenField, Qt::Key_Space);
    panel.save();
    QCOMPARE(config->adminToken(), QString());
    QCOMPARE(Keychain::get("adminToken"), std::nullopt);

    // A new server with spaces and a trailing slash: stored trimmed (without the
    // slash on disk), the agent restarted with the slash.
    const QString next = server + "/";
    panel.setServer("  " + next + " ");
    panel.save();
    QCOMPARE(config->server(), next);
    QCOMPARE(config->d().value("server").toString(), server);
    QTRY_COMPARE_WITH_TIMEOUT(rideAlongLines(*agent), rides + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(agent->status().has_value(), 10000);
    config->setServer(server);

    // Switching tabs away and back drops an unsaved edit.
    panel.setServer("http://unsaved.example");
    panel.hide();
    panel.show();
    QCOMPARE(serverField->text(), server);
    localServer.terminateSync();
}

// Saving says whether the saved server answers: a real signaling connection to it.
void TestSettingsPanel::saveChecksTheServer() {
    AppConfig *config = settings.get();
    const QString before = config->server();
    RendezvousProcess rendezvous;
    QVERIFY(rendezvous.start());
    Signaling signaling(config);
    SettingsPanelView panel(config, nullptr, nullptr, &signaling);
    panel.show();
    auto *check = panel.findChild<QLabel *>("serverCheck");
    QVERIFY(!check->isVisible());

    panel.setServer(rendezvous.url());
    panel.save();
    QVERIFY(panel.findChild<QLabel *>("savedLabel")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(check->text(), QString("サーバー ") + rendezvous.url() + " に接続できました", 10000);
    QVERIFY(check->isVisible());
    QVERIFY(signaling.online());

    // A server that does not answer: said at once, with the URL and what to check; the
    // socket to the previous server no longer counts as connected.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString dead = QString("http://127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    panel.setServer(dead);
    panel.save();
    QTRY_VERIFY_WITH_TIMEOUT(check->text().startsWith(QString("サーバー ") + dead + " に接続できません"), 10000);
    QVERIFY(check->text().contains("確認してください"));
    QVERIFY(check->isVisible());
    QVERIFY(!signaling.online());
    config->setServer(before);
}

void TestSettingsPanel::audioFollowsAgent() {
    SettingsPanelView panel(settings.get(), agent.get(), nullptr, nullptr);
    panel.show();
    auto *on = panel.findChild<QCheckBox *>("audioOn");
    auto *source = panel.findChild<QComboBox *>("audioSource");
    QCOMPARE(source->itemText(0), QString("システム音(PulseAudio / PipeWire)"));
    QCOMPARE(source->itemText(1), QString("マイク"));
    QTRY_VERIFY(on->isEnabled());
    QVERIFY(!on->isChecked());

    on->click();
    // The switch shows the agent's state; it turns on once the agent reports it.
    QTRY_VERIFY_WITH_TIMEOUT(agent->status() && agent->status()->audioOn, 5000);
    QVERIFY(on->isChecked());
    source->activated(1);
    QTRY_VERIFY_WITH_TIMEOUT(agent->status()->audioSource == "mic", 5000);
    QCOMPARE(source->currentData().toString(), QString("mic"));
    QVERIFY(agent->status()->audioOn);
    QByteArray body;
    QCOMPARE(host->get("status", &body), 200);
    QVERIFY(body.contains("\"audioSource\":\"mic\""));
    on->click();
    QTRY_VERIFY_WITH_TIMEOUT(!agent->status()->audioOn, 5000);
    QCOMPARE(agent->status()->audioSource, QString("mic"));

    // Without an agent the controls are off and show the system sound.
    SettingsPanelView detached(settings.get(), nullptr, nullptr, nullptr);
    QVERIFY(!detached.findChild<QCheckBox *>("audioOn")->isEnabled());
    QVERIFY(!detached.findChild<QComboBox *>("audioSource")->isEnabled());
    QCOMPARE(detached.findChild<QComboBox *>("audioSource")->currentData().toString(), QString("system"));
}

void TestSettingsPanel::removalWithoutScriptOrOutput() {
    SettingsPanelView panel(settings.get(), nullptr, nullptr, nullptr);
    int quits = 0;
    panel.setQuitHandler([&] { ++quits; });
    panel.setUninstallScript("/nonexistent/uninstall.sh");
    panel.removeEverything();
    QCOMPARE(panel.removeLog(), QString("アンインストーラが見つかりません(このビルドには同梱されていません)"));
    QVERIFY(!panel.removing());
    QTest::qWait(3300);
    QCOMPARE(quits, 0); // the application keeps running

    QTemporaryDir dir;
    const QString silent = dir.filePath("silent.sh");
    writeFile(silent, "exit 3\n");
    panel.setUninstallScript(silent);
    panel.removeEverything();
    QVERIFY(panel.removing());
    QCOMPARE(panel.removeLog(), QString("削除しています…"));
    QTRY_VERIFY(!panel.removing());
    QCOMPARE(panel.removeLog(), QString("(何も出力されませんでした)"));
    QTest::qWait(2500);
    QCOMPARE(quits, 0);
    QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 1500);

    // Output that is not UTF-8 counts as none; the exit status is not looked at.
    const QString binary = dir.filePath("binary.sh");
    writeFile(binary, "printf '\\377\\376 broken'\nexit 1\n");
    panel.setUninstallScript(binary);
    panel.removeEverything();
    QTRY_VERIFY(!panel.removing());
    QCOMPARE(panel.removeLog(), QString("(何も出力されませんでした)"));
    // The quit request outlives the panel; let it land while the counter still exists.
    QTRY_COMPARE_WITH_TIMEOUT(quits, 2, 4000);
}

void TestSettingsPanel::removalRunsUninstaller() {
    const QString home = env.home();
    const QString config = Paths::configDir();
    const QString unit = Paths::systemdUserDir() + "/velmo-remote-agent.service";
    const QString agentCopy = home + "/.local/lib/velmo-remote/resident-agent/velmo-remote-host";
    const QString autostart = Paths::autostartDir() + "/velmo-remote.desktop";
    writeFile(unit, "[Service]\nExecStart=/bin/true\n");
    writeFile(agentCopy, "#!/bin/sh\n");
    writeFile(autostart, "[Desktop Entry]\n");
    writeFile(Paths::dataDir() + "/agent.log", "log\n");
    settings->setPreset("speed"); // makes sure the settings file exists
    QVERIFY(QFileInfo::exists(Paths::settingsFile()));

    // The agent now registered with a rendezvous server that has no administration at all
    // (a token is stored all the same): the device removes its registration with its own secret.
    RendezvousProcess rendezvous;
    QVERIFY(rendezvous.start());
    agent->stop();
    host->stop();
    host = std::make_unique<HostProcess>(Paths::dataDir(), QString(), QStringList{"--server", rendezvous.url()});
    QVERIFY(host->ok());
    QString deviceId;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 QByteArray body;
                                 host->get("status", &body);
                                 deviceId = QJsonDocument::fromJson(body).object().value("id").toString();
                                 return deviceId.size() == 9;
                             }()),
                             15000);
    QCOMPARE(testHttp("GET", rendezvous.port(), "api/v1/devices/" + deviceId, {}), 200);
    Keychain::set("adminToken", "admin-0123456789");
    QCOMPARE(Keychain::get("adminToken"), std::optional<QString>("admin-0123456789"));

    QTemporaryDir state;
    const QString log = state.filePath("systemctl.log");
    qputenv("VELMO_SYSTEMCTL", VELMO_SOURCE_DIR "/tests/support/fake-systemctl.sh");
    qputenv("VELMO_SYSTEMCTL_LOG", log.toUtf8());
    qputenv("VELMO_SYSTEMCTL_STATE", state.path().toUtf8());

    SettingsPanelView panel(settings.get(), nullptr, nullptr, nullptr);
    panel.setUninstallScript(VELMO_SOURCE_DIR "/deploy/linux/uninstall.sh");
    int quits = 0;
    panel.setQuitHandler([&] { ++quits; });
    panel.show();
    QTest::mouseClick(panel.findChild<QPushButton *>("remove"), Qt::LeftButton);
    QVERIFY(panel.confirmRemove());
    QMessageBox *box = nullptr;
    QTRY_VERIFY((box = panel.findChild<QMessageBox *>("confirmRemove")));
    QCOMPARE(box->text(), QString("Velmo Remote をこのコンピュータから削除しますか?"));
    QCOMPARE(box->informativeText(),
             QString("アプリ・常駐版・身元・許可をまとめて外し、サーバーに届けばサーバー上の端末登録も消します。\n"
                     "元には戻せません。入れ直すと別の端末として登録されます。"));
    // "やめる" first: nothing happens.
    QTest::mouseClick(box->findChild<QPushButton *>("cancel"), Qt::LeftButton);
    QTRY_VERIFY(!panel.confirmRemove());
    QVERIFY(panel.removeLog().isEmpty());

    QTest::mouseClick(panel.findChild<QPushButton *>("remove"), Qt::LeftButton);
    QTRY_VERIFY((box = panel.findChild<QMessageBox *>("confirmRemove")));
    QTest::mouseClick(box->findChild<QPushButton *>("confirm"), Qt::LeftButton);
    QTRY_VERIFY(panel.removing());
    QVERIFY(!panel.findChild<QPushButton *>("remove")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!panel.removing(), 20000);
    const QString out = panel.removeLog();
    qInfo().noquote() << out;

    QVERIFY(!QFileInfo::exists(unit));
    QVERIFY(!QFileInfo::exists(home + "/.local/lib/velmo-remote/resident-agent"));
    QVERIFY(!QFileInfo::exists(autostart));
    QVERIFY(!QFileInfo::exists(Paths::dataDir()));
    QVERIFY(!QFileInfo::exists(config));
    QCOMPARE(Keychain::get("adminToken"), std::nullopt);
    QFile calls(log);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QVERIFY(calls.readAll().contains("--user disable --now velmo-remote-agent.service"));
    // The agent that ran from the data directory was ended.
    QTRY_VERIFY_WITH_TIMEOUT(!host->running(), 5000);
    QVERIFY2(out.contains("削除しました: " + unit), qPrintable(out));
    QVERIFY(out.contains("キーリングの管理トークン"));
    QVERIFY(out.contains("動作中のエージェント"));
    QVERIFY(out.contains("サーバー上の端末登録を消しました: " + deviceId));
    QCOMPARE(testHttp("GET", rendezvous.port(), "api/v1/devices/" + deviceId, {}), 404);
    QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 4000);
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestSettingsPanel test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingspanel.moc"

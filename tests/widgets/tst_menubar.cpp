// The tray item against a real velmo-remote-host and supervisor.
#include "config/AppConfig.h"
#include "menubar/MenuBarContentView.h"
#include "menubar/MenuBarItem.h"
#include "menubar/MenuBarLabel.h"
#include "menubar/MenuBarSupport.h"
#include "support/HostUiHarness.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenu>
#include <QSignalSpy>
#include <QtTest>

namespace {
// The text of the action of that objectName in the item's menu, "" when there is none.
QString actionText(const MenuBarItem &item, const QString &name) {
    const QAction *a = item.content()->findAction(name);
    return a ? a->text() : QString();
}

QStringList entries(const QMenu *menu) {
    QStringList out;
    for (const QAction *a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("---") : a->text());
    return out;
}
} // namespace

class TestMenuBar : public QObject {
    Q_OBJECT
public:
    explicit TestMenuBar(TestEnv *env) : m_env(env) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void withoutAgent();
    void entriesFromStatus();
    void sessionsAndLiveLabel();
    void applicationSwitches();

private:
    TestEnv *m_env;
    std::unique_ptr<AppConfig> m_config;
    std::unique_ptr<HostUiHarness> m_h;
    std::unique_ptr<MenuBarItem> m_item;
};

void TestMenuBar::initTestCase() {
    m_config = std::make_unique<AppConfig>(m_env->configDir() + "/settings.json");
}

void TestMenuBar::cleanupTestCase() {
    m_item.reset();
    m_h.reset();
}

void TestMenuBar::withoutAgent() {
    AgentController idle;
    MenuBarItem item(&idle, m_config.get());
    QCOMPARE(entries(item.menu()),
             (QStringList{"Velmo Remote — エージェント未起動", "ウインドウを開く", "ログイン時に起動",
                          "タスクバーに出さない(トレイだけ)", "---", "Velmo Remote を終了"}));
    QVERIFY(!item.menu()->actions().first()->isEnabled());
    QCOMPARE(item.label()->currentStyle(), VelmoMark::Style::off);
    QCOMPARE(item.trayIcon()->toolTip(), QStringLiteral("Velmo Remote: エージェント未起動"));
    QVERIFY(!item.trayIcon()->icon().isNull());
}

void TestMenuBar::entriesFromStatus() {
    m_h = std::make_unique<HostUiHarness>(m_env->dataDir());
    QVERIFY(m_h->ok());
    QVERIFY(m_h->hook("device", {{"id", "123456789"}, {"connected", true}}));
    m_h->agent()->setSharing(true);
    QTRY_VERIFY(m_h->agent()->status()->sharing && m_h->agent()->status()->connected);
    m_item = std::make_unique<MenuBarItem>(m_h->agent(), m_config.get());
    const ControlStatus st = *m_h->agent()->status();
    const QString name = st.name.isEmpty() ? QStringLiteral("このコンピュータ") : st.name;
    const QString pass = st.autoPasscode;
    QVERIFY(!pass.isEmpty());
    QTRY_COMPARE(entries(m_item->menu()),
                 (QStringList{name + " — 待ち受け中", "端末 ID: 123 456 789  (コピー)",
                              "パスコード: " + pass + "  (コピー)", "---", "接続はありません", "---", "共有を停止する",
                              "パスコードを再発行", "---", "ウインドウを開く", "ログイン時に起動",
                              "タスクバーに出さない(トレイだけ)", "---", "Velmo Remote を終了"}));
    QCOMPARE(m_item->label()->currentStyle(), VelmoMark::Style::idle);
    QCOMPARE(m_item->trayIcon()->toolTip(), QStringLiteral("Velmo Remote: 待ち受け中"));

    m_item->content()->findAction("copyId")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("123456789"));
    m_item->content()->findAction("copyPasscode")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), pass);

    m_item->content()->findAction("rotatePasscode")->trigger();
    QTRY_VERIFY(m_h->agent()->status()->autoPasscode != pass);
    const QString next = m_h->agent()->status()->autoPasscode;
    QTRY_COMPARE(actionText(*m_item, "copyPasscode"), "パスコード: " + next + "  (コピー)");

    QCOMPARE(actionText(*m_item, "sharingToggle"), QStringLiteral("共有を停止する"));
    m_item->content()->findAction("sharingToggle")->trigger();
    QTRY_VERIFY(!m_h->agent()->status()->sharing);
    QCOMPARE(m_h->bodies("sharing").last(), (QJsonObject{{"on", false}}));
    QTRY_COMPARE(actionText(*m_item, "sharingToggle"), QStringLiteral("共有を再開する"));
    QCOMPARE(m_item->menu()->actions().first()->text(), name + " — 共有を停止中");
    QCOMPARE(m_item->label()->currentStyle(), VelmoMark::Style::off);
    m_item->content()->findAction("sharingToggle")->trigger();
    QTRY_VERIFY(m_h->agent()->status()->sharing);
}

void TestMenuBar::sessionsAndLiveLabel() {
    const QString a = m_h->addSession({{"name", "Alice"}, {"authed", true}, {"ip", "192.0.2.1"}});
    const QString b = m_h->addSession({{"name", ""}, {"relay", true}});
    QTRY_COMPARE(actionText(*m_item, "session_" + b), QStringLiteral("名称未設定(リレー)"));
    QCOMPARE(actionText(*m_item, "session_" + a), QStringLiteral("Alice"));
    QAction *sub = m_item->content()->findAction("session_" + a);
    QVERIFY(sub && sub->menu());
    QCOMPARE(entries(sub->menu()), (QStringList{"IP 192.0.2.1", "この接続を切る"}));
    QVERIFY(!sub->menu()->actions().first()->isEnabled());
    QCOMPARE(m_item->label()->currentStyle(), VelmoMark::Style::busy);
    QCOMPARE(m_item->label()->text(), QStringLiteral("操作中"));
    QCOMPARE(m_item->label()->currentSummary(), QStringLiteral("Velmo Remote: 遠隔操作中(1 人)"));
    QVERIFY(m_item->trayIcon()->toolTip().startsWith(QStringLiteral("操作中")));
    QVERIFY(m_item->menu()->actions().first()->text().endsWith(QStringLiteral(" — 遠隔操作中(1 人)")));

    QAction *relayed = m_item->content()->findAction("session_" + b);
    QCOMPARE(entries(relayed->menu()), (QStringList{"この接続を切る"}));
    relayed->menu()->actions().first()->trigger();
    QTRY_VERIFY(!m_h->bodies("disconnect").isEmpty());
    QCOMPARE(m_h->bodies("disconnect").last(), (QJsonObject{{"sid", b}}));
    m_h->removeSession(a);
    m_h->removeSession(b);
    QTRY_COMPARE(actionText(*m_item, "noSessions"), QStringLiteral("接続はありません"));
    QCOMPARE(m_item->label()->text(), QString());
}

void TestMenuBar::applicationSwitches() {
    QSignalSpy open(m_item.get(), &MenuBarItem::openMainWindowRequested);
    QSignalSpy policy(m_item.get(), &MenuBarItem::accessoryPolicyRequested);
    QSignalSpy quit(m_item.get(), &MenuBarItem::quitRequested);

    m_item->content()->findAction("openWindow")->trigger();
    QCOMPARE(open.size(), 1);

    QAction *dock = m_item->content()->findAction("menuBarOnly");
    QVERIFY(dock->isCheckable() && !dock->isChecked());
    dock->trigger();
    QVERIFY(m_config->menuBarOnly());
    QCOMPARE(policy.size(), 1);
    QCOMPARE(policy.first().first().toBool(), true);
    QTRY_VERIFY(m_item->content()->findAction("menuBarOnly")->isChecked());

    QAction *login = m_item->content()->findAction("loginItem");
    QVERIFY(!login->isChecked());
    login->trigger();
    QVERIFY(QFile::exists(MenuBarSupport::loginItemPath()));
    QVERIFY(m_item->content()->loginItemOn());
    QTRY_VERIFY(m_item->content()->findAction("loginItem")->isChecked());
    m_item->content()->findAction("loginItem")->trigger();
    QVERIFY(!QFile::exists(MenuBarSupport::loginItemPath()));
    QTRY_VERIFY(!m_item->content()->findAction("loginItem")->isChecked());

    m_item->content()->findAction("quit")->trigger();
    QCOMPARE(quit.size(), 1);
}

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestMenuBar t(&env);
    return QTest::qExec(&t, argc, argv);
}

#include "tst_menubar.moc"

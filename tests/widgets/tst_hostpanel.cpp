// The host panel against a real velmo-remote-host and supervisor.
#include "config/AppConfig.h"
#include "menubar/MenuBarContentView.h"
#include "sharing/ApprovalBox.h"
#include "sharing/EulaSheet.h"
#include "sharing/HostPanelView.h"
#include "sharing/NoticeBar.h"
#include "sharing/ProfileWindow.h"
#include "sharing/ProfileWindows.h"
#include "style/MarkdownView.h"
#include "support/HostUiHarness.h"
#include "support/TestEnv.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include <csignal>

namespace {

// The first button of that name on screen under root (rows being deleted are hidden first).
QPushButton *button(QWidget *root, const char *name) {
    for (auto *b : root->findChildren<QPushButton *>(name))
        if (b->isVisibleTo(root))
            return b;
    return nullptr;
}

// What the button of that name reads, "" when none is on screen.
QString buttonText(QWidget *root, const char *name) {
    QPushButton *b = button(root, name);
    return b ? b->text() : QString();
}

QCheckBox *checkBox(QWidget *root, const char *name) {
    return root->findChild<QCheckBox *>(name);
}

// Whether a label of that name on screen reads text.
bool shows(QWidget *root, const char *name, const QString &text) {
    for (auto *l : root->findChildren<QLabel *>(name))
        if (l->text() == text && l->isVisibleTo(root))
            return true;
    return false;
}

// Rows on screen (rows being deleted are hidden first).
QList<QWidget *> visibleRows(QWidget *root, const char *name) {
    QList<QWidget *> out;
    for (auto *w : root->findChildren<QWidget *>(name))
        if (w->isVisibleTo(root))
            out << w;
    return out;
}

QString labelText(QWidget *root, const char *name) {
    return root->findChild<QLabel *>(name)->text();
}

QString iconUrl() {
    QImage img(8, 8, QImage::Format_ARGB32);
    img.fill(Qt::red);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(bytes.toBase64());
}

} // namespace

class TestHostPanel : public QObject {
    Q_OBJECT
public:
    explicit TestHostPanel(TestEnv *env) : m_env(env) {}

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void withoutStatus();
    void headerSwitchesAndIds();
    void copyButtonsKeepTheirOwnState();
    void passcodes();
    void deviceName();
    void permissionWarning();
    void sessionsRows();
    void controllers();
    void logShowsTheLast80();
    void agreementSheet();
    void hostileValues();
    void approvalAndWaylandNotice();
    void killedAgentClearsEveryHostWindow();
    void viewerActivity();

private:
    TestEnv *m_env;
    std::unique_ptr<AppConfig> m_config;
    std::unique_ptr<HostUiHarness> m_h;
    std::unique_ptr<HostPanelView> m_panel;
};

void TestHostPanel::initTestCase() {
    m_config = std::make_unique<AppConfig>(m_env->configDir() + "/settings.json");
    m_config->setServer("https://rv.example.test");
}

// Every function but withoutStatus gets its own agent and panel, so each one
// passes alone and in any order.
void TestHostPanel::init() {
    if (QTest::currentTestFunction() == QLatin1String("withoutStatus"))
        return;
    m_h = std::make_unique<HostUiHarness>(m_env->dataDir());
    QVERIFY(m_h->ok());
    QVERIFY(m_h->hook("device", {{"id", "987654321"}, {"connected", true}}));
    m_panel = std::make_unique<HostPanelView>(m_h->agent(), m_config.get(), nullptr, nullptr);
    m_panel->resize(900, 1400);
    m_panel->show();
    QTRY_COMPARE(labelText(m_panel.get(), "deviceId"), QStringLiteral("987 654 321"));
}

void TestHostPanel::cleanup() {
    m_panel.reset();
    m_h.reset();
}

void TestHostPanel::withoutStatus() {
    AgentController idle;
    HostPanelView panel(&idle, m_config.get(), nullptr, nullptr);
    panel.show();
    QCOMPARE(labelText(&panel, "headerTitle"), QStringLiteral("エージェント未起動"));
    QCOMPARE(labelText(&panel, "deviceId"), QStringLiteral("--- --- ---"));
    QCOMPARE(labelText(&panel, "autoPasscode"), QStringLiteral("------"));
    QVERIFY(!checkBox(&panel, "sharingSwitch")->isEnabled());
    QVERIFY(!checkBox(&panel, "sharingSwitch")->isChecked());
    QVERIFY(!checkBox(&panel, "noticeBarSwitch")->isEnabled());
    QVERIFY(checkBox(&panel, "noticeBarSwitch")->isChecked());
    QCOMPARE(checkBox(&panel, "sharingSwitch")->text(), QStringLiteral("共有を許可"));
    QCOMPARE(checkBox(&panel, "noticeBarSwitch")->text(), QStringLiteral("操作中の帯を出す"));
    QCOMPARE(buttonText(&panel, "rotatePasscode"), QStringLiteral("再発行"));
    QCOMPARE(buttonText(&panel, "preset_speed"), QStringLiteral("速度優先"));
    QCOMPARE(buttonText(&panel, "passcodeMode_both"), QStringLiteral("両方"));
    QVERIFY(!button(&panel, "rotatePasscode")->isEnabled());
    QVERIFY(!button(&panel, "preset_speed")->isEnabled());
    QVERIFY(!button(&panel, "passcodeMode_both")->isEnabled());
    QVERIFY(shows(&panel, "serverLine", "https://rv.example.test"));
    QVERIFY(shows(&panel, "encoderLine", "(未使用)  映像 -  0fps  0%  0kbps"));
    QVERIFY(shows(&panel, "versionLine", "-  (-)"));
    QVERIFY(shows(&panel, "audioLine", "オフ(オンにするとシステム音を配信)"));
    QVERIFY(shows(&panel, "monitorCount", "0 台"));
    QVERIFY(shows(&panel, "noSessions", "接続はありません"));
    // On the first layout the text sits inside its box, under the "接続中" title.
    auto *none = panel.findChild<QLabel *>("noSessions");
    auto *sessionsBox = qobject_cast<QGroupBox *>(none->parentWidget());
    QVERIFY(sessionsBox);
    QCOMPARE(sessionsBox->title(), QStringLiteral("接続中"));
    QTRY_VERIFY(sessionsBox->contentsRect().contains(none->geometry()));
    QVERIFY(shows(&panel, "noControllers", "登録はありません"));
    QVERIFY(!panel.findChild<QGroupBox *>("permissionBox")->isVisibleTo(&panel));
    // Copy buttons with nothing to copy do nothing.
    QGuiApplication::clipboard()->setText("untouched");
    QCOMPARE(buttonText(&panel, "copyId"), QStringLiteral("ID をコピー"));
    button(&panel, "copyId")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
    QVERIFY(!panel.copied());
}

void TestHostPanel::headerSwitchesAndIds() {
    QCOMPARE(labelText(m_panel.get(), "headerTitle"), QStringLiteral("サーバー接続中"));
    QCOMPARE(labelText(m_panel.get(), "autoPasscode"), m_h->agent()->status()->autoPasscode);
    QVERIFY(checkBox(m_panel.get(), "sharingSwitch")->isEnabled());

    const bool sharing = m_h->agent()->status()->sharing;
    checkBox(m_panel.get(), "sharingSwitch")->click();
    QTRY_COMPARE(m_h->agent()->status()->sharing, !sharing);
    QCOMPARE(m_h->bodies("sharing").last(), (QJsonObject{{"on", !sharing}}));
    QCOMPARE(checkBox(m_panel.get(), "sharingSwitch")->isChecked(), !sharing);

    checkBox(m_panel.get(), "noticeBarSwitch")->click();
    QTRY_VERIFY(!m_h->agent()->status()->noticeBar);
    QCOMPARE(m_h->bodies("notice-bar").last(), (QJsonObject{{"on", false}}));
    QVERIFY(!checkBox(m_panel.get(), "noticeBarSwitch")->isChecked());
    checkBox(m_panel.get(), "noticeBarSwitch")->click();
    QTRY_VERIFY(m_h->agent()->status()->noticeBar);

    // Unattended access: off until the owner turns it on; the agent keeps it.
    QCheckBox *unattended = checkBox(m_panel.get(), "unattendedSwitch");
    QVERIFY(unattended->isEnabled());
    QVERIFY(!unattended->isChecked());
    unattended->click();
    QTRY_VERIFY(m_h->agent()->status()->unattended);
    QCOMPARE(m_h->bodies("unattended").last(), (QJsonObject{{"on", true}}));
    QVERIFY(unattended->isChecked());
    unattended->click();
    QTRY_VERIFY(!m_h->agent()->status()->unattended);
    QVERIFY(!unattended->isChecked());

    const QString before = m_h->agent()->status()->autoPasscode;
    button(m_panel.get(), "rotatePasscode")->click();
    QTRY_VERIFY(m_h->agent()->status()->autoPasscode != before);
    QCOMPARE(labelText(m_panel.get(), "autoPasscode"), m_h->agent()->status()->autoPasscode);

    // The preset the agent streams with is marked, and only that one.
    auto marked = [this] {
        QStringList out;
        for (const char *name : {"preset_speed", "preset_balanced", "preset_quality"})
            if (button(m_panel.get(), name)->isChecked())
                out << name;
        return out;
    };
    // A fresh agent streams with the viewer's "標準", and the panel says so.
    const Quality standard = presets().value("balanced");
    QCOMPARE(m_h->agent()->status()->fps, standard.fps);
    QCOMPARE(m_h->agent()->status()->kbps, standard.kbps);
    QCOMPARE(m_h->agent()->status()->scale, standard.scale);
    QCOMPARE(marked(), QStringList({"preset_balanced"}));
    button(m_panel.get(), "preset_quality")->click();
    QTRY_COMPARE(m_h->bodies("quality").size(), 1);
    const Quality q = presets().value("quality");
    QCOMPARE(m_h->bodies("quality").last(), (QJsonObject{{"fps", q.fps}, {"scale", q.scale}, {"kbps", q.kbps}}));
    QTRY_VERIFY(m_panel->findChild<QLabel *>("encoderLine")->text().contains(QString::number(q.fps) + "fps"));
    QTRY_COMPARE(marked(), QStringList({"preset_quality"}));
    // Pressing the marked one again keeps it marked.
    button(m_panel.get(), "preset_quality")->click();
    QTRY_COMPARE(m_h->bodies("quality").size(), 2);
    QCOMPARE(marked(), QStringList({"preset_quality"}));
    button(m_panel.get(), "preset_balanced")->click();
    QTRY_COMPARE(marked(), QStringList({"preset_balanced"}));
}

void TestHostPanel::copyButtonsKeepTheirOwnState() {
    const QString id = m_h->agent()->status()->id;
    const QString pass = m_h->agent()->status()->autoPasscode;
    button(m_panel.get(), "copyId")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), id);
    QCOMPARE(buttonText(m_panel.get(), "copyId"), QStringLiteral("コピーしました"));
    QTest::qWait(700);
    QCOMPARE(buttonText(m_panel.get(), "copyPasscode"), QStringLiteral("コピー"));
    button(m_panel.get(), "copyPasscode")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), pass);
    // Only the passcode button reads "copied"; the ID's timer does not clear it.
    QCOMPARE(buttonText(m_panel.get(), "copyId"), QStringLiteral("ID をコピー"));
    QVERIFY(buttonText(m_panel.get(), "copyPasscode") != QStringLiteral("コピー"));
    QTest::qWait(1000); // the ID's 1.5 s have passed
    QCOMPARE(m_panel->copied(), std::optional<QString>(pass));
    QVERIFY(buttonText(m_panel.get(), "copyPasscode") != QStringLiteral("コピー"));
    QTRY_COMPARE_WITH_TIMEOUT(buttonText(m_panel.get(), "copyPasscode"), QStringLiteral("コピー"), 2000);
    QVERIFY(!m_panel->copied());
}

void TestHostPanel::passcodes() {
    QLineEdit *field = m_panel->findChild<QLineEdit *>("fixedInput");
    QCOMPARE(field->echoMode(), QLineEdit::Password);
    QVERIFY(shows(m_panel.get(), "fixedState", "未設定"));
    QVERIFY(!button(m_panel.get(), "clearFixed")->isEnabled());
    QCOMPARE(buttonText(m_panel.get(), "setFixed"), QStringLiteral("設定"));
    QTest::keyClicks(field, "12345");
    QVERIFY(!button(m_panel.get(), "setFixed")->isEnabled());
    QTest::keyClicks(field, "6");
    QVERIFY(button(m_panel.get(), "setFixed")->isEnabled());
    button(m_panel.get(), "setFixed")->click();
    QCOMPARE(field->text(), QString()); // emptied at once
    QTRY_VERIFY(m_h->agent()->status()->hasFixed);
    QCOMPARE(m_h->bodies("passcode/fixed").last(), (QJsonObject{{"passcode", "123456"}}));
    QTRY_VERIFY(shows(m_panel.get(), "fixedState", "設定済み"));
    QCOMPARE(buttonText(m_panel.get(), "setFixed"), QStringLiteral("変更"));
    QVERIFY(button(m_panel.get(), "clearFixed")->isEnabled());
    button(m_panel.get(), "clearFixed")->click();
    QTRY_VERIFY(!m_h->agent()->status()->hasFixed);
    QCOMPARE(m_h->bodies("passcode/fixed").last(), (QJsonObject{{"passcode", ""}}));

    button(m_panel.get(), "passcodeMode_both")->click();
    QTRY_COMPARE(m_h->agent()->status()->passcodeMode, QStringLiteral("both"));
    QCOMPARE(m_h->bodies("passcode/mode").last(), (QJsonObject{{"mode", "both"}}));
    QVERIFY(button(m_panel.get(), "passcodeMode_both")->isChecked());
    QVERIFY(!button(m_panel.get(), "passcodeMode_auto")->isChecked());
}

void TestHostPanel::deviceName() {
    QLineEdit *name = m_panel->findChild<QLineEdit *>("nameEdit");
    QCOMPARE(name->text(), m_h->agent()->status()->name);
    name->clear();
    QVERIFY(!button(m_panel.get(), "saveName")->isEnabled());
    name->setText(QString::fromUtf8("\u3000 \t"));
    QVERIFY(!button(m_panel.get(), "saveName")->isEnabled()); // horizontal white space only
    name->clear();
    QTest::keyClicks(name, "desk-1");
    QTest::keyClick(name, Qt::Key_Return);
    QTRY_COMPARE(m_h->agent()->status()->name, QStringLiteral("desk-1"));
    QCOMPARE(m_h->bodies("name").last(), (QJsonObject{{"name", "desk-1"}}));

    // A name reported while the user types does not overwrite the field...
    name->setText("typing");
    m_h->agent()->setName("renamed-elsewhere");
    QTRY_COMPARE(m_h->agent()->status()->name, QStringLiteral("renamed-elsewhere"));
    QCOMPARE(name->text(), QStringLiteral("typing"));
    // ...but fills an empty one.
    name->clear();
    m_h->agent()->setName("renamed-again");
    QTRY_COMPARE(name->text(), QStringLiteral("renamed-again"));
}

void TestHostPanel::permissionWarning() {
    auto *box = m_panel->findChild<QGroupBox *>("permissionBox");
    QVERIFY(m_h->hook("perm", {{"screen", "denied"}, {"input", "granted"}}));
    QTRY_VERIFY(box->isVisibleTo(m_panel.get()));
    // The agent without a desktop reports both denied itself, so the box may first show that;
    // the hook's state (input granted) arrives over the event stream after the hook's reply.
    QTRY_VERIFY(!shows(box, "inputPermissionText", "遠隔操作(アクセシビリティ)が許可されていません"));
    QVERIFY(shows(box, "screenPermissionText", "画面収録が許可されていません"));
    QCOMPARE(buttonText(box, "allowScreen"), QStringLiteral("画面収録を許可"));
    QVERIFY(!button(box, "allowInput"));
    QCOMPARE(buttonText(box, "reloadPermission"), QStringLiteral("入れたので反映する"));
    QVERIFY(m_h->hook("perm", {{"screen", "granted"}, {"input", "denied"}}));
    QTRY_COMPARE(buttonText(box, "allowInput"), QStringLiteral("操作を許可"));
    QVERIFY(!button(box, "allowScreen"));
    QVERIFY(shows(box, "inputPermissionText", "遠隔操作(アクセシビリティ)が許可されていません"));
    QVERIFY(m_h->hook("perm", {{"screen", "whatever"}, {"input", "unknown"}}));
    QTRY_VERIFY(!box->isVisibleTo(m_panel.get()));

    // While the desktop's own dialog asks (the portal), the panel says so in plain words, and
    // the warning stays away: nothing has been refused.
    auto *asking = m_panel->findChild<QGroupBox *>("askingBox");
    QVERIFY(!asking->isVisibleTo(m_panel.get()));
    QVERIFY(m_h->hook("perm", {{"screen", "asking"}, {"input", "asking"}}));
    QTRY_VERIFY(asking->isVisibleTo(m_panel.get()));
    QVERIFY(shows(asking, "askingText",
                  QStringLiteral("画面の共有を許可するか、このコンピュータのデスクトップが確認しています")));
    QVERIFY(!box->isVisibleTo(m_panel.get()));
    // Refused: the warning instead.
    QVERIFY(m_h->hook("perm", {{"screen", "denied"}, {"input", "denied"}}));
    QTRY_VERIFY(!asking->isVisibleTo(m_panel.get()));
    QVERIFY(box->isVisibleTo(m_panel.get()));
    QVERIFY(m_h->hook("perm", {{"screen", "granted"}, {"input", "granted"}}));
    QTRY_VERIFY(!box->isVisibleTo(m_panel.get()));
    QVERIFY(!asking->isVisibleTo(m_panel.get()));
}

void TestHostPanel::sessionsRows() {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString a = m_h->addSession(
        {{"name", "Alice"}, {"icon", iconUrl()}, {"authed", true}, {"since", now - 61}, {"input", false}});
    const QString b = m_h->addSession({{"name", ""}, {"icon", "data:image/png;base64,!!!"}, {"relay", true}});
    QTRY_COMPARE(visibleRows(m_panel.get(), "sessionRow").size(), 2);
    QVERIFY(!shows(m_panel.get(), "noSessions", "接続はありません"));
    QVERIFY(shows(m_panel.get(), "sessionName", "Alice"));
    QVERIFY(shows(m_panel.get(), "sessionName", "名称未設定"));
    QStringList captions;
    for (auto *l : m_panel->findChildren<QLabel *>("sessionCaption"))
        if (l->isVisibleTo(m_panel.get()))
            captions << l->text();
    QVERIFY2(captions.first().startsWith(QStringLiteral("認証済み  P2P  1 分")), qPrintable(captions.join('|')));
    QVERIFY(captions.first().endsWith(QStringLiteral("禁止: 操作")));
    QVERIFY(captions.last().startsWith(QStringLiteral("認証待ち  リレー  ")));
    QVERIFY(captions.last().endsWith(QStringLiteral("全許可")));
    QList<bool> decoded;
    for (auto *l : m_panel->findChildren<QLabel *>())
        if (l->property("decodedIcon").isValid() && l->isVisibleTo(m_panel.get()))
            decoded << l->property("decodedIcon").toBool();
    QCOMPARE(decoded, (QList<bool>{true, false}));

    auto rows = visibleRows(m_panel.get(), "sessionRow");
    QCOMPARE(buttonText(rows.last(), "disconnectSession"), QStringLiteral("切断"));
    button(rows.last(), "disconnectSession")->click();
    QTRY_VERIFY(!m_h->bodies("disconnect").isEmpty());
    QCOMPARE(m_h->bodies("disconnect").last(), (QJsonObject{{"sid", b}}));
    m_h->removeSession(a);
    m_h->removeSession(b);
    QTRY_VERIFY(shows(m_panel.get(), "noSessions", "接続はありません"));
}

void TestHostPanel::controllers() {
    QLineEdit *label = m_panel->findChild<QLineEdit *>("ctlLabel");
    QLineEdit *pub = m_panel->findChild<QLineEdit *>("ctlPub");
    pub->setText("   \t ");
    button(m_panel.get(), "addController")->click();
    QTest::qWait(150);
    QVERIFY(m_h->bodies("controller/add").isEmpty());

    const QString key = QString::fromLatin1(QByteArray(32, '\x01').toBase64());
    pub->setText("  " + key + "\n");
    button(m_panel.get(), "addController")->click();
    QTRY_COMPARE(m_h->bodies("controller/add").size(), 1);
    QCOMPARE(m_h->bodies("controller/add").last(), (QJsonObject{{"label", ""}, {"pub", key}}));
    QTRY_COMPARE(visibleRows(m_panel.get(), "controllerRow").size(), 1);
    QCOMPARE(pub->text(), QString());
    QVERIFY(shows(m_panel.get(), "controllerName", "コントローラー"));
    QVERIFY(shows(m_panel.get(), "controllerSummary",
                  key.left(12) + "...  " + QDate::currentDate().toString("yyyy-MM-dd")) ||
            shows(m_panel.get(), "controllerSummary", key.left(12) + "..."));

    // Emptied also when the agent refuses.
    label->setText("x");
    pub->setText(QString(2000, u'k'));
    button(m_panel.get(), "addController")->click();
    QTRY_VERIFY(pub->text().isEmpty());
    QCOMPARE(label->text(), QString());

    QCOMPARE(buttonText(visibleRows(m_panel.get(), "controllerRow").first(), "removeController"),
             QStringLiteral("削除"));
    button(visibleRows(m_panel.get(), "controllerRow").first(), "removeController")->click();
    QTRY_VERIFY(shows(m_panel.get(), "noControllers", "登録はありません"));
    QCOMPARE(m_h->bodies("controller/remove").last(), (QJsonObject{{"pub", key}}));
}

void TestHostPanel::logShowsTheLast80() {
    for (int i = 0; i < 500; ++i)
        m_h->agent()->log(QStringLiteral("line %1").arg(i));
    auto *log = m_panel->findChild<QPlainTextEdit *>("agentLog");
    QVERIFY(!log->isVisibleTo(m_panel.get()));
    // A grouped box like the other sections, closed until its heading is pressed.
    auto *box = qobject_cast<QGroupBox *>(log->parentWidget());
    QVERIFY(box);
    QVERIFY(box->isVisibleTo(m_panel.get()));
    QCOMPARE(box->findChild<QToolButton *>()->text(), QStringLiteral("エージェントのログ"));
    const QStringList lines = log->toPlainText().split('\n');
    QCOMPARE(lines.size(), HostPanelView::logLinesShown);
    QVERIFY(lines.last().endsWith("line 499"));
    QVERIFY(lines.first().endsWith("line 420"));
}

void TestHostPanel::agreementSheet() {
    QVERIFY(m_h->hook("eula", {{"version", "2.1"}, {"hash", "h"}, {"body", "# 規約\n\n本文 *強調*"}}));
    QTRY_VERIFY(m_panel->eulaSheet());
    EulaSheet *sheet = m_panel->eulaSheet();
    QCOMPARE(sheet->eula().version, QStringLiteral("2.1"));
    QCOMPARE(sheet->size(), QSize(620, 520));
    QVERIFY(shows(sheet, "versionLine", EulaSheet::versionLine("2.1")));
    QCOMPARE(sheet->markdownView()->blocks().size(), 2);
    sheet->acceptButton()->click();
    QTRY_VERIFY(!m_panel->eulaSheet());
    QVERIFY(m_panel->eulaDismissed());
    QTRY_COMPARE(m_h->bodies("eula/accept").size(), 1);
    QTRY_VERIFY(!m_h->agent()->status()->eulaRequired);

    // Required again: not while this view lives...
    QVERIFY(m_h->hook("eula", {{"version", "2.2"}, {"hash", "h2"}, {"body", "x"}}));
    QTRY_VERIFY(m_h->agent()->status()->eulaRequired);
    QTest::qWait(100);
    QVERIFY(!m_panel->eulaSheet());
    // ...but once the tab is opened again. Escape is "later" and sends nothing.
    m_panel->hide();
    m_panel->show();
    QTRY_VERIFY(m_panel->eulaSheet());
    QTest::keyClick(m_panel->eulaSheet(), Qt::Key_Escape);
    QTRY_VERIFY(!m_panel->eulaSheet());
    QVERIFY(m_panel->eulaDismissed());
    QTest::qWait(100);
    QCOMPARE(m_h->bodies("eula/accept").size(), 1);

    // An open sheet follows the agent: a different agreement replaces its text...
    m_panel->hide();
    m_panel->show();
    QTRY_VERIFY(m_panel->eulaSheet());
    sheet = m_panel->eulaSheet();
    QVERIFY(m_h->hook("eula", {{"version", "3.0"}, {"hash", "h3"}, {"body", "# 新\n\n- 一\n- 二"}}));
    QTRY_COMPARE(sheet->eula().version, QStringLiteral("3.0"));
    QCOMPARE(m_panel->eulaSheet(), sheet);
    QVERIFY(shows(sheet, "versionLine", EulaSheet::versionLine("3.0")));
    QVERIFY(!shows(sheet, "versionLine", EulaSheet::versionLine("2.2")));
    QCOMPARE(sheet->markdownView()->blocks().size(), 3);
    // ...and one the agent no longer asks for closes without counting as "later".
    QVERIFY(m_h->hook("eula", {}));
    QTRY_VERIFY(!m_panel->eulaSheet());
    QVERIFY(!m_panel->eulaDismissed());
    QTest::qWait(100);
    QCOMPARE(m_h->bodies("eula/accept").size(), 1);
    QVERIFY(m_h->hook("eula", {{"version", "3.1"}, {"hash", "h4"}, {"body", "y"}}));
    QTRY_VERIFY(m_panel->eulaSheet());
    QCOMPARE(m_panel->eulaSheet()->eula().version, QStringLiteral("3.1"));
    m_panel->eulaSheet()->laterButton()->click();
    QTRY_VERIFY(!m_panel->eulaSheet());
    QVERIFY(m_h->hook("eula", {}));
}

void TestHostPanel::hostileValues() {
    // A large junk icon (the agent takes at most 1 MiB of request; the 10 MB case is
    // covered where the icon is decoded) and a start far in the past.
    const QString huge = QStringLiteral("data:image/png;base64,") + QString(900 * 1024, u'A');
    const QString big = m_h->addSession({{"name", "Big"}, {"icon", huge}, {"since", -9e15}, {"authed", true}});
    QTRY_VERIFY(shows(m_panel.get(), "sessionName", "Big"));
    for (auto *l : m_panel->findChildren<QLabel *>())
        if (l->property("decodedIcon").isValid() && l->isVisibleTo(m_panel.get()))
            QVERIFY(!l->property("decodedIcon").toBool());
    QVERIFY(m_panel->findChild<QLabel *>("sessionCaption")->text().contains(QStringLiteral("認証済み  P2P  ")));
    QVERIFY(m_h->removeSession(big));
    // Hundreds of sessions: a bounded number of rows.
    for (int i = 0; i < 120; ++i)
        m_h->hook("session", {{"name", QStringLiteral("v%1").arg(i)}});
    QTRY_COMPARE(m_h->agent()->status()->sessions.size(), 120);
    QTRY_COMPARE(visibleRows(m_panel.get(), "sessionRow").size(), HostPanelView::maxRows);
    QVERIFY(shows(m_panel.get(), "moreSessions", "ほか 70 件"));
}

void TestHostPanel::approvalAndWaylandNotice() {
    // The policy is sent and shown as the agent reports it.
    QCOMPARE(buttonText(m_panel.get(), "approval_passcode"), QStringLiteral("パスコードだけで入れる"));
    QCOMPARE(buttonText(m_panel.get(), "approval_ask"), QStringLiteral("この端末で許可してから"));
    QVERIFY(button(m_panel.get(), "approval_passcode")->isChecked());
    button(m_panel.get(), "approval_ask")->click();
    QTRY_COMPARE(m_h->agent()->status()->approval, QStringLiteral("ask"));
    QCOMPARE(m_h->bodies("approval").last(), (QJsonObject{{"mode", "ask"}}));
    QVERIFY(button(m_panel.get(), "approval_ask")->isChecked());
    QVERIFY(!button(m_panel.get(), "approval_passcode")->isChecked());

    // The agent runs in a Wayland session whose compositor does not answer (see main): the
    // panel says that the screen cannot be shared, and the back-end line says why.
    QCOMPARE(m_h->agent()->status()->displayServer, QStringLiteral("wayland"));
    QCOMPARE(m_h->agent()->status()->backend, QStringLiteral("none"));
    auto *notice = m_panel->findChild<QLabel *>("displayNotice");
    QVERIFY(notice->isVisibleTo(m_panel.get()));
    QVERIFY(notice->text().contains(QStringLiteral("画面を共有できません")));
    QTRY_VERIFY(m_panel->findChild<QLabel *>("backendLine")->text().contains(QStringLiteral("wayland-velmo-test")));
    // With a Wayland back end there is nothing to say.
    QCOMPARE(ApprovalBox::displayNotice(QStringLiteral("xwayland"), QStringLiteral("wlroots")), QString());
    QCOMPARE(ApprovalBox::displayNotice(QStringLiteral("x11"), QStringLiteral("x11")), QString());
}

// kill -9 of the agent during a session: the panel, the "being controlled" bar, the
// profile windows and the tray all drop what the dead agent reported at once, and the
// panel offers the restart (and the resident route) instead.
void TestHostPanel::killedAgentClearsEveryHostWindow() {
    NoticeBar bar;
    bar.start(m_h->agent());
    ProfileWindows profiles;
    profiles.start(m_h->agent());
    QMenu menu;
    MenuBarContentView tray(m_h->agent(), m_config.get(), &menu, false);
    QVERIFY(!m_h->addSession({{"name", "Viewer"}, {"authed", true}}).isEmpty());
    QTRY_COMPARE(bar.text(), QStringLiteral("遠隔操作中: Viewer"));
    QTRY_COMPARE(profiles.count(), 1);
    QVERIFY(!m_panel->findChild<QWidget *>("agentEndedBox")->isVisibleTo(m_panel.get()));

    ::kill(pid_t(m_h->host().pid()), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(m_h->agent()->agentEnded(), 5000);
    QVERIFY(!m_h->agent()->running());
    QVERIFY(!m_h->agent()->status());
    QCOMPARE(labelText(m_panel.get(), "deviceId"), QStringLiteral("--- --- ---"));
    QCOMPARE(labelText(m_panel.get(), "autoPasscode"), QStringLiteral("------"));
    QVERIFY(labelText(m_panel.get(), "headerTitle") != QStringLiteral("サーバー接続中"));
    QVERIFY(m_panel->findChild<QWidget *>("agentEndedBox")->isVisibleTo(m_panel.get()));
    QVERIFY(shows(m_panel.get(), "agentEndedText", QStringLiteral("エージェントが停止しました")));
    QCOMPARE(buttonText(m_panel.get(), "restartAgent"), QStringLiteral("再起動"));
    // No resident agent in this home: the route the service manager restarts is offered.
    QVERIFY(button(m_panel.get(), "residentRoute"));
    QCOMPARE(bar.text(), QString());
    QVERIFY(!bar.window() || !bar.window()->isVisible());
    QCOMPARE(profiles.count(), 0);
    QTRY_VERIFY(!menu.actions().isEmpty() &&
                menu.actions().first()->text() == QStringLiteral("Velmo Remote — エージェントが停止しました"));
    QVERIFY(tray.findAction("restartAgent"));
    QVERIFY(!tray.findAction("copyId"));
}

// What the viewer does reaches the host user: a recording viewer is named in the bar and
// its profile window, files from it say where they were saved (with "フォルダを開く"),
// files sent to it show their progress and outcome.
void TestHostPanel::viewerActivity() {
    NoticeBar bar;
    bar.start(m_h->agent());
    ProfileWindows profiles;
    profiles.start(m_h->agent());
    const QJsonArray transfers{
        QJsonObject{{"id", 1},
                    {"sent", false},
                    {"name", "report.pdf"},
                    {"path", "/home/u/Downloads/report.pdf"},
                    {"size", 2048},
                    {"done", 2048},
                    {"state", "done"}},
        QJsonObject{{"id", 2},
                    {"sent", true},
                    {"name", "big.bin"},
                    {"path", "/home/u/big.bin"},
                    {"size", 4 * 1024 * 1024},
                    {"done", 1024 * 1024},
                    {"state", "running"}},
        QJsonObject{{"id", 3},
                    {"sent", true},
                    {"name", "gone.txt"},
                    {"state", "failed"},
                    {"message", "相手が受け取りを断りました"}},
    };
    const QJsonObject link{{"codec", "h264"}, {"fps", 12},    {"kbps", 1480}, {"target", 1500},
                           {"est", 1800},     {"loss", 2.04}, {"rtt", 40},    {"limit", "回線"}};
    const QString sid = m_h->addSession(
        {{"name", "Viewer"}, {"authed", true}, {"recording", true}, {"transfers", transfers}, {"link", link}});
    QVERIFY(!sid.isEmpty());
    QTRY_COMPARE(bar.text(), QStringLiteral("遠隔操作中: Viewer(録画中)"));
    QTRY_VERIFY(profiles.window(sid));
    ProfileWindow *w = profiles.window(sid);
    QTRY_VERIFY(w->findChild<QLabel *>("recordingLine")->isVisibleTo(w));
    QCOMPARE(w->findChild<QLabel *>("recordingLine")->text(), ProfileWindow::recordingText());
    // How the picture reaches the viewer, and what holds it back.
    const QString linkLine =
        QStringLiteral("H.264  12 fps  1480 kbps(目標 1500・推定 1800 kbps)  損失 2.0%  往復 40 ms  回線で制限");
    QTRY_VERIFY(w->findChild<QLabel *>("sessionLink")->isVisibleTo(w));
    QCOMPARE(w->findChild<QLabel *>("sessionLink")->text(), linkLine);
    const auto lineOf = [w](int id) {
        QWidget *row = w->findChild<QWidget *>(QStringLiteral("transfer_%1").arg(id));
        return row && row->isVisibleTo(w) ? row->findChild<QLabel *>("transferLine")->text() : QString();
    };
    QTRY_COMPARE(lineOf(1), QStringLiteral("↓ report.pdf を受け取りました: /home/u/Downloads/report.pdf"));
    QVERIFY(lineOf(2).startsWith(QStringLiteral("↑ big.bin を送っています ")));
    QCOMPARE(lineOf(3), QStringLiteral("↑ gone.txt を送れませんでした: 相手が受け取りを断りました"));
    // Only the received file has its folder to open.
    const QList<QPushButton *> open = w->findChildren<QPushButton *>("openFolder");
    QCOMPARE(open.size(), 1);
    QCOMPARE(open.first()->parentWidget()->objectName(), QStringLiteral("transfer_1"));
    QCOMPARE(open.first()->text(), QStringLiteral("フォルダを開く"));
    // The window makes room for the rows, and everything in it fits.
    QVERIFY(w->height() > ProfileWindow::contentHeight);

    // The viewer stops recording: the bar and the window follow.
    QVERIFY(!m_h->addSession({{"sid", sid}, {"name", "Viewer"}, {"authed", true}}).isEmpty());
    QTRY_COMPARE(bar.text(), QStringLiteral("遠隔操作中: Viewer"));
    QTRY_VERIFY(!w->findChild<QLabel *>("recordingLine")->isVisibleTo(w));
    QTRY_VERIFY(!w->findChild<QWidget *>("transfers")->isVisibleTo(w));
    QVERIFY(!w->findChild<QLabel *>("sessionLink")->isVisibleTo(w));
    QCOMPARE(w->height(), ProfileWindow::contentHeight);
}

int main(int argc, char **argv) {
    TestEnv env;
    // The agents started here find a Wayland session and no X display.
    qunsetenv("DISPLAY");
    qputenv("WAYLAND_DISPLAY", "wayland-velmo-test");
    QApplication app(argc, argv);
    TestHostPanel t(&env);
    return QTest::qExec(&t, argc, argv);
}

#include "tst_hostpanel.moc"

// The connect panel: ID grouping and connect checks, then the checks, lists,
// thumbnails, alias sheet and deletion against a real velmo-rendezvous with
// scripted devices.
#include "config/AppConfig.h"
#include "rendezvous/Signaling.h"
#include "session/SessionStore.h"
#include "support/RendezvousProcess.h"
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/ConnectView.h"
#include "viewer/DeviceRowView.h"

#include <QApplication>
#include <QBuffer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>

namespace {
const QString adminToken = QStringLiteral("admin-secret");

QByteArray png(QColor color) {
    QImage image(320, 180, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// The shown one of a panel's dialogs (closed ones linger until deleted).
template <typename T> T *shown(QObject *parent, const QString &name) {
    for (T *w : parent->findChildren<T *>(name))
        if (w->isVisible())
            return w;
    return nullptr;
}

// A loopback port with nothing listening on it.
quint16 closedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}
} // namespace

class TestConnectView : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;
    RendezvousProcess server;
    std::unique_ptr<ScriptedPeer> online; // "Studio", online with a thumbnail
    QString offlineId;                    // "Laptop", registered then gone
    QStringList opened;

    std::unique_ptr<ConnectView> makeView(SessionStore *store) {
        auto view = std::make_unique<ConnectView>(objects.config(), objects.signaling(), objects.api(), objects.trust(),
                                                  store, [this](const QString &sid) { opened << sid; });
        view->resize(900, 640);
        return view;
    }

private Q_SLOTS:
    void initTestCase();
    void pureParts();
    void typingGroupsTheId();
    void checksBeforeAnyRequest();
    void lookupFailures();
    void successfulCheckOpensSession();
    void listsOnlineAndThumbnails();
    void favouritesAndAlias();
    void serverListAndDeletion();
    void replacedDialogsKeepTheNewTarget();
    void shownAgainStartsAfreshAndRefreshes();
};

void TestConnectView::initTestCase() {
    QVERIFY(server.start({"--admin-token", adminToken}));
    objects.config()->setServer(server.url());
    online = std::make_unique<ScriptedPeer>();
    QVERIFY(online->registerAt(server.wsUrl("/ws/device"), "secret-online-0123456789", "Studio", "Linux"));
    online->sendBinary(png(QColor(0, 120, 255)));
    ScriptedPeer offline;
    QVERIFY(offline.registerAt(server.wsUrl("/ws/device"), "secret-offline-0123456789", "Laptop", "macOS"));
    offlineId = offline.id();
    offline.close();
    QTRY_VERIFY(offline.closed());
    QTest::qWait(200); // the server notices the close
}

void TestConnectView::pureParts() {
    QCOMPARE(ConnectView::groupedTargetId("123456789"), std::optional<QString>("123 456 789"));
    QCOMPARE(ConnectView::groupedTargetId("12345678"), std::nullopt);
    QCOMPARE(ConnectView::groupedTargetId("123 456 789"), std::nullopt);
    QCOMPARE(ConnectView::groupedTargetId("123-456-789-0"), std::optional<QString>("123 456 789"));
    QCOMPARE(ConnectView::groupedTargetId("１２３４５６７８９"), std::optional<QString>("１２３ ４５６ ７８９"));
    QCOMPARE(ConnectView::asciiDigits("１２３ ４５６ ７８９"), QString("123 456 789"));
    QCOMPARE(ConnectView::asciiDigits("٠١٢"), QString("012")); // Arabic-Indic digits

    QCOMPARE(ConnectView::connectCheck("1234", "x"), std::optional<QString>("端末 ID は 9 桁の数字です"));
    QCOMPARE(ConnectView::connectCheck("1234567890", "x"), std::optional<QString>("端末 ID は 9 桁の数字です"));
    QCOMPARE(ConnectView::connectCheck("123 456 789", ""), std::optional<QString>("パスコードを入力してください"));
    QCOMPARE(ConnectView::connectCheck("123 456 789", "   "), std::nullopt); // not trimmed
    QCOMPARE(ConnectView::connectCheck("", ""), std::optional<QString>("端末 ID は 9 桁の数字です"));

    QCOMPARE(ConnectView::rowCaption("123456789", true), QString("123 456 789  オンライン"));
    QCOMPARE(ConnectView::rowCaption("123456789", false), QString("123 456 789  オフライン"));
    QCOMPARE(ConnectView::rowCaption("123456789", std::nullopt), QString("123 456 789  "));
    const DeviceInfo d{"123456789", "", std::nullopt, false};
    QCOMPARE(ConnectView::serverRowTitle(d), QString("123 456 789"));
    QCOMPARE(ConnectView::serverRowCaption(d), QString("123 456 789    オフライン"));
    const DeviceInfo named{"987654321", "Studio", QString("Linux"), true};
    QCOMPARE(ConnectView::serverRowCaption(named), QString("987 654 321  Linux  オンライン"));
    QCOMPARE(ConnectView::deleteMessage(named),
             QString("Studio(987 654 321)を一覧から消します。\n消すとこの ID では繋げなくなります。元には戻せません。\n"
                     "相手の端末に入れ直すと、別の ID で登録し直されます。"));
    QCOMPARE(ConnectView::aliasTitle({"987654321", "Studio", std::nullopt}), QString("別名を付ける(987 654 321)"));
}

void TestConnectView::typingGroupsTheId() {
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    auto *field = view->findChild<QLineEdit *>("targetId");
    QCOMPARE(field->placeholderText(), QString("123 456 789"));
    QTest::keyClicks(field, "12345678");
    QCOMPARE(field->text(), QString("12345678"));
    QTest::keyClicks(field, "9");
    QCOMPARE(field->text(), QString("123 456 789"));
    QCOMPARE(view->targetId(), QString("123 456 789"));
    field->clear();
    QTest::keyClicks(field, "12 34");
    QCOMPARE(view->targetId(), QString("12 34")); // shorter input stays as typed
    // Pasting ten digits with hyphens keeps the first nine, grouped.
    field->selectAll();
    field->insert("123-456-789-0");
    Q_EMIT field->textEdited(field->text());
    QCOMPARE(field->text(), QString("123 456 789"));
}

void TestConnectView::checksBeforeAnyRequest() {
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    QSignalSpy busy(view.get(), &ConnectView::busyChanged);
    view->setTargetId("1234");
    view->setPasscode("pass");
    QTest::mouseClick(view->findChild<QPushButton *>("connect"), Qt::LeftButton);
    QCOMPARE(view->message(), QString("端末 ID は 9 桁の数字です"));
    QVERIFY(view->findChild<QLabel *>("message")->isVisible());
    view->setTargetId(online->id());
    view->setPasscode("");
    QTest::keyClick(view->findChild<QLineEdit *>("passcode"), Qt::Key_Return);
    // The missing passcode is said under its own field, not under the ID.
    QCOMPARE(view->message(), QString());
    QVERIFY(view->findChild<QLabel *>("passcodeHint")->isVisible());
    QCOMPARE(view->findChild<QLabel *>("passcodeHint")->text(), QString("パスコードを入力してください"));
    view->setPasscode("x");
    QVERIFY(!view->findChild<QLabel *>("passcodeHint")->isVisible());
    view->setPasscode("");
    // Neither check started a lookup.
    QCOMPARE(busy.count(), 0);
    QCOMPARE(store.count(), 0);
}

void TestConnectView::lookupFailures() {
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    // Unknown ID.
    view->setTargetId("999999999");
    view->setPasscode("pass");
    view->connectToDevice();
    QVERIFY(view->busy());
    QVERIFY(!view->findChild<QPushButton *>("connect")->isEnabled());
    QCOMPARE(view->message(), QString("端末を確認中…"));
    QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), 9000);
    QCOMPARE(view->message(), QString("その端末 ID は登録されていません"));

    // Registered but offline: its name, and the passcode stays.
    view->setTargetId(offlineId);
    view->connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), 9000);
    QCOMPARE(view->message(), QString("Laptop はオフラインです"));
    QCOMPARE(view->passcode(), QString("pass"));
    QCOMPARE(view->findChild<QLineEdit *>("passcode")->text(), QString("pass"));

    // The server cannot be reached. The light was on for the previous server and goes off:
    // it shows the server now configured.
    objects.signaling()->connect(view.get(), [](bool) {});
    QTRY_COMPARE(view->findChild<QLabel *>("serverState")->text(), QString("サーバー接続中"));
    const QString unreachable = QString("http://127.0.0.1:%1").arg(closedPort());
    objects.config()->setServer(unreachable);
    view->setTargetId(online->id());
    view->connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), 9000);
    // It names the server and says what to check; the light is off for that server.
    QVERIFY(view->message().startsWith(QString("サーバー ") + unreachable + " に接続できません"));
    QVERIFY(view->message().contains("確認してください"));
    QTRY_COMPARE(view->findChild<QLabel *>("serverState")->text(), QString("サーバー未接続"));
    objects.config()->setServer(server.url());
    QCOMPARE(store.count(), 0);
    QVERIFY(opened.isEmpty());
}

void TestConnectView::successfulCheckOpensSession() {
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    opened.clear();
    // Typed with full-width digits, as a Japanese input method may give them.
    QString fullWidth;
    for (QChar c : online->id())
        fullWidth += QChar(0xFF10 + c.digitValue());
    view->setTargetId(fullWidth);
    view->setPasscode("123456");
    view->connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), 9000);
    QCOMPARE(view->message(), QString());
    QCOMPARE(view->passcode(), QString());
    QCOMPARE(view->findChild<QLineEdit *>("passcode")->text(), QString());
    QVERIFY(!view->targetId().isEmpty()); // the ID field keeps its text
    QCOMPARE(opened.size(), 1);
    QCOMPARE(store.count(), 1);
    RemoteSession *s = store.session(opened.first());
    QVERIFY(s);
    QCOMPARE(s->targetId(), online->id());
    QCOMPARE(s->name(), QString("Studio"));
    // The panel itself does not record a recent: the session does once connected.
    QVERIFY(objects.config()->recents().isEmpty());
    store.closeAll();
}

void TestConnectView::listsOnlineAndThumbnails() {
    AppConfig *config = objects.config();
    config->setRecents({});
    config->addRecent(offlineId, "Laptop");
    config->addRecent(online->id(), "Studio");
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show(); // starts the online refresh
    QTRY_VERIFY_WITH_TIMEOUT(view->onlineCache().size() == 2 && view->thumbCache().contains(online->id()), 9000);
    QCOMPARE(view->onlineCache().value(online->id()), true);
    QCOMPARE(view->onlineCache().value(offlineId), false);
    QVERIFY(!view->thumbCache().contains(offlineId));
    const QList<DeviceRowView *> rows = view->rows(0);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]->title(), QString("Studio"));
    QCOMPARE(rows[0]->caption(), ConnectView::rowCaption(online->id(), true));
    QCOMPARE(rows[1]->caption(), ConnectView::rowCaption(offlineId, false));
    // The thumbnail box: the picture clipped inside a green outline.
    const QImage box = rows[0]->findChild<QLabel *>("thumb")->pixmap().toImage();
    QCOMPARE(box.size(), QSize(96, 54));
    QCOMPARE(QColor(box.pixel(48, 27)), QColor(0, 120, 255));
    QCOMPARE(qAlpha(box.pixel(0, 0)), 0); // rounded corner
    QVERIFY(qAbs(QColor(box.pixel(48, 0)).green() - 199) < 40 && QColor(box.pixel(48, 0)).red() < 120);

    // A click on the row fills the ID and leaves the passcode alone.
    // The row's "接続" with no passcode typed: the ID is filled, the message stands under
    // the passcode field and the focus goes there; no lookup starts.
    QApplication::setActiveWindow(view.get());
    view->setPasscode("");
    QSignalSpy busy(view.get(), &ConnectView::busyChanged);
    auto *rowConnect = rows[1]->findChild<QPushButton *>("rowConnect");
    QVERIFY(rowConnect);
    QTest::mouseClick(rowConnect, Qt::LeftButton);
    QCOMPARE(view->targetId(), QString(offlineId).insert(6, ' ').insert(3, ' '));
    QCOMPARE(view->findChild<QLabel *>("passcodeHint")->text(), QString("パスコードを入力してください"));
    QVERIFY(view->findChild<QLabel *>("passcodeHint")->isVisible());
    QTRY_VERIFY(view->findChild<QLineEdit *>("passcode")->hasFocus());
    QCOMPARE(busy.count(), 0);

    view->setPasscode("keep");
    QTest::mouseClick(rows[1], Qt::LeftButton, {}, QPoint(200, 10));
    QCOMPARE(view->targetId(), QString(offlineId).insert(6, ' ').insert(3, ' '));
    QCOMPARE(view->passcode(), QString("keep"));
    config->setRecents({});
    QTRY_COMPARE(view->findChild<QWidget *>("recentsList")->findChild<QLabel *>("empty")->text(),
                 QString("まだありません"));
}

void TestConnectView::favouritesAndAlias() {
    AppConfig *config = objects.config();
    config->setRecents({});
    config->setFavorites({});
    config->addRecent(online->id(), "Studio");
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    // Starring in the recents adds a favourite whose alias is its name.
    QTest::mouseClick(view->rows(0).at(0)->findChild<QToolButton *>("star"), Qt::LeftButton);
    QTRY_COMPARE(config->favorites().size(), 1);
    QCOMPARE(config->favorites().at(0).alias, std::optional<QString>("Studio"));
    QTest::mouseClick(view->findChild<QPushButton *>("segment1"), Qt::LeftButton);
    QCOMPARE(view->tab(), 1);
    QTRY_COMPARE(view->rows(1).size(), 1);

    // Rename through the sheet.
    QTest::mouseClick(view->rows(1).at(0)->findChild<QToolButton *>("rename"), Qt::LeftButton);
    QVERIFY(view->renaming().has_value());
    QCOMPARE(view->aliasText(), QString("Studio"));
    QDialog *sheet = shown<QDialog>(view.get(), "aliasSheet");
    QVERIFY(sheet);
    QCOMPARE(sheet->findChild<QLabel *>("aliasTitle")->text(), ConnectView::aliasTitle(config->favorites().at(0)));
    auto *field = sheet->findChild<QLineEdit *>("aliasField");
    QCOMPARE(field->placeholderText(), QString("別名"));
    field->selectAll();
    QTest::keyClicks(field, " Main PC ");
    QTest::keyClick(field, Qt::Key_Return); // "保存" is the default
    QTRY_VERIFY(!view->renaming().has_value());
    QCOMPARE(config->favorites().at(0).alias, std::optional<QString>(" Main PC ")); // as typed
    QTRY_COMPARE(view->rows(1).at(0)->title(), QString(" Main PC "));
    // "キャンセル" changes nothing.
    QTest::mouseClick(view->rows(1).at(0)->findChild<QToolButton *>("rename"), Qt::LeftButton);
    sheet = shown<QDialog>(view.get(), "aliasSheet");
    QTest::keyClicks(sheet->findChild<QLineEdit *>("aliasField"), "zzz");
    QTest::mouseClick(sheet->findChild<QPushButton *>("aliasCancel"), Qt::LeftButton);
    QTRY_VERIFY(!view->renaming().has_value());
    QCOMPARE(config->favorites().at(0).alias, std::optional<QString>(" Main PC "));

    // Unstarring in the favourites removes the row at once.
    QTest::mouseClick(view->rows(1).at(0)->findChild<QToolButton *>("star"), Qt::LeftButton);
    QTRY_VERIFY(config->favorites().isEmpty());
    QTRY_VERIFY(view->rows(1).isEmpty());
    config->setRecents({});
}

void TestConnectView::serverListAndDeletion() {
    AppConfig *config = objects.config();
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();

    // Without the administrator token the list cannot be read.
    config->setAdminToken("");
    QVERIFY(view->findChild<QPushButton *>("segment2"));
    QTest::mouseClick(view->findChild<QPushButton *>("segment2"), Qt::LeftButton);
    QCOMPARE(view->serverMsg(), QString("読み込んでいます…"));
    QTRY_COMPARE_WITH_TIMEOUT(view->serverMsg(), QString("一覧を読めません。設定画面で管理トークンを入れてください。"),
                              11000);
    QVERIFY(view->serverDevices().isEmpty());

    config->setAdminToken(adminToken);
    QVERIFY(view->findChild<QPushButton *>("reload"));
    QTest::mouseClick(view->findChild<QPushButton *>("reload"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(view->serverDevices().size(), 2, 11000);
    QCOMPARE(view->serverMsg(), QString());
    QTRY_VERIFY(view->thumbCache().contains(online->id()));
    QList<DeviceRowView *> rows = view->rows(2);
    QCOMPARE(rows.size(), 2);

    // "接続" on a row fills the ID and goes back to the recents.
    DeviceRowView *studio = rows[0]->id() == online->id() ? rows[0] : rows[1];
    QCOMPARE(studio->caption(),
             QString("%1  Linux  オンライン").arg(ConnectView::rowCaption(online->id(), {}).trimmed()));
    QVERIFY(studio->findChild<QPushButton *>("rowConnect"));
    QTest::mouseClick(studio->findChild<QPushButton *>("rowConnect"), Qt::LeftButton);
    QCOMPARE(view->tab(), 0);
    QCOMPARE(view->targetId(), ConnectView::rowCaption(online->id(), {}).trimmed());

    // Delete the offline device: cancel first, then confirm.
    QVERIFY(view->findChild<QPushButton *>("segment2"));
    QTest::mouseClick(view->findChild<QPushButton *>("segment2"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(view->rows(2).size(), 2, 11000);
    // Rows are rebuilt as thumbnails arrive: look the row up each time.
    auto laptopTrash = [&]() -> QToolButton * {
        for (DeviceRowView *r : view->rows(2))
            if (r->id() == offlineId)
                return r->findChild<QToolButton *>("trash");
        return nullptr;
    };
    QVERIFY(laptopTrash());
    QCOMPARE(laptopTrash()->toolTip(), QString("この端末の登録を消す"));
    QVERIFY(laptopTrash());
    QTest::mouseClick(laptopTrash(), Qt::LeftButton);
    auto *box = shown<QMessageBox>(view.get(), "deleteConfirm");
    QVERIFY(box);
    QCOMPARE(box->text(), QString("この端末の登録を消しますか?"));
    QCOMPARE(box->informativeText(), ConnectView::deleteMessage(view->deleting().value()));
    QVERIFY(box->findChild<QPushButton *>("deleteCancel"));
    QTest::mouseClick(box->findChild<QPushButton *>("deleteCancel"), Qt::LeftButton);
    QTRY_VERIFY(!view->deleting().has_value());
    QCOMPARE(view->serverDevices().size(), 2);

    QVERIFY(laptopTrash());
    QTest::mouseClick(laptopTrash(), Qt::LeftButton);
    box = shown<QMessageBox>(view.get(), "deleteConfirm");
    QVERIFY(box->findChild<QPushButton *>("deleteConfirmButton"));
    QTest::mouseClick(box->findChild<QPushButton *>("deleteConfirmButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(view->serverDevices().size(), 1, 11000);
    QTRY_COMPARE(view->serverMsg(), QString("Laptop の登録を消しました"));
    QCOMPARE(view->serverDevices().at(0).id, online->id());

    // A refused deletion says so; the reload then replaces the text with its own.
    QStringList history;
    connect(view.get(), &ConnectView::serverMsgChanged, this, [&] { history << view->serverMsg(); });
    config->setAdminToken("wrong");
    view->remove(view->serverDevices().at(0));
    QTRY_COMPARE_WITH_TIMEOUT(view->serverMsg(), QString("一覧を読めません。設定画面で管理トークンを入れてください。"),
                              11000);
    QCOMPARE(history.value(0), QString("消せませんでした(管理トークンを設定画面で入れてください)"));
    QCOMPARE(history.value(1), QString("読み込んでいます…"));
    config->setAdminToken(adminToken);
}

void TestConnectView::replacedDialogsKeepTheNewTarget() {
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    // A second rename while the first sheet is open: the new entry stays the one edited.
    const DeviceEntry a{"111111111", "A", std::nullopt}, b{"222222222", "B", std::nullopt};
    view->setRenaming(a);
    view->setRenaming(b);
    QCOMPARE(view->renaming().value_or(DeviceEntry{}).id, b.id);
    auto *sheet = shown<QDialog>(view.get(), "aliasSheet");
    QVERIFY(sheet);
    QCOMPARE(sheet->findChild<QLabel *>("aliasTitle")->text(), ConnectView::aliasTitle(b));
    QTest::qWait(50); // the replaced sheet goes with the event loop
    QCOMPARE(view->renaming().value_or(DeviceEntry{}).id, b.id);
    QTest::mouseClick(sheet->findChild<QPushButton *>("aliasCancel"), Qt::LeftButton);
    QTRY_VERIFY(!view->renaming().has_value());

    // The same for the deletion question; then the panel goes while one is open.
    DeviceInfo da, db;
    da.id = "111111111";
    da.name = "A";
    db.id = "222222222";
    db.name = "B";
    view->setDeleting(da);
    view->setDeleting(db);
    QTest::qWait(50);
    QCOMPARE(view->deleting().value_or(DeviceInfo{}).id, db.id);
    auto *box = shown<QMessageBox>(view.get(), "deleteConfirm");
    QVERIFY(box);
    QCOMPARE(box->informativeText(), ConnectView::deleteMessage(db));
    QTest::mouseClick(box->findChild<QPushButton *>("deleteCancel"), Qt::LeftButton);
    QTRY_VERIFY(!view->deleting().has_value());
    view->setDeleting(da);
    QVERIFY(shown<QMessageBox>(view.get(), "deleteConfirm"));
    view.reset();
}

// Each time the panel is shown its state starts afresh and the online refresh runs.
void TestConnectView::shownAgainStartsAfreshAndRefreshes() {
    AppConfig *config = objects.config();
    config->setRecents({});
    config->addRecent(offlineId, "Laptop");
    SessionStore store(objects.context());
    auto view = makeView(&store);
    view->show();
    QTRY_VERIFY_WITH_TIMEOUT(view->onlineCache().contains(offlineId), 9000);
    view->setTargetId("123456789");
    view->setPasscode("secret");
    QTest::mouseClick(view->findChild<QPushButton *>("segment1"), Qt::LeftButton);
    QCOMPARE(view->tab(), 1);

    view->hide();
    config->addRecent(online->id(), "Studio"); // listed only after the first refresh
    view->show();
    QCOMPARE(view->targetId(), QString());
    QCOMPARE(view->passcode(), QString());
    QCOMPARE(view->tab(), 0);
    QVERIFY(view->findChild<QPushButton *>("segment0")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(view->onlineCache().value(online->id()), 9000);
    QTRY_VERIFY_WITH_TIMEOUT(view->onlineCache().contains(offlineId), 9000);
    config->setRecents({});
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestConnectView test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_connectview.moc"

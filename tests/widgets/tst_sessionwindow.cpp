// The session window: its texts and menus, the not-found panel, ending and
// closing, the key bar's text field, toasts and PNG saving.
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "protocol/ctrl/StatsMessage.h"
#include "session/SessionExchange.h"
#include "session/SessionStatistics.h"
#include "session/SessionStore.h"
#include "shell/QtTranslations.h"
#include "support/SilentSignalingPort.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/RemoteScreenView.h"
#include "viewer/SessionView.h"
#include "viewer/SessionWindowView.h"
#include "viewer/StatsOverlay.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <QToolButton>
#include <cmath>

namespace {

// A rendezvous server that cannot be reached: the session fails.
class RefusingPort : public SilentSignalingPort {
public:
    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override {
        QMetaObject::invokeMethod(
            context,
            [done] {
                done(Result<std::monostate>::failure(
                    Error::make(Error::Kind::Unreachable, QStringLiteral("サーバーに届きません"))));
            },
            Qt::QueuedConnection);
    }
};

// A rendezvous server that greets and relays the device's refusal of the offer.
class RefusedByDevicePort : public SignalingPort {
public:
    void connect(QObject *context, std::function<void(Result<std::monostate>)> done) override {
        QMetaObject::invokeMethod(
            context, [done] { done(Result<std::monostate>::success({})); }, Qt::QueuedConnection);
    }
    void turnCredentials(QObject *context, std::function<void(Result<Ice>)> done) override {
        QMetaObject::invokeMethod(
            context, [done] { done(Result<Ice>::success({})); }, Qt::QueuedConnection);
    }
    void send(const QJsonObject &message) override {
        if (message.value("type").toString() != QLatin1String("connect"))
            return;
        const QString sid = message.value("sid").toString();
        QMetaObject::invokeMethod(
            qApp,
            [this, sid] {
                if (m_handlers.contains(sid))
                    m_handlers.value(sid)(
                        QJsonObject{{"type", "error"}, {"sid", sid}, {"error", "接続を拒否しました"}});
            },
            Qt::QueuedConnection);
    }
    void attach(const QString &sid, std::function<void(const QJsonObject &)> handler) override {
        m_handlers.insert(sid, std::move(handler));
    }
    void detach(const QString &sid) override { m_handlers.remove(sid); }

private:
    QHash<QString, std::function<void(const QJsonObject &)>> m_handlers;
};

// The whole of a wrapped label is on screen: as tall as its text needs at its width,
// no wider than a readable line, and inside its window.
void verifyNotClipped(QWidget *window, QLabel *label) {
    QVERIFY(label->isVisible());
    QVERIFY2(
        label->height() >= label->heightForWidth(label->width()),
        qPrintable(
            QStringLiteral("%1 px tall, needs %2").arg(label->height()).arg(label->heightForWidth(label->width()))));
    QVERIFY(label->width() <= SessionView::readableTextWidth);
    const QRect inWindow(label->mapTo(window, QPoint(0, 0)), label->size());
    QVERIFY(window->rect().contains(inWindow));
}

QStringList menuTexts(QToolButton *button) {
    QStringList out;
    for (QAction *a : button->menu()->actions())
        out << a->text();
    return out;
}
} // namespace

class TestSessionWindow : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;

    RemoteSession *newSession(SessionStore &store, const QString &name = "Desk") {
        auto *s =
            new RemoteSession("123456789", "pass", name, objects.context(std::make_shared<SilentSignalingPort>()));
        store.insert(s);
        return s;
    }

private Q_SLOTS:
    void texts();
    void notFoundWindow();
    void windowStartsSessionAndShowsProgress();
    void endingClosesWindowAndSession();
    void hostByeDismisses();
    void failurePanelStaysUntilClosed();
    void textFieldAndQuality();
    void toasts();
    void statsShowStepDown();
    void savingPng();
    void refusalSaysWhoAndWraps();
    void fullScreenActualSizeAndKeyHint();
    void rightsAndApprovalWait();
};

void TestSessionWindow::texts() {
    QCOMPARE(SessionView::statsText({}, "h264", QSizeF(1920, 1080)), QString("H264  0fps  0kbps  P2P  1920×1080"));
    QCOMPARE(SessionView::statsText({{"fps", 30}, {"kbps", 2000}, {"relay", false}}, "h264", QSizeF(1920, 1080)),
             QString("H264  30fps  2000kbps  P2P  1920×1080"));
    QCOMPARE(
        SessionView::statsText({{"codec", "jpeg"}, {"enc", "turbo"}, {"fps", 29.97}, {"kbps", 812.6}, {"relay", true}},
                               "h264", QSizeF(1279.9, 719.5)),
        QString("JPEG/turbo  29fps  812kbps  RELAY  1279×719"));
    // Absent frame, wrong-typed and absurd numbers.
    QCOMPARE(SessionView::statsText({{"codec", 5}, {"enc", 7}, {"fps", "30"}, {"kbps", 1e300}, {"relay", "yes"}},
                                    "jpeg", QSizeF()),
             QString("JPEG  0fps  9223372036854775807kbps  P2P  -"));

    const Monitor a{1, "DELL", 2560, 1440, false}, b{2, "Built-in", 1920, 1080, true};
    QCOMPARE(SessionView::monitorEntries({b}),
             QList<SessionView::MonitorEntry>({{"Built-in  1920×1080  ★", "single", 2}}));
    QCOMPARE(SessionView::monitorEntries({a, b}),
             QList<SessionView::MonitorEntry>(
                 {{"全モニタ", "all", 0}, {"DELL  2560×1440", "single", 1}, {"Built-in  1920×1080  ★", "single", 2}}));
    QVERIFY(SessionView::monitorEntries({}).isEmpty());

    QStringList labels;
    for (const auto &p : presetList())
        labels << SessionView::qualityLabel(p.label, p.quality);
    QCOMPARE(labels, QStringList({"速度優先  30fps / 50% / 2000kbps", "標準  15fps / 75% / 4000kbps",
                                  "画質優先  10fps / 100% / 8000kbps"}));

    QCOMPARE(SessionView::proposedFileName("123456789", QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9))),
             QString("velmo-remote-123456789-20240506-070809.png"));
    QCOMPARE(SessionView::windowTitle("", "123456789"), QString("123 456 789 — velmo-remote"));
    QCOMPARE(SessionView::windowTitle("Desk", "123456789"), QString("Desk — velmo-remote"));
}

void TestSessionWindow::notFoundWindow() {
    SessionStore store(objects.context());
    RemoteSession *other = newSession(store);
    auto *w = new SessionWindowView("deadbeef", &store, objects.config());
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->show();
    auto *label = w->findChild<QLabel *>("notFound");
    QVERIFY(label);
    QCOMPARE(label->text(), QString("セッションが見つかりません"));
    QVERIFY(!w->sessionView());
    QPointer<SessionWindowView> guard(w);
    w->close();
    QTRY_VERIFY(!guard);
    // Closing called store.close for an id it does not have: the other session stays.
    QCOMPARE(store.count(), 1);
    QVERIFY(store.contains(other->sid()));
}

void TestSessionWindow::windowStartsSessionAndShowsProgress() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    SessionView *view = w.sessionView();
    QVERIFY(view);
    QVERIFY(!view->started());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(view->started());
    QCOMPARE(w.windowTitle(), QString("Desk — velmo-remote"));
    QCOMPARE(s->state(), RemoteSession::State::Connecting);
    QCOMPARE(w.findChild<QLabel *>("progressText")->text(), QString("Desk に接続中…"));
    QVERIFY(w.findChild<QPushButton *>("cancel")->isVisible());
    QVERIFY(!w.findChild<RemoteScreenView *>("screen")->isVisible());
    // No audio reported: no mute button or volume slider.
    QVERIFY(!w.findChild<QToolButton *>("mute")->isVisible());
    QVERIFY(!w.findChild<QSlider *>("volume")->isVisible());
    // One display or none: no "全モニタ".
    QVERIFY(!menuTexts(w.findChild<QToolButton *>("monitorMenu")).contains("全モニタ"));
    QCOMPARE(menuTexts(w.findChild<QToolButton *>("cameraMenu")),
             QStringList({"いま見えている画面を保存", "相手側で高画質撮影して保存", "", "録画を開始"}));
    // Recording needs a connection; nothing is recorded and no mark shows.
    view->toggleRecording();
    QCOMPARE(view->toast(), QString("接続していないため録画できません"));
    QVERIFY(!w.findChild<QLabel *>("recordingMark")->isVisible());
    QVERIFY(!view->findChild<QFileDialog *>("recordDialog"));
    QCOMPARE(w.findChild<QLabel *>("stats")->text(), QString("JPEG  0fps  0kbps  P2P  -"));
    // Hiding and showing again does not start a second time.
    w.hide();
    w.show();
    QVERIFY(view->started());
}

void TestSessionWindow::endingClosesWindowAndSession() {
    for (const char *button : {"disconnect", "cancel"}) {
        SessionStore store(objects.context());
        RemoteSession *s = newSession(store);
        QPointer<RemoteSession> session(s);
        QSignalSpy closed(s, &RemoteSession::closed);
        auto *w = new SessionWindowView(s->sid(), &store, objects.config());
        w->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<SessionWindowView> guard(w);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::mouseClick(w->findChild<QPushButton *>(button), Qt::LeftButton);
        QCOMPARE(closed.count(), 1);
        QVERIFY(!store.contains(s->sid()));
        QTRY_VERIFY(!guard);
        QTRY_VERIFY(!session); // released by the store
    }
}

void TestSessionWindow::hostByeDismisses() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    const QString sid = s->sid();
    auto *w = new SessionWindowView(sid, &store, objects.config());
    w->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<SessionWindowView> guard(w);
    w->show();
    // The session closes on its own (a "bye" from the host does this).
    s->close();
    QTRY_VERIFY(!guard);
    QVERIFY(!store.contains(sid));
}

void TestSessionWindow::failurePanelStaysUntilClosed() {
    SessionStore store(objects.context());
    auto *s = new RemoteSession("123456789", "pass", "Desk", objects.context(std::make_shared<RefusingPort>()));
    store.insert(s);
    auto *w = new SessionWindowView(s->sid(), &store, objects.config());
    w->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<SessionWindowView> guard(w);
    w->show();
    QTRY_COMPARE_WITH_TIMEOUT(s->state(), RemoteSession::State::Failed, 20000);
    auto *text = w->findChild<QLabel *>("failureText");
    QTRY_VERIFY(text->isVisible());
    QCOMPARE(text->text(), s->failureText());
    QVERIFY(text->text().contains("サーバーに届きません"));
    QVERIFY(!w->findChild<QPushButton *>("cancel")->isVisible());
    // A session that never connected is not reconnected: its failure stands as it is.
    QCOMPARE(s->failureKind(), RemoteSession::FailureKind::Unreachable);
    QCOMPARE(w->findChild<QLabel *>("reconnectText")->text(), QString());
    // A failed session keeps its window until the user closes it.
    QTest::qWait(1300);
    QCOMPARE(s->state(), RemoteSession::State::Failed);
    QVERIFY(guard);
    QVERIFY(store.contains(s->sid()));
    QTest::mouseClick(w->findChild<QPushButton *>("close"), Qt::LeftButton);
    QTRY_VERIFY(!guard);
    QCOMPARE(store.count(), 0);
}

void TestSessionWindow::refusalSaysWhoAndWraps() {
    SessionStore store(objects.context());
    auto *s = new RemoteSession("123456789", "pass", "Desk", objects.context(std::make_shared<RefusedByDevicePort>()));
    store.insert(s);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    QTRY_COMPARE_WITH_TIMEOUT(s->state(), RemoteSession::State::Failed, 20000);
    QCOMPARE(s->failureText(), QStringLiteral("相手が接続を拒否しました"));
    // A refusal is the device's answer: no automatic reconnect tries it again.
    QCOMPARE(s->failureKind(), RemoteSession::FailureKind::Refused);
    auto *text = w.findChild<QLabel *>("failureText");
    QTRY_VERIFY(text->isVisible());
    QCOMPARE(text->text(), QStringLiteral("相手が接続を拒否しました"));
    verifyNotClipped(&w, text);

    // Longer messages wrap onto several whole lines, in a narrow window too.
    const QString longText =
        QStringLiteral("パスコードが違います(残り 4 回)。端末が見つからないか、オフラインです。") +
        QStringLiteral("相手の端末でエージェントが動いているか、ID とパスコードをもう一度確かめてください。");
    text->setText(longText);
    for (int width : {1280, 700, 420}) {
        w.resize(width, 600);
        QTest::qWait(50);
        QCoreApplication::processEvents();
        verifyNotClipped(&w, text);
    }
    QVERIFY(text->height() > text->fontMetrics().height() * 2);
}

void TestSessionWindow::fullScreenActualSizeAndKeyHint() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.resize(1000, 700);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    SessionView *view = w.sessionView();

    // F11 and the header's button switch full screen on and off.
    auto *full = w.findChild<QToolButton *>("fullScreen");
    QVERIFY(full && full->isCheckable());
    QTest::keyClick(&w, Qt::Key_F11);
    QTRY_VERIFY(w.isFullScreen());
    QVERIFY(full->isChecked());
    full->click();
    QTRY_VERIFY(!w.isFullScreen());
    QVERIFY(!full->isChecked());

    // 1:1 shows one remote pixel per screen pixel (scrolled when larger); off fits the window.
    RemoteScreenView *screen = view->screen();
    screen->apply("jpeg", QImage(), QSizeF(1920, 1080), QPointF());
    auto *actual = w.findChild<QToolButton *>("actualSize");
    actual->click();
    QVERIFY(view->actualSize());
    QCOMPARE(screen->size(), QSize(1920, 1080));
    QCOMPARE(screen->contentRect(), QRectF(0, 0, 1920, 1080));
    actual->click();
    QVERIFY(!view->actualSize());
    QTRY_VERIFY(screen->width() < 1920);
    QVERIFY(screen->contentRect().width() < 1920);

    // The key bar says where the keys go and how to get them back.
    auto *hint = w.findChild<QLabel *>("keyHint");
    QCOMPARE(hint->text(), QString("キー入力は映像をクリックしてから"));
    Q_EMIT screen->keyboardGrabChanged(true);
    QVERIFY(hint->text().contains("Ctrl+Alt+Shift で解放"));
    Q_EMIT screen->keyboardGrabChanged(false);
    QCOMPARE(hint->text(), QString("キー入力は映像をクリックしてから"));
}

// The rights the host grants are shown ("閲覧のみ"), a change is said in a toast, and the
// key bar says when keys cannot reach the host; the approval wait counts down.
void TestSessionWindow::rightsAndApprovalWait() {
    using R = SessionView::Rights;
    QCOMPARE(SessionView::rightsText(true, true, true), QString());
    QCOMPARE(SessionView::rightsText(false, false, false), QString("閲覧のみ"));
    QCOMPARE(SessionView::rightsText(false, true, false), QString("操作・ファイル は不可"));
    QCOMPARE(SessionView::rightsChangeText(R{}, R{}), QString());
    QCOMPARE(SessionView::rightsChangeText(R{}, R{false, true, true}), QString("相手が操作を止めました"));
    QCOMPARE(SessionView::rightsChangeText(R{false, false, true}, R{true, false, false}),
             QString("相手が操作を許可しました、ファイル転送を止めました"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QCOMPARE(SessionView::authenticatingText(QDateTime(), now), QString("認証中…"));
    QCOMPARE(SessionView::authenticatingText(now.addSecs(60), now), QString("相手の許可を待っています(残り 60 秒)"));
    QCOMPARE(SessionView::authenticatingText(now.addMSecs(41200), now),
             QString("相手の許可を待っています(残り 42 秒)"));
    QCOMPARE(SessionView::authenticatingText(now.addSecs(-5), now), QString("相手の許可を待っています(残り 0 秒)"));

    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    SessionView *view = w.sessionView();
    auto *rights = w.findChild<QLabel *>("rightsText");
    auto *hint = w.findChild<QLabel *>("keyHint");
    QVERIFY(!rights->isVisible());
    // The host withdraws every right ("perm" on ctrl, as the session hands it over).
    QVERIFY(s->exchange()->handleCtrl(QJsonObject{{"t", "perm"}, {"input", false}, {"clip", false}, {"files", false}}));
    QVERIFY(!s->exchange()->inputAllowed());
    QCOMPARE(rights->text(), QString("閲覧のみ"));
    QVERIFY(rights->isVisible());
    QCOMPARE(view->toast(), QString("相手が操作を止めました、クリップボードを止めました、ファイル転送を止めました"));
    QCOMPARE(hint->text(), QString("相手が操作を許可していないため、キーとマウスは届きません"));
    // Input given back; an older host's "perm" without input keeps what was said.
    QVERIFY(s->exchange()->handleCtrl(QJsonObject{{"t", "perm"}, {"input", true}, {"clip", false}, {"files", false}}));
    QCOMPARE(view->toast(), QString("相手が操作を許可しました"));
    QCOMPARE(rights->text(), QString("クリップボード・ファイル は不可"));
    QCOMPARE(hint->text(), QString("キー入力は映像をクリックしてから"));
    QVERIFY(s->exchange()->handleCtrl(QJsonObject{{"t", "perm"}, {"clip", true}, {"files", true}}));
    QVERIFY(s->exchange()->inputAllowed());
    QVERIFY(!rights->isVisible());

    // "マイクを送る": off, and not to be switched on until the host allows the microphone.
    auto *mic = w.findChild<QToolButton *>("micToggle");
    QVERIFY(mic);
    QCOMPARE(mic->text(), QString("マイクを送る"));
    QVERIFY(!mic->isChecked() && !mic->isEnabled());
    QCOMPARE(mic->toolTip(), QString("ホストがマイクの送信を許可していません"));
    QVERIFY(s->exchange()->handleCtrl(QJsonObject{{"t", "perm"}, {"mic", true}}));
    QVERIFY(s->exchange()->micAllowed() && s->exchange()->inputAllowed());
    QCOMPARE(mic->toolTip(), QString("この端末のマイクの音をホストに送ります"));
    QVERIFY(!mic->isEnabled()); // not connected
    s->setMicOn(true);
    QVERIFY(mic->isChecked());
    QVERIFY(!s->micSending()); // nothing is recorded without a connection
    QVERIFY(s->exchange()->handleCtrl(QJsonObject{{"t", "perm"}, {"mic", false}}));
    QCOMPARE(mic->toolTip(), QString("ホストがマイクの送信を許可していません"));
}

void TestSessionWindow::textFieldAndQuality() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    auto *field = w.findChild<QLineEdit *>("textField");
    auto *send = w.findChild<QPushButton *>("send");
    QCOMPARE(field->placeholderText(), QString("テキスト送信(日本語入力はこちら)"));
    QVERIFY(!send->isEnabled());
    QTest::keyClick(field, Qt::Key_Return); // empty: nothing happens
    field->insert("こんにちは");            // as an input method commits it
    QVERIFY(send->isEnabled());
    QCOMPARE(w.sessionView()->text(), QString("こんにちは"));
    QTest::mouseClick(send, Qt::LeftButton);
    QCOMPARE(field->text(), QString());
    QVERIFY(!send->isEnabled());
    QTest::keyClicks(field, "abc");
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->text(), QString());

    auto *quality = w.findChild<QToolButton *>("qualityMenu");
    QCOMPARE(menuTexts(quality),
             QStringList({"速度優先  30fps / 50% / 2000kbps", "標準  15fps / 75% / 4000kbps",
                          "画質優先  10fps / 100% / 8000kbps", "なめらか  60fps", "", "統計を表示"}));
    // The statistics toggle shows the overlay and its sampling, and hides both again.
    QAction *statsAction = quality->menu()->actions().last();
    statsAction->trigger();
    QVERIFY(w.findChild<QWidget *>("statsOverlay")->isVisible());
    QVERIFY(w.findChild<SessionView *>()->statistics()->running());
    statsAction->trigger();
    QVERIFY(!w.findChild<QWidget *>("statsOverlay")->isVisible());
    QVERIFY(!w.findChild<SessionView *>()->statistics()->running());
    objects.config()->setPreset("balanced");
    // The preset in force is marked: the session's own (the default "標準" here).
    auto checked = [quality] {
        QStringList out;
        for (QAction *a : quality->menu()->actions())
            if (a->isChecked() && !a->data().toString().isEmpty())
                out << a->data().toString();
        return out;
    };
    QCOMPARE(s->quality(), presets().value("balanced"));
    QCOMPARE(checked(), QStringList({"balanced"}));
    quality->menu()->actions().at(2)->trigger();
    QCOMPARE(objects.config()->preset(), QString("quality"));
    QCOMPARE(s->quality(), presets().value("quality"));
    QCOMPARE(checked(), QStringList({"quality"}));
    objects.config()->setPreset("balanced");

    // 60 fps: offered only when the host says it sustains 50 or more of this picture.
    auto *fast = quality->menu()->findChild<QAction *>("fastFps");
    QVERIFY(fast);
    QVERIFY(!fast->isEnabled()); // no statistics yet
    QCOMPARE(fast->toolTip(), SessionView::fastFpsRefusal({}));
    QVERIFY(quality->menu()->toolTipsVisible());
    QVERIFY(SessionView::fastFpsRefusal({}).contains("知らせていない"));
    QVERIFY(SessionView::fastFpsRefusal({{"canFps", "80"}}).contains("知らせていない"));
    QCOMPARE(
        SessionView::fastFpsRefusal({{"canFps", 42.7}}),
        QString("相手の端末の取り込みと圧縮が毎秒 42 コマまでしか追いつかないため選べません(50 コマ以上で選べます)"));
    QVERIFY(!SessionView::fastFpsRefusal({{"canFps", 49}}).isEmpty());
    QCOMPARE(SessionView::fastFpsRefusal({{"canFps", 50}}), QString());
    QCOMPARE(SessionView::fastFpsRefusal({{"canFps", 75}}), QString());
    // On top of the preset in force: the preset stays marked, the other values stay.
    quality->menu()->actions().at(2)->trigger(); // 画質優先
    w.sessionView()->setFastFps(true);
    Quality expected = presets().value("quality");
    expected.fps = 60;
    QCOMPARE(s->quality(), expected);
    QCOMPARE(checked(), QStringList({"quality"}));
    QVERIFY(fast->isChecked());
    QVERIFY(fast->isEnabled()); // what is on can always be turned off
    w.sessionView()->setFastFps(false);
    QCOMPARE(s->quality(), presets().value("quality"));
    QVERIFY(!fast->isChecked());
    QVERIFY(!fast->isEnabled());
    // A preset chosen while at 60 is the preset as it stands.
    w.sessionView()->setFastFps(true);
    quality->menu()->actions().at(0)->trigger(); // 速度優先
    QCOMPARE(s->quality(), presets().value("speed"));
    QVERIFY(!fast->isChecked());
    objects.config()->setPreset("balanced");

    // The bit-rate graph's axis: a round figure a spike does not blow up.
    QList<double> minute(58, 3500.0);
    minute << 160654.0 << 3600.0;
    QCOMPARE(StatsOverlay::axisTop(minute), 5000.0);
    QCOMPARE(StatsOverlay::axisLabel(5000), QString("5 Mbps"));
    QCOMPARE(StatsOverlay::axisLabel(1500), QString("1.5 Mbps"));
    QCOMPARE(StatsOverlay::axisLabel(500), QString("500 kbps"));
    QCOMPARE(StatsOverlay::axisTop({}), 100.0);
    QCOMPARE(StatsOverlay::axisTop({300, 320, 310}), 500.0);
    QCOMPARE(StatsOverlay::axisTop({1500, 1700, 1600}), 2000.0);
    QCOMPARE(StatsOverlay::axisTop({std::nan(""), -1, 0}), 100.0);
    // The host's frames sent, and how many its machine sustains when it says so.
    SessionStatistics::Sample sample;
    sample.sentFps = 58;
    QVERIFY(StatsOverlay::lines(sample).contains("送信: 58 fps"));
    sample.canFps = 72;
    QVERIFY(StatsOverlay::lines(sample).contains("送信: 58 fps(この画質で最大 72 fps)"));
}

void TestSessionWindow::statsShowStepDown() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    auto *quality = w.findChild<QToolButton *>("qualityMenu");
    quality->menu()->actions().last()->trigger(); // 統計を表示
    auto *overlay = w.findChild<StatsOverlay *>("statsOverlay");
    QVERIFY(overlay && overlay->isVisible());
    SessionStatistics *statistics = w.sessionView()->statistics();
    const auto stepped = [](const QStringList &lines) {
        QStringList out;
        for (const QString &line : lines)
            if (line.startsWith("縮小"))
                out << line;
        return out;
    };
    // What the host writes while the link holds the picture at half the asked size.
    StatsMessage host;
    host.codec = "h264";
    host.fps = 30;
    host.link = {{"est", 900}, {"target", 800}, {"scale", 0.5}, {"limit", "回線"}};
    statistics->takeHostStats(host.toJson());
    QCOMPARE(stepped(overlay->shownLines()), QStringList({"縮小 50%"}));
    QVERIFY(overlay->shownLines().contains("制限: 回線"));
    const int tall = overlay->height();
    host.link["scale"] = 0.35;
    statistics->takeHostStats(host.toJson());
    QCOMPARE(stepped(overlay->shownLines()), QStringList({"縮小 35%"}));
    // Back to full size: the host leaves "scale" out, the line goes.
    host.link.remove("scale");
    host.link.remove("limit");
    statistics->takeHostStats(host.toJson());
    QCOMPARE(stepped(overlay->shownLines()), QStringList());
    QVERIFY(overlay->height() < tall);
    // Values that are no step down show nothing.
    for (const QJsonValue &bad : {QJsonValue(1.0), QJsonValue(1.5), QJsonValue(0.0), QJsonValue(-0.5),
                                  QJsonValue("0.5"), QJsonValue(QJsonValue::Null)}) {
        host.link["scale"] = bad;
        statistics->takeHostStats(host.toJson());
        QCOMPARE(stepped(overlay->shownLines()), QStringList());
    }
}

void TestSessionWindow::toasts() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    SessionView *view = w.sessionView();
    // Saving before any frame.
    w.findChild<QToolButton *>("cameraMenu")->menu()->actions().at(0)->trigger();
    QCOMPARE(view->toast(), QString("まだ映像がありません"));
    QTest::qWait(1000);
    view->showToast("second");
    QTest::qWait(2000); // past the first toast's end
    QCOMPARE(view->toast(), QString("second"));
    QTRY_COMPARE_WITH_TIMEOUT(view->toast(), QString(), 1500);
    // The same text twice also gets its full time from the second showing.
    view->showToast("same");
    QTest::qWait(1000);
    view->showToast("same");
    QTest::qWait(2000);
    QCOMPARE(view->toast(), QString("same"));
}

void TestSessionWindow::savingPng() {
    SessionStore store(objects.context());
    RemoteSession *s = newSession(store);
    SessionWindowView w(s->sid(), &store, objects.config());
    w.show();
    SessionView *view = w.sessionView();
    QTemporaryDir dir;
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));

    // The user's pictures folder (XDG_PICTURES_DIR), not the working directory; the
    // dialog's own texts in Japanese.
    const QString home = QDir::homePath();
    QVERIFY(QDir().mkpath(home + "/画像") && QDir().mkpath(home + "/ビデオ"));
    {
        QFile dirs(qEnvironmentVariable("XDG_CONFIG_HOME") + "/user-dirs.dirs");
        QVERIFY(QDir().mkpath(QFileInfo(dirs).path()));
        QVERIFY(dirs.open(QIODevice::WriteOnly | QIODevice::Truncate));
        dirs.write("XDG_PICTURES_DIR=\"$HOME/画像\"\nXDG_VIDEOS_DIR=\"$HOME/ビデオ\"\n");
    }
    QCOMPARE(Paths::videosDir(), home + "/ビデオ");
    QVERIFY(QtTranslations::install(qApp));
    view->saveImage(image, "スクリーンショット");
    QFileDialog *dialog = nullptr;
    QTRY_VERIFY((dialog = view->findChild<QFileDialog *>("saveDialog")));
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->directory().absolutePath(), home + "/画像");
    QStringList buttons;
    for (QAbstractButton *b : dialog->findChildren<QAbstractButton *>())
        buttons << b->text();
    QVERIFY2(buttons.contains("キャンセル"), qPrintable(buttons.join('|')));
    QVERIFY(!buttons.contains("Cancel"));
    const QString proposed = dialog->selectedFiles().value(0);
    QVERIFY2(QFileInfo(proposed).fileName().startsWith("velmo-remote-123456789-"), qPrintable(proposed));
    QVERIFY(proposed.endsWith(".png"));
    const QString path = dir.filePath("shot.png");
    Q_EMIT dialog->fileSelected(path);
    QCOMPARE(view->toast(), QString("スクリーンショットを保存しました"));
    QImage back(path, "png");
    QCOMPARE(back.size(), QSize(64, 48));
    QCOMPARE(QColor(back.pixel(5, 5)), QColor(10, 200, 30));
    dialog->close();

    // A place that cannot be written.
    view->saveImage(image, "高画質スクリーンショット");
    QTRY_VERIFY((dialog = view->findChild<QFileDialog *>("saveDialog")));
    Q_EMIT dialog->fileSelected(dir.filePath("missing/dir/shot.png"));
    QVERIFY2(view->toast().startsWith("保存できませんでした: "), qPrintable(view->toast()));
    QVERIFY(view->toast().size() > QString("保存できませんでした: ").size());
    dialog->close();

    view->saveImage(QImage(), "スクリーンショット");
    QCOMPARE(view->toast(), QString("画像を取り出せませんでした"));
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestSessionWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sessionwindow.moc"

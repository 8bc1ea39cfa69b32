// The texts, rules and arithmetic of the host-side windows.
#include "menubar/MenuBarContentView.h"
#include "menubar/MenuBarLabel.h"
#include "menubar/MenuBarSupport.h"
#include "sharing/HostPanelText.h"
#include "sharing/HostPanelView.h"
#include "sharing/NoticeBar.h"
#include "sharing/ProfileWindow.h"
#include "style/VelmoMark.h"
#include "support/TestEnv.h"
#include "util/WindowPlacement.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

ControlSession session(const QString &sid, const QString &name, bool authed) {
    ControlSession s;
    s.sid = sid;
    s.name = name;
    s.authed = authed;
    return s;
}

QString pngDataUrl(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(bytes.toBase64());
}

int alphaAt(const QImage &img, qreal x, qreal yUp) {
    // Canvas coordinates (origin bottom-left, 18 points) to the 2x image's pixels.
    return qAlpha(img.pixel(int(x * 2), int((18 - yUp) * 2)));
}

} // namespace

class TestHostUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void elapsedAndPermissions();
    void panelLinesWithHostileValues();
    void copyLabelFollowsTheLastValue();
    void iconDecoding();
    void trayStyleSummaryHeadline();
    void menuTitleAndIdFormat();
    void barText();
    void metaLine();
    void placement();
    void markDrawingAndCache();
    void loginItem();
};

void TestHostUi::elapsedAndPermissions() {
    const qint64 now = 1'700'000'000;
    QCOMPARE(HostPanelText::elapsed(now - 59, now), QStringLiteral("59 秒"));
    QCOMPARE(HostPanelText::elapsed(now - 60, now), QStringLiteral("1 分0 秒"));
    QCOMPARE(HostPanelText::elapsed(now - 125, now), QStringLiteral("2 分5 秒"));
    QCOMPARE(HostPanelText::elapsed(now + 500, now), QStringLiteral("0 秒")); // a clock ahead of ours
    // Values whose difference does not fit: no overflow, a fixed text.
    QCOMPARE(HostPanelText::elapsed(std::numeric_limits<qint64>::min(), now), QStringLiteral("- 秒"));
    QCOMPARE(HostPanelText::elapsed(std::numeric_limits<qint64>::max(), -10), QStringLiteral("0 秒"));

    ControlSession s;
    QCOMPARE(HostPanelText::permLabel(s), QStringLiteral("全許可"));
    s.input = false;
    s.files = false;
    QCOMPARE(HostPanelText::permLabel(s), QStringLiteral("禁止: 操作 / ファイル"));
    s.clip = false;
    QCOMPARE(HostPanelText::permLabel(s), QStringLiteral("禁止: 操作 / クリップボード / ファイル"));
    s = ControlSession();
    s.relay = true;
    s.since = now - 61;
    QCOMPARE(HostPanelText::sessionCaption(s, now), QStringLiteral("認証待ち  リレー  1 分1 秒  全許可"));
}

void TestHostUi::panelLinesWithHostileValues() {
    QCOMPARE(HostPanelText::encoderLine(std::nullopt), QStringLiteral("(未使用)  映像 -  0fps  0%  0kbps"));
    QCOMPARE(HostPanelText::versionLine(std::nullopt), QStringLiteral("-  (-)"));
    QCOMPARE(HostPanelText::audioLine(std::nullopt), QStringLiteral("オフ(オンにするとシステム音を配信)"));
    QCOMPARE(HostPanelText::backendLine(std::nullopt), QStringLiteral("-"));

    ControlStatus st;
    st.encoder = "x264";
    st.video = "h264";
    st.fps = 30;
    st.scale = 0.755;
    st.kbps = 4000;
    st.version = "1.2";
    st.platform = "linux";
    st.audioOn = true;
    st.audioSource = "mic";
    QCOMPARE(HostPanelText::encoderLine(st), QStringLiteral("x264  映像 h264  30fps  75%  4000kbps"));
    QCOMPARE(HostPanelText::versionLine(st), QStringLiteral("1.2  (linux)"));
    QCOMPARE(HostPanelText::audioLine(st), QStringLiteral("オン(マイクを配信中)"));
    st.audioSource = "something";
    QCOMPARE(HostPanelText::audioLine(st), QStringLiteral("オン(システム音を配信中)"));
    // The back end in use, in words; a reason why the screen cannot be shared follows it.
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("-"));
    st.backend = "x11";
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("X11"));
    st.backend = "wlroots";
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("Wayland (wlroots)"));
    st.backend = "none";
    st.screenError = "no screencopy";
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("なし  画面を共有できません: no screencopy"));
    st.backend = "future-thing";
    st.screenError.clear();
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("future-thing"));
    // The portal while the desktop's dialog is up, once granted, and refused.
    st.backend = "portal";
    st.screenPerm = "asking";
    QCOMPARE(HostPanelText::backendLine(st),
             QStringLiteral("Wayland (デスクトップポータル)  デスクトップの許可を待っています"));
    st.screenPerm = "granted";
    QCOMPARE(HostPanelText::backendLine(st), QStringLiteral("Wayland (デスクトップポータル)"));
    st.screenPerm = "denied";
    st.screenError = "the desktop's user refused to share the screen";
    QCOMPARE(HostPanelText::backendLine(st),
             QStringLiteral("Wayland (デスクトップポータル)  画面を共有できません: the desktop's user refused to share "
                            "the screen"));
    st.screenError.clear();
    st.screenPerm = "unneeded";

    // An empty ID says why: the agent is gone, the server does not answer, or it is registering.
    QCOMPARE(HostPanelText::idNote(std::nullopt, false), QString());
    QVERIFY(HostPanelText::idNote(std::nullopt, true).contains(QStringLiteral("エージェントが止まっている")));
    st.server = "http://127.0.0.1:9999";
    st.connected = false;
    QVERIFY(HostPanelText::idNote(st, false).contains(QStringLiteral("http://127.0.0.1:9999 に接続できていません")));
    st.connected = true;
    QCOMPARE(HostPanelText::idNote(st, false), QStringLiteral("サーバーに登録しています…"));
    st.id = "123456789";
    QCOMPARE(HostPanelText::idNote(st, false), QString());

    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY), 1e300, -1e300}) {
        st.scale = bad;
        QCOMPARE(HostPanelText::encoderLine(st), QStringLiteral("x264  映像 h264  30fps  -%  4000kbps"));
    }
    st.encoder.clear();
    st.scale = 1.0;
    QVERIFY(HostPanelText::encoderLine(st).startsWith(QStringLiteral("(未使用)  映像 h264")));

    ControlMonitor m{1, "DP-1", 2560, 1440, true};
    QCOMPARE(HostPanelText::monitorLine(m), QStringLiteral("・DP-1  2560×1440  ★メイン"));
    m.primary = false;
    QCOMPARE(HostPanelText::monitorLine(m), QStringLiteral("・DP-1  2560×1440"));
}

void TestHostUi::copyLabelFollowsTheLastValue() {
    const std::optional<QString> copied = QStringLiteral("123456");
    QCOMPARE(HostPanelText::copyLabel("コピー", "123456", copied), QStringLiteral("コピーしました"));
    QCOMPARE(HostPanelText::copyLabel("ID をコピー", "987654321", copied), QStringLiteral("ID をコピー"));
    // An empty value never reads as copied.
    QCOMPARE(HostPanelText::copyLabel("コピー", "", std::optional<QString>(QString())), QStringLiteral("コピー"));
    QCOMPARE(HostPanelText::copyLabel("コピー", "x", std::nullopt), QStringLiteral("コピー"));
}

void TestHostUi::iconDecoding() {
    QVERIFY(!HostPanelText::decodeIcon(pngDataUrl(16, 16)).isNull());
    QVERIFY(HostPanelText::decodeIcon(pngDataUrl(16, 16)).width() <= 60);
    QVERIFY(HostPanelText::decodeIcon("").isNull());
    QVERIFY(HostPanelText::decodeIcon("https://x.test/a.png").isNull());
    QVERIFY(HostPanelText::decodeIcon("data:image/png;base64").isNull()); // no comma
    QVERIFY(HostPanelText::decodeIcon("data:image/png;base64,@@@@").isNull());
    QVERIFY(HostPanelText::decodeIcon("data:text/plain;base64,aGVsbG8=").isNull());
    // A 10 MB data URL is not even decoded.
    QString huge = QStringLiteral("data:image/png;base64,") + QString(10 * 1024 * 1024, u'A');
    QElapsedTimer t;
    t.start();
    QVERIFY(HostPanelText::decodeIcon(huge).isNull());
    // A small file that claims an enormous picture is refused before unpacking.
    QVERIFY(HostPanelText::decodeIcon(pngDataUrl(5000, 4000)).isNull());
}

void TestHostUi::trayStyleSummaryHeadline() {
    using S = VelmoMark::Style;
    QCOMPARE(MenuBarLabel::style(std::nullopt, true, 0), S::off);
    QCOMPARE(MenuBarLabel::summary(std::nullopt, true, 0), QStringLiteral("Velmo Remote: エージェント未起動"));
    QCOMPARE(MenuBarContentView::headline(std::nullopt, true, 0), QStringLiteral("Velmo Remote — エージェント未起動"));

    ControlStatus st;
    st.name = "desk";
    st.connected = true;
    st.sharing = true;
    st.sessions = {session("a", "A", true), session("b", "B", false)};
    QCOMPARE(MenuBarLabel::live(st), 1);
    QCOMPARE(MenuBarLabel::style(st, false, 1), S::off); // agent not running
    QCOMPARE(MenuBarLabel::summary(st, false, 1), QStringLiteral("Velmo Remote: エージェント未起動"));
    QCOMPARE(MenuBarLabel::style(st, true, 1), S::busy);
    QCOMPARE(MenuBarLabel::summary(st, true, 1), QStringLiteral("Velmo Remote: 遠隔操作中(1 人)"));
    QCOMPARE(MenuBarContentView::headline(st, true, 1), QStringLiteral("desk — 遠隔操作中(1 人)"));

    st.sessions.clear();
    st.sharing = false;
    QCOMPARE(MenuBarLabel::style(st, true, 0), S::off);
    QCOMPARE(MenuBarLabel::summary(st, true, 0), QStringLiteral("Velmo Remote: 共有を停止中"));
    QCOMPARE(MenuBarContentView::headline(st, true, 0), QStringLiteral("desk — 共有を停止中"));

    st.sharing = true;
    st.connected = false;
    QCOMPARE(MenuBarLabel::style(st, true, 0), S::idle);
    QCOMPARE(MenuBarLabel::summary(st, true, 0), QStringLiteral("Velmo Remote: 待ち受け中"));
    QCOMPARE(MenuBarContentView::headline(st, true, 0), QStringLiteral("desk — サーバー未接続"));
    st.connected = true;
    st.name.clear();
    QCOMPARE(MenuBarContentView::headline(st, true, 0), QStringLiteral("このコンピュータ — 待ち受け中"));
}

void TestHostUi::menuTitleAndIdFormat() {
    ControlSession s = session("a", "", true);
    s.relay = true;
    QCOMPARE(MenuBarContentView::menuTitle(s), QStringLiteral("名称未設定(リレー)"));
    s.name = "Bob";
    s.relay = false;
    QCOMPARE(MenuBarContentView::menuTitle(s), QStringLiteral("Bob"));
    QCOMPARE(MenuBarSupport::formatId("123456789"), QStringLiteral("123 456 789"));
    QCOMPARE(MenuBarSupport::formatId("12345678"), QStringLiteral("12345678"));
    QCOMPARE(MenuBarSupport::formatId(""), QString());
}

void TestHostUi::barText() {
    QCOMPARE(NoticeBar::barText(std::nullopt), QString());
    ControlStatus st;
    st.sessions = {session("a", "A", false)};
    QCOMPARE(NoticeBar::barText(st), QString()); // not yet authenticated
    st.sessions = {session("a", "A", true), session("x", "X", false), session("b", "", true)};
    QCOMPARE(NoticeBar::barText(st), QStringLiteral("遠隔操作中: A, 名称未設定"));
    st.noticeBar = false;
    QCOMPARE(NoticeBar::barText(st), QString());
}

void TestHostUi::metaLine() {
    QCOMPARE(ProfileWindow::duration(0), QStringLiteral("たった今"));
    QCOMPARE(ProfileWindow::duration(59), QStringLiteral("たった今"));
    QCOMPARE(ProfileWindow::duration(60), QStringLiteral("1 分"));
    QCOMPARE(ProfileWindow::duration(3599), QStringLiteral("59 分"));
    QCOMPARE(ProfileWindow::duration(3660), QStringLiteral("1 時間 1 分"));

    const QDateTime start(QDate(2026, 12, 7), QTime(9, 5, 0));
    ControlSession s = session("a", "A", true);
    s.viewer = "123456789";
    s.since = start.toSecsSinceEpoch();
    QCOMPARE(ProfileWindow::metaLine(s, start.addSecs(125)), QStringLiteral("ID 123456789 ・ P2P ・ 09:05 から(2 分)"));
    s.relay = true;
    QCOMPARE(ProfileWindow::metaLine(s, start.addSecs(-30)),
             QStringLiteral("ID 123456789 ・ リレー ・ 09:05 から(たった今)"));
    // Starts the clock cannot show.
    s.since = std::numeric_limits<qint64>::min();
    QVERIFY(ProfileWindow::metaLine(s, start).contains(QStringLiteral("--:-- から(")));
    s.since = std::numeric_limits<qint64>::max();
    QCOMPARE(ProfileWindow::metaLine(s, start), QStringLiteral("ID 123456789 ・ リレー ・ --:-- から(たった今)"));

    QCOMPARE(ProfileWindow::rightLabel("操作", true), QStringLiteral("操作"));
    QCOMPARE(ProfileWindow::rightLabel("操作", false), QStringLiteral("操作 ×"));
}

void TestHostUi::placement() {
    const QRect visible(0, 30, 1920, 1050); // a panel of 30 at the top
    const QRect full(0, 0, 1920, 1080);
    const QSize ask(400, 220);
    const QPoint first = WindowPlacement::askWindow(visible, ask, 0);
    QCOMPARE(first, QPoint(760, 30 + (1050 - 220) / 2));
    QCOMPARE(WindowPlacement::askWindow(visible, ask, 1), first - QPoint(0, 24));
    // Never closer than 8 to the top of the visible area.
    QCOMPARE(WindowPlacement::askWindow(visible, ask, 1000).y(), 38);
    QCOMPARE(WindowPlacement::askWindow(visible, ask, std::numeric_limits<int>::max()).y(), 38);

    const QSize prof(360, 178);
    QCOMPARE(WindowPlacement::profileWindow(visible, prof, 0), QPoint(1920 - 360 - 16, 1080 - 16 - 178));
    QCOMPARE(WindowPlacement::profileWindow(visible, prof, 1), QPoint(1544, 1080 - 16 - 186 - 178));
    // A short screen: five fit (top ≥ 30), the sixth falls back to slot 5 of the cascade.
    const QRect shortScreen(0, 0, 1280, 1000);
    QCOMPARE(WindowPlacement::profileWindow(shortScreen, prof, 4).y(), 1000 - 16 - 186 * 4 - 178);
    QCOMPARE(WindowPlacement::profileWindow(shortScreen, prof, 5).y(), 1000 - 16 - 5 * 28 - 178);
    // The seventh sits where the first fallback slot is (6 mod 6 = 0).
    QCOMPARE(WindowPlacement::profileWindow(shortScreen, prof, 6).y(), 1000 - 16 - 178);
    QCOMPARE(WindowPlacement::profileWindow(shortScreen, prof, 1'000'000).y(), 1000 - 16 - (1'000'000 % 6) * 28 - 178);

    QCOMPARE(WindowPlacement::noticeBar(full, visible, QSize(360, 26)), QRect(960 - 180, 32, 360, 26));
    const QRect right(1920, 0, 1280, 1024);
    QCOMPARE(WindowPlacement::noticeBar(right, right, QSize(360, 26)), QRect(1920 + 640 - 180, 2, 360, 26));
}

void TestHostUi::markDrawingAndCache() {
    const int before = VelmoMark::drawnCount();
    const QImage idle = VelmoMark::image(VelmoMark::Style::idle);
    const QImage busy = VelmoMark::image(VelmoMark::Style::busy);
    const QImage off = VelmoMark::image(VelmoMark::Style::off);
    QCOMPARE(VelmoMark::drawnCount(), before + 3);
    VelmoMark::image(VelmoMark::Style::idle);
    VelmoMark::icon(VelmoMark::Style::busy, Qt::white);
    QCOMPARE(VelmoMark::drawnCount(), before + 3); // cached, never drawn again
    QCOMPARE(idle.size(), QSize(36, 36));
    QCOMPARE(idle.deviceIndependentSize(), QSizeF(18, 18));

    // Inside the screen, away from the pointer: filled only when busy.
    QCOMPARE(alphaAt(idle, 4, 10), 0);
    QVERIFY(alphaAt(busy, 4, 10) > 200);
    // The pointer: drawn on idle, cut out of the filled screen when busy.
    QVERIFY(alphaAt(idle, 7.6, 8.0) > 200);
    QCOMPARE(alphaAt(busy, 7.6, 8.0), 0);
    // The slash across the off mark.
    QVERIFY(alphaAt(off, 5.8, 4.6) > 150);
    QCOMPARE(alphaAt(idle, 5.8, 4.6), 0);
    // The outer wave's top, and nothing at the bottom corners.
    QVERIFY(alphaAt(idle, 9, 18.0 - 0.1) > 60);
    QCOMPARE(alphaAt(idle, 0.5, 0.5), 0);
    // Black template.
    QCOMPARE(qRed(idle.pixel(int(7.6 * 2), int((18 - 8.0) * 2))), 0);
}

void TestHostUi::loginItem() {
    const QString path = MenuBarSupport::loginItemPath();
    QVERIFY(path.startsWith(qEnvironmentVariable("HOME")) || path.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    QVERIFY(!MenuBarSupport::loginItemEnabled());
    QVERIFY(MenuBarSupport::setLoginItem(true));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray body = f.readAll();
    QVERIFY(body.startsWith("[Desktop Entry]\n"));
    QVERIFY(body.contains("\nExec="));
    QVERIFY(body.contains("\nType=Application\n"));
    f.close();
    QVERIFY(!MenuBarSupport::setLoginItem(false));
    QVERIFY(!QFile::exists(path));
    // Switched off in the session settings: reported as off.
    QVERIFY(MenuBarSupport::setLoginItem(true));
    QVERIFY(f.open(QIODevice::Append));
    f.write("Hidden=true\n");
    f.close();
    QVERIFY(!MenuBarSupport::loginItemEnabled());
    // A directory that cannot be written: the switch shows the real state, off.
    QVERIFY(!MenuBarSupport::setLoginItem(false));
    QFile::remove(path);
    const QString dir = QFileInfo(path).absolutePath();
    QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const bool canStillWrite = QFile(dir + "/probe").open(QIODevice::WriteOnly); // root ignores modes
    if (!canStillWrite)
        QVERIFY(!MenuBarSupport::setLoginItem(true));
    QFile::remove(dir + "/probe");
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestHostUi t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_hostui.moc"

// The remote screen view: letterbox and mapping arithmetic, the move throttle,
// wheel factors, and the messages real Qt events turn into.
#include "session/RemoteSession.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/MoveThrottle.h"
#include "viewer/RemoteScreenView.h"

#include <QApplication>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QShortcut>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

namespace {
QString str(const QJsonObject &o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QStringList messages(const QSignalSpy &spy) {
    QStringList out;
    for (const auto &args : spy)
        out << str(args.at(0).toJsonObject());
    return out;
}

// X11 keycodes (evdev + 8) of the keys used below.
enum : quint32 {
    scShiftL = 50,
    scA = 38,
    scC = 54,
    scW = 25,
    scReturn = 36,
    scSpace = 65,
    scTab = 23,
    scAltR = 108,
    scCaps = 66,
    scSuperL = 133
};
} // namespace

class TestScreenView : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;
    std::unique_ptr<QWidget> window;
    RemoteScreenView *view = nullptr;
    std::unique_ptr<RemoteSession> session;

    void press(quint32 sc, int key, Qt::KeyboardModifiers mods = {}, const QString &text = {}, bool repeat = false) {
        QKeyEvent e(QEvent::KeyPress, key, mods, sc, 0, 0, text, repeat);
        QApplication::sendEvent(view, &e);
    }
    void release(quint32 sc, int key, Qt::KeyboardModifiers mods = {}, bool repeat = false) {
        QKeyEvent e(QEvent::KeyRelease, key, mods, sc, 0, 0, {}, repeat);
        QApplication::sendEvent(view, &e);
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void letterbox();
    void mapping();
    void wheelAndThrottle();
    void clicksAndBars();
    void movesAreThrottled();
    void movesOnlyWhileActive();
    void wheelEvents();
    void keysAndCh();
    void modifiersAndFocusLoss();
    void superChordsAndShortcuts();
    void keyboardGrabAndEscapeChord();
    void painting();
};

void TestScreenView::init() {
    window = std::make_unique<QWidget>();
    auto *layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    view = new RemoteScreenView(window.get());
    layout->addWidget(view);
    window->resize(800, 600);
    session = std::make_unique<RemoteSession>("123456789", "pass", "Desk", objects.context());
    view->setSession(session.get());
    view->apply("jpeg", QImage(), QSizeF(1920, 1080), QPointF());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(view->size(), QSize(800, 600));
    view->setFocus();
}

void TestScreenView::cleanup() {
    window.reset();
    session.reset();
}

void TestScreenView::letterbox() {
    QCOMPARE(RemoteScreenView::contentRect({800, 600}, {1920, 1080}), QRectF(0, 75, 800, 450));
    // A tall frame gets bars left and right.
    QCOMPARE(RemoteScreenView::contentRect({800, 600}, {600, 900}), QRectF(200, 0, 400, 600));
    // No positive frame size: the whole bounds.
    QCOMPARE(RemoteScreenView::contentRect({800, 600}, {0, 1080}), QRectF(0, 0, 800, 600));
    QCOMPARE(RemoteScreenView::contentRect({800, 600}, {1920, -1}), QRectF(0, 0, 800, 600));
    QCOMPARE(view->contentRect(), QRectF(0, 75, 800, 450));
}

void TestScreenView::mapping() {
    const QSizeF b(800, 600), f(1920, 1080);
    QCOMPARE(RemoteScreenView::remotePoint({400, 300}, b, f), std::optional(QPoint(960, 540)));
    QCOMPARE(RemoteScreenView::remotePoint({0, 75}, b, f), std::optional(QPoint(0, 0)));
    // The far corner maps to the frame size itself, not size − 1.
    QCOMPARE(RemoteScreenView::remotePoint({800, 525}, b, f), std::optional(QPoint(1920, 1080)));
    QCOMPARE(RemoteScreenView::remotePoint({400, 74.9}, b, f), std::nullopt);  // bar above
    QCOMPARE(RemoteScreenView::remotePoint({400, 525.5}, b, f), std::nullopt); // bar below
    QCOMPARE(RemoteScreenView::remotePoint({400, 300}, b, {0, 1080}), std::nullopt);
    QCOMPARE(RemoteScreenView::remotePoint({400, 300}, {0, 0}, f), std::nullopt);
    // Hostile sizes map nothing rather than overflowing an int.
    QCOMPARE(RemoteScreenView::remotePoint({400, 300}, b, {1e12, 1e12}), std::nullopt);
    QCOMPARE(RemoteScreenView::remotePoint({400, 300}, b, {qInf(), 1080}), std::nullopt);
    QCOMPARE(RemoteScreenView::contentRect(b, {qInf(), 1080}), QRectF(0, 0, 800, 600));
    // Truncated towards zero.
    QCOMPARE(RemoteScreenView::remotePoint({0.4, 75.4}, b, f), std::optional(QPoint(0, 0)));
    // Sizes that do not divide evenly still reach the far corner.
    for (const auto &[bounds, frame] : QList<QPair<QSizeF, QSizeF>>{
             {{1017, 631}, {1366, 768}}, {{1279, 777}, {2560, 1440}}, {{333, 999}, {1920, 1200}}}) {
        const QRectF r = RemoteScreenView::contentRect(bounds, frame);
        QCOMPARE(RemoteScreenView::remotePoint(r.bottomRight(), bounds, frame),
                 std::optional(QPoint(int(frame.width()), int(frame.height()))));
        QCOMPARE(RemoteScreenView::remotePoint(r.topLeft(), bounds, frame), std::optional(QPoint(0, 0)));
    }
}

void TestScreenView::wheelAndThrottle() {
    QCOMPARE(RemoteScreenView::wheelDelta({0, 120}, {}), QPointF(0, -40));
    QCOMPARE(RemoteScreenView::wheelDelta({0, -240}, {}), QPointF(0, 80));
    QCOMPARE(RemoteScreenView::wheelDelta({120, 0}, {}), QPointF(-40, 0));
    QCOMPARE(RemoteScreenView::wheelDelta({0, 60}, {}), QPointF(0, -20)); // high-resolution wheel
    // Pixel deltas (touchpads) win and pass with factor 1.
    QCOMPARE(RemoteScreenView::wheelDelta({0, 120}, {0, 3}), QPointF(0, -3));
    QCOMPARE(RemoteScreenView::wheelDelta({0, 0}, {-2, 5}), QPointF(2, -5));

    MoveThrottle t;
    QVERIFY(t.admit(0));
    QVERIFY(!t.admit(10'000'000));
    QVERIFY(!t.admit(15'999'999));
    QVERIFY(t.admit(16'000'000));
    QVERIFY(!t.admit(31'000'000)); // measured from the last one sent, not the last one seen
    QVERIFY(t.admit(32'000'000));
    MoveThrottle fresh;
    QVERIFY(fresh.admit(-5)); // the first move always passes
}

void TestScreenView::clicksAndBars() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(400, 300));
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(400, 10)); // bar: nothing
    QTest::mouseClick(view, Qt::RightButton, {}, QPoint(0, 75));
    QTest::mouseClick(view, Qt::MiddleButton, {}, QPoint(100, 100));
    QCOMPARE(messages(sent), QStringList({
                                 R"({"b":0,"t":"md","x":960,"y":540})",
                                 R"({"b":0,"t":"mu","x":960,"y":540})",
                                 R"({"b":2,"t":"md","x":0,"y":0})",
                                 R"({"b":2,"t":"mu","x":0,"y":0})",
                                 R"({"b":1,"t":"md","x":240,"y":60})",
                                 R"({"b":1,"t":"mu","x":240,"y":60})",
                             }));
    // Without a frame size nothing maps.
    sent.clear();
    view->apply("jpeg", QImage(), QSizeF(), QPointF());
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(400, 300));
    QCOMPARE(sent.count(), 0);
}

void TestScreenView::movesAreThrottled() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    QTest::mouseMove(view, QPoint(400, 300));
    QTest::mouseMove(view, QPoint(410, 300)); // well within 16 ms of the first
    QCOMPARE(messages(sent), QStringList({R"({"t":"mm","x":960,"y":540})"}));
    QTest::qWait(20);
    QTest::mouseMove(view, QPoint(420, 310));
    QCOMPARE(sent.count(), 2);
    QCOMPARE(str(sent.at(1).at(0).toJsonObject()), QString(R"({"t":"mm","x":1008,"y":564})"));
    // Over a bar nothing is sent even after the interval.
    QTest::qWait(20);
    QTest::mouseMove(view, QPoint(420, 20));
    QCOMPARE(sent.count(), 2);
}

void TestScreenView::movesOnlyWhileActive() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    QWidget other;
    other.resize(200, 200);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QVERIFY(!window->isActiveWindow());
    QTest::mouseMove(view, QPoint(400, 300));
    QCOMPARE(sent.count(), 0);
    // A drag with a button held still goes.
    QTest::qWait(20);
    QMouseEvent drag(QEvent::MouseMove, QPointF(410, 300), view->mapToGlobal(QPointF(410, 300)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(view, &drag);
    QCOMPARE(messages(sent), QStringList({R"({"t":"mm","x":984,"y":540})"}));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::qWait(20);
    QTest::mouseMove(view, QPoint(420, 300));
    QCOMPARE(sent.count(), 2);
}

void TestScreenView::wheelEvents() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    auto wheel = [&](QPointF pos, QPoint pixel, QPoint angle) {
        QWheelEvent e(pos, view->mapToGlobal(pos), pixel, angle, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &e);
    };
    wheel({400, 300}, {}, {0, 120});
    wheel({400, 300}, {0, 3}, {0, 24});
    wheel({400, 300}, {}, {0, 0});  // no movement: nothing
    wheel({400, 10}, {}, {0, 120}); // over the bar: nothing
    QCOMPARE(messages(sent), QStringList({
                                 R"({"dx":0,"dy":-40,"t":"wh","x":960,"y":540})",
                                 R"({"dx":0,"dy":-3,"t":"wh","x":960,"y":540})",
                             }));
}

void TestScreenView::keysAndCh() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    press(scShiftL, Qt::Key_Shift);
    press(scA, Qt::Key_A, Qt::ShiftModifier, "A");
    release(scA, Qt::Key_A, Qt::ShiftModifier);
    release(scShiftL, Qt::Key_Shift, Qt::ShiftModifier);
    press(scReturn, Qt::Key_Return, {}, "\r");
    press(scSpace, Qt::Key_Space, {}, " ");
    press(scTab, Qt::Key_Tab, {}, "\t"); // stays with the view, not a focus move
    press(scCaps, Qt::Key_CapsLock);     // a local toggle: nothing
    press(84 + 8, Qt::Key_A, {}, "a");   // no key at this code: nothing
    // Auto-repeat: presses are sent, the interleaved releases are not.
    press(scA, Qt::Key_A, {}, "a");
    release(scA, Qt::Key_A, {}, true);
    press(scA, Qt::Key_A, {}, "a", true);
    release(scA, Qt::Key_A);
    QCOMPARE(messages(sent), QStringList({
                                 R"({"code":"ShiftLeft","t":"kd"})",
                                 R"({"ch":"A","code":"KeyA","t":"kd"})",
                                 R"({"code":"KeyA","t":"ku"})",
                                 R"({"code":"ShiftLeft","t":"ku"})",
                                 R"({"code":"Enter","t":"kd"})",
                                 R"({"ch":" ","code":"Space","t":"kd"})",
                                 R"({"code":"Tab","t":"kd"})",
                                 R"({"ch":"a","code":"KeyA","t":"kd"})",
                                 R"({"ch":"a","code":"KeyA","t":"kd"})",
                                 R"({"code":"KeyA","t":"ku"})",
                             }));
    QVERIFY(view->hasFocus());
}

void TestScreenView::modifiersAndFocusLoss() {
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    press(scAltR, Qt::Key_AltGr);
    QCOMPARE(view->heldModifiers(), QSet<QString>({"AltRight"}));
    release(scAltR, Qt::Key_AltGr);
    QVERIFY(view->heldModifiers().isEmpty());
    press(scShiftL, Qt::Key_Shift);
    press(scShiftL, Qt::Key_Shift, Qt::ShiftModifier, {}, true); // repeats of a modifier: nothing
    QCOMPARE(view->heldModifiers(), QSet<QString>({"ShiftLeft"}));
    // Focus moves elsewhere while Shift is held: it is released on the remote.
    auto *other = new QWidget(window.get());
    other->setFocusPolicy(Qt::StrongFocus);
    other->show();
    other->setFocus();
    QTRY_VERIFY(!view->hasFocus());
    QVERIFY(view->heldModifiers().isEmpty());
    QCOMPARE(messages(sent), QStringList({
                                 R"({"code":"AltRight","t":"kd"})",
                                 R"({"code":"AltRight","t":"ku"})",
                                 R"({"code":"ShiftLeft","t":"kd"})",
                                 R"({"code":"ShiftLeft","t":"ku"})",
                             }));
    // Without a connected session nothing reaches the peer, but the set is kept.
    QCOMPARE(session->state(), RemoteSession::State::Connecting);
}

void TestScreenView::superChordsAndShortcuts() {
    int closes = 0, copies = 0;
    auto *close = new QShortcut(QKeySequence(Qt::META | Qt::Key_W), window.get());
    connect(close, &QShortcut::activated, this, [&] { ++closes; });
    auto *copy = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_C), window.get());
    connect(copy, &QShortcut::activated, this, [&] { ++copies; });

    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    // Ctrl+C belongs to the remote: the window's shortcut does not fire.
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(copies, 0);
    // Super+W stays local: the shortcut fires and nothing is sent.
    QTest::keyClick(view, Qt::Key_W, Qt::MetaModifier);
    QCOMPARE(closes, 1);
    // keyClick presses and releases the modifier around the key (no scan codes:
    // the Qt keys name the codes).
    QCOMPARE(messages(sent), QStringList({
                                 R"({"code":"ControlLeft","t":"kd"})",
                                 R"({"ch":"c","code":"KeyC","t":"kd"})",
                                 R"({"code":"KeyC","t":"ku"})",
                                 R"({"code":"ControlLeft","t":"ku"})",
                                 R"({"code":"MetaLeft","t":"kd"})",
                                 R"({"code":"MetaLeft","t":"ku"})",
                             }));
    sent.clear();
    // Any other Super chord goes to the remote with real releases and no ch.
    press(scSuperL, Qt::Key_Super_L);
    press(scC, Qt::Key_C, Qt::MetaModifier, "c");
    release(scC, Qt::Key_C, Qt::MetaModifier);
    press(scW, Qt::Key_W, Qt::MetaModifier, "w"); // local: no kd, and no ku on release
    release(scW, Qt::Key_W, Qt::MetaModifier);
    release(scSuperL, Qt::Key_Super_L, Qt::MetaModifier);
    QCOMPARE(messages(sent), QStringList({
                                 R"({"code":"MetaLeft","t":"kd"})",
                                 R"({"code":"KeyC","t":"kd"})",
                                 R"({"code":"KeyC","t":"ku"})",
                                 R"({"code":"MetaLeft","t":"ku"})",
                             }));
    for (int key : {Qt::Key_Q, Qt::Key_W, Qt::Key_M, Qt::Key_H, Qt::Key_Escape})
        QVERIFY(RemoteScreenView::localShortcut(key, Qt::MetaModifier));
    QVERIFY(!RemoteScreenView::localShortcut(Qt::Key_Q, Qt::ControlModifier));
    QVERIFY(!RemoteScreenView::localShortcut(Qt::Key_C, Qt::MetaModifier));
}

// While the picture has the focus the keyboard is grabbed (Alt+Tab and Super reach the
// remote); Ctrl+Alt+Shift gives it back, a click on the picture takes it again.
void TestScreenView::keyboardGrabAndEscapeChord() {
    QTRY_VERIFY(view->keyboardGrabbed());
    QCOMPARE(QWidget::keyboardGrabber(), view);
    QSignalSpy sent(view, &RemoteScreenView::inputSent);
    QSignalSpy grab(view, &RemoteScreenView::keyboardGrabChanged);
    enum : quint32 { scCtrlL = 37, scAltL = 64 };
    press(scCtrlL, Qt::Key_Control, Qt::ControlModifier);
    press(scAltL, Qt::Key_Alt, Qt::ControlModifier | Qt::AltModifier);
    press(scShiftL, Qt::Key_Shift, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    QVERIFY(!view->keyboardGrabbed());
    QCOMPARE(QWidget::keyboardGrabber(), nullptr);
    QCOMPARE(grab.count(), 1);
    release(scShiftL, Qt::Key_Shift, Qt::ControlModifier | Qt::AltModifier);
    release(scAltL, Qt::Key_Alt, Qt::ControlModifier);
    release(scCtrlL, Qt::Key_Control);
    // The remote saw Ctrl and Alt go down and up once; the chord's own releases stay here.
    // (the releases in any order).
    const QStringList got = messages(sent);
    QCOMPARE(got.size(), 4);
    QCOMPARE(got.mid(0, 2), QStringList({R"({"code":"ControlLeft","t":"kd"})", R"({"code":"AltLeft","t":"kd"})"}));
    QCOMPARE(QSet<QString>(got.begin() + 2, got.end()),
             QSet<QString>({R"({"code":"AltLeft","t":"ku"})", R"({"code":"ControlLeft","t":"ku"})"}));
    QVERIFY(view->heldModifiers().isEmpty());
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(400, 300));
    QVERIFY(view->keyboardGrabbed());
    QCOMPARE(QWidget::keyboardGrabber(), view);
    // Focus elsewhere ends the grab.
    auto *other = new QWidget(window.get());
    other->setFocusPolicy(Qt::StrongFocus);
    other->show();
    other->setFocus();
    QTRY_VERIFY(!view->keyboardGrabbed());
    QCOMPARE(QWidget::keyboardGrabber(), nullptr);
    // F11 stays with the window (full screen).
    QVERIFY(RemoteScreenView::localShortcut(Qt::Key_F11, {}));
}

void TestScreenView::painting() {
    QImage red(1920, 1080, QImage::Format_RGB32);
    red.fill(QColor(200, 0, 0));
    QSignalSpy painted(view, &RemoteScreenView::framePainted);
    view->apply("jpeg", red, QSizeF(1920, 1080), QPointF(0, 0));
    QTRY_VERIFY(painted.count() >= 1);
    QImage shot = view->grab().toImage();
    QCOMPARE(QColor(shot.pixel(400, 300)), QColor(200, 0, 0));
    QCOMPARE(QColor(shot.pixel(400, 30)), QColor(Qt::black)); // letterbox bar
    QCOMPARE(QColor(shot.pixel(2, 77)), QColor(200, 0, 0));   // no pointer overlay while off
    QVERIFY(view->cursorRect().isEmpty());

    view->setShowCursor(true);
    view->apply("jpeg", red, QSizeF(1920, 1080), QPointF(960, 540));
    QCOMPARE(view->cursorRect(), QRectF(400, 300, 16, 16));
    shot = view->grab().toImage();
    QCOMPARE(QColor(shot.pixel(402, 306)), QColor(Qt::white)); // inside the arrow
    QCOMPARE(QColor(shot.pixel(412, 302)), QColor(200, 0, 0)); // beside it

    // A pointer position far outside any screen is not drawn.
    view->apply("jpeg", red, QSizeF(1920, 1080), QPointF(1e300, -1e300));
    QVERIFY(view->cursorRect().isEmpty());
    view->grab();

    // The painted image is the producer's own buffer, not a copy.
    QCOMPARE(view->currentImage().constBits(), red.constBits());
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestScreenView test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_screenview.moc"

// The agent's mapping of a viewer's pointer (frame pixels) onto the desktop: the picture's
// scale, clamping to the picture's rectangle, and a picture of several displays of
// different sizes where a point between the displays goes to the nearest one.
#include "input/InputTarget.h"
#include "input/RemoteInput.h"

#include <QTest>

class TestRemoteInput : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void oneMonitor() {
        // The right half of a 1920-wide desktop, shown at half size.
        const InputTarget t{QRect(960, 0, 960, 1080), QSize(480, 540), {}};
        QCOMPARE(RemoteInput::toDesktop(0, 0, t), QPoint(960, 0));
        QCOMPARE(RemoteInput::toDesktop(240.5, 270, t), QPoint(1441, 540));
        QCOMPARE(RemoteInput::toDesktop(-5, 9999, t), QPoint(960, 1079));
        // Far outside, without overflowing on the way.
        QCOMPARE(RemoteInput::toDesktop(1e300, -1e300, t), QPoint(1919, 0));
        // An unknown frame size: the frame is the monitor.
        QCOMPARE(RemoteInput::toDesktop(10, 20, {QRect(960, 0, 960, 1080), QSize(), {}}), QPoint(970, 20));
    }

    void severalMonitors() {
        // A 1280 × 1024 monitor at the origin, a 1024 × 768 one to its right and lower, a
        // small one below that: their bounding box at half size.
        const QRect a(0, 0, 1280, 1024), b(1280, 300, 1024, 768), c(1400, 1068, 800, 372);
        const InputTarget t{a.united(b).united(c), QSize(1152, 720), {a, b, c}};
        // Inside a monitor: the plain mapping.
        QCOMPARE(RemoteInput::toDesktop(100, 100, t), QPoint(200, 200));
        QCOMPARE(RemoteInput::toDesktop(896, 342, t), QPoint(1792, 684));
        QCOMPARE(RemoteInput::toDesktop(800, 600, t), QPoint(1600, 1200));
        // Edges belong to their monitor.
        QCOMPARE(RemoteInput::toDesktop(639.5, 511.5, t), QPoint(1279, 1023));
        QCOMPARE(RemoteInput::toDesktop(640, 150, t), QPoint(1280, 300));
        // In the black: the nearest point of the nearest monitor.
        QCOMPARE(RemoteInput::toDesktop(320, 600, t), QPoint(640, 1023));   // below a
        QCOMPARE(RemoteInput::toDesktop(900, 50, t), QPoint(1800, 300));    // above b
        QCOMPARE(RemoteInput::toDesktop(1125, 600, t), QPoint(2199, 1200)); // right of c
        QCOMPARE(RemoteInput::toDesktop(660, 560, t),
                 QPoint(1320, 1067)); // b's bottom edge is nearer than c's left one
        QCOMPARE(RemoteInput::toDesktop(1e9, 1e9, t), QPoint(2199, 1439));
        // An empty rectangle among them is no monitor.
        const InputTarget withEmpty{t.monitor, t.frame, {QRect(), b}};
        QCOMPARE(RemoteInput::toDesktop(0, 0, withEmpty), QPoint(1280, 300));
        // Nothing but empty rectangles: the picture's rectangle alone.
        const InputTarget onlyEmpty{t.monitor, t.frame, {QRect()}};
        QCOMPARE(RemoteInput::toDesktop(320, 600, onlyEmpty), QPoint(640, 1200));
    }
};

QTEST_GUILESS_MAIN(TestRemoteInput)
#include "tst_remoteinput.moc"

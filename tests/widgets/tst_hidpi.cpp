// High-density screens: in 1:1 mode every remote pixel lands on one device pixel of a
// screen whose device pixel ratio is 2 or 1.5 (nothing resampled), and a pointer on a
// device pixel reaches the remote pixel shown there. Two offscreen screens with their
// own scale factors; the window moves from one to the other during the test.
#include "session/SessionStore.h"
#include "support/SilentSignalingPort.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/RemoteScreenView.h"
#include "viewer/SessionView.h"
#include "viewer/SessionWindowView.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWindow>

#include <cmath>

namespace {
// Every pixel its own colour, so a device pixel of a screenshot names the remote pixel
// drawn on it.
QImage numberedPicture(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb(x & 0xff, y & 0xff, 0x80 | ((x >> 8) << 3) | (y >> 8)));
    return img;
}

QPoint remotePixelOf(QRgb c) {
    return QPoint(qRed(c) | (((qBlue(c) >> 3) & 0xf) << 8), qGreen(c) | ((qBlue(c) & 0x7) << 8));
}
} // namespace

class TestHiDpi : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;

    // The window painted as into its backing store, in device pixels.
    static QImage deviceShot(QWidget *window) { return window->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    // Checks the picture device pixel for device pixel, then presses on device pixels
    // and checks the remote pixel sent is the one shown there.
    void checkExact(QWidget *window, RemoteScreenView *screen, const QImage &picture, qreal ratio) {
        QCOMPARE(screen->devicePixelRatioF(), ratio);
        const QRectF content = screen->contentRect();
        QCOMPARE(content.size(), QSizeF(picture.size()) / ratio);
        // The picture starts on a whole device pixel of the window.
        const QPointF deviceOrigin = (QPointF(screen->mapTo(window, QPoint(0, 0))) + content.topLeft()) * ratio;
        QCOMPARE(deviceOrigin.x(), std::round(deviceOrigin.x()));
        QCOMPARE(deviceOrigin.y(), std::round(deviceOrigin.y()));
        const QPoint o(int(std::round(deviceOrigin.x())), int(std::round(deviceOrigin.y())));

        QImage shot;
        QTRY_VERIFY((shot = deviceShot(window), shot.pixel(o) == picture.pixel(0, 0)));
        const QRect visible = QRect(o, picture.size()).intersected(shot.rect());
        QVERIFY(visible.width() > 100 && visible.height() > 100);
        int wrong = 0;
        for (int y = visible.top(); y <= visible.bottom(); ++y)
            for (int x = visible.left(); x <= visible.right(); ++x)
                wrong += shot.pixel(x, y) != picture.pixel(x - o.x(), y - o.y());
        QCOMPARE(wrong, 0);

        // Presses at the centre of chosen device pixels, in the view's logical
        // coordinates (fractional, as a tablet or a scaled desktop gives them).
        QSignalSpy sent(screen, &RemoteScreenView::inputSent);
        const QPoint viewDevice = (QPointF(screen->mapTo(window, QPoint(0, 0))) * ratio).toPoint();
        for (const QPoint device : {o, o + QPoint(1, 0), o + QPoint(0, 1), o + QPoint(37, 11), visible.bottomRight(),
                                    visible.bottomRight() - QPoint(1, 1)}) {
            const QPointF local = (QPointF(device - viewDevice) + QPointF(0.5, 0.5)) / ratio;
            QMouseEvent press(QEvent::MouseButtonPress, local, screen->mapToGlobal(local), Qt::LeftButton,
                              Qt::LeftButton, {});
            QApplication::sendEvent(screen, &press);
            QMouseEvent release(QEvent::MouseButtonRelease, local, screen->mapToGlobal(local), Qt::LeftButton, {}, {});
            QApplication::sendEvent(screen, &release);
            QCOMPARE(sent.size(), 2);
            const QJsonObject md = sent.at(0).at(0).toJsonObject();
            QCOMPARE(md.value("t").toString(), QString("md"));
            const QPoint shown = remotePixelOf(shot.pixel(device));
            QCOMPARE(QPoint(md.value("x").toInt(), md.value("y").toInt()), shown);
            QCOMPARE(shown, device - o);
            sent.clear();
        }
    }

private Q_SLOTS:
    void screens();
    void mapping();
    void actualPixelsOnBothScreens();
};

void TestHiDpi::screens() {
    const auto screens = QGuiApplication::screens();
    QCOMPARE(screens.size(), 2);
    QCOMPARE(screens.at(0)->devicePixelRatio(), 2.0);
    QCOMPARE(screens.at(1)->devicePixelRatio(), 1.5);
}

void TestHiDpi::mapping() {
    // On a ratio of 1.5 a view at logical x = 3 starts at device pixel 4.5: the picture
    // moves a third of a logical pixel (half a device pixel) to the right.
    const QRectF r = RemoteScreenView::actualPixelsRect({301, 200}, 1.5, {3, 2});
    QCOMPARE(r.topLeft(), QPointF(1.0 / 3, 0));
    QCOMPARE(r.size(), QSizeF(301 / 1.5, 200 / 1.5));
    QCOMPARE(RemoteScreenView::actualPixelsRect({1920, 1080}, 2, {5, 7}), QRectF(0, 0, 960, 540));
    // Nonsense ratios count as 1; no frame, no picture.
    QCOMPARE(RemoteScreenView::actualPixelsRect({10, 10}, 0, {0, 0}), QRectF(0, 0, 10, 10));
    QCOMPARE(RemoteScreenView::actualPixelsRect({10, 10}, qQNaN(), {0, 0}), QRectF(0, 0, 10, 10));
    QVERIFY(RemoteScreenView::actualPixelsRect({0, 10}, 2, {0, 0}).isEmpty());
    // Half a logical pixel is one device pixel on a ratio of 2.
    const QRectF two(0, 0, 960, 540);
    QCOMPARE(RemoteScreenView::remotePointIn({0.25, 0.25}, two, {1920, 1080}), std::optional(QPoint(0, 0)));
    QCOMPARE(RemoteScreenView::remotePointIn({0.75, 0.25}, two, {1920, 1080}), std::optional(QPoint(1, 0)));
    QCOMPARE(RemoteScreenView::remotePointIn({959.75, 539.75}, two, {1920, 1080}), std::optional(QPoint(1919, 1079)));
    QCOMPARE(RemoteScreenView::remotePointIn({960.5, 10}, two, {1920, 1080}), std::nullopt);
    QCOMPARE(RemoteScreenView::remotePointIn({-0.1, 10}, two, {1920, 1080}), std::nullopt);
    // A shifted picture on 1.5: device pixel 5 is remote pixel 0.
    QCOMPARE(RemoteScreenView::remotePointIn({(5 + 0.5) / 1.5 - 3, 1}, r, {301, 200}), std::optional(QPoint(0, 1)));
}

// The session window's "等倍" button on a ratio-2 screen, then the window moved to a
// ratio-1.5 screen: each time the picture is exact and presses land on the pixel shown.
void TestHiDpi::actualPixelsOnBothScreens() {
    SessionStore store(objects.context());
    auto *s = new RemoteSession("123456789", "pass", "Desk", objects.context(std::make_shared<SilentSignalingPort>()));
    store.insert(s);
    SessionWindowView w(s->sid(), &store, objects.config());
    const auto screens = QGuiApplication::screens();
    w.setScreen(screens.at(0));
    w.setGeometry(QRect(screens.at(0)->geometry().topLeft() + QPoint(40, 40), QSize(900, 640)));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    SessionView *view = w.sessionView();
    RemoteScreenView *screen = view->screen();
    // No host here: the picture's page is shown as for a connected session.
    auto *scroll = w.findChild<QScrollArea *>("screenScroll");
    qobject_cast<QStackedWidget *>(scroll->parentWidget())->setCurrentWidget(scroll);
    // An odd size: 1.5 does not divide it.
    const QImage picture = numberedPicture(641, 403);
    screen->apply("jpeg", picture, QSizeF(picture.size()), QPointF());
    screen->setShowCursor(false);
    w.findChild<QToolButton *>("actualSize")->click();
    QVERIFY(view->actualSize());
    QVERIFY(screen->actualPixels());
    // Half as many logical pixels as remote ones, plus at most one for the rounding.
    QTRY_COMPARE(screen->size(), QSize(321, 202));
    checkExact(&w, screen, picture, 2.0);

    // Fit mode draws the same picture smoothed into the window; back to 1:1 it is exact again.
    w.findChild<QToolButton *>("actualSize")->click();
    QVERIFY(!screen->actualPixels());
    QTRY_VERIFY(screen->width() > 321);
    w.findChild<QToolButton *>("actualSize")->click();

    QSignalSpy changed(screen, &RemoteScreenView::screenChanged);
    w.windowHandle()->setScreen(screens.at(1));
    w.move(screens.at(1)->geometry().topLeft() + QPoint(31, 17));
    QTRY_VERIFY(changed.count() >= 1);
    QTRY_COMPARE(screen->devicePixelRatioF(), 1.5);
    QTRY_COMPARE(screen->size(), QSize(428, 270));
    checkExact(&w, screen, picture, 1.5);
}

int main(int argc, char **argv) {
    // Two screens: a ratio of 2 (a 4K panel at 200 %) and of 1.5 (at 150 %).
    QTemporaryDir dir;
    const QString config = dir.filePath("screens.json");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly))
        return 1;
    f.write(R"({"screens": [
        {"name": "hidpi", "x": 0, "y": 0, "width": 3840, "height": 2160, "logicalDpi": 96, "logicalBaseDpi": 96},
        {"name": "mid", "x": 3840, "y": 0, "width": 2880, "height": 1620, "logicalDpi": 96, "logicalBaseDpi": 96}
    ]})");
    f.close();
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toUtf8());
    qputenv("QT_SCALE_FACTOR", "1");
    qputenv("QT_SCREEN_SCALE_FACTORS", "hidpi=2;mid=1.5");
    qputenv("QT_SCALE_FACTOR_ROUNDING_POLICY", "PassThrough");
    QApplication app(argc, argv);
    TestHiDpi test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_hidpi.moc"

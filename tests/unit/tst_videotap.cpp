// The H.264 frame tap: latest frame hand-over between threads, size reports only
// on change, coalesced repaint requests.
#include "media/VideoFrameTap.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

class TestVideoTap : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sizeOnlyOnChangeAndCoalescedRepaints() {
        QList<QSize> sizes;
        int repaints = 0;
        VideoFrameTap tap([&](QSize s) { sizes.append(s); }, [&] { ++repaints; });
        QVERIFY(tap.latestImage().isNull());
        QVERIFY(!tap.hasFrame());

        QImage a(64, 32, QImage::Format_RGB32);
        a.fill(Qt::red);
        for (int i = 0; i < 5; ++i)
            tap.renderFrame(a);
        QCOMPARE(sizes, QList<QSize>{QSize(64, 32)});
        QCOMPARE(repaints, 1); // nobody fetched the frame yet
        QCOMPARE(tap.latestImage().pixel(0, 0), QColor(Qt::red).rgb());
        tap.renderFrame(a);
        QCOMPARE(repaints, 2);

        QImage b(32, 16, QImage::Format_RGB32);
        b.fill(Qt::blue);
        tap.renderFrame(b);
        tap.renderFrame(QImage()); // ignored
        QCOMPARE(tap.latestImage().size(), QSize(32, 16));
        QCOMPARE(sizes, (QList<QSize>{{64, 32}, {32, 16}}));
        tap.setSize({0, 10});
        tap.setSize({-1, -1});
        tap.setSize({32, 16});
        QCOMPARE(sizes.size(), 2);
        tap.setSize({1280, 720});
        QCOMPARE(sizes.last(), QSize(1280, 720));
        QCOMPARE(tap.frameCount(), 7u);
    }

    void concurrentWriterAndReader() {
        VideoFrameTap tap;
        std::atomic<bool> stop{false};
        QThread *writer = QThread::create([&] {
            int n = 0;
            while (!stop) {
                QImage img(16 + (n % 16), 16, QImage::Format_RGB32);
                img.fill(QColor::fromRgb(n % 256, 0, 0));
                tap.renderFrame(img);
                ++n;
            }
        });
        writer->start();
        int seen = 0;
        QElapsedTimer t;
        t.start();
        while (seen < 20000 && t.elapsed() < 5000) {
            const QImage img = tap.latestImage();
            if (!img.isNull()) {
                QVERIFY(img.width() >= 16 && img.width() < 32);
                ++seen;
            }
        }
        stop = true;
        writer->wait();
        delete writer;
        QCOMPARE(seen, 20000);
    }
};

QTEST_GUILESS_MAIN(TestVideoTap)
#include "tst_videotap.moc"

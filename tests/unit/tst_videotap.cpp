// The H.264 frame tap: latest frame hand-over between threads, size reports only
// on change, coalesced repaint requests; and the conversion of decoded YUV frames into
// the pictures it hands over.
#include "media/FrameConverter.h"
#include "media/VideoFrameTap.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <set>

class TestVideoTap : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { gst_init(nullptr, nullptr); }
    void converterMatchesVideoconvert_data();
    void converterMatchesVideoconvert();
    void converterReusesFreePictures();
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

namespace {
// One frame of `caps` from a decoded H.264 picture of videotestsrc's colour bars, as YUV
// (what the decoder hands the converter) and as videoconvert's RGB of the same frame.
struct DecodedBars {
    GstSample *yuv = nullptr;
    GstSample *rgb = nullptr;
    ~DecodedBars() {
        if (yuv)
            gst_sample_unref(yuv);
        if (rgb)
            gst_sample_unref(rgb);
    }
};

bool decodeBars(const QByteArray &colorimetry, const QByteArray &format, DecodedBars *out) {
    const QByteArray desc = "videotestsrc pattern=smpte num-buffers=1 ! video/x-raw,format=I420,width=320,height=180,"
                            "colorimetry=" +
                            colorimetry +
                            " ! x264enc tune=zerolatency speed-preset=ultrafast qp-max=12 ! avdec_h264 ! "
                            "videoconvert ! video/x-raw,format=" +
                            format +
                            " ! tee name=t "
                            "t. ! queue ! appsink name=yuv sync=false "
                            "t. ! queue ! videoconvert ! video/x-raw,format=BGRx ! appsink name=rgb sync=false";
    GstElement *p = gst_parse_launch(desc.constData(), nullptr);
    if (!p)
        return false;
    GstElement *yuv = gst_bin_get_by_name(GST_BIN(p), "yuv");
    GstElement *rgb = gst_bin_get_by_name(GST_BIN(p), "rgb");
    gst_element_set_state(p, GST_STATE_PLAYING);
    out->yuv = gst_app_sink_try_pull_sample(GST_APP_SINK(yuv), 10 * GST_SECOND);
    out->rgb = gst_app_sink_try_pull_sample(GST_APP_SINK(rgb), 10 * GST_SECOND);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(yuv);
    gst_object_unref(rgb);
    gst_object_unref(p);
    return out->yuv && out->rgb;
}

QImage convertSample(FrameConverter &converter, GstSample *sample) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample)))
        return {};
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ))
        return {};
    QImage out = converter.convert(frame);
    gst_video_frame_unmap(&frame);
    return out;
}

QImage wrapBgrx(GstSample *sample) {
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
    GstMapInfo map;
    gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
    QImage copy = QImage(map.data, info.width, info.height, int(info.stride[0]), QImage::Format_RGB32).copy();
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    return copy;
}

// The largest difference of one colour channel between the two pictures, inside the
// bars (at their edges the two may sample the halved colour planes differently).
int largestDifference(const QImage &a, const QImage &reference) {
    const auto near = [](QRgb p, QRgb q) {
        return std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) <= 6;
    };
    int worst = 0;
    for (int y = 2; y < a.height() - 2; ++y)
        for (int x = 2; x < a.width() - 2; ++x) {
            const QRgb q = reference.pixel(x, y);
            if (!near(q, reference.pixel(x - 2, y)) || !near(q, reference.pixel(x + 2, y)) ||
                !near(q, reference.pixel(x, y - 2)) || !near(q, reference.pixel(x, y + 2)))
                continue;
            const QRgb p = a.pixel(x, y);
            worst = std::max(
                {worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return worst;
}
} // namespace

void TestVideoTap::converterMatchesVideoconvert_data() {
    QTest::addColumn<QByteArray>("colorimetry");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("bt709 I420") << QByteArray("bt709") << QByteArray("I420");
    QTest::newRow("bt601 I420") << QByteArray("bt601") << QByteArray("I420");
    QTest::newRow("bt709 NV12") << QByteArray("bt709") << QByteArray("NV12");
    QTest::newRow("bt709 4:4:4") << QByteArray("bt709") << QByteArray("Y444");
}

// The pictures are what videoconvert made of the same decoded frame, in the colour
// matrix the stream says (a wrong matrix is off by 20 and more on the bars).
void TestVideoTap::converterMatchesVideoconvert() {
    QFETCH(QByteArray, colorimetry);
    QFETCH(QByteArray, format);
    DecodedBars bars;
    QVERIFY(decodeBars(colorimetry, format, &bars));
    FrameConverter converter;
    const QImage mine = convertSample(converter, bars.yuv);
    const QImage reference = wrapBgrx(bars.rgb);
    QCOMPARE(mine.format(), QImage::Format_RGB32);
    QCOMPARE(mine.size(), QSize(320, 180));
    QCOMPARE(reference.size(), mine.size());
    const int worst = largestDifference(mine, reference);
    QVERIFY2(worst <= 6, qPrintable(QString::number(worst)));
    QCOMPARE(qAlpha(mine.pixel(5, 5)), 255);
}

// A steady stream reuses the pictures nobody holds any more; one still held (shown,
// saved) is never written over; another format gives nothing rather than garbage.
void TestVideoTap::converterReusesFreePictures() {
    DecodedBars bars;
    QVERIFY(decodeBars("bt709", "I420", &bars));
    FrameConverter converter;
    QImage held = convertSample(converter, bars.yuv);
    QVERIFY(!held.isNull());
    const QImage heldCopy = held.copy();
    const uchar *heldBits = held.constBits();
    std::set<const uchar *> seen;
    for (int i = 0; i < 10; ++i) {
        const QImage next = convertSample(converter, bars.yuv);
        QVERIFY(next.constBits() != heldBits);
        seen.insert(next.constBits());
    }
    QCOMPARE(seen.size(), size_t(1)); // each picture let go at once: one is enough
    QVERIFY(held == heldCopy);
    held = QImage(); // let go: its memory is used again
    QCOMPARE(convertSample(converter, bars.yuv).constBits(), heldBits);

    DecodedBars rgbOnly;
    QVERIFY(decodeBars("bt709", "BGRx", &rgbOnly));
    QVERIFY(convertSample(converter, rgbOnly.yuv).isNull());
}

QTEST_GUILESS_MAIN(TestVideoTap)
#include "tst_videotap.moc"

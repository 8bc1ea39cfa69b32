// JPEG chunk reassembly (ordering, stale frames, stills, bounds) and the decode
// path that publishes frames on the main thread.
#include "media/JpegReassembler.h"
#include "media/JpegVideoPath.h"
#include "protocol/JpegChunkHeader.h"
#include "util/MainThreadLink.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

namespace {
using R = JpegReassembler;

QByteArray jpegOf(QSize size, QColor color) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(color);
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 90);
    return out;
}

// Splits data into count chunks of a frame.
QList<QByteArray> chunks(quint32 seq, const QByteArray &data, int count, quint16 w = 4, quint16 h = 3,
                         quint8 flags = 0) {
    QList<QByteArray> out;
    const qsizetype step = (data.size() + count - 1) / qMax(count, 1);
    for (int i = 0; i < count; ++i)
        out.append(JpegChunkHeader{seq, quint16(i), quint16(count), w, h, flags}.encode(data.mid(i * step, step)));
    return out;
}
} // namespace

class TestReassembly : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outOfOrderChunksCompleteOnce() {
        R r;
        const auto c = chunks(5, "abcdefghi", 3);
        QVERIFY(!r.push(c[2]));
        QVERIFY(!r.push(c[0]));
        const auto frame = r.push(c[1]);
        QVERIFY(frame);
        QCOMPARE(frame->jpeg, QByteArray("abcdefghi"));
        QCOMPARE(frame->seq, 5u);
        QCOMPARE(frame->w, 4);
        QCOMPARE(frame->h, 3);
        QVERIFY(!frame->still);
        QCOMPARE(r.lastSeq(), 5u);
        QVERIFY(r.partial().empty());
        QVERIFY(!r.push(c[1])); // a straggler starts a new partial, nothing is shown twice
    }

    void shortWrongKindAndOutOfRange() {
        R r;
        QVERIFY(!r.push(QByteArray(13, '\x01')));
        QByteArray wrongKind = JpegChunkHeader{1, 0, 1, 1, 1, 0}.encode("x");
        wrongKind[0] = 2;
        QVERIFY(!r.push(wrongKind));
        QVERIFY(r.partial().empty());
        // Index beyond count: ignored, but its partial stays.
        QVERIFY(!r.push(JpegChunkHeader{9, 3, 2, 1, 1, 0}.encode("x")));
        QCOMPARE(r.partial().size(), std::size_t(1));
        // A zero-count frame never completes.
        QVERIFY(!r.push(JpegChunkHeader{10, 0, 0, 1, 1, 0}.encode("x")));
        QVERIFY(r.partial().count(10));
        // Exactly the header: an empty chunk that still completes its frame.
        const auto empty = r.push(JpegChunkHeader{11, 0, 1, 1, 1, 0}.encode({}));
        QVERIFY(empty);
        QVERIFY(empty->jpeg.isEmpty());
    }

    void staleFramesAreDroppedBeforeDecoding() {
        R r;
        QVERIFY(r.push(JpegChunkHeader{8, 0, 1, 1, 1, 0}.encode("eight")));
        QVERIFY(!r.push(JpegChunkHeader{7, 0, 2, 1, 1, 0}.encode("se")));
        QVERIFY(r.partial().count(7)); // a new partial for 7
        QVERIFY(!r.push(JpegChunkHeader{7, 1, 2, 1, 1, 0}.encode("ven")));
        QCOMPARE(r.staleDropped(), 1u);
        QCOMPARE(r.lastSeq(), 8u);
        QVERIFY(r.push(JpegChunkHeader{8, 0, 1, 1, 1, 0}.encode("again"))); // equal to lastSeq is shown
    }

    void completingDiscardsOlderPartials() {
        R r;
        r.push(JpegChunkHeader{4, 0, 2, 1, 1, 0}.encode("a"));
        r.push(JpegChunkHeader{9, 0, 2, 1, 1, 0}.encode("a"));
        r.push(JpegChunkHeader{11, 0, 2, 1, 1, 0}.encode("a"));
        QVERIFY(r.push(JpegChunkHeader{10, 0, 1, 1, 1, 0}.encode("ten")));
        QCOMPARE(r.partial().size(), std::size_t(1));
        QVERIFY(r.partial().count(11));
    }

    void stillsBypassLastSeq() {
        R r;
        QVERIFY(r.push(JpegChunkHeader{20, 0, 1, 1, 1, 0}.encode("x")));
        const auto still =
            r.push(JpegChunkHeader{3, 0, 1, 1920, 1080, JpegChunkHeader::stillFlag | 0x80}.encode("still"));
        QVERIFY(still);
        QVERIFY(still->still);
        QCOMPARE(still->jpeg, QByteArray("still"));
        QCOMPARE(r.lastSeq(), 20u);
        // Other flag bits do not make a still.
        const auto plain = r.push(JpegChunkHeader{21, 0, 1, 1, 1, 0xfe}.encode("y"));
        QVERIFY(plain && !plain->still);
    }

    void repeatedIndexDoesNotCompleteWithHoles() {
        R r;
        QVERIFY(!r.push(JpegChunkHeader{1, 0, 2, 1, 1, 0}.encode("a")));
        QVERIFY(!r.push(JpegChunkHeader{1, 0, 2, 1, 1, 0}.encode("A")));
        const auto f = r.push(JpegChunkHeader{1, 1, 2, 1, 1, 0}.encode("b"));
        QVERIFY(f);
        QCOMPARE(f->jpeg, QByteArray("Ab"));
    }

    void partialIsBoundedInCountAndBytes() {
        R r(4, 1024 * 1024);
        // A peer that keeps starting frames it never finishes (ascending and wrapping seqs).
        for (quint32 seq = 100; seq < 200; ++seq)
            r.push(JpegChunkHeader{seq, 0, 2, 1, 1, 0}.encode(QByteArray(100, 'x')));
        r.push(JpegChunkHeader{0xffffffffu, 0, 2, 1, 1, 0}.encode("x"));
        QVERIFY(r.partial().size() <= 4);
        QVERIFY(r.evicted() >= 96);
        QVERIFY(!r.partial().count(100)); // the oldest went first
        QVERIFY(r.partial().count(0xffffffffu));

        // Large announced counts cost nothing until chunks arrive.
        R small(64, 200 * 1024);
        for (quint32 seq = 1; seq < 50; ++seq)
            small.push(JpegChunkHeader{seq, 0, 65535, 1, 1, 0}.encode("x"));
        QCOMPARE(small.partial().size(), std::size_t(49));
        QVERIFY(small.bufferedBytes() < 49 * 256);

        // One frame bigger than the whole budget is abandoned, not kept.
        R tight(8, 100 * 1024);
        for (quint16 i = 0; i < 4; ++i)
            tight.push(JpegChunkHeader{7, i, 5, 1, 1, 0}.encode(QByteArray(60 * 1024, 'j')));
        QVERIFY(tight.bufferedBytes() <= 100 * 1024);
        QVERIFY(!tight.push(JpegChunkHeader{7, 4, 5, 1, 1, 0}.encode("end")));
    }

    void decodePathPublishesInOrderOnMainThread() {
        QObject target;
        auto link = std::make_shared<MainThreadLink>(&target);
        QList<QSize> sizes;
        QList<QRgb> colors;
        QList<QByteArray> stills;
        QThread *publishThread = nullptr;
        JpegVideoPath path(
            link, [&](const QByteArray &jpeg) { stills.append(jpeg); },
            [&](const QImage &image, QSize size) {
                publishThread = QThread::currentThread();
                sizes.append(size);
                colors.append(image.pixel(image.width() / 2, image.height() / 2));
            });
        const QByteArray red = jpegOf({64, 48}, Qt::red);
        const QByteArray blue = jpegOf({32, 16}, Qt::blue);
        for (const QByteArray &c : chunks(1, red, 3, 640, 480))
            path.push(c);
        path.waitForDecoder();
        QTRY_COMPARE(sizes.size(), 1);
        for (const QByteArray &c : chunks(2, blue, 2, 320, 160))
            path.push(c);
        path.waitForDecoder();
        // Undecodable data is dropped, the previous picture stays.
        path.push(JpegChunkHeader{3, 0, 1, 9, 9, 0}.encode("not a jpeg"));
        path.push(JpegChunkHeader{4, 0, 1, 5, 5, JpegChunkHeader::stillFlag}.encode(red));
        path.waitForDecoder();
        QTRY_COMPARE(stills.size(), 1);
        QTRY_COMPARE(sizes.size(), 2);
        QTest::qWait(50);
        QCOMPARE(sizes.size(), 2);
        QCOMPARE(publishThread, QThread::currentThread());
        // The header's size is published, not the JPEG's own.
        QCOMPARE(sizes, (QList<QSize>{{640, 480}, {320, 160}}));
        QVERIFY(qRed(colors[0]) > 200 && qBlue(colors[0]) < 60);
        QVERIFY(qBlue(colors[1]) > 200 && qRed(colors[1]) < 60);
        QCOMPARE(stills[0], red);
    }

    void hostileJpegHeaderIsNotAllocated() {
        // A valid JPEG whose header claims 65000 x 65000 pixels.
        QByteArray big = jpegOf({8, 8}, Qt::green);
        const qsizetype sof = big.indexOf("\xff\xc0");
        QVERIFY(sof > 0);
        big[sof + 5] = char(0xfd);
        big[sof + 6] = char(0xe8);
        big[sof + 7] = char(0xfd);
        big[sof + 8] = char(0xe8);
        QVERIFY(JpegVideoPath::decodeOnce(big).isNull());
        QCOMPARE(JpegVideoPath::decodeOnce(jpegOf({8, 8}, Qt::green)).size(), QSize(8, 8));
        // Truncated data keeps whatever decodes; garbage does not.
        QVERIFY(JpegVideoPath::decodeOnce(QByteArray(500, '\xff')).isNull());
    }

    void newestWaitingFrameWins() {
        // While the decoder is busy, frames waiting for it are replaced by newer ones.
        QObject target;
        auto link = std::make_shared<MainThreadLink>(&target);
        QList<QSize> sizes;
        JpegVideoPath path(link, {}, [&](const QImage &, QSize size) { sizes.append(size); });
        const QByteArray big = jpegOf({1920, 1080}, Qt::gray);
        for (quint32 seq = 1; seq <= 30; ++seq)
            for (const QByteArray &c : chunks(seq, big, 4, quint16(seq), 1))
                path.push(c);
        path.waitForDecoder();
        QTRY_VERIFY(!sizes.isEmpty());
        QTest::qWait(50);
        QCOMPARE(sizes.last(), QSize(30, 1)); // the newest frame is always shown
        for (int i = 1; i < sizes.size(); ++i)
            QVERIFY(sizes[i].width() > sizes[i - 1].width()); // never out of order
        QCOMPARE(quint64(sizes.size()) + path.skipped(), 30u);
    }

    void randomInputStaysBounded() {
        // Hostile streams: random headers and sizes never break the bounds or crash.
        QRandomGenerator rng(7);
        R r(8, 2 * 1024 * 1024);
        for (int i = 0; i < 20000; ++i) {
            QByteArray m(int(rng.bounded(40)), Qt::Uninitialized);
            for (char &c : m)
                c = char(rng.bounded(256));
            if (rng.bounded(2))
                m = JpegChunkHeader{rng.bounded(50u),       quint16(rng.bounded(6u)), quint16(rng.bounded(6u)), 1, 1,
                                    quint8(rng.bounded(4u))}
                        .encode(QByteArray(int(rng.bounded(3000u)), 'x'));
            r.push(m);
            QVERIFY(r.partial().size() <= 8);
            QVERIFY(r.bufferedBytes() <= 2 * 1024 * 1024);
        }
        QVERIFY(r.bufferedBytes() >= 0);
    }

    void detachedLinkDropsResults() {
        auto target = std::make_unique<QObject>();
        auto link = std::make_shared<MainThreadLink>(target.get());
        int published = 0;
        JpegVideoPath path(link, {}, [&](const QImage &, QSize) { ++published; });
        link->detach();
        for (const QByteArray &c : chunks(1, jpegOf({16, 16}, Qt::red), 2))
            path.push(c);
        path.waitForDecoder();
        QTest::qWait(50);
        QCOMPARE(published, 0);
    }
};

QTEST_MAIN(TestReassembly)
#include "tst_reassembly.moc"

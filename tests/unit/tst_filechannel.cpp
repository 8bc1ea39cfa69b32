// Receive side of the "file" channel: chunk parsing, per-transfer order, bounds.
#include "protocol/FileChunkHeader.h"
#include "session/FileChannel.h"

#include <QTest>

class TestFileChannel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void headerRules() {
        FileChannel f;
        QCOMPARE(f.onBinary(QByteArray(8, '\x02')), -1);
        QCOMPARE(f.onBinary(FileChunkHeader{7, 0}.encode({})), 7); // 9 bytes: an empty buffer
        QCOMPARE(f.downloads().at(7).chunks, QList<QByteArray>{QByteArray()});
        QByteArray video = FileChunkHeader{8, 0}.encode("x");
        video[0] = 1; // a video chunk's kind
        QCOMPARE(f.onBinary(video), -1);
        QVERIFY(!f.downloads().count(8));
        // The four bytes after the id play no part.
        QCOMPARE(f.onBinary(FileChunkHeader{0xfffffffeu, 0xdeadbeef}.encode("z")), qint64(0xfffffffeu));
    }

    void interleavedTransfersKeepArrivalOrder() {
        FileChannel f;
        f.onBinary(FileChunkHeader{1, 9}.encode("a1"));
        f.onBinary(FileChunkHeader{2, 1}.encode("b1"));
        f.onBinary(FileChunkHeader{1, 0}.encode("a2"));
        f.onBinary(FileChunkHeader{2, 0}.encode("b2"));
        f.onBinary(FileChunkHeader{1, 5}.encode("a3"));
        QCOMPARE(f.downloads().at(1).chunks, (QList<QByteArray>{"a1", "a2", "a3"}));
        QCOMPARE(f.downloads().at(2).chunks, (QList<QByteArray>{"b1", "b2"}));
        QCOMPARE(f.bufferedBytes(), 10);
        QCOMPARE(f.take(1), (QList<QByteArray>{"a1", "a2", "a3"}));
        QCOMPARE(f.bufferedBytes(), 4);
        QVERIFY(f.take(1).isEmpty());
    }

    void boundedByTransfersAndBytes() {
        FileChannel f(3, 1000);
        for (quint32 id = 1; id <= 10; ++id)
            f.onBinary(FileChunkHeader{id, 0}.encode("x"));
        QCOMPARE(f.downloads().size(), std::size_t(3));
        QVERIFY(f.downloads().count(8) && f.downloads().count(9) && f.downloads().count(10));

        // Bytes: the transfers started longest ago go first, whole.
        FileChannel g(10, 1000);
        g.onBinary(FileChunkHeader{1, 0}.encode(QByteArray(400, 'a')));
        g.onBinary(FileChunkHeader{2, 0}.encode(QByteArray(400, 'b')));
        g.onBinary(FileChunkHeader{3, 0}.encode(QByteArray(400, 'c')));
        QVERIFY(!g.downloads().count(1));
        QCOMPARE(g.bufferedBytes(), 800);

        // One endless transfer loses its oldest chunks, never more than the bound.
        FileChannel h(10, 1000);
        for (int i = 0; i < 100; ++i)
            h.onBinary(FileChunkHeader{5, 0}.encode(QByteArray(100, char('0' + i % 10))));
        QVERIFY(h.bufferedBytes() <= 1000);
        QCOMPARE(h.downloads().at(5).chunks.size(), 10);
        QCOMPARE(h.downloads().at(5).chunks.last(), QByteArray(100, '9'));
    }
};

QTEST_GUILESS_MAIN(TestFileChannel)
#include "tst_filechannel.moc"

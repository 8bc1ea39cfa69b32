// The recording pipeline on its own, fed with pictures made here: the file it
// finishes opens in gst-discoverer-1.0 with the first picture's size, pictures
// of another size are scaled into it, and an empty or failed recording leaves
// no file behind.
#include "media/StreamRecorder.h"

#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

namespace {
struct Outcome {
    std::mutex lock;
    bool done = false;
    QString error;
    QString note;
};

StreamRecorder::Ended report(std::shared_ptr<Outcome> out) {
    return [out](const QString &, const QString &error, const QString &note) {
        std::lock_guard guard(out->lock);
        out->error = error;
        out->note = note;
        out->done = true;
    };
}

bool finished(const std::shared_ptr<Outcome> &out) {
    return QTest::qWaitFor(
        [&] {
            std::lock_guard guard(out->lock);
            return out->done;
        },
        10000);
}

QImage picture(QSize size, int n) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    p.fillRect(QRect((n * 7) % size.width(), 10, 40, 40), Qt::white);
    return image;
}
} // namespace

class TestStreamRecorder : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framesOfChangingSizeMakeOnePlayableFile() {
        if (StreamRecorder::frameEncoder().isEmpty())
            QSKIP("no H.264 encoder installed");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("frames.mkv"));
        auto out = std::make_shared<Outcome>();
        auto started = StreamRecorder::start(path, StreamRecorder::Input::Frames, report(out));
        QVERIFY2(started.ok(), qPrintable(started.error.message));
        auto recorder = *started.value;
        // An odd first size is made even; later pictures come in another size.
        for (int i = 0; i < 30; ++i) {
            recorder->pushFrame(picture(i < 15 ? QSize(641, 361) : QSize(320, 240), i));
            QTest::qWait(40);
        }
        recorder->finish();
        recorder.reset(); // the owner may let go: the file is finished all the same
        QVERIFY(finished(out));
        QCOMPARE(out->error, QString());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("frames.mkv")});

        QProcess p;
        p.start(QStringLiteral("gst-discoverer-1.0"), {QStringLiteral("-v"), path});
        QVERIFY(p.waitForFinished(30000));
        const QString report = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(report.contains(QStringLiteral("width=(int)640,")) &&
                     report.contains(QStringLiteral("height=(int)360,")),
                 qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("Duration: 0:00:01")), qPrintable(report));
    }

    void emptyOrUnwritableRecordingsLeaveNoFile() {
        QTemporaryDir dir;
        // Nothing ever arrived (an H.264 stream that never reached a key frame).
        const QString empty = dir.filePath(QStringLiteral("empty.mkv"));
        auto out = std::make_shared<Outcome>();
        auto started = StreamRecorder::start(empty, StreamRecorder::Input::H264, report(out));
        QVERIFY2(started.ok(), qPrintable(started.error.message));
        (*started.value)->finish();
        QVERIFY(finished(out));
        QVERIFY(!out->error.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());

        // A folder that does not exist: refused at once, with the system's reason.
        auto refused = StreamRecorder::start(dir.filePath(QStringLiteral("no/such/folder.mkv")),
                                             StreamRecorder::Input::H264, report(std::make_shared<Outcome>()));
        QVERIFY(!refused.ok());
        QVERIFY(!refused.error.message.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStreamRecorder)
#include "tst_streamrecorder.moc"

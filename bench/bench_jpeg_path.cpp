// JPEG video path: reassembly of a 1080p chunk stream (<= 64 KiB messages), stale
// check, TurboJPEG decode on the session's serial worker and publication on the
// main thread, against raw TurboJPEG decoding of the same frames. Prints
// frames/s and the ratio (goal: at least 0.9).
#include "media/JpegVideoPath.h"
#include "protocol/JpegChunkHeader.h"
#include "util/MainThreadLink.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSemaphore>
#include <QThread>

#include <turbojpeg.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {
// A recorded-like screen stream: a desktop with windows and text that moves.
std::vector<QByteArray> makeFrames(int count, int quality) {
    std::vector<QByteArray> out;
    QImage img(1920, 1080, QImage::Format_RGB32);
    for (int i = 0; i < count; ++i) {
        QPainter p(&img);
        QLinearGradient g(0, 0, 1920, 1080);
        g.setColorAt(0, QColor(30, 60, 110));
        g.setColorAt(1, QColor(200, 120, 60));
        p.fillRect(img.rect(), g);
        for (int w = 0; w < 6; ++w) {
            const QRect r(80 + w * 260 + (i * 7 + w * 31) % 200, 90 + w * 120, 700, 500);
            p.fillRect(r, QColor(245, 245, 245));
            p.fillRect(QRect(r.topLeft(), QSize(r.width(), 28)), QColor(60, 60, 70));
            p.setPen(Qt::black);
            for (int line = 0; line < 14; ++line)
                p.drawText(
                    r.x() + 12, r.y() + 52 + line * 30,
                    QStringLiteral("frame %1 window %2 line %3 — the quick brown fox jumps").arg(i).arg(w).arg(line));
        }
        p.end();
        QByteArray jpeg;
        QBuffer buf(&jpeg);
        buf.open(QIODevice::WriteOnly);
        img.save(&buf, "JPG", quality);
        out.push_back(jpeg);
    }
    return out;
}

std::vector<QByteArray> chunked(quint32 seq, const QByteArray &jpeg) {
    const qsizetype room = 64 * 1024 - JpegChunkHeader::size;
    const int count = int((jpeg.size() + room - 1) / room);
    std::vector<QByteArray> out;
    for (int i = 0; i < count; ++i)
        out.push_back(JpegChunkHeader{seq, quint16(i), quint16(count), 1920, 1080, 0}.encode(jpeg.mid(i * room, room)));
    return out;
}
} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(10, atoi(argv[1])) : 120;
    const std::vector<QByteArray> jpegs = makeFrames(24, 80);
    std::vector<std::vector<QByteArray>> stream;
    qint64 bytes = 0, messages = 0;
    for (int i = 0; i < frames; ++i) {
        stream.push_back(chunked(quint32(i + 1), jpegs[size_t(i) % jpegs.size()]));
        bytes += jpegs[size_t(i) % jpegs.size()].size();
        messages += qint64(stream.back().size());
    }
    std::printf("JPEG path benchmark: %d frames 1920x1080, %.0f KiB per frame, %.1f messages per frame\n", frames,
                bytes / 1024.0 / frames, double(messages) / frames);

    QObject receiver;
    auto link = std::make_shared<MainThreadLink>(&receiver);
    const int rounds = 5;
    std::vector<double> rawRuns, pathRuns;
    int shown = 0;
    QElapsedTimer t;
    for (int round = 0; round < rounds; ++round) {
        // Baseline: raw TurboJPEG decode of the same frames into one reused buffer.
        tjhandle tj = tjInitDecompress();
        std::vector<unsigned char> pixels(size_t(1920) * 1080 * 4);
        t.start();
        for (int i = 0; i < frames; ++i) {
            const QByteArray &j = jpegs[size_t(i) % jpegs.size()];
            tjDecompress2(tj, reinterpret_cast<const unsigned char *>(j.constData()), (unsigned long)j.size(),
                          pixels.data(), 1920, 1920 * 4, 1080, TJPF_BGRX, 0);
        }
        rawRuns.push_back(frames / (t.nsecsElapsed() / 1e9));
        tjDestroy(tj);

        // The session's path: a feeder thread plays the data-channel thread, the
        // decoder is the path's serial worker, publication lands on this thread.
        // Each frame is fed once the previous one was published (none skipped).
        QSemaphore published;
        shown = 0;
        JpegVideoPath path(link, {}, [&](const QImage &image, QSize) {
            if (!image.isNull())
                ++shown;
            published.release();
        });
        QThread *feeder = QThread::create([&] {
            for (const auto &frame : stream) {
                for (const QByteArray &m : frame)
                    path.push(m);
                published.acquire();
            }
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        });
        t.restart();
        feeder->start();
        app.exec();
        pathRuns.push_back(frames / (t.nsecsElapsed() / 1e9));
        feeder->wait();
        delete feeder;
    }
    std::sort(rawRuns.begin(), rawRuns.end());
    std::sort(pathRuns.begin(), pathRuns.end());
    const double rawFps = rawRuns[rawRuns.size() / 2], pathFps = pathRuns[pathRuns.size() / 2];
    const double rawBest = rawRuns.back(), pathBest = pathRuns.back();

    // Streamed as fast as the sender can: what is shown and what is skipped.
    int streamedShown = 0;
    QSemaphore last;
    JpegVideoPath burst(link, {}, [&](const QImage &, QSize) { ++streamedShown; });
    t.restart();
    for (int i = 0; i < frames; ++i)
        for (const QByteArray &m : chunked(quint32(i + 1), jpegs[size_t(i) % jpegs.size()]))
            burst.push(m);
    burst.waitForDecoder();
    QCoreApplication::processEvents();
    const double burstMs = t.nsecsElapsed() / 1e6;

    std::printf("  %d interleaved rounds, median / best\n", rounds);
    std::printf("  raw TurboJPEG decode        %7.1f / %7.1f frames/s\n", rawFps, rawBest);
    std::printf("  reassembly+decode+publish   %7.1f / %7.1f frames/s   ratio %.3f / %.3f (goal >= 0.9), %d/%d shown\n",
                pathFps, pathBest, pathFps / rawFps, pathBest / rawBest, shown, frames);
    std::printf("  burst of %d frames          %7.1f ms, %d shown, %llu skipped as stale while the decoder was busy\n",
                frames, burstMs, streamedShown, (unsigned long long)burst.skipped());
    return 0;
}

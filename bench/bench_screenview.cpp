// Painting cost of the remote screen view: one 1920×1080 frame letterboxed into a
// 1280×800 view, against the bare QPainter scale of the same frame into an image
// of the view's size (the least any painter can do). Run with
// QT_QPA_PLATFORM=offscreen.
#include "viewer/RemoteScreenView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int frames = 240;

QImage frame(int i) {
    QImage img(1920, 1080, QImage::Format_RGB32);
    img.fill(QColor::fromHsv((i * 7) % 360, 180, 200));
    QPainter p(&img);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(100 + (i * 13) % 1700, 540), 60, 60);
    return img;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    std::vector<QImage> stream;
    for (int i = 0; i < 8; ++i)
        stream.push_back(frame(i));

    // Baseline: scale each frame into a backing-store-sized image.
    QImage target(1280, 800, QImage::Format_RGB32); // an opaque backing store
    const QRectF content = RemoteScreenView::contentRect(QSizeF(1280, 800), QSizeF(1920, 1080));
    std::vector<double> base;
    for (int i = 0; i < frames; ++i) {
        QElapsedTimer t;
        t.start();
        QPainter p(&target);
        p.fillRect(target.rect(), Qt::black);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(content, stream[size_t(i) % stream.size()]);
        p.end();
        base.push_back(t.nsecsElapsed() / 1e6);
    }

    // The view: apply a frame, repaint synchronously (paint event into the backing store).
    RemoteScreenView view;
    view.resize(1280, 800);
    view.setShowCursor(true);
    view.show();
    QCoreApplication::processEvents();
    std::vector<double> painted;
    for (int i = 0; i < frames; ++i) {
        QElapsedTimer t;
        t.start();
        view.apply("jpeg", stream[size_t(i) % stream.size()], QSizeF(1920, 1080), QPointF(i % 1920, 500));
        view.repaint();
        painted.push_back(t.nsecsElapsed() / 1e6);
    }
    const bool shared = view.currentImage().constBits() == stream[size_t(frames - 1) % stream.size()].constBits();

    const double b = median(base), v = median(painted);
    std::printf("frame 1920x1080 RGB32 -> view 1280x800, %d frames\n", frames);
    std::printf("baseline QPainter scale: median %.2f ms/frame (%.0f frames/s)\n", b, 1000.0 / b);
    std::printf("RemoteScreenView paint:  median %.2f ms/frame (%.0f frames/s)\n", v, 1000.0 / v);
    std::printf("ratio view/baseline: %.2f (goal <= 1.2)\n", v / b);
    std::printf("frame painted from the producer's buffer without a copy: %s\n", shared ? "yes" : "NO");
    return 0;
}

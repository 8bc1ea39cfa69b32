#include "support/CodeWindow.h"

#include "support/FrameCode.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QProcessEnvironment>
#include <QRasterWindow>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {
qint64 steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Window : public QRasterWindow {
public:
    quint16 next = 1;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const int w = width(), h = height();
        // A moving picture beside the strip: a bar crosses the screen every two seconds or
        // so (as a dragged window would), the rest holds still.
        p.fillRect(0, 0, w, h, QColor(30, 60, 90));
        const int bar = w / 16;
        const int x = int((qint64(m_painting) * 32) % (w + bar)) - bar;
        p.fillRect(x, h / 4, bar, h / 2, QColor(230, 180, 40));
        FrameCode::paint(p, m_painting);
    }
    bool event(QEvent *e) override {
        if (e->type() != QEvent::UpdateRequest)
            return QRasterWindow::event(e);
        m_painting = next;
        const bool handled = QRasterWindow::event(e); // paints and commits the buffer
        if (screen() && size() == screen()->size()) {
            std::printf("%u %lld %d %d\n", unsigned(m_painting), static_cast<long long>(steadyUs()), width(), height());
            std::fflush(stdout);
        }
        return handled;
    }

private:
    quint16 m_painting = 0;
};
} // namespace

int CodeWindow::run(int argc, char **argv, int fps) {
    QGuiApplication app(argc, argv);
    Window w;
    w.showFullScreen();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1000 / std::max(1, fps));
    QObject::connect(&tick, &QTimer::timeout, &w, [&w] {
        ++w.next;
        if (w.next == 0)
            w.next = 1;
        w.update();
    });
    tick.start();
    return app.exec();
}

PaintedTimes::~PaintedTimes() {
    stop();
}

bool PaintedTimes::start(const QString &program, const QStringList &args, QString *why) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    m_proc.setProcessEnvironment(env);
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&m_proc, &QProcess::readyReadStandardOutput, this, &PaintedTimes::read);
    m_proc.start(program, args);
    if (!QTest::qWaitFor([&] { return !m_screen.isEmpty(); }, 15000)) {
        *why = QStringLiteral("the painting window did not come up full screen");
        return false;
    }
    return true;
}

void PaintedTimes::stop() {
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.kill();
    m_proc.waitForFinished(3000);
}

// Main thread: "N MICROSECONDS W H" per painted frame.
void PaintedTimes::read() {
    m_pending += m_proc.readAllStandardOutput();
    for (qsizetype nl; (nl = m_pending.indexOf('\n')) >= 0;) {
        const QList<QByteArray> parts = m_pending.left(nl).split(' ');
        m_pending.remove(0, nl + 1);
        if (parts.size() != 4)
            continue;
        m_painted[quint16(parts[0].toUInt())].store(parts[1].toLongLong(), std::memory_order_release);
        m_screen = QSize(parts[2].toInt(), parts[3].toInt());
    }
}

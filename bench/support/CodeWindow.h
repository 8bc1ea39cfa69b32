#pragma once

#include <QObject>
#include <QProcess>
#include <QSize>
#include <QtGlobal>

#include <array>
#include <atomic>

// The moving picture of the glass-to-glass benches on a Wayland desktop: a full-screen
// window (run() in a child process started with QT_QPA_PLATFORM=wayland) that moves a bar
// across the screen and paints the next frame number (FrameCode) 30 times a second, and
// prints "N MICROSECONDS" on standard output once each frame has gone to the compositor
// (steady clock, which is the same in every process).
class CodeWindow {
public:
    static int run(int argc, char **argv, int fps);
};

// The parent's side: starts `program args` as the painting child and keeps, for every
// frame number, when it was painted. Main thread; read from any thread.
class PaintedTimes : public QObject {
public:
    PaintedTimes() = default;
    ~PaintedTimes() override;
    // Starts the child and waits until it paints; false (and why) when it does not.
    bool start(const QString &program, const QStringList &args, QString *why);
    void stop();
    // When `n` was painted (steady clock, µs); 0 when not (yet) known.
    qint64 at(quint16 n) const { return m_painted[n].load(std::memory_order_acquire); }
    // The screen size the window reported.
    QSize screen() const { return m_screen; }

private:
    void read();
    QProcess m_proc;
    QByteArray m_pending;
    QSize m_screen;
    std::array<std::atomic<qint64>, 65536> m_painted{};
};

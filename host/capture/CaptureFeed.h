#pragma once

#include "capture/FrameGrabber.h"

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class FrameConsumer;

// The pictures of one display, captured on the feed's own thread only when the
// display changed (or the pointer moved), with the pointer drawn in, and handed to
// every subscribed consumer at the rate it asks for. The thread sleeps until the
// display reports a change (or a consumer is due); idle while nobody subscribes.
// Public methods may be called from any thread.
class CaptureFeed {
public:
    CaptureFeed(int monitorId, std::unique_ptr<FrameGrabber> grabber);
    ~CaptureFeed();
    CaptureFeed(const CaptureFeed &) = delete;
    CaptureFeed &operator=(const CaptureFeed &) = delete;

    // Opens the grabber for `rect` and starts the thread; fails with the reason when capture cannot work.
    Result<std::monostate> start(const QRect &rect);
    int monitorId() const { return m_monitorId; }
    // The display moved or was resized.
    void setRect(const QRect &rect);
    // The parts of the rectangle that show a display, in desktop pixels; the rest of the
    // picture is black (the desktop's pixels outside every display are nobody's to see).
    // Empty: the whole rectangle.
    void setShown(const QList<QRect> &areas);
    QSize size() const;
    QRect rect() const;

    void subscribe(FrameConsumer *consumer);
    // Once this returns, the consumer is not called any more.
    void unsubscribe(FrameConsumer *consumer);
    // A consumer's wantsRepeat() may have turned true: look now rather than at the next tick.
    void wake();

    // The pointer relative to the display, when it is over it.
    std::optional<QPoint> pointer() const;
    // The newest picture with its size (a new reference, or null before the first).
    GstBuffer *latest(QSize *size) const;
    // Pictures captured since the last call (for figures).
    int takeGrabs() { return m_grabs.exchange(0); }
    // What taking one picture costs lately (grab, black gaps, pointer), µs of the capture
    // thread's time as the clock runs (a busy machine makes it longer); 0 before the first.
    int grabCostUs() const { return m_grabCostUs.load(); }

private:
    struct RunState;
    // The capture thread, in its steps.
    void run();
    void drainWakes();
    void sleepUntilWoken(std::unique_lock<std::mutex> &lock);
    std::optional<QPoint> pollDisplay(RunState &st, bool rectChanged);
    void grab(RunState &st, QPoint drawn);
    // Paints the parts of a fresh picture that no display covers black.
    static void blank(GstBuffer *picture, QSize size, const QList<QRect> &gaps);
    gint64 deliver(RunState &st, gint64 now);
    void waitForNews(std::unique_lock<std::mutex> &lock, const RunState &st, gint64 now, gint64 next, gint64 interval);
    // Blends the pointer into a freshly grabbed picture.
    void drawPointer(GstBuffer *picture, QSize size, QPoint pointer);
    // Sleeps on the wake descriptor alone (the display's news wait for their turn).
    void sleep(int timeoutMs);
    void signal();

    const int m_monitorId;
    std::unique_ptr<FrameGrabber> m_grabber; // capture thread only (after start)
    std::thread m_thread;
    int m_wakeFd = -1;          // an eventfd: readable when the thread should look again
    mutable std::mutex m_mutex; // guards everything below up to m_consumers
    bool m_stop = false;
    bool m_woken = false;
    QRect m_rect;
    bool m_rectChanged = false;
    QList<QRect> m_shown;
    bool m_shownChanged = false;
    QList<FrameConsumer *> m_consumers;
    std::mutex m_deliver; // held while consumers are called
    GstBuffer *m_latest = nullptr;
    QSize m_latestSize;
    std::atomic<int> m_grabs{0};
    std::atomic<int> m_grabCostUs{0};
    std::atomic<qint64> m_pointer{0}; // x << 32 | y, relative to the display; INT64_MIN when outside
};

#pragma once

#include "viewer/MoveThrottle.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QPointer>
#include <QPolygonF>
#include <QSet>
#include <QWidget>

#include <optional>

#include "session/MonitorView.h"
#include "session/RemoteSession.h"

// The remote screen: paints the session's picture letterboxed on black with the
// remote pointer on top, and turns local pointer, wheel and key events into
// "input" messages in remote frame pixels.
//
// Keys on Linux: every key and chord goes to the remote with its real press and
// release, Ctrl and Alt chords included, except the few Super chords that stay
// with the local desktop (localShortcut()). Super is the PC keyboard's Command
// key and is sent as MetaLeft/MetaRight.
class RemoteScreenView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(bool keyboardGrabbed READ keyboardGrabbed NOTIFY keyboardGrabChanged)

public:
    // Linear scale factor of a wheel notch; precise (pixel) deltas pass as they are.
    static constexpr double notchFactor = 40.0;

    explicit RemoteScreenView(QWidget *parent = nullptr);
    ~RemoteScreenView() override;

    RemoteSession *session() const { return m_session; }
    void setSession(RemoteSession *session);
    // Shows a display window's picture instead of a session's: its frames, and input
    // that lands on its display. Null: nothing.
    MonitorView *monitorView() const { return m_view; }
    void setMonitorView(MonitorView *view);
    bool showCursor() const { return m_showCursor; }
    void setShowCursor(bool show);
    QSet<QString> heldModifiers() const { return m_heldModifiers; }
    // The frame size, mode and picture last applied from the session.
    QSizeF frameSize() const { return m_frameSize; }
    QString mode() const { return m_mode; }
    QImage currentImage() const { return m_picture; }
    // Frames painted so far.
    quint64 paintedFrames() const { return m_paintedFrames; }
    // Where the picture is drawn in this view, and the pointer overlay's box
    // (empty when hidden).
    QRectF contentRect() const;
    // One remote pixel on one device pixel of this screen, whatever its device pixel
    // ratio: the picture is frame / ratio logical pixels large, at the top left, moved
    // by less than a device pixel so that it starts on one (no resampling, no blur).
    // Off: the picture fits the view (letterboxed).
    bool actualPixels() const { return m_actualPixels; }
    void setActualPixels(bool on);
    // The view's size that holds the whole picture in 1:1 mode (logical pixels, rounded up).
    QSize actualPixelsSize() const;
    // The picture's rectangle in 1:1 mode: frame / ratio, its top left at the first
    // device pixel at or after `origin` (the view's top left in its window, logical).
    static QRectF actualPixelsRect(const QSizeF &frame, qreal ratio, const QPointF &origin);
    // A view point → remote pixel (truncated) for a picture drawn in `content`;
    // none outside it.
    static std::optional<QPoint> remotePointIn(const QPointF &local, const QRectF &content, const QSizeF &frame);
    QRectF cursorRect() const;
    // Forgets the session's frames; the window calls it when it goes away.
    void detach();
    // Shows a picture: the JPEG image in "jpeg" mode; in "h264" mode the image
    // is the latest decoded frame (the session's own frames replace it as they
    // arrive). Called with the session's fields on each of their changes.
    void apply(const QString &mode, const QImage &image, const QSizeF &frameSize, const QPointF &cursor);

    // The picture's rectangle: the whole bounds for a frame without positive
    // size, else the frame scaled to fit and centred.
    static QRectF contentRect(const QSizeF &bounds, const QSizeF &frame);
    // A view point → remote pixel (truncated), none over the bars or without a frame.
    static std::optional<QPoint> remotePoint(const QPointF &local, const QSizeF &bounds, const QSizeF &frame);
    // Qt wheel deltas → the "wh" dx/dy: pixel deltas (touchpads) as they are,
    // else notches (120 eighths of a degree each) × notchFactor; signs inverted.
    static QPointF wheelDelta(const QPoint &angleDelta, const QPoint &pixelDelta);
    // "b" of a Qt button: 0 left, 2 right, 1 for every other button.
    static int buttonIndex(Qt::MouseButton button);
    // The pointer overlay, tip at (0, 0), in a 16 × 16 box.
    static QPolygonF cursorPolygon();
    // Super+Q (quit), Super+W (close the window), Super+M and Super+H (minimise)
    // and Super+Escape ("切断") are left to the window and the desktop.
    // F11 (full screen) stays with the window as well.
    static bool localShortcut(int key, Qt::KeyboardModifiers modifiers);
    // Held together, these give the keyboard back to the local desktop.
    static QString escapeChordText() { return QStringLiteral("Ctrl+Alt+Shift"); }

    // While the picture has the focus the whole keyboard is grabbed, so that Alt+Tab,
    // Super and the desktop's other chords reach the remote; the escape chord, a click
    // elsewhere or leaving the window ends the grab, a click on the picture starts it again.
    bool keyboardGrabbed() const { return m_grabbed; }
    void setKeyboardGrabEnabled(bool enabled);

Q_SIGNALS:
    void showCursorChanged();
    void keyboardGrabChanged(bool grabbed);
    // Every message handed to the session (which sends it only while connected).
    void inputSent(const QJsonObject &message);
    // A picture was painted.
    void framePainted();
    // The window moved to a screen with another device pixel ratio (or another screen).
    void screenChanged();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void applySession();
    void onVideoFrame();
    void send(const QJsonObject &message);
    void releaseHeldModifiers();
    void grabKeys();
    // Whether pressing this modifier, with those held, makes Ctrl+Alt+Shift.
    bool completesEscapeChord(const QString &code) const;
    void ungrabKeys();
    std::optional<QPoint> remotePointOf(const QPointF &local) const;

    QPointer<RemoteSession> m_session;
    QPointer<MonitorView> m_view;
    bool m_showCursor = false;
    QString m_mode = QStringLiteral("jpeg");
    QSizeF m_frameSize;
    QPointF m_remoteCursor;
    // The picture painted: the session's JPEG image or the latest H.264 frame,
    // shared with its producer (never copied here).
    QImage m_picture;
    QSet<QString> m_heldModifiers;
    // Keys whose press stayed local: their release is not sent either.
    QSet<QString> m_localKeys;
    MoveThrottle m_moves;
    QElapsedTimer m_clock;
    quint64 m_paintedFrames = 0;
    QList<QMetaObject::Connection> m_connections;
    bool m_grabEnabled = true;
    bool m_grabbed = false;
    bool m_actualPixels = false;
};

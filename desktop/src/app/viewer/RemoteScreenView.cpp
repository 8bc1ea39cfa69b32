#include "viewer/RemoteScreenView.h"

#include "style/Theme.h"

#include "media/VideoFrameTap.h"
#include "protocol/KeyCodes.h"
#include "session/RemoteSession.h"
#include "viewer/KeyMap.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>

namespace {
const QString h264 = QStringLiteral("h264");

// A mapped coordinate a rounding error away from a whole pixel counts as that
// pixel, so that the picture's far edge maps to the frame size itself.
double snapped(double v) {
    const double r = std::round(v);
    return std::abs(v - r) < 1e-6 ? r : v;
}
} // namespace

RemoteScreenView::RemoteScreenView(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false); // key codes only; text goes through the key bar
    setMinimumSize(160, 90);
    m_clock.start();
}

RemoteScreenView::~RemoteScreenView() = default;

void RemoteScreenView::setSession(RemoteSession *session) {
    if (session == m_session)
        return;
    for (const auto &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
    m_session = session;
    m_view = nullptr;
    m_picture = QImage();
    if (session) {
        for (auto sig :
             {&RemoteSession::imageChanged, &RemoteSession::frameSizeChanged, &RemoteSession::cursorChanged,
              &RemoteSession::videoModeChanged, &RemoteSession::videoTrackChanged, &RemoteSession::stateChanged})
            m_connections.append(connect(session, sig, this, &RemoteScreenView::applySession));
        m_connections.append(
            connect(session, &RemoteSession::videoFrameAvailable, this, &RemoteScreenView::onVideoFrame));
    }
    applySession();
}

void RemoteScreenView::setMonitorView(MonitorView *view) {
    if (view == m_view)
        return;
    for (const auto &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
    m_session = nullptr;
    m_picture = QImage();
    m_view = view;
    if (view) {
        for (auto sig : {&MonitorView::imageChanged, &MonitorView::frameSizeChanged, &MonitorView::endedChanged})
            m_connections.append(connect(view, sig, this, &RemoteScreenView::applySession));
    }
    applySession();
}

void RemoteScreenView::setShowCursor(bool show) {
    if (show == m_showCursor)
        return;
    m_showCursor = show;
    update();
    Q_EMIT showCursorChanged();
}

void RemoteScreenView::detach() {
    setSession(nullptr);
    update();
}

void RemoteScreenView::applySession() {
    if (m_view) {
        apply(QStringLiteral("jpeg"), m_view->image(), m_view->frameSize(), QPointF());
        return;
    }
    if (!m_session) {
        m_frameSize = {};
        m_picture = QImage();
        update();
        return;
    }
    const QString mode = m_session->videoMode();
    // In H.264 mode the frames come from the tap; a mode switch shows its latest one at once.
    QImage image = mode != h264 ? m_session->image() : mode != m_mode ? m_session->tap()->latestImage() : m_picture;
    apply(mode, image, m_session->frameSize(), m_session->cursor());
}

void RemoteScreenView::apply(const QString &mode, const QImage &image, const QSizeF &frameSize, const QPointF &cursor) {
    m_mode = mode;
    m_frameSize = frameSize;
    m_remoteCursor = cursor;
    m_picture = image;
    update();
}

void RemoteScreenView::onVideoFrame() {
    if (!m_session)
        return;
    // Fetching re-arms the tap's notification, so it is done even in JPEG mode.
    QImage frame = m_session->tap()->latestImage();
    if (m_mode == h264) {
        m_picture = std::move(frame);
        update();
    }
}

QRectF RemoteScreenView::contentRect(const QSizeF &bounds, const QSizeF &frame) {
    if (!(frame.width() > 0 && frame.height() > 0) || !std::isfinite(frame.width()) || !std::isfinite(frame.height()))
        return QRectF(QPointF(0, 0), bounds);
    const double s = std::min(bounds.width() / frame.width(), bounds.height() / frame.height());
    const double w = frame.width() * s;
    const double h = frame.height() * s;
    return QRectF((bounds.width() - w) / 2, (bounds.height() - h) / 2, w, h);
}

std::optional<QPoint> RemoteScreenView::remotePoint(const QPointF &local, const QSizeF &bounds, const QSizeF &frame) {
    return remotePointIn(local, contentRect(bounds, frame), frame);
}

std::optional<QPoint> RemoteScreenView::remotePointIn(const QPointF &local, const QRectF &r, const QSizeF &frame) {
    // Sizes beyond what an int pixel coordinate can name are not a picture.
    if (!(frame.width() > 0 && frame.width() < 1e9 && frame.height() > 0 && frame.height() < 1e9))
        return std::nullopt;
    if (!(r.width() > 0 && r.height() > 0))
        return std::nullopt;
    const double x = snapped(frame.width() / r.width() * (local.x() - r.x()));
    const double y = snapped(frame.height() / r.height() * (local.y() - r.y()));
    if (!(x >= 0 && y >= 0 && x <= frame.width() && y <= frame.height()))
        return std::nullopt;
    return QPoint(int(std::trunc(x)), int(std::trunc(y)));
}

QRectF RemoteScreenView::actualPixelsRect(const QSizeF &frame, qreal ratio, const QPointF &origin) {
    if (!(ratio > 0) || !std::isfinite(ratio))
        ratio = 1;
    if (!(frame.width() > 0 && frame.height() > 0) || !std::isfinite(frame.width()) || !std::isfinite(frame.height()))
        return {};
    // The window's backing store has whole device pixels; a view at an odd logical
    // position on a 1.5 screen starts half-way into one.
    auto shift = [ratio](double logical) {
        const double device = logical * ratio;
        return (std::ceil(device - 1e-6) - device) / ratio;
    };
    return QRectF(shift(origin.x()), shift(origin.y()), frame.width() / ratio, frame.height() / ratio);
}

QPointF RemoteScreenView::wheelDelta(const QPoint &angleDelta, const QPoint &pixelDelta) {
    if (!pixelDelta.isNull())
        return QPointF(-double(pixelDelta.x()), -double(pixelDelta.y()));
    return QPointF(-(angleDelta.x() / 120.0 * notchFactor), -(angleDelta.y() / 120.0 * notchFactor));
}

int RemoteScreenView::buttonIndex(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return 0;
    case Qt::RightButton:
        return 2;
    default:
        return 1;
    }
}

QPolygonF RemoteScreenView::cursorPolygon() {
    return QPolygonF{{0, 0}, {0, 12}, {3.5, 9}, {6, 14}, {8, 13}, {5.5, 8.5}, {10, 8}, {0, 0}};
}

bool RemoteScreenView::localShortcut(int key, Qt::KeyboardModifiers modifiers) {
    if (key == Qt::Key_F11)
        return true;
    if (!modifiers.testFlag(Qt::MetaModifier))
        return false;
    return key == Qt::Key_Q || key == Qt::Key_W || key == Qt::Key_M || key == Qt::Key_H || key == Qt::Key_Escape;
}

QRectF RemoteScreenView::contentRect() const {
    if (m_actualPixels && m_frameSize.width() > 0 && m_frameSize.height() > 0)
        return actualPixelsRect(m_frameSize, devicePixelRatioF(), QPointF(mapTo(window(), QPoint(0, 0))));
    return contentRect(QSizeF(size()), m_frameSize);
}

void RemoteScreenView::setActualPixels(bool on) {
    if (on == m_actualPixels)
        return;
    m_actualPixels = on;
    update();
}

QSize RemoteScreenView::actualPixelsSize() const {
    const QRectF r = actualPixelsRect(m_frameSize, devicePixelRatioF(), QPointF());
    if (r.isEmpty())
        return {};
    // On a fractional ratio the picture may be shifted by up to a device pixel.
    const double ratio = devicePixelRatioF();
    const double slack = ratio == std::round(ratio) ? 0 : 1 / ratio;
    return QSize(int(std::ceil(r.width() + slack - 1e-6)), int(std::ceil(r.height() + slack - 1e-6)));
}

QRectF RemoteScreenView::cursorRect() const {
    if (!m_showCursor || !(m_frameSize.width() > 0))
        return {};
    // A position the host made up (1e300, say) is not drawn.
    if (!std::isfinite(m_remoteCursor.x()) || !std::isfinite(m_remoteCursor.y()) ||
        std::abs(m_remoteCursor.x()) > 1e6 || std::abs(m_remoteCursor.y()) > 1e6)
        return {};
    const QRectF r = contentRect();
    return QRectF(r.x() + r.width() / m_frameSize.width() * m_remoteCursor.x(),
                  r.y() + r.height() / m_frameSize.height() * m_remoteCursor.y(), 16, 16);
}

std::optional<QPoint> RemoteScreenView::remotePointOf(const QPointF &local) const {
    return remotePointIn(local, contentRect(), m_frameSize);
}

void RemoteScreenView::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), Theme::screenBackground());
    if (!m_picture.isNull()) {
        // Scaled straight from the shared frame into the backing store: no copy,
        // and no format conversion for the 32-bit formats the decoders produce.
        // In 1:1 mode the device transform is the identity: nothing to smooth.
        p.setRenderHint(QPainter::SmoothPixmapTransform, !m_actualPixels);
        p.drawImage(contentRect(), m_picture);
        ++m_paintedFrames;
    }
    const QRectF cursor = cursorRect();
    if (!cursor.isEmpty()) {
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(cursor.topLeft());
        p.setPen(QPen(Theme::cursorOutline(), 1));
        p.setBrush(Theme::cursorFill());
        p.drawPolygon(cursorPolygon());
    }
    if (!m_picture.isNull())
        Q_EMIT framePainted();
}

void RemoteScreenView::send(const QJsonObject &message) {
    if (m_view) {
        m_view->sendInput(message);
        Q_EMIT inputSent(message);
        return;
    }
    if (!m_session)
        return;
    m_session->sendInput(message);
    Q_EMIT inputSent(message);
}

void RemoteScreenView::mouseMoveEvent(QMouseEvent *event) {
    event->accept();
    // A pointer passing over a window in the background is not the user's input
    // for the remote; a drag that began in this view is.
    if (event->buttons() == Qt::NoButton && !isActiveWindow())
        return;
    const auto point = remotePointOf(event->position());
    if (!point || !m_moves.admit(m_clock.nsecsElapsed()))
        return;
    send(QJsonObject{{"t", "mm"}, {"x", point->x()}, {"y", point->y()}});
}

void RemoteScreenView::mousePressEvent(QMouseEvent *event) {
    event->accept();
    setFocus(Qt::MouseFocusReason);
    grabKeys(); // also after the escape chord, while the focus stayed here
    if (const auto point = remotePointOf(event->position()))
        send(QJsonObject{{"t", "md"}, {"b", buttonIndex(event->button())}, {"x", point->x()}, {"y", point->y()}});
}

void RemoteScreenView::mouseReleaseEvent(QMouseEvent *event) {
    event->accept();
    if (const auto point = remotePointOf(event->position()))
        send(QJsonObject{{"t", "mu"}, {"b", buttonIndex(event->button())}, {"x", point->x()}, {"y", point->y()}});
}

void RemoteScreenView::mouseDoubleClickEvent(QMouseEvent *event) {
    // The second press of a double click is a press like any other.
    mousePressEvent(event);
}

void RemoteScreenView::wheelEvent(QWheelEvent *event) {
    event->accept();
    const auto point = remotePointOf(event->position());
    if (!point)
        return;
    const QPointF d = wheelDelta(event->angleDelta(), event->pixelDelta());
    if (d.x() == 0 && d.y() == 0)
        return;
    send(QJsonObject{{"t", "wh"}, {"dx", d.x()}, {"dy", d.y()}, {"x", point->x()}, {"y", point->y()}});
}

bool RemoteScreenView::event(QEvent *event) {
    if (event->type() == QEvent::ScreenChangeInternal) {
        // Sent down the widget tree when the window lands on another screen, whose
        // device pixel ratio may differ: the 1:1 size changes with it.
        update();
        Q_EMIT screenChanged();
    }
    if (event->type() == QEvent::ShortcutOverride) {
        // Claim every key before the window's shortcuts see it, except the local ones.
        auto *key = static_cast<QKeyEvent *>(event);
        if (!localShortcut(key->key(), key->modifiers())) {
            event->accept();
            return true;
        }
        // The press goes to a shortcut of the window; its release must not reach the remote.
        if (const auto code = KeyMap::code(*key))
            m_localKeys.insert(*code);
    }
    return QWidget::event(event);
}

void RemoteScreenView::keyPressEvent(QKeyEvent *event) {
    const auto code = KeyMap::code(*event);
    if (localShortcut(event->key(), event->modifiers())) {
        if (code)
            m_localKeys.insert(*code);
        event->ignore();
        return;
    }
    event->accept();
    // Unmapped keys are swallowed. Caps Lock toggles a local state and is not
    // sent, like on the other build.
    if (!code || *code == QLatin1String("CapsLock"))
        return;
    if (KeyCodes::isModifier(*code)) {
        if (event->isAutoRepeat())
            return;
        if (m_grabbed && completesEscapeChord(*code)) {
            // The escape chord: the remote sees its modifiers released, the desktop gets
            // the keyboard back, and the chord's own releases stay here.
            const QSet<QString> held = m_heldModifiers;
            releaseHeldModifiers();
            m_localKeys = held;
            m_localKeys.insert(*code);
            ungrabKeys();
            return;
        }
        m_heldModifiers.insert(*code);
        send(QJsonObject{{"t", "kd"}, {"code", *code}});
        return;
    }
    QJsonObject message{{"t", "kd"}, {"code", *code}};
    // A Super chord is a command for the remote, not text: no ch, as with Command.
    const auto ch = event->modifiers().testFlag(Qt::MetaModifier)
                        ? std::nullopt
                        : KeyMap::ch(event->text(), event->key(), event->modifiers());
    if (ch)
        message.insert("ch", *ch);
    send(message);
}

void RemoteScreenView::keyReleaseEvent(QKeyEvent *event) {
    event->accept();
    // X11 reports auto-repeat as release + press pairs; only the presses are sent.
    if (event->isAutoRepeat())
        return;
    const auto code = KeyMap::code(*event);
    if (!code || *code == QLatin1String("CapsLock"))
        return;
    if (m_localKeys.remove(*code)) {
        event->ignore();
        return;
    }
    if (KeyCodes::isModifier(*code))
        m_heldModifiers.remove(*code);
    send(QJsonObject{{"t", "ku"}, {"code", *code}});
}

bool RemoteScreenView::completesEscapeChord(const QString &code) const {
    // Told from the modifiers held (Qt leaves a modifier key's own flag out of its press).
    QSet<QString> held = m_heldModifiers;
    held.insert(code);
    auto any = [&held](const char *left, const char *right) {
        return held.contains(QLatin1String(left)) || held.contains(QLatin1String(right));
    };
    return any("ControlLeft", "ControlRight") && any("AltLeft", "AltRight") && any("ShiftLeft", "ShiftRight");
}

void RemoteScreenView::releaseHeldModifiers() {
    const QSet<QString> held = std::exchange(m_heldModifiers, {});
    for (const QString &code : held)
        send(QJsonObject{{"t", "ku"}, {"code", code}});
    m_localKeys.clear();
}

void RemoteScreenView::focusInEvent(QFocusEvent *event) {
    QWidget::focusInEvent(event);
    grabKeys();
}

void RemoteScreenView::focusOutEvent(QFocusEvent *event) {
    releaseHeldModifiers();
    ungrabKeys();
    QWidget::focusOutEvent(event);
}

void RemoteScreenView::setKeyboardGrabEnabled(bool enabled) {
    m_grabEnabled = enabled;
    if (!enabled)
        ungrabKeys();
    else if (hasFocus())
        grabKeys();
}

void RemoteScreenView::grabKeys() {
    if (m_grabbed || !m_grabEnabled || !isVisible() || !window()->isActiveWindow())
        return;
    grabKeyboard();
    m_grabbed = true;
    Q_EMIT keyboardGrabChanged(true);
}

void RemoteScreenView::ungrabKeys() {
    if (!m_grabbed)
        return;
    releaseKeyboard();
    m_grabbed = false;
    Q_EMIT keyboardGrabChanged(false);
}

bool RemoteScreenView::focusNextPrevChild(bool) {
    // Tab belongs to the remote while the picture has the focus.
    return false;
}

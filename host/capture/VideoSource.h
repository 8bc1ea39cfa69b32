#pragma once

#include "protocol/ctrl/QualityRequest.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <gst/gst.h>

#include <optional>

// The picture one viewer receives: the shared screen or the test pattern. Builds its
// part of the session's pipeline (an H.264 track into webrtcbin) or hands JPEG frames
// to the session, follows the viewer's quality and display choice. Main thread.
class VideoSource : public QObject {
    Q_OBJECT
public:
    // What the viewer asks for, within the limits of its record.
    using Settings = QualityRequest;
    // Until the viewer asks.
    static constexpr Settings startSettings{30, 1.0, 70, 2500};

    using QObject::QObject;

    // The viewer's displays as sent in "auth_ok": [{id, name, w, h, primary}].
    virtual QJsonArray monitors() const = 0;
    // JPEG frames (jpegFrame) or H.264 RTP into `webrtc` with payload type `pt`, carrying
    // the transport-wide sequence number in header extension `twccExt` (0: the viewer did
    // not offer congestion feedback). Nothing flows until setFlowing(true).
    virtual bool addJpeg() = 0;
    virtual bool addH264(GstElement *webrtc, int pt, int twccExt) = 0;
    virtual void setFlowing(bool on) = 0;
    // Values out of range are clamped; a burst of changes is applied as one.
    virtual void apply(const Settings &s) = 0;
    virtual Settings settings() const = 0;
    // "all" (every display) or "single" with a listed id; anything else is ignored.
    virtual void select(const QString &mode, qint64 id) = 0;
    // The size of the frames the viewer gets.
    virtual QSize frameSize() const = 0;
    // The display shown (its id in monitors(); 0 for all of them).
    virtual int monitor() const = 0;
    // The desktop area the picture shows, in desktop pixels; none when the picture is
    // not of the desktop (the test pattern).
    virtual std::optional<QRect> desktopRect() const { return std::nullopt; }
    // The displays inside desktopRect() when the picture shows more than one, in desktop
    // pixels (the rest of the picture is black); empty otherwise.
    virtual QList<QRect> desktopAreas() const { return {}; }
    // The host's pointer in frame pixels; none when the source has no pointer of its own.
    virtual std::optional<QPoint> pointer() const = 0;
    // The unscaled picture as PNG, off the main thread; stillReady follows.
    virtual void requestStill() = 0;
    // Frames and bytes sent since the last call.
    virtual QPair<int, qint64> takeCounters() = 0;
    virtual QString codec() const = 0;
    virtual QString encoder() const = 0;
    // How the link holds the picture back, for the statistics: est, target, loss, rtt,
    // limit (see LinkRate::stats); empty when the source does not adapt. Called once per
    // statistics period (it may count over the period).
    virtual QJsonObject linkStats() { return {}; }
    // The JPEG picture's step down for a slow link: `scale` times the viewer's scale, at
    // most quality `q` (1.0 and 100: the viewer's choice).
    virtual void setLinkStep(double scale, int q) {
        Q_UNUSED(scale);
        Q_UNUSED(q);
    }
    // H.264 key frames sent so far.
    virtual qint64 keyFrames() const { return 0; }

Q_SIGNALS:
    void jpegFrame(const QByteArray &jpeg, int w, int h);
    void stillReady(const QByteArray &image, int w, int h);
    // The list of displays changed (the viewer is told again).
    void monitorsChanged();
};

#pragma once

#include "capture/EncodedSink.h"
#include "capture/VideoEncoder.h"
#include "capture/VideoSource.h"

#include <QPointer>
#include <QTimer>

#include <atomic>
#include <memory>

class CaptureFeed;
class LinkRate;
class EncoderPool;
class ScreenCapture;

// One viewer's view of the shared screen: the feed of the display it watches and the
// shared encoder for its quality. H.264 access units go through this session's own
// appsrc → RTP payloader → webrtcbin; JPEG pictures are handed to the session. A PLI
// from the viewer (webrtcbin's force-key-unit request) asks the encoder for a key frame.
// Main thread; the EncodedSink calls come from the encoder's thread.
class ScreenVideoSource : public VideoSource, private EncodedSink {
    Q_OBJECT
public:
    ScreenVideoSource(ScreenCapture *capture, EncoderPool *pool, GstElement *pipeline, QObject *parent = nullptr);
    ~ScreenVideoSource() override;

    QJsonArray monitors() const override;
    bool addJpeg() override;
    bool addH264(GstElement *webrtc, int pt, int twccExt) override;
    void setFlowing(bool on) override;
    void apply(const Settings &s) override;
    Settings settings() const override { return m_settings; }
    void select(const QString &mode, qint64 id) override;
    QSize frameSize() const override;
    std::optional<QPoint> pointer() const override;
    void requestStill() override;
    QPair<int, qint64> takeCounters() override;
    QString codec() const override { return m_h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"); }
    QString encoder() const override;
    int monitor() const override { return m_monitor; }
    std::optional<QRect> desktopRect() const override;
    QList<QRect> desktopAreas() const override;
    QJsonObject linkStats() override;
    void setLinkStep(double scale, int q) override;
    qint64 keyFrames() const override { return m_keyFrames.load(); }

private:
    // EncodedSink (encoder thread).
    void h264(GstBuffer *au) override;
    void jpeg(const QByteArray &data, QSize size) override;
    static GstPadProbeReturn onUpstream(GstPad *pad, GstPadProbeInfo *info, gpointer self);

    // The list of displays changed: a display that went away is not shown any more.
    void followMonitors();
    // Attaches to the feed and encoder that match the current choice.
    void rewire();
    // The viewer's scale times the link's step.
    double scale() const;
    // The shown display's size, unscaled (empty before it is known).
    QSize nativeSize() const;
    // Hands the link's rate (and the frame rate that suits it) to the encoder.
    void applyRate();

    QPointer<ScreenCapture> m_capture;
    EncoderPool *m_pool = nullptr;    // outlives every session
    GstElement *m_pipeline = nullptr; // not owned
    GstElement *m_appsrc = nullptr;   // owned by the pipeline
    bool m_h264 = false;
    bool m_flowing = false;
    int m_monitor = 0;
    Settings m_settings = startSettings;
    double m_stepScale = 1.0; // a slow link (setLinkStep: JpegPacer, or LinkRate's steps)
    int m_stepQ = 100;
    std::shared_ptr<CaptureFeed> m_feed;
    std::shared_ptr<VideoEncoder> m_encoder;
    std::atomic<VideoEncoder *> m_keyTarget{nullptr};
    QTimer m_settle;
    bool m_stillBusy = false;
    std::atomic<int> m_pendingJpegs{0};
    std::atomic<int> m_frames{0};
    std::atomic<qint64> m_bytes{0};
    std::atomic<bool> m_needKey{false};
    std::atomic<qint64> m_keyFrames{0};
    std::unique_ptr<LinkRate> m_rate; // H.264 with the viewer's congestion feedback
};

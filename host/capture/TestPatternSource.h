#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QSize>
#include <QTimer>

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>

// The moving picture a device sends while no real screen is captured: a bouncing
// ball (or colour bars on the second virtual display) from videotestsrc, encoded as
// JPEG frames handed to the session or as an H.264 RTP stream linked into
// webrtcbin. (Its sound, a quiet tone, is audio/TestToneSource.) Lives in the session's pipeline; all methods run
// on the main thread.
class TestPatternSource : public QObject {
    Q_OBJECT
public:
    struct Settings {
        int fps = 30;
        double scale = 1.0;
        int q = 70;
        int kbps = 2500;
    };

    explicit TestPatternSource(GstElement *pipeline, QObject *parent = nullptr);
    ~TestPatternSource() override;

    // The virtual displays: [{id, name, w, h, primary}].
    static QJsonArray monitors();
    static QSize monitorSize(int id);

    // Build the video branch: JPEG frames (jpegFrame) or H.264 RTP into `webrtc` with
    // payload type `pt`. Media stays gated until setFlowing(true).
    bool addJpeg();
    bool addH264(GstElement *webrtc, int pt);

    void setFlowing(bool on);
    void apply(const Settings &s);
    Settings settings() const { return m_settings; }
    // "all" shows display 1; "single" a listed display. Unknown ids are ignored.
    void select(const QString &mode, qint64 id);
    int monitor() const { return m_monitor; }
    QSize frameSize() const;

    // Encodes the newest unscaled frame as PNG off the main thread; stillReady follows.
    void requestStill();

    // Encoded video since the last call (frames, bytes), for statistics.
    QPair<int, qint64> takeCounters();
    QString codec() const { return m_h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"); }
    QString encoder() const { return m_h264 ? QStringLiteral("x264enc") : QStringLiteral("jpegenc"); }

Q_SIGNALS:
    void jpegFrame(const QByteArray &jpeg, int w, int h);
    void stillReady(const QByteArray &image, int w, int h);

private:
    // Called on the appsink's streaming thread.
    static GstFlowReturn onJpegSample(GstElement *sink, gpointer self);
    static GstPadProbeReturn countProbe(GstPad *pad, GstPadProbeInfo *info, gpointer self);
    static GstPadProbeReturn dropReconfigure(GstPad *pad, GstPadProbeInfo *info, gpointer);
    void setBranchEntry(GstElement *bin);
    void applyCaps();
    bool addSource();
    void updateCaps();
    bool linkToWebrtc(GstElement *bin, GstElement *webrtc, const QByteArray &rtpCaps);

    GstElement *m_pipeline = nullptr; // not owned
    GstElement *m_testSrc = nullptr;
    GstElement *m_encCaps = nullptr;
    GstElement *m_jpegEnc = nullptr;
    GstElement *m_x264 = nullptr;
    GstElement *m_stillSink = nullptr;
    GstElement *m_videoValve = nullptr;
    GstElement *m_tee = nullptr;
    bool m_h264 = false;
    bool m_flowing = false;
    int m_monitor = 1;
    Settings m_settings;
    GstPad *m_branchPad = nullptr; // entry of the encoding branch, owned by the pipeline
    QTimer m_capsTimer;
    std::unique_ptr<GstCaps, decltype(&gst_caps_unref)> m_capsPending{nullptr, &gst_caps_unref};
    bool m_stillBusy = false;
    std::atomic<int> m_pendingFrames{0};
    std::atomic<int> m_frames{0};
    // Set once the encoder has produced its first frame: renegotiating the branch
    // before that can leave it unable to negotiate at all.
    std::atomic<bool> m_encodedOnce{false};
    std::atomic<qint64> m_bytes{0};
};

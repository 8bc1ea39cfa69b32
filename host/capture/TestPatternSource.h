#pragma once

#include "capture/VideoSource.h"

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QSize>
#include <QTimer>

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>

class LinkRate;

// The moving picture a device sends when no real screen is shared (`--source test`):
// a bouncing ball (or colour bars on the second virtual display) from videotestsrc,
// encoded as JPEG frames handed to the session or as an H.264 RTP stream linked into
// webrtcbin. With a notice it is a still, dark picture with that text instead, for a
// host whose screen cannot be shared, so that viewers are told rather than shown a
// pattern they could take for the desktop. Lives in the session's pipeline; all
// methods run on the main thread.
class TestPatternSource : public VideoSource {
    Q_OBJECT
public:
    explicit TestPatternSource(GstElement *pipeline, const QString &notice = {}, QObject *parent = nullptr);
    ~TestPatternSource() override;

    // The virtual displays: [{id, name, w, h, primary}].
    static QJsonArray patternMonitors();
    static QSize monitorSize(int id);
    // The one display of the notice picture.
    static QJsonArray noticeMonitors();
    // The background of the notice picture (RGB).
    static constexpr quint32 noticeBackground = 0x202124;

    QJsonArray monitors() const override { return m_notice.isEmpty() ? patternMonitors() : noticeMonitors(); }
    bool addJpeg() override;
    bool addH264(GstElement *webrtc, int pt, int twccExt) override;
    QJsonObject linkStats() override;
    void setFlowing(bool on) override;
    void apply(const Settings &s) override;
    Settings settings() const override { return m_settings; }
    // "all" shows display 1; "single" a listed display. Unknown ids are ignored.
    void select(const QString &mode, qint64 id) override;
    int monitor() const override { return m_monitor; }
    QSize frameSize() const override;
    // The pattern has no pointer: the session reports the viewer's own.
    std::optional<QPoint> pointer() const override { return std::nullopt; }
    void requestStill() override;
    QPair<int, qint64> takeCounters() override;
    QString codec() const override { return m_h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"); }
    QString encoder() const override { return m_h264 ? QStringLiteral("x264enc") : QStringLiteral("libjpeg"); }

private:
    // Called on the appsink's streaming thread.
    static GstFlowReturn onJpegSample(GstElement *sink, gpointer self);
    static GstPadProbeReturn countProbe(GstPad *pad, GstPadProbeInfo *info, gpointer self);
    static GstPadProbeReturn dropReconfigure(GstPad *pad, GstPadProbeInfo *info, gpointer);
    void setBranchEntry(GstElement *bin);
    void applyCaps();
    GstCaps *branchCaps() const;
    bool addSource();
    void updateCaps();

    GstElement *m_pipeline = nullptr; // not owned
    QString m_notice;
    GstElement *m_testSrc = nullptr;
    GstElement *m_encCaps = nullptr;
    std::atomic<int> m_quality{70}; // read by the JPEG appsink's thread
    GstElement *m_x264 = nullptr;
    std::unique_ptr<LinkRate> m_rate; // H.264 with the viewer's congestion feedback
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

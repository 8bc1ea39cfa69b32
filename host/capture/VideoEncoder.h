#pragma once

#include "capture/FrameConsumer.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>

class CaptureFeed;
class EncodedSink;

// One encoding of one feed at one quality: appsrc → convert/scale → x264 (or VA-API)
// or JPEG → appsink, in its own pipeline and streaming thread, so that viewers asking
// for the same picture at the same quality share it. H.264 output is handed to every
// sink as access units; a sink's key-frame request (PLI, a new viewer) makes the next
// frame a key frame, and one comes every few seconds anyway.
class VideoEncoder : public FrameConsumer {
public:
    struct Key {
        int monitor = 0;
        bool h264 = true;
        int fps = 30;
        int scalePercent = 100;
        int q = 70;      // JPEG quality
        int kbps = 2500; // H.264 rate
        bool operator==(const Key &) const = default;
    };

    // `h264Encoder`: the element to use for H.264 ("x264enc", "vah264enc", "vaapih264enc").
    VideoEncoder(std::shared_ptr<CaptureFeed> feed, const Key &key, const QString &h264Encoder);
    ~VideoEncoder() override;

    bool start();
    const Key &key() const { return m_key; }
    QString encoderName() const { return m_key.h264 ? m_h264Encoder : QStringLiteral("libjpeg"); }
    CaptureFeed *feed() const { return m_feed.get(); }

    // Any thread. A new sink gets a key frame (or the last JPEG) at once.
    void addSink(EncodedSink *sink);
    // Once this returns the sink is not called any more.
    void removeSink(EncodedSink *sink);
    bool hasSinks() const;
    void requestKeyFrame();
    // The rate `sink`'s path carries now (kbit/s, at most the key's kbps; 0: no estimate)
    // and the frame rate that suits it (at most the key's fps). A shared encoder runs at
    // the lowest of its sinks (the slowest viewer's path holds back the others).
    // Main thread.
    void setSinkRate(EncodedSink *sink, int kbps, int fps);
    int bitrate() const { return m_bitrate.load(); }
    // The rate the link allows (setSinkRate), before the machine's limit (maxFps()).
    int frameRate() const { return m_fpsCap.load(); }
    // What encoding one frame costs lately (conversion, scaling, the encoder, JPEG's
    // compression), µs of the encoder thread's time as the clock runs; 0 before the first.
    int frameCostUs() const { return m_frameCostUs.load(); }
    // The frame rate this machine sustains for this picture: one second over what a frame
    // costs to capture and to encode (the two run on their own threads, but they share
    // the cores with everything else, so the sum is the honest figure); 0 before both are
    // known.
    int sustainableFps() const;
    // Frames handed to the encoder and frames it gave out since the last call; the
    // difference was dropped because it could not keep up.
    QPair<int, int> takeThroughput();

    // The GStreamer description of the encoding part, shared with the benchmark's baseline.
    static QByteArray encoderDescription(const QString &h264Encoder, bool h264, int q, int kbps, int fps);
    static QByteArray rawCaps(QSize size, int fps);

    // FrameConsumer (capture thread).
    void consumeFrame(GstBuffer *frame, QSize size, bool repeat) override;
    // Key frames asked for come at most every 500 ms: each lost packet of a large key
    // frame brings another request, and answering them all would be a storm. On a slow
    // path longer: at least four times what the last key frame took at the current rate
    // (at most 3 s), so that most of the time goes to the frames after it.
    static constexpr gint64 minKeySpacingUs = 500000;
    static constexpr gint64 maxKeySpacingUs = 3000000;
    gint64 keySpacingUs() const { return m_keySpacingUs.load(); }
    // The link's rate; above QualityRequest::steadyFps no more than the machine sustains
    // (a frame it cannot encode in time would only wait in the encoder's queue and age).
    int maxFps() const override;
    bool wantsRepeat(gint64 nowUs) override;

private:
    void applyRate(); // under m_mutex
    static GstFlowReturn onSample(GstElement *sink, gpointer self);
    static GstPadProbeReturn onCaps(GstPad *pad, GstPadProbeInfo *info, gpointer self);
    static GstPadProbeReturn onFrameIn(GstPad *pad, GstPadProbeInfo *info, gpointer self);

    std::shared_ptr<CaptureFeed> m_feed;
    Key m_key;
    QString m_h264Encoder;
    GstElement *m_pipeline = nullptr;
    GstElement *m_appsrc = nullptr;
    GstElement *m_outCaps = nullptr;
    GstPad *m_encSrc = nullptr;
    GstElement *m_enc = nullptr;                   // a reference, H.264 only
    QHash<EncodedSink *, QPair<int, int>> m_rates; // kbps, fps; under m_mutex
    std::atomic<int> m_bitrate{0};
    std::atomic<int> m_fpsCap{30};
    std::atomic<int> m_framesIn{0};
    std::atomic<gint64> m_keySpacingUs{minKeySpacingUs};
    std::atomic<int> m_framesOut{0};
    std::atomic<int> m_frameCostUs{0};
    gint64 m_encodeStartUs = -1; // the appsrc's streaming thread only
    QSize m_inSize;
    mutable std::mutex m_mutex; // sinks, last JPEG
    QList<EncodedSink *> m_sinks;
    QByteArray m_lastJpeg;
    QSize m_lastJpegSize;
    std::atomic<bool> m_keyWanted{true};
    std::atomic<gint64> m_lastKeyUs{0};
    std::atomic<gint64> m_lastPushUs{0};
    int m_trailing = 0;               // capture thread
    int m_refineLeft = 0;             // capture thread
    gint64 m_lastChangeUs = 0;        // capture thread
    std::atomic<int> m_settledRun{0}; // encoded frames in a row that added almost nothing
};

#pragma once

#include "protocol/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class DecodeClock;
class FrameConverter;
class VideoFrameTap;

// The offering side of one WebRTC peer connection on webrtcbin: a pipeline
// with data channels, optional receive-only H.264 and Opus transceivers whose
// tracks are decoded into a VideoFrameTap and an audio sink.
//
// Created and driven from the main thread. Every callback runs on a GStreamer
// thread (webrtcbin's ":pc" thread for candidates, state, promises and channel
// messages; streaming threads for media) and must not block. Destroy it with
// PeerConnectionFactory::retire(): the pipeline is then torn down on a worker,
// after the channels have closed, and the callbacks are dropped.
class PeerConnection : public std::enable_shared_from_this<PeerConnection> {
public:
    struct Callbacks {
        std::function<void(guint mline, const QString &mid, const QString &candidate)> localCandidate;
        // The connection became disconnected, failed or closed, the SCTP/DTLS
        // transport reported an error, or the peer closed the first channel.
        std::function<void(const QString &why)> lost;
        std::function<void(int channel)> channelOpen;
        std::function<void(int channel, const QByteArray &data, bool binary)> message;
        std::function<void()> videoTrack;
        std::function<void()> audioTrack;
        // ICE found a working pair, then DTLS finished on it (set-up timings).
        std::function<void()> iceConnected;
        std::function<void()> transportConnected;
        // An error posted by an element of the pipeline that is not the connection's own
        // (a sound source); the message is valid during the call only.
        std::function<void(GstMessage *msg)> elementError;
    };

    struct Options {
        QStringList channels; // labels, created in this order (ordered, reliable); the first one's close is a loss
        bool media = false;   // recvonly video then audio transceivers
        QStringList iceUrls;  // one ICE server entry
        QString iceUsername;
        QString iceCredential;
        std::shared_ptr<VideoFrameTap> tap;
        QString audioSink; // element description (PeerConnectionFactory::audioSink()); empty: a fakesink
        std::shared_ptr<DecodeClock> decodeClock; // time avdec_h264 takes per frame
        // With media: builds a sending audio track into the pipeline towards webrtcbin, whose
        // transceiver then carries the audio m-line both ways (sendrecv) with `offerCaps` as
        // its codec preferences; false (or none): the audio m-line is receive-only.
        // Called once, on the thread that calls create().
        std::function<bool(GstElement *pipeline, GstElement *webrtc, const QByteArray &offerCaps)> audioSender;
    };

    // The connection, or an Unavailable error saying why the pipeline cannot be built.
    static Result<std::shared_ptr<PeerConnection>> create(const Options &options, Callbacks callbacks);
    ~PeerConnection();

    PeerConnection(const PeerConnection &) = delete;
    PeerConnection &operator=(const PeerConnection &) = delete;

    // Creates the offer and sets it as local description; done(sdp, error) runs on
    // the ":pc" thread with exactly one of them set.
    void createOffer(std::function<void(std::optional<QString> sdp, QString error)> done);
    // Applies the answer; malformed SDP is dropped.
    void setRemoteAnswer(const QByteArray &sdp);
    // Adds a remote candidate; a mid known in the remote description wins over the index.
    void addRemoteCandidate(guint mline, const QString &mid, const QString &candidate);

    bool sendText(int channel, const QByteArray &utf8);
    bool sendBinary(int channel, const QByteArray &bytes);
    // Bytes handed to a channel that have not gone out yet (0 when unknown).
    quint64 bufferedAmount(int channel) const;

    QString localSdp() const;
    QString remoteSdp() const;
    GstWebRTCPeerConnectionState connectionState() const;
    // Ready state of a channel (GST_WEBRTC_DATA_CHANNEL_STATE_*), 0 when unknown.
    int channelState(int channel) const;
    GstElement *webrtcbin() const { return m_webrtc; }

    // Asks webrtcbin for its statistics; done runs on the ":pc" thread with the
    // reply structure (nullptr when there is none) and must not block.
    void getStats(std::function<void(const GstStructure *reply)> done);

    // Receiver of the H.264 track's access units as they leave the depayloader,
    // before decoding (recording without re-encoding). Runs on a streaming thread;
    // an empty function stops the delivery. Any thread.
    using EncodedSink = std::function<void(GstSample *sample)>;
    void setEncodedSink(EncodedSink sink);
    // Asks the sender for a key frame (a PLI/FIR through the RTP session).
    void requestKeyFrame();

    // Playback: enabled mutes or unmutes; volume is the gain, 1.0 leaves the sound as it came.
    void setAudio(bool enabled, double volume);

    // Main thread: stop delivering callbacks and start closing the channels.
    void shutdown();
    // Worker thread: waits (bounded) for the channels to close when asked, then
    // stops the pipeline. No callback runs once it returns.
    void teardown(bool waitForChannels = true);

private:
    PeerConnection() = default;
    bool build(const Options &options, QString *error);
    void addTransceivers(const Options &options);
    void connectChannel(int index, GstWebRTCDataChannel *channel);
    void linkIncoming(GstPad *pad);
    void linkVideo(GstPad *pad);
    void linkAudio(GstPad *pad);
    void reportLost(const QString &why);

    // GStreamer callbacks (static trampolines; each names its thread).
    static void onIceCandidate(GstElement *, guint mline, gchar *candidate, gpointer self);
    static void onConnectionState(GObject *, GParamSpec *, gpointer self);
    static void onIceConnectionState(GObject *, GParamSpec *, gpointer self);
    static void onPadAdded(GstElement *, GstPad *pad, gpointer self);
    static GstBusSyncReply onBusMessage(GstBus *, GstMessage *msg, gpointer self);
    static void onChannelOpen(GstWebRTCDataChannel *, gpointer ctx);
    static void onChannelClose(GstWebRTCDataChannel *, gpointer ctx);
    static void onChannelString(GstWebRTCDataChannel *, gchar *str, gpointer ctx);
    static void onChannelData(GstWebRTCDataChannel *, GBytes *data, gpointer ctx);
    static GstFlowReturn onVideoSample(GstAppSink *sink, gpointer self);
    static GstFlowReturn onEncodedSample(GstAppSink *sink, gpointer self);
    static GstPadProbeReturn onDecoderIn(GstPad *, GstPadProbeInfo *info, gpointer self);
    static GstPadProbeReturn onDecoderOut(GstPad *, GstPadProbeInfo *info, gpointer self);

    struct ChannelContext {
        PeerConnection *owner = nullptr;
        int index = 0;
        GstWebRTCDataChannel *channel = nullptr;
    };

    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    std::atomic<GstElement *> m_volume{nullptr};
    Callbacks m_callbacks;
    std::atomic<bool> m_live{true};
    std::atomic<bool> m_lostReported{false};
    std::atomic<bool> m_videoLinked{false};
    std::atomic<bool> m_audioLinked{false};
    std::vector<std::unique_ptr<ChannelContext>> m_channels;
    std::shared_ptr<VideoFrameTap> m_tap;
    // Decoded frames to pictures; the video decoder's streaming thread only.
    std::unique_ptr<FrameConverter> m_converter;
    std::shared_ptr<DecodeClock> m_decodeClock;
    std::mutex m_encodedLock; // guards m_encodedSink and m_encodedElement
    EncodedSink m_encodedSink;
    GstElement *m_encodedElement = nullptr; // the appsink of the encoded branch (owned by the pipeline)
    // Decoder input times by PTS (streaming threads), to time each frame's decoding.
    std::mutex m_decodeLock;
    std::array<std::pair<GstClockTime, gint64>, 16> m_decodeStarts{};
    int m_decodeNext = 0;
    QString m_audioSink;
    bool m_media = false;
    std::atomic<bool> m_audioEnabled{true};
    std::atomic<double> m_audioVolume{10.0};
};

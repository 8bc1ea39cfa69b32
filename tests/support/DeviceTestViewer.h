#pragma once

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QWebSocket>

#include <gst/gst.h>

#include <atomic>
#include <functional>
#include <mutex>

// A scripted viewer for tests of the device side: its own webrtcbin offerer with the
// four channels (and receive-only H.264 + Opus when asked), signaling over
// "/ws/viewer", and a passcode proof computed by Python's hashlib/hmac so that the
// device's verification is checked against an independent implementation. Everything
// it receives is recorded for the test to inspect.
class DeviceTestViewer : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool h264 = false;
        QString passcode;
        // Leave the proof unsent (e.g. to check the device's lockout from a second viewer).
        bool autoProve = true;
        // ICE servers as POST /api/v1/turn-credentials hands them out; with relayOnly the
        // viewer gathers relayed candidates only (ice-transport-policy "relay").
        QStringList iceUrls;
        QString iceUsername;
        QString iceCredential;
        bool relayOnly = false;
        // Acknowledge each JPEG frame as the app does ("frame_ack"), so that the host paces
        // pictures by the acknowledgements rather than assuming a viewer that never does.
        bool ackFrames = false;
    };

    DeviceTestViewer(const QString &server, const QString &deviceId, Options options, QObject *parent = nullptr);
    ~DeviceTestViewer() override;

    // Opens signaling, builds the peer connection and sends the offer.
    void start();
    // Sends "bye" and stops the pipeline (channels closed first).
    void close();

    void sendCtrl(const QJsonObject &msg);
    void sendInput(const QJsonObject &msg);

    // The proof for this passcode, nonce and salts, from python3.
    static QPair<QString, QString> pythonProof(const QString &passcode, const QByteArray &nonce,
                                               const QByteArray &autoSalt, const QByteArray &fixedSalt,
                                               const QString &viewerFp, const QString &hostFp, qint64 iters);
    static QString fingerprint(const QString &sdp);

    QString sid() const { return m_sid; }
    QString offerSdp() const { return m_offer; }
    QString answerSdp() const { return m_answer; }
    bool channelsOpen() const { return m_openChannels >= 4; }

    // What arrived.
    QList<QJsonObject> ctrl;          // every control message, in order
    QList<QJsonObject> signals_;      // every signaling message for this sid
    QList<QImage> frames;             // decoded JPEG frames
    QList<QSize> frameSizes;          // header sizes of complete JPEG frames
    QList<QByteArray> stills;         // complete stills, undecoded
    int malformedVideo = 0;           // video messages that were not well-formed chunks
    QMap<quint32, QByteArray> files;  // file chunks by transfer, concatenated
    QList<QJsonObject> fileEvents;    // text messages on "file" that are objects
    QList<QByteArray> fileRejects;    // other "file" messages
    std::atomic<int> h264Frames{0};   // decoded frames of the video track
    std::atomic<int> audioBuffers{0}; // decoded audio buffers
    QSize h264Size;
    bool proofSent = false;
    bool gotBye = false;

    // The newest decoded frame of the video track (null before the first).
    QImage h264Picture() const;

    int count(const QString &t) const;
    QJsonObject last(const QString &t) const;

Q_SIGNALS:
    void ctrlReceived(const QJsonObject &msg);
    void progressed();

private:
    static void onNegotiation(GstElement *, gpointer self);
    static void onIce(GstElement *, guint mline, gchar *candidate, gpointer self);
    static void onPadAdded(GstElement *, GstPad *pad, gpointer self);
    static void onMessageString(GObject *ch, gchar *text, gpointer self);
    static void onMessageData(GObject *ch, GBytes *bytes, gpointer self);
    static void onOpen(GObject *ch, gpointer self);
    static GstFlowReturn onDecoded(GstElement *sink, gpointer self);
    void onSignal(const QString &text);
    void handleCtrl(const QJsonObject &msg);
    void handleVideo(const QByteArray &bytes);
    void handleFile(const QByteArray &bytes, bool binary);
    void sendText(GObject *channel, const QJsonObject &msg);

    QString m_server;
    QString m_deviceId;
    Options m_options;
    QString m_sid;
    QWebSocket m_ws;
    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    GObject *m_ctrl = nullptr;
    GObject *m_video = nullptr;
    GObject *m_input = nullptr;
    GObject *m_file = nullptr;
    QString m_offer;
    QString m_answer;
    std::atomic<int> m_openChannels{0};
    struct Partial {
        QList<QByteArray> parts;
        int got = 0;
        int w = 0, h = 0, flags = 0;
    };
    QMap<quint32, Partial> m_partial;
    mutable std::mutex m_sampleLock; // the appsink's streaming thread writes, the test reads
    GstSample *m_lastSample = nullptr;
};

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <functional>
#include <memory>

class MainThreadLink;

// A real WebRTC answerer on webrtcbin for session tests: takes the viewer's
// "connect", answers, trickles ICE, accepts the viewer's data channels and plays
// the device's part of the control protocol as far as a test scripts it.
// Logic runs on the main thread; GStreamer callbacks hop there.
class ScriptedAnswerer : public QObject {
    Q_OBJECT
public:
    explicit ScriptedAnswerer(QObject *parent = nullptr);
    ~ScriptedAnswerer() override;

    // Where answers and candidates go (normally LoopbackSignalingPort::deliver).
    std::function<void(const QJsonObject &)> reply;

    // Handles one message the viewer sent through signaling.
    void handle(const QJsonObject &message);

    // Control protocol: when set, a challenge goes out as soon as "ctrl" opens.
    bool autoChallenge = true;
    QString autoPasscode = QStringLiteral("123456");
    QString fixedPasscode;
    // Sent as host_fp: empty means our real fingerprint, "-" means no host_fp.
    QString hostFpOverride;
    QJsonValue iters = 1000;
    int remaining = 3;
    QJsonObject authOkExtra{{"video", "jpeg"}, {"audio", "none"}, {"name", "Test Device"}};
    QByteArray nonce = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QByteArray autoSalt = QByteArray::fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    QByteArray fixedSalt = QByteArray::fromHex("b0b1b2b3b4b5b6b7b8b9babbbcbdbebf");

    void sendChallenge();
    bool sendText(const QString &label, const QJsonObject &message);
    bool sendRaw(const QString &label, const QByteArray &bytes, bool binary);
    QString localFingerprint() const;
    QString offerSdp;
    QString sid;
    QString viewerTo;

    QStringList openChannels; // labels in the order they appeared
    struct ChannelInfo {
        int id = -1;
        bool ordered = false;
        int maxRetransmits = -1;
        int maxPacketLifeTime = -1;
        bool negotiated = false;
    };
    QMap<QString, ChannelInfo> channelInfo;
    QList<QPair<QString, QByteArray>> received; // (label, bytes) of every message
    QList<QJsonObject> receivedOn(const QString &label) const;
    QList<QJsonObject> signals_; // every signaling message handled
    int authsAccepted = 0;
    int authsRejected = 0;

    // Closes one of the viewer's channels from this side.
    void closeChannel(const QString &label);
    // Stops the pipeline at once, like a process that died.
    void kill();

Q_SIGNALS:
    void channelOpened(const QString &label);
    void messageReceived(const QString &label, const QByteArray &bytes, bool binary);
    void answered();

private:
    void onCtrl(const QJsonObject &message);
    void addChannel(GstWebRTCDataChannel *channel);
    static void onIce(GstElement *, guint mline, gchar *candidate, gpointer self);
    static void onDataChannel(GstElement *, GstWebRTCDataChannel *channel, gpointer self);

    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    std::shared_ptr<MainThreadLink> m_link;
    QMap<QString, GstWebRTCDataChannel *> m_channels;
};

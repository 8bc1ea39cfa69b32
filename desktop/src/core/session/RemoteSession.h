#pragma once

#include "config/Quality.h"
#include "session/Monitor.h"
#include "session/SessionContext.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class MonitorView;
class PeerConnection;
class VideoFrameTap;
struct WebRtcStats;
struct AuthOkMessage;
typedef struct _GstSample GstSample;
class MainThreadLink;
class SignalingPort;
class SessionExchange;

// One viewer connection to a remote device: WebRTC negotiation through the
// signaling client, the control protocol with the passcode proof, the video path
// (JPEG chunks on "video" or an H.264 track) and the receive side of "file".
//
// Lives on the main thread. Every published field changes on the main thread
// only; `state` is assigned in exactly one place (setState).
class RemoteSession : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    // The text of the failed state, empty in every other state.
    Q_PROPERTY(QString failureText READ failureText NOTIFY stateChanged)
    Q_PROPERTY(QImage image READ image NOTIFY imageChanged)
    Q_PROPERTY(QSizeF frameSize READ frameSize NOTIFY frameSizeChanged)
    Q_PROPERTY(QPointF cursor READ cursor NOTIFY cursorChanged)
    Q_PROPERTY(QJsonObject stats READ stats NOTIFY statsChanged)
    Q_PROPERTY(QList<Monitor> monitors READ monitors NOTIFY monitorsChanged)
    Q_PROPERTY(QString videoMode READ videoMode NOTIFY videoModeChanged)
    // True once the peer connection delivered an H.264 track; its frames are read
    // from tap()->latestImage() whenever videoFrameAvailable() fires.
    Q_PROPERTY(bool videoTrack READ videoTrack NOTIFY videoTrackChanged)
    Q_PROPERTY(bool audioAvailable READ audioAvailable NOTIFY audioAvailableChanged)
    Q_PROPERTY(bool muted READ muted WRITE setMuted NOTIFY mutedChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    Q_PROPERTY(bool micOn READ micOn WRITE setMicOn NOTIFY micChanged)
    // The host shows a display in a window of its own ("auth_ok" says so); false before it
    // has said and for hosts that cannot.
    Q_PROPERTY(bool monitorWindows READ monitorWindows NOTIFY monitorWindowsChanged)

public:
    enum class State { Connecting, Authenticating, Connected, Failed, Closed };
    Q_ENUM(State)
    // Why the session failed: the connection went away (Lost), could not be made
    // (Unreachable: signaling, the server's "error", the offer), or the host or the
    // certificate check turned it down (Refused: passcode, lockout, fingerprint).
    enum class FailureKind { None, Lost, Unreachable, Refused };
    Q_ENUM(FailureKind)

    // Texts shown in the failed state.
    static QString lostText() { return QStringLiteral("接続が切れました"); }
    static QString fingerprintText() { return QStringLiteral("端末の証明書指紋が一致しません(中間者の可能性)"); }
    // A challenge whose iteration count is outside what the viewer computes.
    static QString itersText() { return QStringLiteral("端末が求める認証の計算回数が対応範囲外のため接続できません"); }
    static QString authFailText(qint64 remaining);
    static QString lockedText(qint64 retrySec);
    // Gain of the playback element for the switches: 0 when muted, otherwise the
    // volume clamped to 0…1. GStreamer's volume keeps the loudness at 1.0, so the
    // full setting plays the sound as the host sent it and nothing is amplified.
    static double audioLevel(bool muted, double volume);

    // No network activity until start(). The context's config, factory and port must be
    // set (SessionStore::open() passes the application's; tests may plug their own port).
    RemoteSession(const QString &targetId, const QString &passcode, const QString &name, const SessionContext &context,
                  QObject *parent = nullptr);
    ~RemoteSession() override;

    // 8 lower-case hexadecimal characters from a random UUID.
    static QString makeSid();

    QString sid() const { return m_sid; }
    QString targetId() const { return m_targetId; }
    QString name() const { return m_name; }
    // Kept for callers of the first skeleton: the display name.
    QString targetName() const { return m_name; }

    State state() const { return m_state; }
    QString failureText() const { return m_failureText; }
    FailureKind failureKind() const { return m_failureKind; }
    // The last failure is the host refusing the passcode's proof ("auth_fail"): trying
    // again with the same passcode only spends an attempt, a new one is needed.
    bool passcodeRefused() const { return m_passcodeRefused; }
    // The host asks its user before letting this viewer in ("approval_wait"): the
    // moment the request runs out, invalid when nobody is being asked.
    QDateTime approvalDeadline() const { return m_approvalDeadline; }
    bool isClosed() const { return m_state == State::Closed; }
    QImage image() const { return m_image; }
    QSizeF frameSize() const { return m_frameSize; }
    QPointF cursor() const { return m_cursor; }
    QJsonObject stats() const { return m_stats; }
    QList<Monitor> monitors() const { return m_monitors; }
    QString videoMode() const { return m_videoMode; }
    bool videoTrack() const { return m_videoTrack; }
    bool audioAvailable() const { return m_audioAvailable; }
    bool muted() const { return m_muted; }
    double volume() const { return m_volume; }
    Quality quality() const { return m_quality; }

    void setMuted(bool muted);
    void setVolume(double volume);

    // The user's switch "マイクを送る": the default input of this computer goes to the host
    // while it is on, the session is connected and the host allows it (`mic`, see
    // exchange()->micAllowed()). Off at the start of every session.
    bool micOn() const { return m_micOn; }
    void setMicOn(bool on);
    // Whether the microphone is being recorded and sent now, and why not when it should
    // be ("" when fine).
    bool micSending() const;
    QString micError() const;

    // Starts the connect sequence (signaling, TURN credentials, offer) and returns at once.
    void start();
    // Ends the session: state closed, "bye" to the host, peer connection torn down.
    void close();
    // Connects again to the same device with the passcode given at construction:
    // the current peer connection is retired, a new one is negotiated under a fresh
    // signaling id, and the state goes back to connecting. Does nothing once closed.
    void reconnect();
    // The same with a passcode the user typed again (the host issued a new one).
    void reconnectWithPasscode(const QString &passcode);
    // The id of the current connection on the signaling path: `sid` for the first
    // connection, a fresh one for each reconnect (the host may still hold the old one).
    QString connectionSid() const;

    // Sends one input message as JSON text on "input", only while connected.
    void sendInput(const QJsonObject &message);
    // Control requests; sent in any state once the channel exists.
    void setQuality(const Quality &q);
    void selectMonitor(const QString &mode, int id);

    // ---- display windows ----
    bool monitorWindows() const { return m_monitorWindows; }
    static QString noWindowsText() {
        return QStringLiteral("この端末はモニタごとのウィンドウに対応していません(端末側の更新が必要です)");
    }
    // A window of its own for display `monitorId` at `scale`: the view, owned by the
    // session, or none when the host cannot or the session has as many as it may.
    // Stays open across reconnects (asked for again once the host admits the viewer).
    MonitorView *openMonitorView(int monitorId, double scale);
    // The window closed: its picture stops on the host and the view goes (later).
    void closeMonitorView(MonitorView *view);
    QList<MonitorView *> monitorViews() const;
    void requestStill();
    // Whether this viewer records what it is shown; the host is told now and after
    // each reconnect ("rec").
    void setRecording(bool on);
    bool recording() const { return m_recording; }

    // The picture currently shown: the latest H.264 frame in "h264" mode, else `image`.
    QImage snapshot() const;
    // Receiver of full-quality stills (undecoded bytes, on the main thread).
    void setOnStill(std::function<void(const QByteArray &)> onStill) { m_onStill = std::move(onStill); }
    // The H.264 frame sink; lives as long as the session.
    VideoFrameTap *tap() const;
    // Clipboard text and files exchanged with the host; lives as long as the session.
    SessionExchange *exchange() const;

    // ---- statistics (main thread) ----
    // Asks webrtcbin for its statistics; done runs later on the main thread, and
    // not at all when there is no peer connection or the session goes away.
    void collectStats(std::function<void(const WebRtcStats &)> done);
    // Sends a "ping" on ctrl; a host that answers with "pong" yields roundTrip().
    void sendPing();
    // Frames received and decoded so far (both video paths, all connections).
    quint64 framesReceived() const;
    // Bytes of data-channel messages received so far (all connections).
    quint64 channelBytesReceived() const;
    // Of them, the bytes of the display windows' pictures.
    quint64 windowBytesReceived() const;
    // Frames decoded and the time it took since the previous call.
    struct DecodeSpan {
        quint64 frames = 0;
        double averageMs = -1;
    };
    DecodeSpan takeDecodeSpan();

    // ---- recording ----
    // Receiver of the H.264 access units before decoding (streaming thread), kept
    // across reconnects; an empty function stops the delivery.
    void setEncodedVideoSink(std::function<void(GstSample *)> sink);
    // Asks the host for a key frame of the H.264 track.
    void requestKeyFrame();

    // Milliseconds from start() to each step of the set-up, -1 until reached
    // (diagnostics and the set-up benchmark).
    struct Timings {
        qint64 offerSent = -1;
        qint64 answer = -1;             // the host's answer arrived
        qint64 iceConnected = -1;       // a candidate pair works
        qint64 transportConnected = -1; // DTLS done on it
        qint64 channelsOpen = -1;
        qint64 challenge = -1;
        qint64 proof = -1; // duration of the proof computation itself
        qint64 connected = -1;
    };
    Timings timings() const;

    // Handles one signaling message of this session ("answer", "ice", "error", "bye").
    void onSignal(const QJsonObject &message);

Q_SIGNALS:
    void nameChanged();
    void stateChanged();
    void imageChanged();
    void frameSizeChanged();
    void cursorChanged();
    void statsChanged();
    void monitorsChanged();
    void videoModeChanged();
    void videoTrackChanged();
    void audioAvailableChanged();
    void mutedChanged();
    void volumeChanged();
    // micOn(), micSending() or micError() changed.
    void micChanged();
    void monitorWindowsChanged();
    // A new H.264 frame can be painted (coalesced: at most one outstanding until
    // tap()->latestImage() is called).
    void videoFrameAvailable();
    // Text events of the "file" channel, each a JSON object as received.
    void fileEvent(const QJsonObject &event);
    // Binary chunks of "file" received so far for one transfer.
    void downloadProgress(quint32 id, int chunks, qint64 bytes);
    // Emitted once when the session reaches the closed state.
    void closed();
    // The host answered a "ping" after this many milliseconds.
    void roundTrip(double ms);
    // The host started or stopped waiting for its user's approval.
    void approvalWaitChanged();

private:
    struct Private;
    friend struct Private;

    void setState(State next, const QString &text = {}, FailureKind kind = FailureKind::None);
    // Builds the peer connection (PeerSetup), then attaches to signaling and sends the offer.
    struct PeerSetup;
    void setup(const QStringList &urls, const QString &username, const QString &credential);
    void attachSignaling();
    void sendOffer();
    void fail(const QString &text, FailureKind kind);
    void connectSequence();
    void retirePeer();
    void onCtrl(const QJsonObject &message);
    void onChallenge(const QJsonObject &message);
    void onAuthOk(const AuthOkMessage &message);
    std::function<void(quint32)> frameAcknowledger();
    void onFrameDecoded(const QImage &image, QSize size);
    // Asks the host for the view's window (again) and takes its pictures on this connection.
    void openOnHost(MonitorView *view);
    void onWindowEnd(const QJsonObject &message);
    void onStillReceived(const QByteArray &bytes);
    void updateFrameSize(QSize size);
    void applyAudio();
    void applyMic();
    void sendCtrl(const QJsonObject &message);
    void noteStats();
    qint64 silenceLimitMs() const;

    QString m_targetId;
    QString m_passcode;
    QString m_sid;
    QString m_name;
    State m_state = State::Connecting;
    QString m_failureText;
    FailureKind m_failureKind = FailureKind::None;
    bool m_passcodeRefused = false;
    QDateTime m_approvalDeadline;
    QImage m_image;
    QSizeF m_frameSize;
    QPointF m_cursor;
    QJsonObject m_stats;
    QList<Monitor> m_monitors;
    QString m_videoMode = QStringLiteral("jpeg");
    bool m_videoTrack = false;
    bool m_audioAvailable = false;
    bool m_muted = false;
    double m_volume = 1.0;
    bool m_micOn = false;
    bool m_monitorWindows = false;
    Quality m_quality;
    bool m_recording = false;
    std::function<void(const QByteArray &)> m_onStill;

    std::unique_ptr<Private> d;
};

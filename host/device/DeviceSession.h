#pragma once

#include "audio/VirtualMicrophone.h"
#include "device/DeviceHooks.h"
#include "device/DeviceLockout.h"
#include "device/DevicePasscodes.h"
#include "device/PasscodeChallenge.h"
#include "device/ProofKeyStock.h"
#include "device/SessionPath.h"
#include "protocol/ctrl/ViewerIntroduction.h"
#include "transfer/ClipFilesOffer.h"
#include "webrtc/AudioSource.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class AudioTrack;
class InputInjector;
class MonitorWindows;
class RemoteInput;
class SessionChannels;
class SessionVideo;
class ViewerMicrophone;
class ViewerExchange;
class VideoSource;
struct AuthMessage;
struct InputTarget;

// One viewer connected to this device: the answering webrtcbin, the control protocol
// with the passcode challenge (and, when the host wants it, the user's approval), and
// the picture (SessionVideo) and sound (AudioTrack) once the viewer is admitted. Lives on
// the main thread; webrtcbin's callbacks come in on its own threads and are handed over
// through a guard that the destructor closes first.
class DeviceSession : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString deviceName;
        bool audioOn = true;
        // Where the sound comes from, and which of it ("system" or "mic").
        std::shared_ptr<const AudioSource> audioSource;
        QString audioKind = QStringLiteral("system");
        // Asked after a right proof: whether the host's user must admit the viewer too.
        std::function<bool()> approvalRequired;
        int askTimeoutMs = 60 * 1000;
        DeviceHooks hooks;
        QStringList iceAddresses;
        // STUN/TURN from the rendezvous server ("stun:", "turn:", "turns:" URLs).
        QStringList iceUrls;
        QString iceUsername;
        QString iceCredential;
        QString dataDir;
        std::function<DevicePasscodes()> passcodes;
        // Whether the host lets this viewer's input through (by sid).
        std::function<bool(const QString &)> inputAllowed;
        // Whether the host lets this viewer exchange the clipboard / files (by sid).
        std::function<bool(const QString &)> clipAllowed;
        std::function<bool(const QString &)> filesAllowed;
        // Whether the viewer's microphone may play on this desktop (by sid), and the
        // sound server's devices it plays into; none: viewers' voices are dropped.
        std::function<bool(const QString &)> micAllowed;
        std::shared_ptr<const VirtualMicrophone> microphones;
        // The picture for this viewer, built into the session's pipeline (the shared
        // screen or the test pattern).
        std::function<std::unique_ptr<VideoSource>(GstElement *pipeline)> makeVideo;
        // The desktop's input (XTest); none when the agent cannot send input. Outlives sessions.
        InputInjector *injector = nullptr;
        // Shared by the sessions of the device; a check still running when its session
        // has gone settles its try all the same.
        std::shared_ptr<DeviceLockout> lockout;
        quint32 iterations = 100000;
        // Keys for the next challenge made ahead of time; none: each challenge derives its own.
        QPointer<ProofKeyStock> proofKeys;
    };

    enum class Phase { Negotiating, Challenged, Verifying, Asking, Authed, Refused, Ended };
    Q_ENUM(Phase)

    DeviceSession(const QString &sid, const QString &viewer, Options options, QObject *parent = nullptr);
    ~DeviceSession() override;

    // Answers the viewer's offer. False when the offer cannot be used.
    bool start(const QString &offerSdp);
    void addRemoteCandidate(const QJsonObject &payload);
    // Ends the session from this side (host command, shutdown): channels are closed
    // first so that the viewer notices, "bye" goes out when asked.
    void hangUp(bool sendBye);

    void setAudioOn(bool on);
    void setAudioKind(const QString &kind);
    // The host user's answer while the session is Asking: admitted, or told and ended.
    void answerAsk(bool ok);
    // The host panel's capture quality; the viewer's own "quality" messages change it too.
    void setHostQuality(int fps, double scale, int kbps);
    void setDeviceName(const QString &name) { m_options.deviceName = name; }
    // Lets go of every key and button the viewer holds (its input right was withdrawn).
    void releaseInput();
    // The host changed this viewer's `input` / `clip` / `files` rights.
    void setRights(bool input, bool clip, bool files);
    // The host changed this viewer's `mic` right; withdrawn, its voice stops at once.
    void setMicRight(bool on);
    // The source host programs record the viewer's voice from, while it exists.
    QString micSource() const;
    // The desktop's clipboard changed (or another viewer's text went on it).
    void offerClipboard(const QString &text);
    // Likewise for a PNG picture.
    void offerClipboardImage(const QByteArray &png);
    void offerClipboardFiles(const QStringList &paths);
    // Sends a file of this desktop to the viewer's download folder; false when the
    // viewer is not admitted. The outcome is logged.
    bool sendFile(const QString &path);
    ViewerExchange *exchange() const { return m_exchange.get(); }
    // The viewer says it records what it is shown ("rec").
    bool viewerRecording() const { return m_viewerRecording; }
    // The last "stats" sent to the viewer (empty before the picture flows).
    QJsonObject lastStats() const;

    QString sid() const { return m_sid; }
    QString viewer() const { return m_viewer; }
    // The viewer's DTLS certificate fingerprint (from its offer), shortened for people to
    // compare: the first 16 hexadecimal digits in groups of four ("AB12-CD34-EF56-7890").
    // "" before the offer.
    QString shortFingerprint() const;
    // When an ask now running is refused unanswered (seconds since 1970); 0 when not asking.
    qint64 askExpires() const { return m_askExpires; }
    qint64 since() const { return m_since; }
    // Monotonic start time, for choosing which session gives way.
    qint64 startedAt() const { return m_startedAt; }
    bool authed() const { return m_phase == Phase::Authed; }
    // The viewer was admitted (now or before it ended) with the automatic passcode, not the fixed one.
    bool admittedByAutoPasscode() const { return m_admittedByAuto; }
    // Once ended: whether either side ended it on purpose ("bye", a hang-up, closed
    // channels) rather than losing the viewer (silence, ICE, an error), after which an
    // automatic reconnect may follow.
    bool endedForGood() const { return m_endedForGood; }
    bool asking() const { return m_phase == Phase::Asking; }
    // What the viewer said about itself ("hello"), once it has.
    const std::optional<ViewerIntroduction> &introduction() const { return m_intro; }
    QString audioDevice() const;
    QString audioError() const;
    Phase phase() const { return m_phase; }
    bool relay() const { return m_path.relay(); }
    QString remoteIp() const { return m_path.remoteIp(); }
    QString videoMode() const { return m_h264Pt > 0 ? QStringLiteral("h264") : QStringLiteral("jpeg"); }

Q_SIGNALS:
    // A signaling message for the viewer ("answer", "ice", "bye"); the envelope's sid is added by the owner.
    void outgoing(const QJsonObject &message);
    void authedChanged();
    // The viewer proved the passcode and waits for the host user (asking() is true).
    void askStarted();
    // It no longer waits: answered, timed out or gone.
    void askClosed();
    // introduction() is set.
    void introduced();
    void audioCaptureChanged();
    // micSource() changed.
    void micChanged();
    // The viewer's address or the relay use changed.
    void pathChanged();
    // Text the viewer copied, for the desktop's clipboard.
    void clipboardFromViewer(const QString &text);
    // viewerRecording() or the files exchanged with the viewer changed.
    void activityChanged();
    // lastStats() is new.
    void statsSent();
    // A PNG picture the viewer copied, for the desktop's clipboard.
    void clipboardImageFromViewer(const QByteArray &png);
    void clipboardFilesFromViewer(ClipFilesOffer *offer);
    // The session is over (lost, refused, hung up); the owner deletes it.
    void finished(const QString &reason);

private:
    struct Guard;
    // webrtcbin / data channel callbacks (webrtcbin's threads).
    static void onIceCandidate(GstElement *webrtc, guint mline, gchar *candidate, gpointer guard);
    static void onDataChannel(GstElement *webrtc, GstWebRTCDataChannel *channel, gpointer guard);
    static void onPadAdded(GstElement *webrtc, GstPad *pad, gpointer guard);
    static void onConnectionState(GObject *webrtc, GParamSpec *, gpointer guard);
    static void onIceState(GObject *webrtc, GParamSpec *, gpointer guard);
    static void onChannelString(GstWebRTCDataChannel *channel, gchar *text, gpointer guard);
    static void onChannelData(GstWebRTCDataChannel *channel, GBytes *data, gpointer guard);
    static void onChannelClose(GstWebRTCDataChannel *channel, gpointer guard);
    static void handOverFile(Guard *guard, const QByteArray &bytes, bool binary);
    static void onRemoteSet(GstPromise *promise, gpointer guard);
    static void onAnswer(GstPromise *promise, gpointer guard);
    static gboolean onBus(GstBus *bus, GstMessage *msg, gpointer guard);

    void channelOpened(const QString &label, GstWebRTCDataChannel *channel);
    void ctrlMessage(const QByteArray &bytes);
    void inputMessage(const QByteArray &bytes);
    void fileMessage(const QByteArray &bytes, bool binary);
    InputTarget inputTarget(const VideoSource *source) const;
    void sendChallenge();
    void verify(const AuthMessage &auth);
    void verified(const DeviceLockout::Outcome &out);
    void refuseProof(const DeviceLockout::Outcome &out);
    void admit();
    void refuseAsk(const QString &text);
    void sendAuthOk();
    void sendCtrl(const QJsonObject &msg);
    bool micAllowed() const;
    void lost(const QString &reason);
    void teardown();

    QString m_sid;
    QString m_viewer;
    qint64 m_since = 0;
    qint64 m_startedAt = 0;
    Options m_options;
    Phase m_phase = Phase::Negotiating;
    std::shared_ptr<Guard> m_guard;
    GstElement *m_pipeline = nullptr; // owned (one reference)
    GstElement *m_webrtc = nullptr;   // owned by m_pipeline
    guint m_busWatch = 0;
    std::unique_ptr<SessionChannels> m_channels;
    std::unique_ptr<SessionVideo> m_video;
    std::unique_ptr<MonitorWindows> m_windows; // the viewer's display windows
    std::unique_ptr<AudioTrack> m_audio;
    std::unique_ptr<ViewerMicrophone> m_mic; // the viewer's voice, when it offers to send one
    std::unique_ptr<RemoteInput> m_input;    // from the proof to the end
    std::unique_ptr<ViewerExchange> m_exchange;
    std::optional<ViewerIntroduction> m_intro;
    QTimer m_askTimer;
    qint64 m_askExpires = 0;
    QString m_offerSdp;
    QString m_answerSdp;
    int m_h264Pt = 0;
    int m_opusPt = 0;
    int m_twccExt = 0; // the viewer's transport-wide sequence number extension
    PasscodeChallenge m_proof;
    QTimer m_deadline;
    QTimer m_iceGrace;
    SessionPath m_path;
    QElapsedTimer m_clock;
    bool m_tornDown = false;
    bool m_openedByAuto = false; // the proof was for the automatic passcode
    bool m_admittedByAuto = false;
    bool m_endedForGood = false;
    bool m_viewerRecording = false;
};

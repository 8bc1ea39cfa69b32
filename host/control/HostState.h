#pragma once

#include "protocol/agent/ControlStatus.h"
#include "protocol/ctrl/QualityPresets.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The agent's in-memory state: what "status" reports and what the control API's
// commands change. One instance per process, owned by main().
//
// How the device side (rendezvous registration, WebRTC sessions) uses it:
//   - after registering: setDeviceId(id), setConnected(true/false) as the link
//     to the rendezvous server comes and goes;
//   - passcode check: autoPasscode(), fixedPasscode() and passcodeMode() (the
//     device's ProofKeys::accepted says which of them a proof may use); isControllerAllowed(pub) for keyed
//     controllers; sharing() says whether offers are accepted at all;
//   - a request that needs the user's consent: addAsk(ask) and wait for
//     askAnswered(sid, ok) (emitted once, also with ok=false when the ask is
//     withdrawn by the control API's "disconnect"); removeAsk(sid) when the
//     requester goes away first;
//   - a peer connection: addSession(s) (authed=false), updateSession(sid, fn) to
//     set authed/relay/info, removeSession(sid) when it ends; obey
//     disconnectRequested(sid) (the session is already removed from the list)
//     and permissionsChanged(sid) (read session(sid) for input/clip/files/mic);
//   - approval(): "passcode" lets a viewer in on its proof alone; "ask" lists it
//     with addAsk() after the proof and waits for the user's answer;
//   - qualityChanged(), audioChanged(), sharingChanged(on) to reconfigure
//     capture; setMonitors(), setVideo() to describe what is sent.
// Every change emits changed(); the control API turns that into one event.
// Main thread only.
class HostState : public QObject {
    Q_OBJECT
public:
    // The records of the status the agent reports (protocol/agent), kept as they are sent.
    using ViewerInfo = ControlViewerInfo;
    using Session = ControlSession;
    using Ask = ControlAsk;
    using Controller = ControlController;
    using Monitor = ControlMonitor;
    using Eula = ControlEula;

    explicit HostState(QObject *parent = nullptr);

    // Device.
    QString deviceId() const { return m_deviceId; }
    void setDeviceId(const QString &id);
    QString name() const { return m_name; }
    void setName(const QString &name);
    QString server() const { return m_server; }
    void setServer(const QString &server);
    bool connected() const { return m_connected; }
    void setConnected(bool on);
    // What keeps the device from working, for the user ("" when nothing), e.g. a
    // device.json that is not private. Sent as "problem" in the status.
    QString problem() const { return m_problem; }
    void setProblem(const QString &text);
    QString platform() const { return m_platform; }
    QString version() const { return m_version; }

    bool sharing() const { return m_sharing; }
    void setSharing(bool on);
    bool noticeBar() const { return m_noticeBar; }
    void setNoticeBar(bool on);
    // The owner allows sharing this desktop with no one at it: on GNOME the agent then uses
    // Mutter's own remote desktop (no dialog) instead of the desktop portal. Chosen at the
    // agent's start; a change is kept for the next start.
    bool unattended() const { return m_unattended; }
    void setUnattended(bool on);
    bool allowAsk() const { return m_allowAsk; }
    void setAllowAsk(bool on);
    // Who lets a viewer in: "passcode" (the proof alone) or "ask" (the proof, then the user).
    QString approval() const { return m_approval; }
    // false for any other mode.
    bool setApproval(const QString &mode);
    static bool isApprovalMode(const QString &mode);

    // Passcodes. The automatic one is 6 random digits, made at start and on rotate.
    QString autoPasscode() const { return m_autoPasscode; }
    void rotatePasscode();
    QString fixedPasscode() const { return m_fixedPasscode; }
    void setFixedPasscode(const QString &passcode); // "" clears it
    QString passcodeMode() const { return m_passcodeMode; }
    // "auto", "fixed" or "both"; anything else is refused (false).
    bool setPasscodeMode(const QString &mode);

    // Capture.
    int fps() const { return m_fps; }
    double scale() const { return m_scale; }
    int kbps() const { return m_kbps; }
    void setQuality(int fps, double scale, int kbps);
    QString video() const { return m_video; }
    QString encoder() const { return m_encoder; }
    void setVideo(const QString &video, const QString &encoder);
    bool audioOn() const { return m_audioOn; }
    QString audioSource() const { return m_audioSource; }
    void setAudio(bool on, const QString &source);
    // What the audio source really captures ("" when nothing does) and why it does not.
    QString audioDevice() const { return m_audioDevice; }
    QString audioError() const { return m_audioError; }
    void setAudioCapture(const QString &device, const QString &error);
    QList<Monitor> monitors() const { return m_monitors; }
    void setMonitors(const QList<Monitor> &monitors);

    // Sessions.
    QList<Session> sessions() const { return m_sessions; }
    std::optional<Session> session(const QString &sid) const;
    // Replaces a session with the same sid.
    void addSession(const Session &s);
    // false when there is no such session.
    bool updateSession(const QString &sid, const std::function<void(Session &)> &change);
    bool removeSession(const QString &sid);
    // The control API's "disconnect": removes the session (or refuses a pending
    // ask with that sid) and tells the device side.
    bool requestDisconnect(const QString &sid);
    // `mic` unset keeps the session's microphone right as it is.
    bool setPermissions(const QString &sid, bool input, bool clip, bool files, std::optional<bool> mic = std::nullopt);
    // The control API's "files/send": asks the device side to send a file to an
    // authenticated session that has the `files` right; false when there is none.
    bool requestSendFile(const QString &sid, const QString &path);

    // Connection requests.
    QList<Ask> asks() const { return m_asks; }
    void addAsk(const Ask &a);
    bool removeAsk(const QString &sid);
    // The user's answer: removes the ask and emits askAnswered. false when unknown.
    bool answerAsk(const QString &sid, bool ok);

    // Controllers allowed without a passcode, at most maxControllers of them.
    static constexpr int maxControllers = 256;
    QList<Controller> controllers() const { return m_controllers; }
    // Adds or relabels; false for an empty key or a new key when the list is full.
    bool addController(const QString &label, const QString &pub);
    bool removeController(const QString &pub);
    bool isControllerAllowed(const QString &pub) const;

    // Agreement.
    std::optional<Eula> eulaRequired() const { return m_eula; }
    void setEulaRequired(const std::optional<Eula> &eula);
    // Records acceptance: the agreement is no longer required.
    void acceptEula();

    // Permission states ("unneeded", "granted", "denied", ...).
    QString inputPerm() const { return m_inputPerm; }
    QString screenPerm() const { return m_screenPerm; }
    void setInputPerm(const QString &s);
    void setScreenPerm(const QString &s);
    // The desktop session the agent runs in: "x11", "xwayland" (a Wayland session whose
    // X server only shows X11 windows), "wayland" (no usable X display) or "none".
    QString displayServer() const { return m_displayServer; }
    void setDisplayServer(const QString &kind);
    // The platform back end that serves the screen, input and clipboard ("x11", "wlroots",
    // "mutter", "portal"; "none" when the session offers none), and why the screen cannot
    // be shared ("" when it can, or when nobody asked for it).
    QString backend() const { return m_backend; }
    void setBackend(const QString &name);
    QString screenError() const { return m_screenError; }
    void setScreenError(const QString &error);

    // The whole state as the "status" JSON object.
    QJsonObject toStatusJson() const;

Q_SIGNALS:
    void changed();
    void askAnswered(const QString &sid, bool ok);
    void disconnectRequested(const QString &sid);
    void permissionsChanged(const QString &sid);
    void sendFileRequested(const QString &sid, const QString &path);
    void qualityChanged();
    void audioChanged();
    void sharingChanged(bool on);
    void approvalChanged();
    void unattendedChanged();

private:
    QString m_deviceId;
    QString m_name;
    QString m_server;
    bool m_connected = false;
    QString m_problem;
    QString m_platform;
    QString m_version;
    bool m_sharing = true;
    bool m_noticeBar = true;
    bool m_unattended = false;
    bool m_allowAsk = true;
    QString m_approval = QStringLiteral("passcode");
    QString m_autoPasscode;
    QString m_fixedPasscode;
    QString m_passcodeMode = QStringLiteral("auto");
    // The standard preset until the host user picks one: the viewer's "標準" too.
    int m_fps = standardQuality().fps;
    double m_scale = standardQuality().scale;
    int m_kbps = standardQuality().kbps;
    QString m_video;
    QString m_encoder;
    bool m_audioOn = false;
    QString m_audioSource = QStringLiteral("system");
    QString m_audioDevice;
    QString m_audioError;
    QList<Monitor> m_monitors;
    QList<Session> m_sessions;
    QList<Ask> m_asks;
    QList<Controller> m_controllers;
    std::optional<Eula> m_eula;
    QString m_inputPerm = QStringLiteral("unneeded");
    QString m_screenPerm = QStringLiteral("unneeded");
    QString m_displayServer = QStringLiteral("none");
    QString m_backend = QStringLiteral("none");
    QString m_screenError;
};

#pragma once

#include "device/DeviceHooks.h"
#include "device/DeviceLockout.h"
#include "device/DeviceSession.h"

#include <QImage>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class ClipboardBackend;
class DeviceLink;
class QNetworkAccessManager;

// The device side of the local agent: registration with the rendezvous server and one
// DeviceSession per viewer. The agent's state is reached through the callbacks and
// slots below, so that this class knows nothing of the control API.
class DeviceService : public QObject {
    Q_OBJECT
public:
    static constexpr int maxSessions = 8;
    static constexpr qsizetype maxSdpBytes = 256 * 1024;

    DeviceService(const QString &server, const QString &dataDir, QObject *parent = nullptr);
    ~DeviceService() override;

    // Comma-separated local addresses to gather ICE candidates on (VELMO_ICE_ADDRESSES).
    void setIceAddresses(const QStringList &addresses) { m_iceAddresses = addresses; }
    void setHooks(const DeviceHooks &hooks) {
        m_hooks = hooks;
        m_lockout->setLockSeconds(hooks.shortLock ? 3 : DeviceLockout::defaultLockSeconds);
    }
    void setPasscodeSource(std::function<DevicePasscodes()> source) { m_passcodes = std::move(source); }
    void setInputPermission(std::function<bool(const QString &)> allowed) { m_inputAllowed = std::move(allowed); }
    // The `clip` and `files` rights of a session (by sid).
    void setExchangePermissions(std::function<bool(const QString &)> clip, std::function<bool(const QString &)> files) {
        m_clipAllowed = std::move(clip);
        m_filesAllowed = std::move(files);
    }
    // The `mic` right of a session (by sid), and the sound server's devices a viewer's
    // voice plays into; without them viewers' voices are dropped.
    void setMicrophones(std::function<bool(const QString &)> allowed,
                        std::shared_ptr<const VirtualMicrophone> microphones) {
        m_micAllowed = std::move(allowed);
        m_microphones = std::move(microphones);
    }
    // The desktop's clipboard, shared with admitted viewers that have `clip`; must
    // outlive every session. None: viewers' texts are dropped.
    void setClipboard(ClipboardBackend *clipboard);
    // What each new viewer is shown (built into its session's pipeline).
    void setVideoFactory(std::function<std::unique_ptr<VideoSource>(GstElement *)> make) {
        m_makeVideo = std::move(make);
    }
    // The picture for the server's thumbnail (320 × 180 at most); the test pattern's without one.
    void setThumbnailSource(std::function<QImage()> source) { m_thumbnail = std::move(source); }
    // Where viewers' input goes; must outlive every session.
    void setInjector(InputInjector *injector) { m_injector = injector; }
    void setName(const QString &name);
    void setAudioOn(bool on);
    // "system" or "mic"; running sessions switch at once.
    void setAudioKind(const QString &kind);
    void setAudioSource(std::shared_ptr<const AudioSource> source) { m_audioSource = std::move(source); }
    void setApprovalRequired(std::function<bool()> required) { m_approvalRequired = std::move(required); }
    void setAskTimeoutMs(int ms) { m_askTimeoutMs = ms; }
    // The host user's answer to a session that waits for it; false when none waits under sid.
    bool answerAsk(const QString &sid, bool ok);
    void setSharing(bool on) { m_sharing = on; }
    void setHostQuality(int fps, double scale, int kbps);

    void start();
    // The host's passcodes or their mode may have changed (keys made ahead are then renewed).
    void passcodesMayHaveChanged();
    // Ends one viewer's session from this side ("bye" to the viewer).
    bool disconnectSession(const QString &sid);
    // Sends a file of this desktop to an admitted viewer; false when there is none under sid.
    bool sendFile(const QString &sid, const QString &path);
    // The host changed a session's `clip` / `files` rights (clip only counts with a clipboard).
    void setRights(const QString &sid, bool input, bool clip, bool files);
    void setMicRight(const QString &sid, bool on);
    // Ends every session, as on quit.
    void hangUpAll();

    QString deviceId() const;
    bool registered() const;
    DeviceSession *session(const QString &sid) const { return m_sessions.value(sid); }
    QList<DeviceSession *> sessions() const { return m_sessions.values(); }

Q_SIGNALS:
    void deviceIdChanged(const QString &id);
    void registeredChanged(bool registered);
    void sessionStarted(DeviceSession *session);
    void sessionAuthed(const QString &sid);
    void sessionAsking(DeviceSession *session);
    void sessionAskClosed(const QString &sid);
    void sessionIntroduced(DeviceSession *session);
    void audioCaptureChanged(DeviceSession *session);
    void sessionPathChanged(DeviceSession *session);
    // What the viewer does changed: recording, files (DeviceSession::activityChanged).
    void sessionActivity(DeviceSession *session);
    // The session sent its viewer new figures (DeviceSession::statsSent).
    void sessionStats(DeviceSession *session);
    // `forGood`: see DeviceSession::endedForGood(); `byAuto`: it had got in with the
    // automatic passcode.
    void sessionEnded(const QString &sid, bool forGood, bool byAuto);
    // The device cannot work, and why (shown in the agent's status).
    void problem(const QString &text);

private:
    void onSessionMessage(const QJsonObject &msg);
    void refuse(const QString &sid, const QString &text);
    void sendThumbnail();
    void fetchIceServers();
    static void warmUp();

    QString m_dataDir;
    QPointer<DeviceLink> m_link;
    QMap<QString, DeviceSession *> m_sessions; // children of this object
    std::shared_ptr<DeviceLockout> m_lockout = std::make_shared<DeviceLockout>();
    ProofKeyStock *m_proofKeys; // child of this object
    DeviceHooks m_hooks;
    QStringList m_iceAddresses;
    std::function<DevicePasscodes()> m_passcodes;
    std::function<bool(const QString &)> m_inputAllowed;
    std::function<bool(const QString &)> m_clipAllowed;
    std::function<bool(const QString &)> m_filesAllowed;
    std::function<bool(const QString &)> m_micAllowed;
    std::shared_ptr<const VirtualMicrophone> m_microphones;
    QPointer<ClipboardBackend> m_clipboard;
    std::function<std::unique_ptr<VideoSource>(GstElement *)> m_makeVideo;
    std::function<QImage()> m_thumbnail;
    InputInjector *m_injector = nullptr;
    QString m_name;
    bool m_audioOn = true;
    QString m_audioKind = QStringLiteral("system");
    std::shared_ptr<const AudioSource> m_audioSource;
    std::function<bool()> m_approvalRequired;
    int m_askTimeoutMs = 60 * 1000;
    bool m_sharing = true;
    QTimer m_thumbTimer;
    // Runs a while after the last session has gone: gives the memory the sessions' buffers
    // held back to the system (malloc keeps freed memory of its arenas otherwise).
    QTimer m_trimTimer;
    QTimer m_iceTimer;
    QString m_server;
    QStringList m_iceUrls;
    QString m_iceUsername;
    QString m_iceCredential;
    QNetworkAccessManager *m_nam = nullptr; // child
};

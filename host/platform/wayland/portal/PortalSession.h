#pragma once

#include "platform/wayland/StreamSession.h"

#include <QDBusMessage>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

// A screen-sharing session through the desktop portal (xdg-desktop-portal on the session
// bus: GNOME, KDE Plasma and others). Where the portal has RemoteDesktop, one remote-desktop
// session asks for the keyboard and the pointer and, through ScreenCast, for every monitor
// (pointer drawn in); where it has only ScreenCast, the monitors alone. Start() makes the
// desktop ask its user in a dialog: until the answer waiting() is true, then the streams
// come (streamsReady()) or the refusal ends the session (failed()). The pictures are read
// through the PipeWire connection the portal opens for us.
//
// Persistence: the portal hands out a restore token when asked to keep the permission
// "until revoked" (persist mode 2): ScreenCast from version 4, RemoteDesktop from version 2.
// Portal 1.16 (Debian 12) has RemoteDesktop 1 and refuses persistence and restoring for
// remote-desktop sessions, so there the dialog comes at every start; a screen-cast-only
// session is restored without one. The token is single-use: every start hands out the
// next one (restoreToken(), tokenChanged()).
//
// Input goes through notify(), in order: the portal front end handles each call on a thread
// of its own, so a press sent before the motion before it is answered could reach the desktop
// first (a click in the wrong place). Each call waits for the answer to the one before;
// motions that pile up meanwhile are merged into the newest. Main thread.
class PortalSession : public StreamSession {
    Q_OBJECT
public:
    // How long the portal has for each step that asks no one (creating the session,
    // choosing devices and sources, opening the PipeWire connection). The dialog itself
    // waits as long as the person takes.
    static constexpr int kStepTimeoutMs = 30000;
    static constexpr int kCallTimeoutMs = 5000;
    // org.freedesktop.portal.RemoteDesktop device types, ScreenCast source types and cursor modes.
    static constexpr quint32 kKeyboard = 1, kPointer = 2;
    static constexpr quint32 kMonitor = 1;
    static constexpr quint32 kCursorHidden = 1, kCursorEmbedded = 2;
    static constexpr quint32 kPersistUntilRevoked = 2;
    // Input calls waiting for their turn at most (beyond, new ones are dropped and logged).
    static constexpr int kMaxQueued = 1024;

    struct Versions {
        quint32 screenCast = 0;    // 0: no ScreenCast
        quint32 remoteDesktop = 0; // 0: no RemoteDesktop
        quint32 cursorModes = 0;   // AvailableCursorModes of ScreenCast
    };
    // What the portal on the bus offers (properties of org.freedesktop.portal.Desktop).
    static Versions probe();

    // Starts asking the portal (answers come later). `restoreToken`: from an earlier session,
    // "" for none. Null, and why in *problem, when there is no portal to ask.
    static std::shared_ptr<PortalSession> open(const QString &restoreToken, QString *problem);
    ~PortalSession() override;

    const QList<std::shared_ptr<PipeWireStream>> &streams() const override { return m_streams; }
    QString problem() const override { return m_problem; }
    bool waiting() const override { return m_problem.isEmpty() && !m_ready; }
    const Versions &versions() const { return m_versions; }
    // Whether the keyboard and pointer were granted; why not when they were not ("" while waiting).
    bool inputGranted() const { return m_ready && m_inputProblem.isEmpty(); }
    QString inputProblem() const { return m_inputProblem; }
    // Whether this session asked to be kept "until revoked"; the token that restores it.
    bool persists() const { return m_persist; }
    QString restoreToken() const { return m_restoreToken; }

    // Calls `method` of the RemoteDesktop portal for this session with `args` after the
    // session handle and the (empty) options, not waiting for the answer.
    void notify(const char *method, const QVariantList &args);

Q_SIGNALS:
    void tokenChanged(const QString &token);

private Q_SLOTS:
    void response(const QDBusMessage &signal);
    void closed();

private:
    void sendNext();

    enum class Step { CreateSession, SelectDevices, SelectSources, Start, Done };

    PortalSession() = default;
    void request(Step step, const QString &interface, const QString &method, QVariantList args, QVariantMap options);
    void next(const QVariantMap &results);
    void started(const QVariantMap &results);
    void fail(const QString &why);
    QString stepName() const;

    Versions m_versions;
    bool m_remoteDesktop = false; // a remote-desktop session (else screen cast only)
    bool m_persist = false;
    QString m_givenToken;
    QString m_restoreToken;
    QString m_sessionHandle;
    QString m_requestPath; // the Request whose Response is awaited
    Step m_step = Step::CreateSession;
    int m_tokens = 0;
    QTimer m_stepTimer;
    bool m_ready = false;
    QString m_problem;
    QString m_inputProblem;
    QList<std::shared_ptr<PipeWireStream>> m_streams;
    int m_errorsLogged = 0;
    QList<QDBusMessage> m_queue; // input calls not sent yet
    bool m_inFlight = false;     // an input call waits for its answer
};

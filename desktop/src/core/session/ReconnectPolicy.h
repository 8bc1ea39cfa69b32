#pragma once

#include "session/RemoteSession.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// Reconnects a session whose connection dropped: after it had been connected, a
// failure of the kinds Lost or Unreachable starts a run of tries with growing
// waits (1 s, 2 s, 4 s, 8 s, 16 s); a refusal (wrong passcode, lockout,
// certificate) ends the run at once, and so does closing. The session keeps the
// passcode it was made with, so nobody types it again.
//
// Main thread. `statusText` says what is going on, for the session window.
class ReconnectPolicy : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusChanged)

public:
    static constexpr int maxTries = 5;
    // A try that is still negotiating after this long counts as failed.
    static constexpr int tryTimeoutMs = 20000;

    explicit ReconnectPolicy(RemoteSession *session, QObject *parent = nullptr);

    // The wait before try n (from 1): 1 s, doubling, at most 30 s.
    static int delayMs(int tryNumber);
    static bool retryable(RemoteSession::FailureKind kind);
    // "再接続しています… (n/max)"
    static QString tryingText(int tryNumber);
    static QString exhaustedText();
    static QString refusedText();

    // Tries made in the current run (0 when connected or never dropped).
    int tries() const { return m_tries; }
    // Whether a try is waiting or under way.
    bool active() const { return m_wait.isActive() || m_inTry; }
    // What the window shows: the try in progress, why it stopped, or nothing.
    QString statusText() const { return m_status; }
    // Scales every wait (tests of the timing rules use small waits).
    void setTimeScale(double scale) { m_scale = scale; }

Q_SIGNALS:
    void statusChanged();

private:
    void onStateChanged();
    void scheduleNext();
    void tryNow();
    void giveUp(const QString &text);
    void setStatus(const QString &text);

    QPointer<RemoteSession> m_session;
    QTimer m_wait;
    QTimer m_tryTimeout;
    bool m_everConnected = false;
    bool m_inTry = false;
    int m_tries = 0;
    double m_scale = 1.0;
    QString m_status;
};

#pragma once

#include "session/RemoteSession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// Reconnects a session whose connection dropped: after it had been connected, a
// failure of the kinds Lost or Unreachable starts a run of tries with growing
// waits (1 s, 2 s, 4 s, … at most 30 s) for as long as a user waits for a device
// that restarts (giveUpAfterMs), showing the countdown to the next try; the user can
// cancel the run. A refusal (lockout, certificate, the device saying no) ends the run
// at once; a refused passcode ends it too and asks for the passcode, since trying the
// old one again only spends an attempt. Closing ends it. The session keeps the
// passcode it was made with, so nobody types it again after a plain drop.
//
// Main thread. `statusText` says what is going on, for the session window.
class ReconnectPolicy : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusChanged)

public:
    // A run stops when the next try would start later than this after the drop.
    static constexpr int giveUpAfterMs = 10 * 60 * 1000;
    // A try that is still negotiating after this long counts as failed.
    static constexpr int tryTimeoutMs = 20000;

    explicit ReconnectPolicy(RemoteSession *session, QObject *parent = nullptr);

    // The wait before try n (from 1): 1 s, doubling, at most 30 s.
    static int delayMs(int tryNumber);
    static bool retryable(RemoteSession::FailureKind kind);
    // "再接続まで n 秒(m 回目)" while waiting; "再接続しています…(m 回目)" during a try.
    static QString waitingText(int tryNumber, int secondsLeft);
    static QString tryingText(int tryNumber);
    static QString exhaustedText();
    static QString refusedText();
    static QString passcodeText();
    static QString cancelledText();

    // Tries made in the current run (0 when connected or never dropped).
    int tries() const { return m_tries; }
    // Whether a try is waiting or under way.
    bool active() const { return m_wait.isActive() || m_inTry; }
    // Whole seconds until the next try (0 when none is waiting).
    int secondsLeft() const;
    // What the window shows: the countdown, the try in progress, why it stopped, or nothing.
    QString statusText() const { return m_status; }
    // Scales every wait (tests of the timing rules use small waits).
    void setTimeScale(double scale) { m_scale = scale; }
    // The user's "stop": no further try.
    void cancel();

Q_SIGNALS:
    void statusChanged();

private:
    void onStateChanged();
    void scheduleNext();
    void tryNow();
    void giveUp(const QString &text);
    void setStatus(const QString &text);
    void showCountdown();

    QPointer<RemoteSession> m_session;
    QTimer m_wait;
    QTimer m_tryTimeout;
    QTimer m_tick;       // refreshes the countdown every second
    QElapsedTimer m_run; // since the drop that started the run
    bool m_everConnected = false;
    bool m_inTry = false;
    int m_tries = 0;
    double m_scale = 1.0;
    QString m_status;
};

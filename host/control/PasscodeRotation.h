#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

class HostState;

// Makes the automatic passcode a passcode per session: once a session that got in with
// it has ended for good, a new one is drawn, so the code a viewer used opens nothing
// afterwards. A session that was merely lost (silence, ICE, an error) leaves the code
// valid for `graceMs`, so that the viewer's automatic reconnect gets in with the code
// it holds; a reconnect within that time cancels the change (the new session carries
// it on). While another session admitted with the code is still running, the change
// waits for that one, whose own reconnect would need the code too. The fixed passcode
// is never touched. HostState announces the new code to the control API's clients at
// once. Main thread.
class PasscodeRotation : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultGraceMs = 60 * 1000;

    explicit PasscodeRotation(HostState *state, int graceMs = defaultGraceMs, QObject *parent = nullptr);

    // A viewer was admitted; `byAuto` when with the automatic passcode.
    void admitted(const QString &sid, bool byAuto);
    // A session ended; `forGood` when either side ended it on purpose.
    void ended(const QString &sid, bool forGood, bool byAuto);
    bool graceRunning() const { return m_grace.isActive(); }

private:
    void rotate();

    QPointer<HostState> m_state;
    QSet<QString> m_live; // sessions admitted with the automatic passcode, still running
    QTimer m_grace;
};

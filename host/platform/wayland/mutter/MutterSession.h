#pragma once

#include "platform/wayland/StreamSession.h"

#include <QRect>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <memory>

class QDBusMessage;
class QDBusPendingCall;

// A remote-desktop session of Mutter (GNOME's compositor) on the session bus, with a
// screen-cast session tied to it that records every monitor (pointer drawn into the
// picture). It is what GNOME's own remote desktop uses: no dialog, no one has to be at the
// machine. Created at once or not at all (the reason in open()'s *problem); the streams'
// PipeWire nodes come shortly after, and a session whose streams never come ends with
// failed(). Mutter ends the session on every change of the monitor configuration: a new
// one takes its place. Input goes through notify(), in order, without waiting for
// Mutter's answer. Main thread.
class MutterSession : public StreamSession {
    Q_OBJECT
public:
    // How long Mutter has to announce the streams after the session started.
    static constexpr int kStreamWaitMs = 10000;
    // How long one call to Mutter may take while setting up.
    static constexpr int kCallTimeoutMs = 5000;
    // A session that Mutter ends more than kMaxRestarts times in kRestartWindowMs is given up.
    static constexpr int kMaxRestarts = 5;
    static constexpr qint64 kRestartWindowMs = 60000;
    static constexpr int kRestartDelayMs = 300;

    static std::shared_ptr<MutterSession> open(QString *problem);
    ~MutterSession() override;

    const QList<std::shared_ptr<PipeWireStream>> &streams() const override { return m_streams; }
    // Why the session ended; empty while it works.
    QString problem() const override { return m_problem; }
    bool ready() const; // every stream has its node
    // Calls `method` of the remote-desktop session with `args`, not waiting for the answer.
    void notify(const char *method, const QVariantList &args);
    // The same, for a caller that wants the answer (delivered on the main thread), or that
    // waits for it (up to kCallTimeoutMs).
    QDBusPendingCall callLater(const char *method, const QVariantList &args);
    QDBusMessage callNow(const char *method, const QVariantList &args);
    // The remote-desktop session's object, for its signals.
    QString path() const { return m_rdPath; }
    static QString interface();

Q_SIGNALS:
    // Mutter ended the session and a new one took its place (path() is new).
    void restarted();

private Q_SLOTS:
    void streamAdded(const QDBusMessage &signal);
    void closed();
    void layoutChanged();
    void restart();

private:
    MutterSession() = default;
    bool start(QString *problem);
    static bool readMonitors(QList<std::shared_ptr<PipeWireStream>> *out, QString *problem);
    void fail(const QString &why);

    QString m_rdPath; // the remote-desktop session object
    QString m_scPath; // the screen-cast session object
    QList<std::shared_ptr<PipeWireStream>> m_streams;
    QString m_problem;
    QTimer m_streamWait;
    int m_errorsLogged = 0;
    QList<qint64> m_restarts; // when Mutter ended the session lately
};

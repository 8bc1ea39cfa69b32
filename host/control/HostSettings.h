#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class HostState;

// The agent's choices that outlive the process: who approves viewers, what audio is sent
// and whether the desktop may be shared unattended. Kept in DIR/host-settings.json (mode 0600, written atomically),
// read once at start and written whenever one of them changes. Main thread only.
class HostSettings : public QObject {
    Q_OBJECT
public:
    HostSettings(HostState *state, const QString &dataDir, QObject *parent = nullptr);

    // Applies the stored values to the state (a missing or unreadable file changes nothing)
    // and starts following the state's changes.
    void load();
    QString path() const;

private:
    void save();

    QPointer<HostState> m_state;
    QString m_dataDir;
    QByteArray m_written;
};

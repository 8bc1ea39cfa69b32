#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>

#include "viewer/SessionWindowView.h"

class AppConfig;
class SessionStore;

// The "session" window group: at most one window per session id.
class SessionWindows : public QObject {
    Q_OBJECT
public:
    // A remote 1920 × 1080 desktop fits almost at full size; smaller screens get 92 % of
    // their free area.
    static constexpr int defaultWidth = 1600;
    static constexpr int defaultHeight = 1000;

    // Windows show the sessions of `store` with the settings of `config` (neither owned).
    SessionWindows(SessionStore *store, AppConfig *config, QObject *parent = nullptr);
    // Closes the windows still open (and with them their sessions).
    ~SessionWindows() override;

    // Shows the window for sid, or brings the open one forward.
    SessionWindowView *open(const QString &sid);
    SessionWindowView *window(const QString &sid) const { return m_windows.value(sid); }
    int count() const;
    void setSkipTaskbar(bool skip);

private:
    QPointer<SessionStore> m_store;
    QPointer<AppConfig> m_config;
    QMap<QString, QPointer<SessionWindowView>> m_windows;
    bool m_skipTaskbar = false;
};

#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>

#include "viewer/SessionWindowView.h"

// The "session" window group: at most one window per session id.
class SessionWindows : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultWidth = 1280;
    static constexpr int defaultHeight = 820;

    explicit SessionWindows(QObject *parent = nullptr);
    static SessionWindows *shared();

    // Shows the window for sid, or brings the open one forward.
    SessionWindowView *open(const QString &sid);
    SessionWindowView *window(const QString &sid) const { return m_windows.value(sid); }
    int count() const;
    void setSkipTaskbar(bool skip);

private:
    QMap<QString, QPointer<SessionWindowView>> m_windows;
    bool m_skipTaskbar = false;
};

#pragma once

#include "protocol/agent/ControlAsk.h"

#include <QHash>
#include <QMap>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

class AgentController;
class AskWindow;

// One always-on-top prompt per pending connection request, kept equal to the
// agent's list of requests.
class AskWindows : public QObject {
    Q_OBJECT
public:
    // A flood of requests opens this many prompts; the rest follow as these are answered.
    static constexpr int maxOpen = 12;
    static constexpr int stackStep = 24;

    explicit AskWindows(QObject *parent = nullptr);
    ~AskWindows() override;

    bool isRunning() const { return m_running; }
    // Follows the agent's status; does nothing when already following.
    void start(AgentController *agent);
    // Closes every prompt without answering.
    void closeAll();
    // Closes the prompt of sid without answering.
    void answered(const QString &sid);

    int count() const { return int(m_windows.size()); }
    AskWindow *window(const QString &sid) const;
    QStringList openSids() const { return m_windows.keys(); }

private:
    void onStatus();
    void sync(const QList<ControlAsk> &asks);
    AskWindow *makeWindow(const ControlAsk &ask, int index);
    void closeQuietly(AskWindow *w);
    void windowWillClose(AskWindow *w);

    QPointer<AgentController> m_agent;
    QMetaObject::Connection m_subscription;
    QMap<QString, QPointer<AskWindow>> m_windows;
    QHash<AskWindow *, QString> m_sids;
    QSet<AskWindow *> m_quiet;
    std::optional<QStringList> m_lastSids;
    bool m_running = false;
};

#pragma once

#include <QPointer>
#include <QWidget>

class AppConfig;
class SessionStore;
class SessionView;

// The window of one viewer session: the session's view when the store has it,
// else a "not found" panel. The session is closed whenever the window goes away.
class SessionWindowView : public QWidget {
    Q_OBJECT
public:
    SessionWindowView(const QString &sid, SessionStore *store, AppConfig *config, QWidget *parent = nullptr);
    ~SessionWindowView() override;

    QString sid() const { return m_sid; }
    // The session's view; null when the session was not in the store.
    SessionView *sessionView() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void closeSession();

    QString m_sid;
    QPointer<SessionStore> m_store;
    QPointer<SessionView> m_view;
};

#pragma once

#include "protocol/agent/ControlAsk.h"

#include <QWidget>

class QPushButton;

// One prompt: a viewer asks to connect; allow or refuse.
class AskWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 400;

    explicit AskWindow(const ControlAsk &ask, QWidget *parent = nullptr);

    const ControlAsk &ask() const { return m_ask; }
    QPushButton *allowButton() const { return m_allow; }
    QPushButton *refuseButton() const { return m_refuse; }

    // "名乗りのない相手" for an empty name, then the fixed sentence.
    static QString requestText(const QString &name);
    // "あと N 秒で断ります" until `expires` (seconds since 1970); "" when not said.
    static QString countdownText(qint64 expires, qint64 now);

Q_SIGNALS:
    // The user pressed a button (ok true for 許可する).
    void answeredByUser(const QString &sid, bool ok);
    // The window is closing, by any means.
    void closing(AskWindow *window);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void tick();

    ControlAsk m_ask;
    class QLabel *m_countdown = nullptr;
    class QTimer *m_tick = nullptr;
    QPushButton *m_allow = nullptr;
    QPushButton *m_refuse = nullptr;
};

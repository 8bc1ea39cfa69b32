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

Q_SIGNALS:
    // The user pressed a button (ok true for 許可する).
    void answeredByUser(const QString &sid, bool ok);
    // The window is closing, by any means.
    void closing(AskWindow *window);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    ControlAsk m_ask;
    QPushButton *m_allow = nullptr;
    QPushButton *m_refuse = nullptr;
};

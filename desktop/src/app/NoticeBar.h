#pragma once

#include <QObject>

class NoticeBar : public QObject {
    Q_OBJECT
public:
    explicit NoticeBar(QObject *parent = nullptr);
    static NoticeBar *shared();

    bool isRunning() const { return m_running; }
    void start();
    // Removes the bar and drops every subscription.
    void stop();

private:
    bool m_running = false;
};

#pragma once

#include <QObject>

class ProfileWindows : public QObject {
    Q_OBJECT
public:
    explicit ProfileWindows(QObject *parent = nullptr);
    static ProfileWindows *shared();

    bool isRunning() const { return m_running; }
    void start();
    void closeAll();

private:
    bool m_running = false;
};

#pragma once

#include <QObject>

class AskWindows : public QObject {
    Q_OBJECT
public:
    explicit AskWindows(QObject *parent = nullptr);
    static AskWindows *shared();

    bool isRunning() const { return m_running; }
    void start();
    void closeAll();

private:
    bool m_running = false;
};

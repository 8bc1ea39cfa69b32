#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM and SIGINT into a Qt signal on the main thread (self-pipe).
class HostSignals : public QObject {
    Q_OBJECT
public:
    explicit HostSignals(QObject *parent = nullptr);
    ~HostSignals() override;

    // Tests ask the agent to ignore SIGTERM (to check escalation to SIGKILL).
    static void setIgnoreTerm(bool ignore);

Q_SIGNALS:
    void terminateRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <initializer_list>
#include <memory>

// Turns Unix signals into a Qt signal on the thread that made the object (the main
// thread): the handler itself only writes the signal's number to a pipe (the self-pipe
// trick), which the event loop reads. One per process; the handlers go back to the
// default when it is destroyed.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~SignalPipe() override;

    // Ignores `signalNumber` for a while, or hands it to the pipe again (the agent's tests
    // make it ignore SIGTERM to check the escalation to SIGKILL).
    static void setIgnored(int signalNumber, bool ignored);

Q_SIGNALS:
    void received(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<int> m_signals;
};

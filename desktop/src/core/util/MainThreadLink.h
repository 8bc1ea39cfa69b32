#pragma once

#include <QObject>

#include <functional>
#include <mutex>

// A detachable line from streaming threads to one main-thread object. Work
// posted after detach() (or after the target is gone) is dropped, so callbacks
// of a pipeline that outlives its owner never reach a dead object.
class MainThreadLink {
public:
    explicit MainThreadLink(QObject *target) : m_target(target) {}

    // Any thread: runs fn on the target's thread, in posting order.
    void post(std::function<void()> fn);
    // Target's thread, before the target dies.
    void detach();

private:
    std::mutex m_lock; // guards m_target against a concurrent detach()
    QObject *m_target;
};

#include "util/MainThreadLink.h"

void MainThreadLink::post(std::function<void()> fn) {
    std::lock_guard guard(m_lock);
    if (!m_target)
        return;
    // Qt drops the call when the target is destroyed before it runs.
    QMetaObject::invokeMethod(m_target, std::move(fn), Qt::QueuedConnection);
}

void MainThreadLink::detach() {
    std::lock_guard guard(m_lock);
    m_target = nullptr;
}

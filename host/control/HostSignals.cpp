#include "control/HostSignals.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};

void onSignal(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    // Async-signal-safe; a full pipe just loses a duplicate.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &b, 1);
}

void install(int sig) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
}
} // namespace

HostSignals::HostSignals(QObject *parent) : QObject(parent) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char b = 0;
        while (::read(g_pipe[0], &b, 1) == 1)
            Q_EMIT terminateRequested(b);
    });
    install(SIGTERM);
    install(SIGINT);
    ::signal(SIGPIPE, SIG_IGN);
}

HostSignals::~HostSignals() {
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

void HostSignals::setIgnoreTerm(bool ignore) {
    if (ignore)
        ::signal(SIGTERM, SIG_IGN);
    else
        install(SIGTERM);
}

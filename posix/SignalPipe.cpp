#include "posix/SignalPipe.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};

// Any thread, inside the signal handler: async-signal-safe work only. A full pipe just
// loses a duplicate.
void onSignal(int signalNumber) {
    const unsigned char b = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &b, 1);
}

void install(int signalNumber) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &sa, nullptr);
}
} // namespace

SignalPipe::SignalPipe(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent), m_signals(signalNumbers) {
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char b = 0;
        while (::read(g_pipe[0], &b, 1) == 1)
            Q_EMIT received(b);
    });
    for (int s : std::as_const(m_signals))
        install(s);
}

SignalPipe::~SignalPipe() {
    for (int s : std::as_const(m_signals))
        ::signal(s, SIG_DFL);
}

void SignalPipe::setIgnored(int signalNumber, bool ignored) {
    if (ignored)
        ::signal(signalNumber, SIG_IGN);
    else
        install(signalNumber);
}

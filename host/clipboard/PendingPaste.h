#pragma once

#include <QObject>

#include <unistd.h>

#include <utility>

// A paste of a viewer's copied files that waits for them: owns the pasting program's
// pipe until it is handed on (take()) or the clipboard goes, closing it then, so the
// program waiting on it is never left hanging. `answered` marks the first of the events
// that may end the wait. Main thread.
class PendingPaste : public QObject {
public:
    PendingPaste(int fd, QObject *parent) : QObject(parent), m_fd(fd) {}
    ~PendingPaste() override {
        if (m_fd >= 0)
            close(m_fd);
    }
    int take() { return std::exchange(m_fd, -1); }
    bool answered = false;

private:
    int m_fd;
};

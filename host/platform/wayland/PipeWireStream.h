#pragma once

#include <QRect>
#include <QString>

#include <atomic>

#include <unistd.h>

// One monitor of a Wayland desktop and the PipeWire stream that shows it, as a compositor's
// screen cast hands it out (Mutter's own, or the desktop portal's). The node, the remote and
// the end are written on the main thread and read by the capture thread.
struct PipeWireStream {
    int id = 0;        // the `monitors` id (1 …), kept while the session lives
    QString connector; // the monitor's name ("Meta-0", "DP-1", …)
    QRect rect;        // its place in the layout, with the stream's size
    bool primary = false;
    QString path;                   // Mutter's stream object (empty elsewhere)
    std::atomic<int> remote{-1};    // the PipeWire connection to read from (owned); -1: the user's daemon
    std::atomic<quint32> node{0};   // its PipeWire node, once announced
    std::atomic<bool> ended{false}; // the session ended: no picture will come any more

    PipeWireStream() = default;
    PipeWireStream(const PipeWireStream &) = delete;
    PipeWireStream &operator=(const PipeWireStream &) = delete;
    ~PipeWireStream() {
        if (remote >= 0)
            ::close(remote);
    }
};

#pragma once

#include <QSize>
#include <QtGlobal>

#include <functional>

class RemoteSession;

// Reads the frame number (FrameCode) of every picture the app's viewer shows, on the
// main thread as the session window would paint it, and hands it on with the time it was
// seen (steady clock, µs). `screen` is the size of the host's screen the strip is on.
class ShownCodes {
public:
    static void follow(RemoteSession &s, QSize screen, std::function<void(quint16 n, qint64 atUs)> seen);
    static qint64 nowUs();
};

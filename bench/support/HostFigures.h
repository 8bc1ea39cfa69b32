#pragma once

#include <QSize>
#include <QtGlobal>

#include <memory>

class DevicePeers;
class RemoteSession;
class ViewerObjects;
class QString;

// What the agent spends on the picture one viewer watches: the frame rate the viewer is
// told of, the agent's CPU time per frame and its share of one core.
struct HostFigures {
    double fps = 0;
    double cpuPerFrameMs = 0;
    double cpuPercent = 0;
    QSize size; // the picture's size at the end

    // `frames` in `seconds` that cost `cpuSeconds` of CPU time.
    static HostFigures fromCounts(int frames, double cpuSeconds, double seconds);
};

// A viewer of the app connected to the agent of `peers` with its automatic passcode, asking
// for `videoPref` at 30 fps, full size, quality 70, 8000 kbps; null when it did not connect
// within 20 s. The first pictures have passed when it returns.
std::unique_ptr<RemoteSession> connectBenchViewer(ViewerObjects &objects, DevicePeers &peers, const QString &videoPref);

// CPU seconds (user + system) a process has used so far; 0 when it cannot be read.
double processCpuSeconds(qint64 pid);

// The agent's (`pid`) figures while `s` watches for `seconds`; frames from its "stats".
HostFigures measureHost(RemoteSession &s, qint64 pid, int seconds);

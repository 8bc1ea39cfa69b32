#pragma once

#include <QSize>
#include <QtGlobal>

class RemoteSession;

// What the agent spends on the picture one viewer watches: the frame rate the viewer is
// told of, the agent's CPU time per frame and its share of one core.
struct HostFigures {
    double fps = 0;
    double cpuPerFrameMs = 0;
    double cpuPercent = 0;
    QSize size; // the picture's size at the end
};

// CPU seconds (user + system) a process has used so far; 0 when it cannot be read.
double processCpuSeconds(qint64 pid);

// The agent's (`pid`) figures while `s` watches for `seconds`; frames from its "stats".
HostFigures measureHost(RemoteSession &s, qint64 pid, int seconds);

#include "support/HostFigures.h"

#include "session/RemoteSession.h"
#include "support/ViewerObjects.h"

#include <QFile>
#include <QTest>

#include <unistd.h>

double processCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

HostFigures measureHost(RemoteSession &s, qint64 pid, int seconds) {
    int frames = 0;
    const auto conn =
        QObject::connect(&s, &RemoteSession::statsChanged, &s, [&] { frames += s.stats().value("fps").toInt(); });
    QTest::qWait(1100); // align with the next statistics
    frames = 0;
    const double c0 = processCpuSeconds(pid);
    QTest::qWait(seconds * 1000);
    const double cpu = processCpuSeconds(pid) - c0;
    QObject::disconnect(conn);
    HostFigures f = HostFigures::fromCounts(frames, cpu, seconds);
    f.size = s.frameSize().toSize();
    return f;
}

HostFigures HostFigures::fromCounts(int frames, double cpuSeconds, double seconds) {
    HostFigures f;
    f.fps = seconds > 0 ? frames / seconds : 0;
    f.cpuPerFrameMs = frames > 0 ? cpuSeconds * 1000 / frames : 0;
    f.cpuPercent = seconds > 0 ? cpuSeconds * 100 / seconds : 0;
    return f;
}

std::unique_ptr<RemoteSession> connectBenchViewer(ViewerObjects &objects, DevicePeers &peers,
                                                  const QString &videoPref) {
    auto s = objects.connected(peers, videoPref, {30, 1.0, 70, 8000}, 20000);
    if (s)
        QTest::qWait(2000); // the quality applies, the first key frame passes
    return s;
}

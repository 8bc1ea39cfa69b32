#include "rendezvous/LocalServer.h"

#include "config/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcLocalServer, "velmo.localserver", QtInfoMsg)

namespace {

constexpr qsizetype maxOutputLine = 16 * 1024;

bool isRunning(const QProcess *p) {
    return p && p->state() != QProcess::NotRunning;
}

bool executable(const QString &path) {
    const QFileInfo fi(path);
    return !path.isEmpty() && fi.isFile() && fi.isExecutable();
}

} // namespace

LocalServer::LocalServer(const QString &dataDir, QObject *parent) : QObject(parent), m_dataDir(dataDir) {}

LocalServer::~LocalServer() {
    if (m_process) {
        // Never block in a destructor: a server still running ends with this process
        // (parent-death signal) or is ended by terminateSync() first.
        m_process->disconnect(this);
        if (isRunning(m_process.get())) {
            QProcess *p = m_process.release();
            p->setParent(nullptr);
            connect(p, &QProcess::finished, p, &QObject::deleteLater);
        }
    }
}

bool LocalServer::isDefaultLocal(const QString &server) {
    QString s = server.trimmed();
    while (s.endsWith(u'/'))
        s.chop(1);
    const QUrl url(s, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"http" || !url.path().isEmpty() || url.port() != defaultPort)
        return false;
    const QString host = url.host().toLower();
    return host == u"127.0.0.1" || host == u"localhost";
}

std::optional<QString> LocalServer::findExecutable() {
    const QString env = qEnvironmentVariable("VELMO_RENDEZVOUS");
    if (executable(env))
        return QFileInfo(env).absoluteFilePath();
    const QString name = QLatin1String(executableName);
    const QDir exe(Paths::executableDir());
    const QString beside = exe.absoluteFilePath(name);
    if (executable(beside))
        return beside;
    // Build tree: build/desktop/src/app/velmo-remote and build/server/velmo-rendezvous.
    const QString buildTree = QDir::cleanPath(exe.absoluteFilePath(QStringLiteral("../../../server/") + name));
    if (executable(buildTree))
        return buildTree;
    return std::nullopt;
}

QString LocalServer::summary() const {
    switch (m_origin) {
    case Origin::Unknown:
    case Origin::Remote:
        return QString();
    case Origin::AlreadyRunning:
        return QStringLiteral("この端末で動いているサーバーを使っています(このアプリは起動していません)");
    case Origin::Starting:
        return QStringLiteral("この端末のサーバーを起動しています…");
    case Origin::StartedByApp:
        return QStringLiteral("このアプリが起動したサーバーを使っています(アプリの終了とともに止まります)");
    case Origin::NotFound:
        return QStringLiteral(
            "同梱のサーバー(velmo-rendezvous)が見つからないため、このアプリはサーバーを起動できません");
    case Origin::Failed:
        return QStringLiteral("この端末のサーバーを起動できませんでした(ログを確認してください)");
    }
    return QString();
}

void LocalServer::setOrigin(Origin o) {
    if (m_origin == o)
        return;
    m_origin = o;
    Q_EMIT originChanged();
}

void LocalServer::ensure(const QString &server, QObject *context, std::function<void()> ready) {
    m_waiters.append(Waiter{context, context != nullptr, std::move(ready)});
    if (m_probe || m_origin == Origin::Starting)
        return; // the running check answers every waiter
    if (!isDefaultLocal(server)) {
        m_server = server;
        // Ours (if any) stays up: it ends with the application.
        if (!isRunning(m_process.get()))
            setOrigin(Origin::Remote);
        finishWaiters();
        return;
    }
    if (isRunning(m_process.get())) {
        setOrigin(Origin::StartedByApp);
        finishWaiters();
        return;
    }
    m_server = server;
    m_executable = findExecutable();
    if (!m_executable) {
        // Nothing could be started whatever answers there: go on at once.
        setOrigin(Origin::NotFound);
        Q_EMIT logLine(QStringLiteral("rendezvous: 同梱の velmo-rendezvous が見つかりません"));
        finishWaiters();
        return;
    }
    // Anything accepting on the address is a server already running (perhaps another user's,
    // or the system service): use it and leave it alone.
    auto *probe = new QTcpSocket(this);
    m_probe = probe;
    // Exactly one of: accepted, refused (or other error), no answer in time.
    auto settle = [this, probe](bool answered) {
        probe->disconnect(this);
        probe->abort();
        probe->deleteLater();
        m_probe = nullptr;
        probed(answered);
    };
    connect(probe, &QTcpSocket::connected, this, [settle] { settle(true); });
    connect(probe, &QTcpSocket::errorOccurred, this, [settle](QAbstractSocket::SocketError) { settle(false); });
    QTimer::singleShot(m_timings.probeMs, this, [this, probe, settle] {
        if (m_probe == probe)
            settle(false);
    });
    probe->connectToHost(QStringLiteral("127.0.0.1"), defaultPort);
}

void LocalServer::probed(bool answered) {
    if (answered) {
        setOrigin(Origin::AlreadyRunning);
        Q_EMIT logLine(QStringLiteral("rendezvous: ") + QLatin1String(defaultUrl) +
                       QStringLiteral(" で動いているサーバーを使います"));
        finishWaiters();
        return;
    }
    spawn();
}

void LocalServer::spawn() {
    const QString exe = *m_executable;
    const QString dir = serverDataDir();
    QDir().mkpath(dir);
    auto process = std::make_unique<QProcess>();
    process->setProgram(exe);
    process->setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(defaultPort),
                           QStringLiteral("--db"), dir + QStringLiteral("/registry.sqlite3")});
    process->setWorkingDirectory(dir);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // Like the agent: a server this application started lives only as long as it.
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::raise(SIGTERM);
    });
    connect(process.get(), &QProcess::readyReadStandardOutput, this, &LocalServer::onOutput);
    connect(process.get(), &QProcess::finished, this, &LocalServer::onFinished);
    Q_EMIT logLine(QStringLiteral("rendezvous 起動: ") + exe + u' ' + process->arguments().join(u' '));
    m_pending.clear();
    process->start();
    if (!process->waitForStarted(10'000)) {
        const QString text = process->errorString();
        process->disconnect(this);
        setOrigin(Origin::Failed);
        Q_EMIT logLine(QStringLiteral("rendezvous 起動失敗: ") + text);
        finishWaiters();
        return;
    }
    m_process = std::move(process);
    setOrigin(Origin::Starting);
    const quint64 generation = ++m_generation;
    QTimer::singleShot(m_timings.listenWaitMs, this, [this, generation] {
        if (generation == m_generation && m_origin == Origin::Starting)
            listenTimeout();
    });
}

void LocalServer::onOutput() {
    if (!m_process)
        return;
    m_pending += m_process->readAllStandardOutput();
    qsizetype start = 0;
    for (;;) {
        const qsizetype nl = m_pending.indexOf('\n', start);
        if (nl < 0)
            break;
        const QString line = QString::fromUtf8(m_pending.mid(start, nl - start)).trimmed();
        start = nl + 1;
        if (line.isEmpty())
            continue;
        Q_EMIT logLine(QStringLiteral("rendezvous: ") + line);
        if (m_origin == Origin::Starting && line.startsWith(QStringLiteral("velmo-rendezvous listening on "))) {
            m_serving.start();
            setOrigin(Origin::StartedByApp);
            finishWaiters();
        }
    }
    m_pending.remove(0, start);
    if (m_pending.size() > maxOutputLine) {
        Q_EMIT logLine(QStringLiteral("rendezvous: ") + QString::fromUtf8(m_pending.left(maxOutputLine)) +
                       QStringLiteral("…"));
        m_pending.clear();
    }
}

void LocalServer::onFinished(int exitCode, QProcess::ExitStatus status) {
    onOutput();
    Q_EMIT logLine(QStringLiteral("rendezvous 終了: ") + (status == QProcess::NormalExit
                                                              ? QStringLiteral("status=") + QString::number(exitCode)
                                                              : QStringLiteral("異常終了")));
    const bool wasServing = m_origin == Origin::StartedByApp;
    if (m_process) {
        m_process->disconnect(this);
        m_process.release()->deleteLater();
    }
    setOrigin(Origin::Failed);
    finishWaiters();
    if (!wasServing)
        return;
    // Ours ended by itself while serving (a crash, a kill): start it again like the agent,
    // waiting longer after each quick end, and leave it down after a few in a row so that a
    // broken install does not spin. A run of a minute or more starts the count afresh.
    if (m_serving.isValid() && m_serving.elapsed() >= 60'000)
        m_restarts = 0;
    if (m_restarts >= maxRestarts) {
        Q_EMIT logLine(QStringLiteral("rendezvous: 何度も終了したため、起動し直すのをやめました"));
        return;
    }
    ++m_restarts;
    const quint64 generation = ++m_generation;
    QTimer::singleShot(m_timings.restartMs * m_restarts, this, [this, generation] {
        if (generation != m_generation || isRunning(m_process.get()) || m_origin != Origin::Failed)
            return;
        Q_EMIT logLine(QStringLiteral("rendezvous: サーバーを起動し直します"));
        ensure(m_server, nullptr, [] {});
    });
}

void LocalServer::listenTimeout() {
    Q_EMIT logLine(QStringLiteral("rendezvous: 待ち受けの知らせが来ないまま時間切れです"));
    terminateSync();
    setOrigin(Origin::Failed);
    finishWaiters();
}

void LocalServer::finishWaiters() {
    const QList<Waiter> waiters = std::exchange(m_waiters, {});
    for (const Waiter &w : waiters) {
        if (!w.hadContext || w.context)
            w.ready();
    }
}

void LocalServer::terminateSync() {
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (isRunning(m_process.get())) {
        m_process->terminate();
        if (!m_process->waitForFinished(m_timings.terminateWaitMs)) {
            m_process->kill();
            m_process->waitForFinished(1000);
        }
    }
    m_process.reset();
    ++m_generation;
    if (m_origin == Origin::StartedByApp || m_origin == Origin::Starting)
        setOrigin(Origin::Unknown);
}

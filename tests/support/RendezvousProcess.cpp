#include "support/RendezvousProcess.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtDebug>

RendezvousProcess::RendezvousProcess() = default;

RendezvousProcess::~RendezvousProcess() {
    stop();
}

QString RendezvousProcess::dbPath() const {
    return m_dir.path() + QStringLiteral("/registry.sqlite3");
}

QString RendezvousProcess::createPostgresDatabase() {
    const QString url = qEnvironmentVariable("VELMO_TEST_PG_URL");
    if (url.isEmpty())
        return {};
    const QString name = QStringLiteral("r%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    QProcess createdb;
    createdb.setProcessChannelMode(QProcess::ForwardedChannels);
    createdb.start(qEnvironmentVariable("VELMO_TEST_PG_BIN") + QStringLiteral("/createdb"),
                   {QStringLiteral("-h"), qEnvironmentVariable("VELMO_TEST_PG_HOST"), QStringLiteral("-U"),
                    QStringLiteral("velmo"), name});
    if (!createdb.waitForFinished(30000) || createdb.exitCode() != 0) {
        qWarning() << "createdb failed";
        return {};
    }
    QString out = url;
    return out.replace(QStringLiteral(":///velmo?"), QStringLiteral(":///%1?").arg(name));
}

QString RendezvousProcess::database() {
    if (m_database.isEmpty())
        m_database = qEnvironmentVariableIsSet("VELMO_TEST_PG_URL") ? createPostgresDatabase() : dbPath();
    return m_database;
}

QString RendezvousProcess::url() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QString RendezvousProcess::wsUrl(const QString &path) const {
    return QStringLiteral("ws://127.0.0.1:%1").arg(m_port) + path;
}

bool RendezvousProcess::start(const QStringList &extraArgs) {
    m_args = extraArgs;
    return restart();
}

bool RendezvousProcess::restart() {
    stop();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList bus;
    if (qEnvironmentVariableIsSet("VELMO_TEST_REDIS_URL") && !m_args.contains(QStringLiteral("--bus")))
        bus = QStringList{QStringLiteral("--bus"), qEnvironmentVariable("VELMO_TEST_REDIS_URL")};
    m_process.start(
        QStringLiteral(VELMO_SERVER_BIN),
        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--db"), database()} +
            bus + m_args);
    if (!m_process.waitForStarted(5000))
        return false;
    static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray out;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine();
            out += line;
            const auto m = re.match(QString::fromUtf8(line));
            if (m.hasMatch()) {
                m_port = quint16(m.captured(1).toUInt());
                return true;
            }
        }
    }
    qWarning() << "velmo-rendezvous did not start:" << out << m_process.readAllStandardError();
    return false;
}

void RendezvousProcess::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

void RendezvousProcess::kill() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(2000);
}

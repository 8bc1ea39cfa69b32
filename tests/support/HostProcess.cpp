#include "support/HostProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

int testHttp(const QByteArray &method, quint16 port, const QString &path, const QByteArray &token,
             const QByteArray &body, QByteArray *answer) {
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(port).arg(path)));
    req.setRawHeader("Authorization", "Bearer " + token);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    req.setTransferTimeout(10'000);
    QNetworkReply *reply = nam.sendCustomRequest(req, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answer)
        *answer = reply->readAll();
    reply->deleteLater();
    return status;
}

QJsonObject HostProcess::readControlJson(const QString &dataDir) {
    QFile f(dataDir + QStringLiteral("/control.json"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

HostProcess::HostProcess(const QString &dataDir, const QString &program, const QStringList &extraArgs)
    : m_dataDir(dataDir), m_process(std::make_unique<QProcess>()) {
    QFile::remove(dataDir + QStringLiteral("/control.json"));
    m_process->setProgram(program.isEmpty() ? QStringLiteral(VELMO_HOST_BIN) : program);
    m_process->setArguments(QStringList{QStringLiteral("--data"), dataDir, QStringLiteral("--test-hooks")} + extraArgs);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->start();
    if (!m_process->waitForStarted(5000))
        return;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10'000 && m_process->state() == QProcess::Running) {
        const QJsonObject o = readControlJson(dataDir);
        if (o.value("pid").toInteger() == m_process->processId() && o.value("port").toInt() > 0) {
            m_port = quint16(o.value("port").toInt());
            m_token = o.value("token").toString();
            return;
        }
        QThread::msleep(20);
    }
}

HostProcess::~HostProcess() {
    stop();
}

qint64 HostProcess::pid() const {
    return m_process ? m_process->processId() : 0;
}

bool HostProcess::running() const {
    return m_process && m_process->state() == QProcess::Running;
}

bool HostProcess::reload() {
    const QJsonObject o = readControlJson(m_dataDir);
    if (o.value("port").toInt() <= 0)
        return false;
    m_port = quint16(o.value("port").toInt());
    m_token = o.value("token").toString();
    return true;
}

int HostProcess::post(const QString &path, const QJsonObject &body, QByteArray *answer) const {
    return testHttp("POST", m_port, path, m_token.toUtf8(), QJsonDocument(body).toJson(QJsonDocument::Compact), answer);
}

int HostProcess::get(const QString &path, QByteArray *answer) const {
    return testHttp("GET", m_port, path, m_token.toUtf8(), {}, answer);
}

QStringList HostProcess::requestPaths() const {
    QByteArray body;
    get(QStringLiteral("test/requests"), &body);
    QStringList out;
    for (const QJsonValue &v : QJsonDocument::fromJson(body).object().value("requests").toArray())
        out << v.toObject().value("path").toString();
    return out;
}

void HostProcess::stop() {
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(3000)) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
}

#include "support/DevicePeers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <csignal>

DevicePeers::DevicePeers() = default;

DevicePeers::~DevicePeers() {
    for (QProcess *p : {&m_host, &m_server}) {
        if (p->state() == QProcess::NotRunning)
            continue;
        p->terminate();
        // Generous: a loaded machine (or a sanitizer build) tears sessions down slowly.
        const bool ended = p->waitForFinished(15000);
        if (!ended) {
            p->kill();
            p->waitForFinished(3000);
        }
        // Shutting down is part of the job: a crash or a hang on the way out is a fault.
        if (!ended || p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0) {
            const QByteArray what = p->program().toLocal8Bit() + " did not end cleanly: " +
                                    (ended ? QByteArray::number(p->exitCode()) : QByteArray("hung"));
            QTest::qFail(what.constData(), __FILE__, __LINE__);
        }
    }
}

bool DevicePeers::startServer(const QStringList &extraArgs) {
    m_server.setProcessChannelMode(QProcess::SeparateChannels);
    const QStringList args = QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                         QStringLiteral("--db"), m_dir.path() + QStringLiteral("/registry.sqlite3")} +
                             extraArgs;
    m_serverArgs = args;
    m_server.start(QStringLiteral(VELMO_SERVER_BIN), args);
    const QString port = serverListening();
    if (port.isEmpty())
        return false;
    m_serverUrl = QStringLiteral("http://127.0.0.1:") + port;
    return true;
}

QString DevicePeers::serverListening() {
    static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QElapsedTimer t;
    t.start();
    QByteArray out;
    while (t.elapsed() < 10000) {
        m_server.waitForReadyRead(200);
        out += m_server.readAllStandardOutput();
        const auto m = re.match(QString::fromUtf8(out));
        if (m.hasMatch())
            return m.captured(1);
        if (m_server.state() == QProcess::NotRunning)
            break;
    }
    qWarning() << "rendezvous did not start:" << out << m_server.readAllStandardError();
    return {};
}

bool DevicePeers::startHost(const QString &hooks) {
    QDir().mkpath(dataDir());
    // A killed host leaves its control.json behind; wait for the new one.
    QFile::remove(dataDir() + QStringLiteral("/control.json"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELMO_DEVICE_HOOKS"), hooks);
    env.insert(m_hostEnv);
    m_host.setProcessEnvironment(env);
    m_host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_host.start(QStringLiteral(VELMO_HOST_BIN),
                 QStringList{QStringLiteral("--data"), dataDir(), QStringLiteral("--server"), m_serverUrl,
                             QStringLiteral("--test-hooks"), QStringLiteral("--source"), m_hostSource} +
                     m_hostArgs);
    if (!m_host.waitForStarted(5000))
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        QFile f(dataDir() + QStringLiteral("/control.json"));
        if (f.open(QIODevice::ReadOnly)) {
            const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
            if (o.value("port").toInt() > 0) {
                m_controlPort = quint16(o.value("port").toInt());
                m_token = o.value("token").toString();
                return true;
            }
        }
        QTest::qWait(50);
    }
    return false;
}

bool DevicePeers::waitForDevice(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    static const QRegularExpression nine(QStringLiteral("^\\d{9}$"));
    while (t.elapsed() < timeoutMs) {
        const QJsonObject s = status();
        const QString id = s.value("id").toString();
        if (nine.match(id).hasMatch() && s.value("connected").toBool()) {
            m_deviceId = id;
            m_autoPasscode = s.value("autoPasscode").toString();
            return true;
        }
        QTest::qWait(100);
    }
    return false;
}

void DevicePeers::killHost() {
    if (m_host.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_host.processId()), SIGKILL);
        m_host.waitForFinished(3000);
    }
}

void DevicePeers::killServer() {
    if (m_server.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_server.processId()), SIGKILL);
        m_server.waitForFinished(3000);
    }
}

bool DevicePeers::restartServer() {
    killServer();
    QStringList args = m_serverArgs;
    const qsizetype listen = args.indexOf(QStringLiteral("--listen"));
    if (listen < 0 || listen + 1 >= args.size())
        return false;
    args[listen + 1] = m_serverUrl.mid(int(qstrlen("http://")));
    m_server.start(QStringLiteral(VELMO_SERVER_BIN), args);
    return !serverListening().isEmpty();
}

QByteArray DevicePeers::request(const QByteArray &verb, const QString &path, const QByteArray &body, int *status) {
    QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(m_controlPort).arg(path)));
    req.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    return fetch(req, verb, body, status);
}

QJsonObject DevicePeers::rest(const QString &path) {
    return QJsonDocument::fromJson(restBytes(path)).object();
}

QByteArray DevicePeers::restBytes(const QString &path) {
    int code = 0;
    const QByteArray body = fetch(QNetworkRequest(QUrl(m_serverUrl + QLatin1Char('/') + path)), "GET", {}, &code);
    return code == 200 ? body : QByteArray();
}

QByteArray DevicePeers::fetch(QNetworkRequest req, const QByteArray &verb, const QByteArray &body, int *status) {
    QNetworkAccessManager nam;
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    req.setTransferTimeout(5000);
    QNetworkReply *reply = nam.sendCustomRequest(req, verb, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray out = reply->readAll();
    reply->deleteLater();
    return out;
}

bool DevicePeers::sessionListed(const QString &sid, bool authed) {
    for (const QJsonValue &s : status().value("sessions").toArray())
        if (s.toObject().value("sid").toString() == sid)
            return s.toObject().value("authed").toBool() == authed;
    return false;
}

bool DevicePeers::sessionGone(const QString &sid) {
    for (const QJsonValue &s : status().value("sessions").toArray())
        if (s.toObject().value("sid").toString() == sid)
            return false;
    return true;
}

QString DevicePeers::autoPasscode() {
    const QString now = status().value("autoPasscode").toString();
    if (!now.isEmpty())
        m_autoPasscode = now;
    return m_autoPasscode;
}

QString DevicePeers::useFixedPasscode(const QString &passcode) {
    if (post(QStringLiteral("passcode/fixed"), {{"passcode", passcode}}) != 200 ||
        post(QStringLiteral("passcode/mode"), {{"mode", "fixed"}}) != 200)
        return {};
    return passcode;
}

QJsonObject DevicePeers::status() {
    return QJsonDocument::fromJson(request("GET", QStringLiteral("status"), {}, nullptr)).object();
}

int DevicePeers::post(const QString &path, const QJsonObject &body) {
    int code = 0;
    request("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact), &code);
    return code;
}

QList<QJsonObject> DevicePeers::inputLog() const {
    QFile f(dataDir() + QStringLiteral("/device-input.jsonl"));
    QList<QJsonObject> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    return out;
}

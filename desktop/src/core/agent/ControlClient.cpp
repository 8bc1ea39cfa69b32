#include "agent/ControlClient.h"
#include "util/ErrorText.h"

#include "protocol/Json.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QThread>

Q_LOGGING_CATEGORY(lcControl, "velmo.control")

namespace {

QNetworkRequest makeRequest(const ControlClient &c, const QString &path, int timeoutMs) {
    QNetworkRequest req(c.url(path));
    req.setRawHeader("Authorization", "Bearer " + c.token().toUtf8());
    req.setTransferTimeout(timeoutMs);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return req;
}

// Runs `done` with the reply's outcome once it finishes, unless `context` died.
void whenFinished(QNetworkReply *reply, QObject *context, std::function<void(Result<QByteArray>)> done) {
    QPointer<QObject> ctx(context);
    const bool hadContext = context != nullptr;
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, ctx, hadContext, done = std::move(done)] {
        reply->deleteLater();
        if (hadContext && !ctx)
            return;
        if (done)
            done(ControlClient::resultOf(reply));
    });
    if (context) {
        // A dead context also ends the request: nobody is waiting for it.
        QObject::connect(context, &QObject::destroyed, reply, [reply] { reply->abort(); });
    }
}

} // namespace

QUrl ControlClient::url(const QString &path) const {
    QString p = path;
    while (p.startsWith(u'/'))
        p.remove(0, 1);
    return QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(m_port) + u'/' + p);
}

QNetworkAccessManager *ControlClient::network() {
    static thread_local QPointer<QNetworkAccessManager> nam;
    if (!nam) {
        QObject *parent = QCoreApplication::instance();
        if (parent && parent->thread() != QThread::currentThread())
            parent = nullptr;
        nam = new QNetworkAccessManager(parent);
        // Loopback only: never through a proxy from the environment.
        nam->setProxy(QNetworkProxy::NoProxy);
    }
    return nam;
}

Result<QByteArray> ControlClient::resultOf(QNetworkReply *reply) {
    const QVariant statusAttr = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttr.isValid()) {
        if (reply->error() == QNetworkReply::NoError)
            return Result<QByteArray>::failure(ControlError::http(0, {}));
        return Result<QByteArray>::failure(
            ControlError::transport(ErrorText::network(reply->error(), reply->errorString())));
    }
    const int code = statusAttr.toInt();
    const QByteArray body = reply->readAll();
    if (code >= 200 && code <= 299)
        return Result<QByteArray>::success(body);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        text.clear();
    return Result<QByteArray>::failure(ControlError::http(code, text.trimmed()));
}

void ControlClient::status(QObject *context, std::function<void(Result<ControlStatus>)> done) const {
    QNetworkReply *reply = network()->get(makeRequest(*this, QStringLiteral("status"), requestTimeoutMs));
    whenFinished(reply, context, [done = std::move(done)](Result<QByteArray> r) {
        if (!done)
            return;
        if (!r.ok())
            return done(Result<ControlStatus>::failure(r.error));
        std::optional<ControlStatus> s = ControlStatus::decode(*r.value);
        if (!s)
            return done(Result<ControlStatus>::failure(Error::make(
                Error::Kind::BadAnswer, QStringLiteral("データが正しい形式ではないため、読み込めませんでした。"))));
        done(Result<ControlStatus>::success(std::move(*s)));
    });
}

void ControlClient::post(const QString &path, const QJsonObject &body, QObject *context,
                         std::function<void(Result<QByteArray>)> done) const {
    QNetworkRequest req = makeRequest(*this, path, requestTimeoutMs);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = network()->post(req, Json::compact(body));
    whenFinished(reply, context, std::move(done));
}

void ControlClient::permission(const QString &path, QObject *context, std::function<void(Result<bool>)> done) const {
    post(path, QJsonObject(), context, [done = std::move(done)](Result<QByteArray> r) {
        if (!done)
            return;
        if (!r.ok())
            return done(Result<bool>::failure(r.error));
        const QJsonValue granted = QJsonDocument::fromJson(*r.value).object().value(QStringLiteral("granted"));
        done(Result<bool>::success(granted.isBool() && granted.toBool()));
    });
}

void ControlClient::requestScreenPermission(QObject *context, std::function<void(Result<bool>)> done) const {
    permission(QStringLiteral("/screen-permission"), context, std::move(done));
}

void ControlClient::requestInputPermission(QObject *context, std::function<void(Result<bool>)> done) const {
    permission(QStringLiteral("/input-permission"), context, std::move(done));
}

ControlEventStream *ControlClient::events(QObject *context, ControlEventStream::StatusHandler onStatus,
                                          ControlEventStream::DoneHandler done) const {
    QNetworkRequest req = makeRequest(*this, QStringLiteral("events"), eventsTimeoutMs);
    req.setRawHeader("Accept", "text/event-stream");
    QNetworkReply *reply = network()->get(req);
    return new ControlEventStream(reply, std::move(onStatus), std::move(done), context);
}

ControlEventStream::ControlEventStream(QNetworkReply *reply, StatusHandler onStatus, DoneHandler done, QObject *parent)
    : QObject(parent), m_reply(reply), m_onStatus(std::move(onStatus)), m_done(std::move(done)) {
    if (!reply)
        return; // parser only
    // Keep the reply's own buffer small: bytes are taken as they come.
    reply->setReadBufferSize(256 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, &ControlEventStream::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &ControlEventStream::onFinished);
}

ControlEventStream::~ControlEventStream() {
    m_finished = true;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
    }
}

bool ControlEventStream::checkStatus() {
    if (m_statusChecked)
        return true;
    const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!code.isValid())
        return false;
    m_statusChecked = true;
    if (code.toInt() != 200) {
        finish(ControlError::http(code.toInt(), {}));
        return false;
    }
    return true;
}

void ControlEventStream::onReadyRead() {
    if (m_finished || !m_reply)
        return;
    if (!checkStatus()) {
        if (!m_finished)
            m_reply->readAll();
        return;
    }
    QPointer<ControlEventStream> self(this);
    while (self && !m_finished && m_reply && m_reply->bytesAvailable() > 0)
        feed(m_reply->read(64 * 1024));
}

void ControlEventStream::feed(const QByteArray &bytes) {
    QPointer<ControlEventStream> self(this);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype nl = bytes.indexOf('\n', pos);
        const qsizetype end = nl < 0 ? bytes.size() : nl;
        if (!m_skipping) {
            if (m_line.size() + (end - pos) > maxLineBytes) {
                m_line.clear();
                m_skipping = true;
            } else {
                m_line.append(bytes.constData() + pos, end - pos);
            }
        }
        if (nl < 0)
            break;
        pos = nl + 1;
        if (m_skipping) {
            m_skipping = false;
            continue;
        }
        QByteArray line = std::move(m_line);
        m_line = QByteArray();
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.startsWith("data: "))
            continue;
        std::optional<ControlStatus> s = ControlStatus::decode(line.mid(6));
        if (s && m_onStatus) {
            m_onStatus(*s);
            if (!self || m_finished)
                return;
        }
    }
}

void ControlEventStream::onFinished() {
    if (m_finished || !m_reply)
        return;
    if (!m_statusChecked) {
        const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (code.isValid()) {
            if (!checkStatus())
                return;
        } else {
            finish(m_reply->error() == QNetworkReply::NoError
                       ? ControlError::http(0, {})
                       : ControlError::transport(ErrorText::network(m_reply->error(), m_reply->errorString())));
            return;
        }
    }
    QPointer<ControlEventStream> self(this);
    if (m_reply->bytesAvailable() > 0)
        feed(m_reply->readAll());
    if (!self || m_finished)
        return;
    if (m_reply->error() != QNetworkReply::NoError)
        finish(ControlError::transport(ErrorText::network(m_reply->error(), m_reply->errorString())));
    else
        finish(std::nullopt);
}

void ControlEventStream::finish(std::optional<Error> error) {
    if (m_finished)
        return;
    m_finished = true;
    if (m_reply) {
        // Deleting a running reply aborts it; not aborted in place, as this may
        // run inside one of the reply's own signals.
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_done) {
        DoneHandler done = std::move(m_done);
        done(std::move(error));
    }
}

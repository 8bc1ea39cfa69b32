#include "rendezvous/Api.h"

#include "config/AppConfig.h"
#include "rendezvous/ServerTrust.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>

Q_LOGGING_CATEGORY(lcApi, "velmo.api", QtInfoMsg)

struct Api::Outcome {
    bool isHttp = false; // an HTTP response arrived whole (any status)
    int status = 0;
    QByteArray body;
};

namespace {

using Outcome = Api::Outcome;

// Errors that say the exchange itself failed (connection, time-out, abort, proxy
// connection) rather than the server answering with a status. Qt also reports
// many answered statuses as errors (400 and 418 as protocol errors, 407 as proxy
// authentication, a 3xx that is no redirect as a protocol error): those came with
// a complete answer and are not transport errors.
bool isTransportError(QNetworkReply::NetworkError e) {
    const bool connection = e >= QNetworkReply::ConnectionRefusedError && e <= QNetworkReply::UnknownNetworkError;
    const bool proxyConnection =
        e >= QNetworkReply::ProxyConnectionRefusedError && e <= QNetworkReply::ProxyTimeoutError;
    return connection || proxyConnection || e == QNetworkReply::UnknownProxyError;
}

// The failure an outcome stands for when the operation's own rule refused it.
Error failureOf(const Outcome &out, bool deviceLookup) {
    if (!out.isHttp)
        return Error::make(Error::Kind::Unreachable, QStringLiteral("サーバーに接続できません"));
    if (deviceLookup && out.status == 404)
        return Error::make(Error::Kind::NotFound, QStringLiteral("その端末 ID は登録されていません"), 404);
    if (out.status != 200)
        return Error::make(Error::Kind::Http, QStringLiteral("サーバーがエラーを返しました(HTTP %1)").arg(out.status),
                           out.status);
    return Error::make(Error::Kind::BadAnswer, QStringLiteral("サーバーの応答を読めません"), out.status);
}

template <class T> Result<T> resultOf(const Outcome &out, std::optional<T> value, bool deviceLookup = false) {
    if (value)
        return Result<T>::success(std::move(*value));
    return Result<T>::failure(failureOf(out, deviceLookup));
}

} // namespace

Api::Api(AppConfig *config, ServerTrust *trust, QObject *parent)
    : QObject(parent), m_config(config), m_network(new QNetworkAccessManager(this)) {
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    // Certificates are checked against the system's CA store; a failure is reported, never
    // ignored, so the request fails and nothing is sent in the clear instead.
    if (trust) {
        connect(m_network, &QNetworkAccessManager::sslErrors, trust,
                [trust](QNetworkReply *reply, const QList<QSslError> &errors) {
                    trust->noteFailure(reply->url(), errors);
                });
        connect(m_network, &QNetworkAccessManager::encrypted, trust,
                [trust](QNetworkReply *reply) { trust->noteVerified(reply->url()); });
    }
}

void Api::perform(const QByteArray &verb, const QString &path, int timeoutMs, qint64 maxBytes, QObject *context,
                  std::function<void(Outcome)> done) const {
    QPointer<QObject> guard(context);
    const bool hadContext = context != nullptr;
    auto send = [=, this, done = std::move(done)]() mutable {
        if (hadContext && !guard)
            return;
        const QNetworkRequest request = makeRequest(path, timeoutMs);
        QNetworkReply *reply = verb == "GET" ? m_network->get(request) : m_network->sendCustomRequest(request, verb);
        auto tooLarge = std::make_shared<bool>(false);
        // A hostile or broken server must not make us buffer without bound.
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [reply, maxBytes, tooLarge](qint64 got, qint64) {
                             if (got > maxBytes && !*tooLarge) {
                                 *tooLarge = true;
                                 reply->abort();
                             }
                         });
        QObject::connect(reply, &QNetworkReply::finished, reply, [=, done = std::move(done)] {
            reply->deleteLater();
            Outcome out;
            const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            if (status.isValid() && !*tooLarge && !isTransportError(reply->error())) {
                out.isHttp = true;
                out.status = status.toInt();
                out.body = reply->readAll();
            } else {
                qCDebug(lcApi) << verb << reply->url().toString() << "failed:" << reply->errorString();
            }
            if (hadContext && !guard)
                return;
            done(std::move(out));
        });
    };
    // Runs on this object's (the main) thread: at once when already there, else queued, and
    // dropped when this object is gone by then.
    if (QThread::currentThread() == thread())
        send();
    else
        QMetaObject::invokeMethod(const_cast<Api *>(this), std::move(send), Qt::QueuedConnection);
}

QString Api::trimToken(const QString &token) {
    qsizetype begin = 0;
    qsizetype end = token.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(token.at(begin)))
        ++begin;
    while (end > begin && blank(token.at(end - 1)))
        --end;
    return token.mid(begin, end - begin);
}

QUrl Api::makeUrl(const QString &server, const QString &path) {
    const QUrl url(server + path, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty())
        return url;
    return QUrl(QString::fromLatin1(placeholderBase) + path);
}

QNetworkRequest Api::makeRequest(const QString &path, int timeoutMs) const {
    QNetworkRequest request(makeUrl(m_config->server(), path));
    request.setTransferTimeout(timeoutMs);
    const QString token = trimToken(m_config->adminToken());
    // A line break or other control character would split the header (or inject new
    // ones): such a token is not sent at all.
    const bool printable = std::none_of(token.cbegin(), token.cend(), [](QChar c) { return c < u' ' || c == u'\x7f'; });
    if (!token.isEmpty() && printable)
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return request;
}

void Api::deviceInfo(const QString &id, QObject *context, std::function<void(Result<DeviceInfo>)> done) const {
    perform("GET", QStringLiteral("/api/v1/devices/") + id, deviceInfoTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? DeviceInfo::decode(out.body) : std::nullopt, true));
            });
}

void Api::deviceThumb(const QString &id, QObject *context, std::function<void(Result<QByteArray>)> done) const {
    perform("GET", QStringLiteral("/api/v1/devices/") + id + QStringLiteral("/thumb"), deviceThumbTimeoutMs,
            maxThumbBytes, context, [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200 && !out.body.isEmpty();
                done(resultOf(out, ok ? std::optional<QByteArray>(out.body) : std::nullopt, true));
            });
}

void Api::listDevices(QObject *context, std::function<void(Result<QList<DeviceInfo>>)> done) const {
    perform("GET", QStringLiteral("/api/v1/devices"), listDevicesTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? DeviceInfo::decodeList(out.body) : std::nullopt));
            });
}

void Api::deleteDevice(const QString &id, QObject *context, std::function<void(Result<std::monostate>)> done) const {
    perform("DELETE", QStringLiteral("/api/v1/devices/") + id, deleteDeviceTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? std::optional<std::monostate>(std::monostate{}) : std::nullopt, true));
            });
}

void Api::turnCredentials(QObject *context, std::function<void(Result<IceConfig>)> done) const {
    perform("POST", QStringLiteral("/api/v1/turn-credentials"), turnCredentialsTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                done(resultOf(out, out.isHttp ? IceConfig::decode(out.body) : std::nullopt));
            });
}

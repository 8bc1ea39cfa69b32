#include "rendezvous/Api.h"

#include "config/AppConfig.h"
#include "rendezvous/ServerTrust.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QThread>

Q_LOGGING_CATEGORY(lcApi, "velmo.api", QtInfoMsg)

namespace {

// What came back from one request, before the operation applies its own rules.
struct Outcome {
    bool isHttp = false; // an HTTP response arrived whole (any status)
    int status = 0;
    QByteArray body;
};

bool onMainThread() {
    QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs `fn` on the main thread: at once when already there, else queued.
void onMain(std::function<void()> fn) {
    if (onMainThread())
        fn();
    else if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

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

void perform(const QByteArray &verb, const QString &path, int timeoutMs, qint64 maxBytes, QObject *context,
             std::function<void(Outcome)> done) {
    QPointer<QObject> guard(context);
    const bool hadContext = context != nullptr;
    onMain([=, done = std::move(done)]() mutable {
        if (hadContext && !guard)
            return;
        const QNetworkRequest request = Api::makeRequest(path, timeoutMs);
        QNetworkReply *reply =
            verb == "GET" ? Api::network()->get(request) : Api::network()->sendCustomRequest(request, verb);
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
    });
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

QNetworkAccessManager *Api::network() {
    // Created on the main thread at first use and kept for the process.
    static QNetworkAccessManager *const nam = [] {
        auto *m = new QNetworkAccessManager(QCoreApplication::instance());
        m->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
        // Certificates are checked against the system's CA store; a failure is reported, never
        // ignored, so the request fails and nothing is sent in the clear instead.
        QObject::connect(m, &QNetworkAccessManager::sslErrors, m,
                         [](QNetworkReply *reply, const QList<QSslError> &errors) {
                             ServerTrust::shared()->noteFailure(reply->url(), errors);
                         });
        QObject::connect(m, &QNetworkAccessManager::encrypted, m,
                         [](QNetworkReply *reply) { ServerTrust::shared()->noteVerified(reply->url()); });
        return m;
    }();
    return nam;
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

QNetworkRequest Api::makeRequest(const QString &path, int timeoutMs) {
    AppConfig *config = AppConfig::shared();
    QNetworkRequest request(makeUrl(config->server(), path));
    request.setTransferTimeout(timeoutMs);
    const QString token = trimToken(config->adminToken());
    // A line break or other control character would split the header (or inject new
    // ones): such a token is not sent at all.
    const bool printable = std::none_of(token.cbegin(), token.cend(), [](QChar c) { return c < u' ' || c == u'\x7f'; });
    if (!token.isEmpty() && printable)
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return request;
}

void Api::deviceInfo(const QString &id, QObject *context, std::function<void(Result<DeviceInfo>)> done) {
    perform("GET", QStringLiteral("/api/v1/devices/") + id, deviceInfoTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? DeviceInfo::decode(out.body) : std::nullopt, true));
            });
}

void Api::deviceThumb(const QString &id, QObject *context, std::function<void(Result<QByteArray>)> done) {
    perform("GET", QStringLiteral("/api/v1/devices/") + id + QStringLiteral("/thumb"), deviceThumbTimeoutMs,
            maxThumbBytes, context, [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200 && !out.body.isEmpty();
                done(resultOf(out, ok ? std::optional<QByteArray>(out.body) : std::nullopt, true));
            });
}

void Api::listDevices(QObject *context, std::function<void(Result<QList<DeviceInfo>>)> done) {
    perform("GET", QStringLiteral("/api/v1/devices"), listDevicesTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? DeviceInfo::decodeList(out.body) : std::nullopt));
            });
}

void Api::deleteDevice(const QString &id, QObject *context, std::function<void(Result<std::monostate>)> done) {
    perform("DELETE", QStringLiteral("/api/v1/devices/") + id, deleteDeviceTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                const bool ok = out.isHttp && out.status == 200;
                done(resultOf(out, ok ? std::optional<std::monostate>(std::monostate{}) : std::nullopt, true));
            });
}

void Api::turnCredentials(QObject *context, std::function<void(Result<IceConfig>)> done) {
    perform("POST", QStringLiteral("/api/v1/turn-credentials"), turnCredentialsTimeoutMs, maxJsonBytes, context,
            [done = std::move(done)](Outcome out) {
                done(resultOf(out, out.isHttp ? IceConfig::decode(out.body) : std::nullopt));
            });
}

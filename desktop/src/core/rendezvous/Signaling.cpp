#include "rendezvous/Signaling.h"

#include "config/AppConfig.h"
#include "protocol/Json.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/SignalingFrame.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcSignaling, "velmo.signaling", QtInfoMsg)

Signaling::Signaling(AppConfig *config, ServerTrust *trust, QObject *parent)
    : QObject(parent), m_config(config), m_trust(trust) {
    // A socket to the previous server must not keep the "connected" light on for the new
    // one: it is closed, and the next connect() opens one to the server now configured.
    if (config) {
        QObject::connect(config, &AppConfig::serverChanged, this, [this] {
            if (m_task && m_task->requestUrl() != QUrl(socketUrlString(m_config->server())))
                reset();
        });
    }
}

Signaling::~Signaling() {
    if (m_task) {
        m_task->disconnect(this);
        m_task->abort();
    }
}

QString Signaling::socketUrlString(const QString &server) {
    QString s = server;
    s.replace(QLatin1String("https://"), QLatin1String("wss://"));
    s.replace(QLatin1String("http://"), QLatin1String("ws://"));
    return s + QLatin1String("/ws/viewer");
}

QString Signaling::errorDescription(ConnectError error) {
    switch (error) {
    case ConnectError::None:
        return QString();
    case ConnectError::BadUrl:
        return QStringLiteral("URLが正しくありません。");
    case ConnectError::TimedOut:
        return QStringLiteral("要求がタイムアウトになりました。");
    case ConnectError::ConnectionLost:
        return QStringLiteral("ネットワーク接続が切れました。");
    }
    return QString();
}

void Signaling::connect(QObject *context, std::function<void(bool ok)> done) {
    connectWithError(context, [done = std::move(done)](ConnectError e) { done(e == ConnectError::None); });
}

void Signaling::connectWithError(QObject *context, std::function<void(ConnectError)> done) {
    if (QThread::currentThread() != thread()) {
        QPointer<QObject> guard(context);
        const bool hadContext = context != nullptr;
        QMetaObject::invokeMethod(
            this,
            [this, guard, hadContext, done = std::move(done)]() mutable {
                if (hadContext && !guard)
                    return;
                connectWithError(guard.data(), std::move(done));
            },
            Qt::QueuedConnection);
        return;
    }
    Waiter waiter{context, std::move(done)};
    const bool hadContext = context != nullptr;
    // Results known at once still arrive asynchronously, like every other completion.
    auto answerSoon = [this, hadContext](Waiter w, ConnectError e) {
        QMetaObject::invokeMethod(
            this,
            [hadContext, w = std::move(w), e] {
                if (!hadContext || w.context)
                    w.done(e);
            },
            Qt::QueuedConnection);
    };
    if (m_myId && m_task) {
        answerSoon(std::move(waiter), ConnectError::None);
        return;
    }
    if (!m_task) {
        const QUrl url(socketUrlString(m_config->server()), QUrl::StrictMode);
        if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
            answerSoon(std::move(waiter), ConnectError::BadUrl);
            return;
        }
        openSocket(url);
    }
    if (!hadContext)
        waiter.context = this; // "no context" waits as long as this object
    m_waiters.append(std::move(waiter));
    // Every waiting call arms its own check; an early one may fail a later waiter. Precise:
    // a coarse timer may fire up to 5 % early.
    QTimer::singleShot(greetingTimeoutMs, Qt::PreciseTimer, this, &Signaling::greetingCheck);
}

void Signaling::openSocket(const QUrl &url) {
    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(maxIncomingBytes);
    socket->setMaxAllowedIncomingFrameSize(maxIncomingBytes);
    m_task = socket;
    QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                     [this, socket](const QString &text) { onText(socket, text); });
    QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        if (socket == m_task) {
            qCDebug(lcSignaling) << "socket closed:" << socket->closeCode() << socket->closeReason();
            reset();
        }
    });
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this, socket](QAbstractSocket::SocketError) {
                         if (socket == m_task) {
                             qCDebug(lcSignaling) << "socket error:" << socket->errorString();
                             reset();
                         }
                     });
    // wss: the system's CA store decides; a certificate that does not verify fails the
    // socket (reported to ServerTrust) and is never ignored.
    QObject::connect(socket, &QWebSocket::sslErrors, this, [this, url](const QList<QSslError> &errors) {
        if (m_trust)
            m_trust->noteFailure(url, errors);
    });
    QObject::connect(socket, &QWebSocket::connected, this, [this, url] {
        if (url.scheme() == u"wss" && m_trust)
            m_trust->noteVerified(url);
    });
    qCDebug(lcSignaling) << "opening" << url.toString();
    // Opened from the event loop: a URL the socket refuses at once (an unknown scheme) must
    // fail its waiters like any other failure, after connect() has registered them.
    QMetaObject::invokeMethod(
        socket, [socket, url] { socket->open(url); }, Qt::QueuedConnection);
}

void Signaling::onText(QWebSocket *socket, const QString &text) {
    if (socket != m_task)
        return;
    handle(SignalingFrame::parse(text)); // noise is dropped there
}

void Signaling::handle(const SignalingFrame &frame) {
    switch (frame.kind) {
    case SignalingFrame::Kind::Noise:
        return;
    case SignalingFrame::Kind::Hello:
        setMyId(frame.id);
        setOnline(true);
        finishWaiters(ConnectError::None);
        return;
    case SignalingFrame::Kind::Routed:
        break;
    }
    const auto it = m_handlers.constFind(frame.sid);
    if (it == m_handlers.constEnd())
        return;              // nobody waits for this session any more
    const Route route = *it; // the handler may remove itself while running
    if (!route.context) {
        m_handlers.remove(frame.sid);
        return;
    }
    route.handler(frame.message);
}

void Signaling::greetingCheck() {
    if (m_waiters.isEmpty() || m_myId)
        return;
    Waiter first = m_waiters.takeFirst();
    qCDebug(lcSignaling) << "no greeting within" << greetingTimeoutMs << "ms";
    // Reset before resuming: a caller that calls connect() again from its completion
    // must get a new socket, not wait on the one being dropped.
    reset();
    if (first.context)
        first.done(ConnectError::TimedOut);
}

void Signaling::reset() {
    if (QWebSocket *old = m_task) {
        m_task = nullptr;
        old->disconnect(this);
        // Let the close frame go out, then free the socket; never wait long for the peer.
        QObject::connect(old, &QWebSocket::disconnected, old, &QObject::deleteLater);
        QTimer::singleShot(2000, old, [old] {
            old->abort();
            old->deleteLater();
        });
        if (old->state() == QAbstractSocket::ConnectedState)
            old->close(QWebSocketProtocol::CloseCodeGoingAway);
        else
            old->abort();
    }
    setMyId(std::nullopt);
    setOnline(false);
    finishWaiters(ConnectError::ConnectionLost);
}

void Signaling::finishWaiters(ConnectError error) {
    const QList<Waiter> waiters = std::exchange(m_waiters, {});
    for (const Waiter &w : waiters) {
        if (w.context)
            w.done(error);
    }
}

void Signaling::send(const QJsonObject &message) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, message] { send(message); }, Qt::QueuedConnection);
        return;
    }
    if (!m_task)
        return;
    m_task->sendTextMessage(QString::fromUtf8(Json::compact(message)));
}

void Signaling::setHandler(const QString &sid, QObject *context, Handler handler) {
    if (QThread::currentThread() != thread()) {
        // Queued like send(), so a handler set before an offer is in place before its answer.
        QPointer<QObject> guard(context);
        QMetaObject::invokeMethod(
            this,
            [this, sid, guard, h = std::move(handler)]() mutable {
                if (guard)
                    setHandler(sid, guard.data(), std::move(h));
            },
            Qt::QueuedConnection);
        return;
    }
    m_handlers.insert(sid, Route{context ? QPointer<QObject>(context) : QPointer<QObject>(this), std::move(handler)});
}

void Signaling::removeHandler(const QString &sid) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, sid] { m_handlers.remove(sid); }, Qt::QueuedConnection);
        return;
    }
    m_handlers.remove(sid);
}

void Signaling::setOnline(bool online) {
    if (m_online == online)
        return;
    m_online = online;
    Q_EMIT onlineChanged();
}

void Signaling::setMyId(std::optional<QString> id) {
    if (m_myId == id)
        return;
    m_myId = std::move(id);
    Q_EMIT myIdChanged();
}

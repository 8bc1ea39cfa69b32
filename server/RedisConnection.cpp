#include "RedisConnection.h"

#include <QLoggingCategory>
#include <QUrl>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <string_view>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcRendezvous)

Result<RedisConnection::Address> RedisConnection::parseUrl(const QString &url) {
    auto refused = [](const QString &why) { return Result<Address>::failure(Error::make(Error::Kind::Invalid, why)); };
    const QUrl u(url);
    Address a;
    if (u.scheme() == u"unix" || u.scheme() == u"redis+unix") {
        a.unixPath = u.path();
    } else if (u.scheme() == u"redis" && !u.host().isEmpty()) {
        a.host = u.host();
        a.port = u.port(6379);
    } else {
        return refused(QStringLiteral("wants redis://HOST[:PORT] or unix:///PATH, not %1").arg(url));
    }
    if (a.host.isEmpty() && a.unixPath.isEmpty())
        return refused(QStringLiteral("names no socket: %1").arg(url));
    a.user = u.userName(QUrl::FullyDecoded).toUtf8();
    a.password = u.password(QUrl::FullyDecoded).toUtf8();
    return Result<Address>::success(std::move(a));
}

RedisConnection::RedisConnection(Address address, QString name, QObject *parent)
    : QObject(parent), m_address(std::move(address)), m_name(std::move(name)) {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RedisConnection::connectNow);
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(connectTimeoutMs);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] { lost(QStringLiteral("connect timed out")); });
    m_stallTimer.setInterval(1000);
    connect(&m_stallTimer, &QTimer::timeout, this, &RedisConnection::checkStall);
    m_lastReply.start();
}

RedisConnection::~RedisConnection() {
    m_closing = true;
    // What is still queued (the last presence releases of a stopping server) goes out if the
    // socket takes it now; nothing waits for it.
    if (m_ctx && m_up)
        redisAsyncHandleWrite(m_ctx);
    if (redisAsyncContext *ctx = std::exchange(m_ctx, nullptr))
        redisAsyncFree(ctx); // pending callbacks see m_closing and stay silent
}

void RedisConnection::start() {
    m_stallTimer.start();
    connectNow();
}

void RedisConnection::restart(const QString &why) {
    if (m_ctx)
        lost(why);
}

void RedisConnection::connectNow() {
    if (m_ctx || m_closing)
        return;
    redisAsyncContext *ctx = m_address.host.isEmpty()
                                 ? redisAsyncConnectUnix(m_address.unixPath.toUtf8().constData())
                                 : redisAsyncConnect(m_address.host.toUtf8().constData(), m_address.port);
    if (!ctx || ctx->err) {
        qCWarning(lcRendezvous).noquote()
            << "redis" << m_name
            << "cannot connect:" << (ctx ? QString::fromUtf8(ctx->errstr) : QStringLiteral("out of memory"));
        if (ctx)
            redisAsyncFree(ctx);
        scheduleReconnect();
        return;
    }
    m_ctx = ctx;
    ctx->data = this;
    ctx->ev.data = this;
    ctx->ev.addRead = &RedisConnection::addRead;
    ctx->ev.delRead = &RedisConnection::delRead;
    ctx->ev.addWrite = &RedisConnection::addWrite;
    ctx->ev.delWrite = &RedisConnection::delWrite;
    ctx->ev.cleanup = &RedisConnection::cleanup;
    const int fd = ctx->c.fd;
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_read->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, [this] {
        if (m_ctx)
            redisAsyncHandleRead(m_ctx);
    });
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_write->setEnabled(false);
    connect(m_write, &QSocketNotifier::activated, this, [this] {
        if (m_ctx)
            redisAsyncHandleWrite(m_ctx);
    });
    // Setting the connect callback waits for the first write event (the connection made).
    redisAsyncSetDisconnectCallback(ctx, &RedisConnection::onDisconnect);
    redisAsyncSetConnectCallback(ctx, &RedisConnection::onConnect);
    m_connectTimeout.start();
    if (!m_address.password.isEmpty())
        command(m_address.user.isEmpty() ? QList<QByteArray>{"AUTH", m_address.password}
                                         : QList<QByteArray>{"AUTH", m_address.user, m_address.password},
                [this](const redisReply *r) {
                    if (r && r->type == REDIS_REPLY_ERROR)
                        qCWarning(lcRendezvous).noquote() << "redis" << m_name << "refused the password:" << r->str;
                });
}

// Main thread, inside redisAsyncHandleWrite: the connection is made or has failed.
void RedisConnection::onConnect(const redisAsyncContext *ctx, int status) {
    auto *self = static_cast<RedisConnection *>(ctx->data);
    self->m_connectTimeout.stop();
    if (status != REDIS_OK) {
        // hiredis frees the context when this returns.
        self->m_ctx = nullptr;
        self->lost(QString::fromUtf8(ctx->errstr));
        return;
    }
    // A peer that vanishes without a word (a partition) is noticed by TCP keep-alives too.
    if (!self->m_address.host.isEmpty())
        redisEnableKeepAlive(&self->m_ctx->c);
    self->m_up = true;
    self->m_retryMs = 250;
    self->m_overflowLogged = false;
    qCInfo(lcRendezvous).noquote() << "redis" << self->m_name << "connected";
    self->sendSubscribe(self->m_channels.values(), true);
    Q_EMIT self->up();
}

// Main thread: the connection is gone (lost, or freed by us); hiredis frees the context next.
void RedisConnection::onDisconnect(const redisAsyncContext *ctx, int status) {
    auto *self = static_cast<RedisConnection *>(ctx->data);
    if (self->m_ctx == ctx)
        self->m_ctx = nullptr;
    if (!self->m_closing && !self->m_freeing)
        self->lost(status == REDIS_OK ? QStringLiteral("closed") : QString::fromUtf8(ctx->errstr));
}

void RedisConnection::lost(const QString &why) {
    m_connectTimeout.stop();
    if (redisAsyncContext *ctx = std::exchange(m_ctx, nullptr)) {
        m_freeing = true;
        redisAsyncFree(ctx); // fails what waits for replies
        m_freeing = false;
    }
    const bool wasUp = std::exchange(m_up, false);
    if (wasUp || !m_retry.isActive())
        qCWarning(lcRendezvous).noquote()
            << "redis" << m_name << "unavailable:" << why << "- retrying in" << m_retryMs << "ms";
    if (wasUp)
        Q_EMIT down(why);
    scheduleReconnect();
}

void RedisConnection::scheduleReconnect() {
    if (m_closing || m_retry.isActive())
        return;
    m_retry.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, 5000);
}

void RedisConnection::checkStall() {
    if (m_up && m_pending > 0 && m_lastReply.elapsed() > stallMs)
        lost(QStringLiteral("no reply for %1 ms with %2 commands waiting").arg(stallMs).arg(m_pending));
}

void RedisConnection::failSoon(Reply done) {
    if (done)
        QMetaObject::invokeMethod(
            this, [done = std::move(done)] { done(nullptr); }, Qt::QueuedConnection);
}

void RedisConnection::command(const QList<QByteArray> &argv, Reply done) {
    if (!m_ctx) {
        failSoon(std::move(done));
        return;
    }
    if (m_pending >= maxPending) {
        if (!std::exchange(m_overflowLogged, true))
            qCWarning(lcRendezvous).noquote()
                << "redis" << m_name << "is not keeping up:" << m_pending << "commands waiting; failing new ones";
        failSoon(std::move(done));
        return;
    }
    std::vector<const char *> args;
    std::vector<size_t> lengths;
    for (const QByteArray &a : argv) {
        args.push_back(a.constData());
        lengths.push_back(size_t(a.size()));
    }
    auto *p = new Pending{this, std::move(done)};
    if (redisAsyncCommandArgv(m_ctx, &RedisConnection::onReply, p, int(args.size()), args.data(), lengths.data()) !=
        REDIS_OK) {
        failSoon(std::move(p->done));
        delete p;
        return;
    }
    if (m_pending++ == 0)
        m_lastReply.restart();
}

// Main thread, inside redisAsyncHandleRead (a reply) or redisAsyncFree (nullptr: none will come).
void RedisConnection::onReply(redisAsyncContext *, void *reply, void *privdata) {
    auto *p = static_cast<Pending *>(privdata);
    if (RedisConnection *self = p->self) {
        --self->m_pending;
        self->m_lastReply.restart();
        if (p->done && !self->m_closing)
            p->done(static_cast<const redisReply *>(reply));
    }
    delete p;
}

void RedisConnection::subscribe(const QByteArray &channel) {
    if (m_channels.contains(channel))
        return;
    m_channels.insert(channel);
    if (m_up)
        sendSubscribe({channel}, true);
}

void RedisConnection::unsubscribe(const QByteArray &channel) {
    if (!m_channels.remove(channel))
        return;
    if (m_up)
        sendSubscribe({channel}, false);
}

void RedisConnection::sendSubscribe(const QList<QByteArray> &channels, bool subscribe) {
    // In batches, so that thousands of channels after a reconnect make a few commands.
    for (qsizetype i = 0; i < channels.size() && m_ctx; i += 512) {
        const std::string_view verb = subscribe ? "SUBSCRIBE" : "UNSUBSCRIBE";
        std::vector<const char *> args{verb.data()};
        std::vector<size_t> lengths{verb.size()};
        for (qsizetype j = i; j < std::min(channels.size(), i + 512); ++j) {
            args.push_back(channels[j].constData());
            lengths.push_back(size_t(channels[j].size()));
        }
        redisAsyncCommandArgv(m_ctx, subscribe ? &RedisConnection::onSubscribed : nullptr, this, int(args.size()),
                              args.data(), lengths.data());
    }
}

// Main thread, inside redisAsyncHandleRead: a message on a subscribed channel (or the
// confirmation of a subscription); nullptr when the connection is being freed.
void RedisConnection::onSubscribed(redisAsyncContext *ctx, void *reply, void *) {
    const auto *r = static_cast<const redisReply *>(reply);
    auto *self = static_cast<RedisConnection *>(ctx->data);
    if (!r || !self || self->m_closing || r->type != REDIS_REPLY_ARRAY || r->elements != 3)
        return;
    if (std::string_view(r->element[0]->str, r->element[0]->len) != "message")
        return;
    Q_EMIT self->message(QByteArray(r->element[1]->str, qsizetype(r->element[1]->len)),
                         QByteArray(r->element[2]->str, qsizetype(r->element[2]->len)));
}

// The event hooks hiredis calls (main thread) to say what it waits for.
void RedisConnection::addRead(void *data) {
    if (auto *self = static_cast<RedisConnection *>(data); self->m_read)
        self->m_read->setEnabled(true);
}
void RedisConnection::delRead(void *data) {
    if (auto *self = static_cast<RedisConnection *>(data); self->m_read)
        self->m_read->setEnabled(false);
}
void RedisConnection::addWrite(void *data) {
    if (auto *self = static_cast<RedisConnection *>(data); self->m_write)
        self->m_write->setEnabled(true);
}
void RedisConnection::delWrite(void *data) {
    if (auto *self = static_cast<RedisConnection *>(data); self->m_write)
        self->m_write->setEnabled(false);
}
void RedisConnection::cleanup(void *data) {
    // May run inside a notifier's own activation: disable now, delete later.
    auto *self = static_cast<RedisConnection *>(data);
    for (QSocketNotifier *n : {std::exchange(self->m_read, nullptr), std::exchange(self->m_write, nullptr)}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
}

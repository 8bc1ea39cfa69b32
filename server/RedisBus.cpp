#include "RedisBus.h"

#include <QPointer>
#include <QRandomGenerator>

#include <hiredis/hiredis.h>

namespace {

// Deletes the key only while it still names this instance: a device that has moved to
// another instance stays online there.
const QByteArray releaseScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) else return 0 end";

QString randomInstanceId() {
    return QString::number(QRandomGenerator::system()->generate64(), 36);
}

} // namespace

RedisBus::RedisBus(const RedisConnection::Address &address, QObject *parent)
    : MessageBus(parent), m_instance(randomInstanceId()), m_commands(address, QStringLiteral("commands")),
      m_subscriber(address, QStringLiteral("subscriber")) {
    connect(&m_subscriber, &RedisConnection::message, this, &MessageBus::message);
    // Back after an outage: the keys may have expired meanwhile.
    connect(&m_commands, &RedisConnection::up, this, &RedisBus::refreshPresence);
    // The subscriber sends nothing, so it cannot tell a Redis that stopped answering; when the
    // commands' connection finds one, the subscriptions are made again on a fresh connection.
    connect(&m_commands, &RedisConnection::down, this,
            [this] { m_subscriber.restart(QStringLiteral("the commands' connection was lost")); });
    m_refresh.setInterval(presenceRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &RedisBus::refreshPresence);
}

RedisBus::~RedisBus() = default;

void RedisBus::start() {
    m_commands.start();
    m_subscriber.start();
    m_refresh.start();
}

void RedisBus::subscribe(const QByteArray &channel) {
    m_subscriber.subscribe(channel);
}

void RedisBus::unsubscribe(const QByteArray &channel) {
    m_subscriber.unsubscribe(channel);
}

void RedisBus::publish(const QByteArray &channel, const QByteArray &message, QObject *context, Delivered done) {
    QPointer<QObject> guard(context);
    m_commands.command({"PUBLISH", channel, message}, [guard, done = std::move(done)](const redisReply *r) {
        if (!done || !guard)
            return;
        if (r && r->type == REDIS_REPLY_INTEGER)
            done(qint64(r->integer));
        else
            done(std::nullopt);
    });
}

void RedisBus::claimOnline(const QString &deviceId) {
    m_claimed.insert(deviceId);
    m_commands.command(
        {"SET", presenceKey(deviceId), m_instance.toLatin1(), "EX", QByteArray::number(presenceTtlSecs)});
}

void RedisBus::releaseOnline(const QString &deviceId) {
    if (!m_claimed.remove(deviceId))
        return;
    m_commands.command({"EVAL", releaseScript, "1", presenceKey(deviceId), m_instance.toLatin1()});
}

void RedisBus::refreshPresence() {
    const QByteArray instance = m_instance.toLatin1();
    const QByteArray ttl = QByteArray::number(presenceTtlSecs);
    for (const QString &id : std::as_const(m_claimed))
        m_commands.command({"SET", presenceKey(id), instance, "EX", ttl});
}

void RedisBus::onlineAmong(const QStringList &ids, QObject *context, Presence done) {
    QPointer<QObject> guard(context);
    if (ids.isEmpty()) {
        QMetaObject::invokeMethod(
            this,
            [guard, done = std::move(done)] {
                if (guard)
                    done(QSet<QString>());
            },
            Qt::QueuedConnection);
        return;
    }
    QList<QByteArray> argv{"MGET"};
    for (const QString &id : ids)
        argv.append(presenceKey(id));
    m_commands.command(argv, [guard, ids, done = std::move(done)](const redisReply *r) {
        if (!guard)
            return;
        if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != size_t(ids.size())) {
            done(std::nullopt);
            return;
        }
        QSet<QString> online;
        for (size_t i = 0; i < r->elements; ++i) {
            if (r->element[i]->type == REDIS_REPLY_STRING)
                online.insert(ids[qsizetype(i)]);
        }
        done(online);
    });
}

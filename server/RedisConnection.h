#pragma once

#include "protocol/Result.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

struct redisAsyncContext;
struct redisReply;

// One connection to Redis on hiredis' asynchronous API, driven by the Qt event loop of the
// thread that owns it (the main thread): QSocketNotifiers on the connection's descriptor
// call hiredis when it can read or write, so nothing ever blocks. A lost connection is
// made again with a growing wait (0.25 s up to 5 s); subscriptions are renewed then.
// Commands wait for their replies in a bounded list: beyond maxPending, or while there is
// no connection, a command fails at once (its callback gets nullptr on the next turn of
// the event loop). A server that takes commands and answers none for stallMs is dropped.
class RedisConnection : public QObject {
    Q_OBJECT
public:
    struct Address {
        QString host; // empty: unixPath
        int port = 6379;
        QString unixPath;
        QByteArray user; // Redis 6 ACL user; empty: the default user
        QByteArray password;
    };
    // nullptr: no reply (the connection was lost, there is none, or too many wait).
    using Reply = std::function<void(const redisReply *)>;

    static constexpr int maxPending = 20000;
    static constexpr int stallMs = 5000;
    static constexpr int connectTimeoutMs = 3000;

    // "redis://[[USER]:PASSWORD@]HOST[:PORT]", "unix:///path/redis.sock" (or "redis+unix://").
    static Result<Address> parseUrl(const QString &url);

    RedisConnection(Address address, QString name, QObject *parent = nullptr);
    ~RedisConnection() override;

    void start();
    // Drops the connection (if any) and makes it again, as after a loss.
    void restart(const QString &why);
    bool isUp() const { return m_up; }
    int pending() const { return m_pending; }

    // Sends a command; `done` (may be empty) gets its reply.
    void command(const QList<QByteArray> &argv, Reply done = {});
    // Subscriber connections: messages on these channels arrive as message().
    void subscribe(const QByteArray &channel);
    void unsubscribe(const QByteArray &channel);

Q_SIGNALS:
    void up();
    void down(const QString &why);
    void message(const QByteArray &channel, const QByteArray &payload);

private:
    struct Pending {
        QPointer<RedisConnection> self;
        Reply done;
    };

    // hiredis callbacks; all of them run on the main thread, inside redisAsyncHandleRead/Write
    // or hiredis' own calls made from here.
    static void onConnect(const redisAsyncContext *ctx, int status);
    static void onDisconnect(const redisAsyncContext *ctx, int status);
    static void onReply(redisAsyncContext *ctx, void *reply, void *privdata);
    static void onSubscribed(redisAsyncContext *ctx, void *reply, void *privdata);
    static void addRead(void *data);
    static void delRead(void *data);
    static void addWrite(void *data);
    static void delWrite(void *data);
    static void cleanup(void *data);

    void connectNow();
    void lost(const QString &why);
    void scheduleReconnect();
    void failSoon(Reply done);
    void sendSubscribe(const QList<QByteArray> &channels, bool subscribe);
    void checkStall();

    Address m_address;
    QString m_name;
    redisAsyncContext *m_ctx = nullptr;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    bool m_up = false;
    bool m_closing = false;
    bool m_freeing = false; // inside our own redisAsyncFree
    bool m_overflowLogged = false;
    int m_pending = 0;
    int m_retryMs = 250;
    QSet<QByteArray> m_channels;
    QTimer m_retry;
    QTimer m_connectTimeout;
    QTimer m_stallTimer;
    QElapsedTimer m_lastReply;
};

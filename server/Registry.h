#pragma once

#include "protocol/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

// One registered device as stored (without its thumbnail).
struct DeviceRecord {
    QString id;
    QString name;
    std::optional<QString> platform;
};

// The device registry: nine-digit IDs bound to the SHA-256 of each device's secret, names,
// platforms and the newest thumbnail. SqliteRegistry keeps it in a file for one instance;
// PostgresRegistry in a database that several instances share. Used on the main thread.
class Registry {
public:
    virtual ~Registry() = default;
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // "postgresql://…" (or "postgres://…") opens PostgreSQL, anything else is an SQLite file
    // (":memory:" keeps nothing). nullptr with `error` set on failure.
    static Result<std::unique_ptr<Registry>> open(const QString &location);

    static bool isDeviceId(const QString &s);

    // The ID bound to this secret hash, made (random, unique) when the hash is new. Name and
    // platform replace the stored ones. nullopt only on a database failure.
    virtual std::optional<QString> registerDevice(const QByteArray &secretHash, const QString &name,
                                                  const std::optional<QString> &platform) = 0;
    virtual bool setName(const QString &id, const QString &name) = 0;
    virtual bool setPlatform(const QString &id, const std::optional<QString> &platform) = 0;
    virtual std::optional<DeviceRecord> find(const QString &id) const = 0;
    // The ID bound to this secret hash; nullopt when none is (or on a database failure).
    virtual std::optional<QString> idForSecret(const QByteArray &secretHash) const = 0;
    // Every device, ordered by ID.
    virtual QList<DeviceRecord> list() const = 0;
    // Stores the newest thumbnail. When all thumbnails together would pass the budget
    // (setThumbBudget), the ones stored longest ago are dropped first.
    virtual bool setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType) = 0;
    void setThumbBudget(qint64 bytes) { m_thumbBudget = bytes; }
    // Bytes of all stored thumbnails.
    virtual qint64 thumbBytes() const = 0;
    // The thumbnail's bytes and MIME type.
    virtual std::optional<std::pair<QByteArray, QByteArray>> thumb(const QString &id) const = 0;
    // False when there was no such device.
    virtual bool remove(const QString &id) = 0;
    // Marks these devices as seen now (those connected stay fresh however long they stay).
    virtual bool touch(const QStringList &ids) = 0;
    // Deletes devices not seen since `cutoffSecs` (Unix time); how many went.
    virtual int expireBefore(qint64 cutoffSecs) = 0;

protected:
    Registry() = default;
    qint64 m_thumbBudget = 0; // 0: no budget
};

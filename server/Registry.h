#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

struct sqlite3;

// One registered device as stored (without its thumbnail).
struct DeviceRecord {
    QString id;
    QString name;
    std::optional<QString> platform;
};

// The device registry in an SQLite file: nine-digit IDs bound to the SHA-256 of each
// device's secret, names, platforms and the newest thumbnail.
class Registry {
public:
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Opens (and creates) the database; ":memory:" keeps nothing. nullptr with `error` set on failure.
    static std::unique_ptr<Registry> open(const QString &path, QString *error);

    static bool isDeviceId(const QString &s);

    // The ID bound to this secret hash, made (random, unique) when the hash is new. Name and
    // platform replace the stored ones. nullopt only on a database failure.
    std::optional<QString> registerDevice(const QByteArray &secretHash, const QString &name,
                                          const std::optional<QString> &platform);
    bool setName(const QString &id, const QString &name);
    bool setPlatform(const QString &id, const std::optional<QString> &platform);
    std::optional<DeviceRecord> find(const QString &id) const;
    // Every device, ordered by ID.
    QList<DeviceRecord> list() const;
    // Stores the newest thumbnail. When all thumbnails together would pass the budget
    // (setThumbBudget), the ones stored longest ago are dropped first.
    bool setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType);
    void setThumbBudget(qint64 bytes) { m_thumbBudget = bytes; }
    // Bytes of all stored thumbnails.
    qint64 thumbBytes() const { return m_thumbBytes; }
    // The thumbnail's bytes and MIME type.
    std::optional<std::pair<QByteArray, QByteArray>> thumb(const QString &id) const;
    // False when there was no such device.
    bool remove(const QString &id);
    // Marks these devices as seen now (those connected stay fresh however long they stay).
    bool touch(const QStringList &ids);
    // Deletes devices not seen since `cutoffSecs` (Unix time); how many went.
    int expireBefore(qint64 cutoffSecs);

private:
    explicit Registry(sqlite3 *db);
    bool exec(const char *sql);
    qint64 queryThumbBytes() const;

    sqlite3 *m_db; // owned; closed in the destructor
    qint64 m_thumbBytes = 0;
    qint64 m_thumbBudget = 0; // 0: no budget
};

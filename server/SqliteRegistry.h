#pragma once

#include "Registry.h"

struct sqlite3;

// The registry in an SQLite file: one instance, the default.
class SqliteRegistry : public Registry {
public:
    ~SqliteRegistry() override;

    // Opens (and creates) the database; ":memory:" keeps nothing. nullptr with `error` set on failure.
    static Result<std::unique_ptr<SqliteRegistry>> open(const QString &path);

    // The schema version this build migrates to (table schema_version; files from before it
    // are taken as they are and brought up to date).
    static constexpr int schemaVersion = 2;

    std::optional<QString> registerDevice(const QByteArray &secretHash, const QString &name,
                                          const std::optional<QString> &platform) override;
    bool setName(const QString &id, const QString &name) override;
    bool setPlatform(const QString &id, const std::optional<QString> &platform) override;
    std::optional<DeviceRecord> find(const QString &id) const override;
    std::optional<QString> idForSecret(const QByteArray &secretHash) const override;
    QList<DeviceRecord> list() const override;
    bool setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType) override;
    qint64 thumbBytes() const override { return m_thumbBytes; }
    std::optional<std::pair<QByteArray, QByteArray>> thumb(const QString &id) const override;
    bool remove(const QString &id) override;
    bool touch(const QStringList &ids) override;
    int expireBefore(qint64 cutoffSecs) override;

private:
    explicit SqliteRegistry(sqlite3 *db);
    bool exec(const char *sql);
    Result<std::monostate> migrate();
    qint64 queryThumbBytes() const;

    sqlite3 *m_db; // owned; closed in the destructor
    qint64 m_thumbBytes = 0;
};

#pragma once

#include "Registry.h"

#include <variant>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

// The registry in PostgreSQL, shared by every instance of the server: the same table as
// the SQLite file, migrated at start under an advisory lock (several instances may start
// at once), and new device IDs drawn inside the database from its strong random source, so
// that two instances never hand out the same one. Calls block on the server's round trip
// (on the main thread); they are made on registration, REST calls and the expiry timer,
// never per relayed message.
class PostgresRegistry : public Registry {
public:
    ~PostgresRegistry() override;

    // Connects ("postgresql://user@host:port/db?…", libpq's URI form) and migrates the
    // schema. nullptr with `error` set on failure.
    static ::Result<std::unique_ptr<PostgresRegistry>> open(const QString &uri);

    // The schema version this build migrates to.
    static constexpr int schemaVersion = 1;

    std::optional<QString> registerDevice(const QByteArray &secretHash, const QString &name,
                                          const std::optional<QString> &platform) override;
    bool setName(const QString &id, const QString &name) override;
    bool setPlatform(const QString &id, const std::optional<QString> &platform) override;
    std::optional<DeviceRecord> find(const QString &id) const override;
    std::optional<QString> idForSecret(const QByteArray &secretHash) const override;
    QList<DeviceRecord> list() const override;
    bool setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType) override;
    qint64 thumbBytes() const override;
    std::optional<std::pair<QByteArray, QByteArray>> thumb(const QString &id) const override;
    bool remove(const QString &id) override;
    bool touch(const QStringList &ids) override;
    int expireBefore(qint64 cutoffSecs) override;

private:
    // A parameter: a QString or std::nullopt (NULL) as text, a QByteArray as binary.
    using Param = std::variant<std::monostate, QString, QByteArray, qint64>;
    // One result, cleared when it goes out of scope.
    class Result;

    explicit PostgresRegistry(PGconn *conn);
    ::Result<std::monostate> migrate();
    // Runs one statement; a lost connection is re-opened and the statement tried once more.
    Result run(const char *sql, const QList<Param> &params = {}, bool binaryResult = false) const;
    bool exec(const char *sql) const;

    PGconn *m_conn; // owned
};

#include "PostgresRegistry.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <libpq-fe.h>

#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcRendezvous)

namespace {

// The migrations, in order; schema_version holds how many have been applied. Each runs in
// the transaction that records it.
const char *const migrations[] = {
    // 1: the table of the SQLite registry, with PostgreSQL's types.
    "CREATE TABLE devices ("
    " id TEXT PRIMARY KEY,"
    " secret_hash BYTEA NOT NULL UNIQUE,"
    " name TEXT NOT NULL,"
    " platform TEXT,"
    " created BIGINT NOT NULL,"
    " last_seen BIGINT NOT NULL,"
    " thumb BYTEA,"
    " thumb_type TEXT,"
    " thumb_at BIGINT);"
    "CREATE INDEX devices_last_seen ON devices (last_seen);",
};
static_assert(std::size(migrations) == PostgresRegistry::schemaVersion);

// Advisory lock keys: the migration at start, and the thumbnail budget.
constexpr qint64 migrationLock = 0x76656c6d6f01;
constexpr qint64 thumbLock = 0x76656c6d6f02;

// A new device with a random ID from 100000000 to 999999999, drawn by the database:
// gen_random_uuid() reads the server's strong random source; 60 of its bits, reduced, give
// the nine digits. Nothing is inserted when the ID or the secret is taken already.
const char *const insertNewDevice =
    "INSERT INTO devices (id, secret_hash, name, platform, created, last_seen) VALUES ("
    "(100000000 + ('x' || substr(md5(gen_random_uuid()::text), 1, 15))::bit(60)::bigint % 900000000)::text, "
    "$1, $2, $3, $4, $4) ON CONFLICT DO NOTHING RETURNING id";

} // namespace

class PostgresRegistry::Result {
public:
    explicit Result(PGresult *r = nullptr) : m_r(r) {}
    ~Result() { PQclear(m_r); }
    Result(Result &&o) noexcept : m_r(std::exchange(o.m_r, nullptr)) {}
    Result &operator=(Result &&) = delete;

    bool ok() const {
        const ExecStatusType s = m_r ? PQresultStatus(m_r) : PGRES_FATAL_ERROR;
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
    int rows() const { return ok() ? PQntuples(m_r) : 0; }
    int affected() const { return ok() ? QByteArray(PQcmdTuples(m_r)).toInt() : 0; }
    bool isNull(int row, int col) const { return PQgetisnull(m_r, row, col); }
    QString text(int row, int col) const {
        return QString::fromUtf8(PQgetvalue(m_r, row, col), PQgetlength(m_r, row, col));
    }
    QByteArray bytes(int row, int col) const {
        return QByteArray(PQgetvalue(m_r, row, col), PQgetlength(m_r, row, col));
    }
    std::optional<QString> optionalText(int row, int col) const {
        return isNull(row, col) ? std::nullopt : std::optional<QString>(text(row, col));
    }
    DeviceRecord record(int row) const { return DeviceRecord{text(row, 0), text(row, 1), optionalText(row, 2)}; }

private:
    PGresult *m_r;
};

PostgresRegistry::PostgresRegistry(PGconn *conn) : m_conn(conn) {}

PostgresRegistry::~PostgresRegistry() {
    PQfinish(m_conn);
}

::Result<std::unique_ptr<PostgresRegistry>> PostgresRegistry::open(const QString &uri) {
    using Opened = ::Result<std::unique_ptr<PostgresRegistry>>;
    PGconn *conn = PQconnectdb(uri.toUtf8().constData());
    if (PQstatus(conn) != CONNECTION_OK) {
        const QString why = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        PQfinish(conn);
        return Opened::failure(Error::make(Error::Kind::Unreachable, why));
    }
    std::unique_ptr<PostgresRegistry> r(new PostgresRegistry(conn));
    // Quiet the server's NOTICEs ("relation already exists") in the log.
    r->exec("SET client_min_messages = warning");
    if (const ::Result<std::monostate> migrated = r->migrate(); !migrated.ok())
        return Opened::failure(migrated.error);
    return Opened::success(std::move(r));
}

bool PostgresRegistry::exec(const char *sql) const {
    return run(sql).ok();
}

PostgresRegistry::Result PostgresRegistry::run(const char *sql, const QList<Param> &params, bool binaryResult) const {
    std::vector<QByteArray> storage;
    std::vector<const char *> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    storage.reserve(size_t(params.size()));
    for (const Param &p : params) {
        if (const auto *s = std::get_if<QString>(&p)) {
            storage.push_back(s->toUtf8());
            formats.push_back(0);
        } else if (const auto *b = std::get_if<QByteArray>(&p)) {
            storage.push_back(*b);
            formats.push_back(1);
        } else if (const auto *n = std::get_if<qint64>(&p)) {
            storage.push_back(QByteArray::number(*n));
            formats.push_back(0);
        } else {
            storage.emplace_back();
            formats.push_back(0);
        }
        values.push_back(std::holds_alternative<std::monostate>(p) ? nullptr : storage.back().constData());
        lengths.push_back(int(storage.back().size()));
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Without parameters a string may hold several statements (the migrations do).
        Result r(params.isEmpty() && !binaryResult
                     ? PQexec(m_conn, sql)
                     : PQexecParams(m_conn, sql, int(params.size()), nullptr, values.data(), lengths.data(),
                                    formats.data(), binaryResult ? 1 : 0));
        if (r.ok())
            return r;
        if (PQstatus(m_conn) == CONNECTION_OK || attempt == 1) {
            qCWarning(lcRendezvous).noquote()
                << "postgresql:" << QString::fromUtf8(PQerrorMessage(m_conn)).trimmed() << "in" << sql;
            return r;
        }
        // The server restarted or the connection dropped: connect again, once.
        qCWarning(lcRendezvous).noquote() << "postgresql connection lost; reconnecting";
        PQreset(m_conn);
    }
    return Result();
}

::Result<std::monostate> PostgresRegistry::migrate() {
    using Migrated = ::Result<std::monostate>;
    auto failed = [&] {
        const QString why = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
        exec("ROLLBACK");
        return Migrated::failure(Error::make(Error::Kind::Unavailable, why));
    };
    // Instances starting together take turns; the first one migrates, the others find it done.
    if (!exec("BEGIN") || !run("SELECT pg_advisory_xact_lock($1)", {migrationLock}).ok() ||
        !exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"))
        return failed();
    const Result current = run("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    if (current.rows() != 1)
        return failed();
    const int from = current.text(0, 0).toInt();
    if (from > schemaVersion) {
        exec("ROLLBACK");
        return Migrated::failure(Error::make(
            Error::Kind::Invalid, QStringLiteral("the database has schema version %1; this server knows up to %2")
                                      .arg(from)
                                      .arg(schemaVersion)));
    }
    for (int v = from + 1; v <= schemaVersion; ++v) {
        if (!exec(migrations[v - 1]) || !run("INSERT INTO schema_version (version) VALUES ($1)", {qint64(v)}).ok())
            return failed();
        qCInfo(lcRendezvous) << "postgresql registry migrated to schema version" << v;
    }
    if (!exec("COMMIT"))
        return failed();
    return Migrated::success({});
}

std::optional<QString> PostgresRegistry::registerDevice(const QByteArray &secretHash, const QString &name,
                                                        const std::optional<QString> &platform) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const Param platformParam = platform ? Param(*platform) : Param();
    for (int attempt = 0; attempt < 64; ++attempt) {
        const Result known = run("UPDATE devices SET name = $1, platform = $2, last_seen = $3 WHERE secret_hash = $4 "
                                 "RETURNING id",
                                 {name, platformParam, now, secretHash});
        if (!known.ok())
            return std::nullopt;
        if (known.rows() == 1)
            return known.text(0, 0);
        // New: the database draws the ID. Nothing is inserted when the ID is taken (drawn
        // again) or when another instance has just registered this secret (found above).
        const Result made = run(insertNewDevice, {secretHash, name, platformParam, now});
        if (!made.ok())
            return std::nullopt;
        if (made.rows() == 1)
            return made.text(0, 0);
    }
    return std::nullopt;
}

bool PostgresRegistry::setName(const QString &id, const QString &name) {
    return run("UPDATE devices SET name = $1 WHERE id = $2", {name, id}).ok();
}

bool PostgresRegistry::setPlatform(const QString &id, const std::optional<QString> &platform) {
    return run("UPDATE devices SET platform = $1 WHERE id = $2", {platform ? Param(*platform) : Param(), id}).ok();
}

std::optional<DeviceRecord> PostgresRegistry::find(const QString &id) const {
    if (!isDeviceId(id))
        return std::nullopt;
    const Result r = run("SELECT id, name, platform FROM devices WHERE id = $1", {id});
    if (r.rows() != 1)
        return std::nullopt;
    return r.record(0);
}

std::optional<QString> PostgresRegistry::idForSecret(const QByteArray &secretHash) const {
    const Result r = run("SELECT id FROM devices WHERE secret_hash = $1", {secretHash});
    if (r.rows() != 1)
        return std::nullopt;
    return r.text(0, 0);
}

QList<DeviceRecord> PostgresRegistry::list() const {
    QList<DeviceRecord> out;
    const Result r = run("SELECT id, name, platform FROM devices ORDER BY id");
    for (int i = 0; i < r.rows(); ++i)
        out.append(r.record(i));
    return out;
}

qint64 PostgresRegistry::thumbBytes() const {
    const Result r = run("SELECT COALESCE(SUM(octet_length(thumb)), 0) FROM devices");
    return r.rows() == 1 ? r.text(0, 0).toLongLong() : 0;
}

bool PostgresRegistry::setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType) {
    if (m_thumbBudget > 0 && bytes.size() > m_thumbBudget)
        return false;
    const Param type = QString::fromLatin1(mimeType);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_thumbBudget <= 0) {
        const Result r =
            run("UPDATE devices SET thumb = $1, thumb_type = $2, thumb_at = $3 WHERE id = $4", {bytes, type, now, id});
        return r.ok() && r.affected() == 1;
    }
    // The budget covers every instance's thumbnails: one instance at a time makes room.
    auto rollback = [this] {
        exec("ROLLBACK");
        return false;
    };
    if (!exec("BEGIN") || !run("SELECT pg_advisory_xact_lock($1)", {thumbLock}).ok())
        return rollback();
    const Result sizes = run("SELECT COALESCE(SUM(octet_length(thumb)), 0), "
                             "(SELECT COALESCE(octet_length(thumb), 0) FROM devices WHERE id = $1), "
                             "EXISTS (SELECT 1 FROM devices WHERE id = $1) FROM devices",
                             {id});
    if (sizes.rows() != 1 || sizes.text(0, 2) != u"t")
        return rollback();
    qint64 total = sizes.text(0, 0).toLongLong();
    const qint64 old = sizes.isNull(0, 1) ? 0 : sizes.text(0, 1).toLongLong();
    while (total - old + bytes.size() > m_thumbBudget) {
        // The thumbnails stored longest ago (those of devices gone quiet) go first.
        const Result dropped = run("UPDATE devices SET thumb = NULL, thumb_type = NULL WHERE id = ("
                                   " SELECT id FROM devices WHERE thumb IS NOT NULL AND id != $1"
                                   " ORDER BY COALESCE(thumb_at, 0) LIMIT 1) RETURNING id",
                                   {id});
        if (!dropped.ok())
            return rollback();
        if (dropped.rows() == 0)
            break;
        total = run("SELECT COALESCE(SUM(octet_length(thumb)), 0) FROM devices").text(0, 0).toLongLong();
    }
    const Result r =
        run("UPDATE devices SET thumb = $1, thumb_type = $2, thumb_at = $3 WHERE id = $4", {bytes, type, now, id});
    if (!r.ok())
        return rollback();
    return exec("COMMIT");
}

std::optional<std::pair<QByteArray, QByteArray>> PostgresRegistry::thumb(const QString &id) const {
    if (!isDeviceId(id))
        return std::nullopt;
    // Binary results: the bytes as stored, the type's text as is.
    const Result r = run("SELECT thumb, thumb_type FROM devices WHERE id = $1 AND thumb IS NOT NULL", {id}, true);
    if (r.rows() != 1)
        return std::nullopt;
    const QByteArray bytes = r.bytes(0, 0);
    if (bytes.isEmpty())
        return std::nullopt;
    return std::make_pair(bytes, r.bytes(0, 1));
}

bool PostgresRegistry::remove(const QString &id) {
    if (!isDeviceId(id))
        return false;
    const Result r = run("DELETE FROM devices WHERE id = $1", {id});
    return r.ok() && r.affected() == 1;
}

bool PostgresRegistry::touch(const QStringList &ids) {
    if (ids.isEmpty())
        return true;
    // IDs are nine digits each: the array literal needs no quoting.
    const QString array = u'{' + ids.join(u',') + u'}';
    return run("UPDATE devices SET last_seen = $1 WHERE id = ANY($2::text[])",
               {QDateTime::currentSecsSinceEpoch(), array})
        .ok();
}

int PostgresRegistry::expireBefore(qint64 cutoffSecs) {
    return run("DELETE FROM devices WHERE last_seen < $1", {cutoffSecs}).affected();
}

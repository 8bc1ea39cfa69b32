#include "SqliteRegistry.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <sqlite3.h>

Q_DECLARE_LOGGING_CATEGORY(lcRendezvous)

namespace {

// A prepared statement finalised when it goes out of scope.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            qCWarning(lcRendezvous) << "sqlite prepare failed:" << sqlite3_errmsg(db);
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }

    void bind(int i, const QString &s) {
        const QByteArray utf8 = s.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, const std::optional<QString> &s) {
        if (s)
            bind(i, *s);
        else
            sqlite3_bind_null(m_stmt, i);
    }
    void bindBlob(int i, const QByteArray &b) {
        sqlite3_bind_blob(m_stmt, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, qint64 v) { sqlite3_bind_int64(m_stmt, i, v); }
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }

    QString text(int col) const {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col)),
                                 sqlite3_column_bytes(m_stmt, col));
    }
    std::optional<QString> optionalText(int col) const {
        if (sqlite3_column_type(m_stmt, col) == SQLITE_NULL)
            return std::nullopt;
        return text(col);
    }
    QByteArray blob(int col) const {
        return QByteArray(static_cast<const char *>(sqlite3_column_blob(m_stmt, col)),
                          sqlite3_column_bytes(m_stmt, col));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

DeviceRecord recordFrom(const Statement &st) {
    return DeviceRecord{st.text(0), st.text(1), st.optionalText(2)};
}

} // namespace

SqliteRegistry::SqliteRegistry(sqlite3 *db) : m_db(db) {}

SqliteRegistry::~SqliteRegistry() {
    sqlite3_close(m_db);
}

Result<std::unique_ptr<SqliteRegistry>> SqliteRegistry::open(const QString &path) {
    using Opened = Result<std::unique_ptr<SqliteRegistry>>;
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const QString why = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return Opened::failure(Error::make(Error::Kind::Unavailable, why));
    }
    std::unique_ptr<SqliteRegistry> r(new SqliteRegistry(db));
    sqlite3_busy_timeout(db, 2000);
    if (!r->exec("PRAGMA journal_mode=WAL") || !r->exec("PRAGMA synchronous=NORMAL"))
        return Opened::failure(Error::make(Error::Kind::Unavailable, QString::fromUtf8(sqlite3_errmsg(db))));
    if (const Result<std::monostate> migrated = r->migrate(); !migrated.ok())
        return Opened::failure(migrated.error);
    r->m_thumbBytes = r->queryThumbBytes();
    return Opened::success(std::move(r));
}

Result<std::monostate> SqliteRegistry::migrate() {
    using Migrated = Result<std::monostate>;
    // The reason is read before ROLLBACK replaces it.
    auto rollback = [this](bool rollBack = true) {
        const QString why = QString::fromUtf8(sqlite3_errmsg(m_db));
        if (rollBack)
            exec("ROLLBACK");
        return Migrated::failure(Error::make(Error::Kind::Unavailable, why));
    };
    // Files from before schema_version have the table of version 1, some also the column of
    // version 2: each step is written to find its work done already.
    if (!exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)") || !exec("BEGIN IMMEDIATE"))
        return rollback(false);
    qint64 from = 0;
    {
        Statement st(m_db, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
        if (st.step() != SQLITE_ROW)
            return rollback();
        from = sqlite3_column_int64(st.get(), 0);
    }
    if (from > schemaVersion) {
        exec("ROLLBACK");
        return Migrated::failure(Error::make(
            Error::Kind::Invalid,
            QStringLiteral("the file has schema version %1; this server knows up to %2").arg(from).arg(schemaVersion)));
    }
    if (from < 1 && !exec("CREATE TABLE IF NOT EXISTS devices ("
                          " id TEXT PRIMARY KEY,"
                          " secret_hash BLOB NOT NULL UNIQUE,"
                          " name TEXT NOT NULL,"
                          " platform TEXT,"
                          " created INTEGER NOT NULL,"
                          " last_seen INTEGER NOT NULL,"
                          " thumb BLOB,"
                          " thumb_type TEXT)"))
        return rollback();
    if (from < 2) {
        // When each thumbnail was stored, to drop the stalest first; and expiry by last_seen.
        Statement has(m_db, "SELECT COUNT(*) FROM pragma_table_info('devices') WHERE name = 'thumb_at'");
        if (has.step() != SQLITE_ROW)
            return rollback();
        if (sqlite3_column_int64(has.get(), 0) == 0 && !exec("ALTER TABLE devices ADD COLUMN thumb_at INTEGER"))
            return rollback();
        if (!exec("CREATE INDEX IF NOT EXISTS devices_last_seen ON devices (last_seen)"))
            return rollback();
    }
    if (from < schemaVersion) {
        Statement st(m_db, "INSERT INTO schema_version (version) VALUES (?1)");
        st.bind(1, qint64(schemaVersion));
        if (st.step() != SQLITE_DONE)
            return rollback();
    }
    if (!exec("COMMIT"))
        return rollback();
    return Migrated::success({});
}

bool SqliteRegistry::exec(const char *sql) {
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        qCWarning(lcRendezvous) << "sqlite:" << sql << "failed:" << message;
        sqlite3_free(message);
        return false;
    }
    return true;
}

std::optional<QString> SqliteRegistry::registerDevice(const QByteArray &secretHash, const QString &name,
                                                      const std::optional<QString> &platform) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    {
        Statement st(m_db, "UPDATE devices SET name = ?1, platform = ?2, last_seen = ?3 WHERE secret_hash = ?4 "
                           "RETURNING id");
        st.bind(1, name);
        st.bind(2, platform);
        st.bind(3, now);
        st.bindBlob(4, secretHash);
        if (st.step() == SQLITE_ROW)
            return st.text(0);
    }
    // A new device: draw IDs until one is free (the space is large, collisions are rare).
    for (int attempt = 0; attempt < 64; ++attempt) {
        const QString id = QString::number(QRandomGenerator::system()->bounded(100000000, 1000000000));
        Statement st(m_db, "INSERT INTO devices (id, secret_hash, name, platform, created, last_seen) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?5) ON CONFLICT (id) DO NOTHING");
        st.bind(1, id);
        st.bindBlob(2, secretHash);
        st.bind(3, name);
        st.bind(4, platform);
        st.bind(5, now);
        if (st.step() != SQLITE_DONE)
            return std::nullopt;
        if (sqlite3_changes(m_db) == 1)
            return id;
    }
    return std::nullopt;
}

bool SqliteRegistry::setName(const QString &id, const QString &name) {
    Statement st(m_db, "UPDATE devices SET name = ?1 WHERE id = ?2");
    st.bind(1, name);
    st.bind(2, id);
    return st.step() == SQLITE_DONE;
}

bool SqliteRegistry::setPlatform(const QString &id, const std::optional<QString> &platform) {
    Statement st(m_db, "UPDATE devices SET platform = ?1 WHERE id = ?2");
    st.bind(1, platform);
    st.bind(2, id);
    return st.step() == SQLITE_DONE;
}

std::optional<DeviceRecord> SqliteRegistry::find(const QString &id) const {
    if (!isDeviceId(id))
        return std::nullopt;
    Statement st(m_db, "SELECT id, name, platform FROM devices WHERE id = ?1");
    st.bind(1, id);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    return recordFrom(st);
}

std::optional<QString> SqliteRegistry::idForSecret(const QByteArray &secretHash) const {
    Statement st(m_db, "SELECT id FROM devices WHERE secret_hash = ?1");
    st.bindBlob(1, secretHash);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    return st.text(0);
}

QList<DeviceRecord> SqliteRegistry::list() const {
    QList<DeviceRecord> out;
    Statement st(m_db, "SELECT id, name, platform FROM devices ORDER BY id");
    while (st.step() == SQLITE_ROW)
        out.append(recordFrom(st));
    return out;
}

qint64 SqliteRegistry::queryThumbBytes() const {
    Statement st(m_db, "SELECT COALESCE(SUM(LENGTH(thumb)), 0) FROM devices");
    return st.step() == SQLITE_ROW ? sqlite3_column_int64(st.get(), 0) : 0;
}

bool SqliteRegistry::setThumb(const QString &id, const QByteArray &bytes, const QByteArray &mimeType) {
    qint64 old = 0;
    {
        Statement st(m_db, "SELECT COALESCE(LENGTH(thumb), 0) FROM devices WHERE id = ?1");
        st.bind(1, id);
        if (st.step() != SQLITE_ROW)
            return false;
        old = sqlite3_column_int64(st.get(), 0);
    }
    if (m_thumbBudget > 0 && bytes.size() > m_thumbBudget)
        return false;
    // Make room first: the thumbnails stored longest ago (those of devices gone quiet) go.
    while (m_thumbBudget > 0 && m_thumbBytes - old + bytes.size() > m_thumbBudget) {
        Statement pick(m_db, "SELECT id, LENGTH(thumb) FROM devices WHERE thumb IS NOT NULL AND id != ?1 "
                             "ORDER BY COALESCE(thumb_at, 0) LIMIT 1");
        pick.bind(1, id);
        if (pick.step() != SQLITE_ROW)
            break;
        const QString victim = pick.text(0);
        const qint64 size = sqlite3_column_int64(pick.get(), 1);
        Statement drop(m_db, "UPDATE devices SET thumb = NULL, thumb_type = NULL WHERE id = ?1");
        drop.bind(1, victim);
        if (drop.step() != SQLITE_DONE)
            return false;
        m_thumbBytes -= size;
    }
    Statement st(m_db, "UPDATE devices SET thumb = ?1, thumb_type = ?2, thumb_at = ?3 WHERE id = ?4");
    st.bindBlob(1, bytes);
    st.bind(2, QString::fromLatin1(mimeType));
    st.bind(3, QDateTime::currentMSecsSinceEpoch());
    st.bind(4, id);
    if (st.step() != SQLITE_DONE)
        return false;
    m_thumbBytes += bytes.size() - old;
    return true;
}

std::optional<std::pair<QByteArray, QByteArray>> SqliteRegistry::thumb(const QString &id) const {
    if (!isDeviceId(id))
        return std::nullopt;
    Statement st(m_db, "SELECT thumb, thumb_type FROM devices WHERE id = ?1 AND thumb IS NOT NULL");
    st.bind(1, id);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    const QByteArray bytes = st.blob(0);
    if (bytes.isEmpty())
        return std::nullopt;
    return std::make_pair(bytes, st.text(1).toLatin1());
}

bool SqliteRegistry::remove(const QString &id) {
    if (!isDeviceId(id))
        return false;
    Statement st(m_db, "DELETE FROM devices WHERE id = ?1");
    st.bind(1, id);
    const bool removed = st.step() == SQLITE_DONE && sqlite3_changes(m_db) == 1;
    if (removed)
        m_thumbBytes = queryThumbBytes();
    return removed;
}

bool SqliteRegistry::touch(const QStringList &ids) {
    if (ids.isEmpty())
        return true;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!exec("BEGIN"))
        return false;
    bool ok = true;
    for (const QString &id : ids) {
        Statement st(m_db, "UPDATE devices SET last_seen = ?1 WHERE id = ?2");
        st.bind(1, now);
        st.bind(2, id);
        ok = st.step() == SQLITE_DONE && ok;
    }
    return exec(ok ? "COMMIT" : "ROLLBACK") && ok;
}

int SqliteRegistry::expireBefore(qint64 cutoffSecs) {
    Statement st(m_db, "DELETE FROM devices WHERE last_seen < ?1");
    st.bind(1, cutoffSecs);
    if (st.step() != SQLITE_DONE)
        return 0;
    const int gone = sqlite3_changes(m_db);
    if (gone > 0)
        m_thumbBytes = queryThumbBytes();
    return gone;
}

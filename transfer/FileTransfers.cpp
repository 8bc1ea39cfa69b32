#include "transfer/FileTransfers.h"

#include "protocol/Json.h"
#include "transfer/IncomingFile.h"
#include "transfer/SendableFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <cmath>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcTransfer, "velmo.transfer")

namespace {
std::optional<quint32> wireId(const QJsonValue &v) {
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < 1 || d > 4294967295.0)
        return std::nullopt;
    return quint32(d);
}

QString notAllowedText() {
    return QStringLiteral("ファイル転送が許可されていません");
}
} // namespace

FileTransfers::FileTransfers(Link link, QObject *parent)
    : QObject(parent), m_link(std::move(link)), m_folder(defaultFolder()) {
    m_pumpTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &FileTransfers::pump);
    m_watch.setInterval(500);
    connect(&m_watch, &QTimer::timeout, this, &FileTransfers::checkTimeouts);
}

FileTransfers::~FileTransfers() = default; // partial files go with their IncomingFile

QString FileTransfers::defaultFolder() {
    // Qt reads XDG_DOWNLOAD_DIR from user-dirs.dirs and falls back to ~/Downloads; a
    // setting that points at the home folder itself is not taken as a download folder.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (dir.isEmpty() || QDir(dir) == QDir::home())
        dir = QDir::home().filePath(QStringLiteral("Downloads"));
    return dir;
}

int FileTransfers::addTransfer(Transfer t) {
    t.key = ++m_nextKey;
    m_list.emplace(t.key, t);
    prune();
    Q_EMIT added(t.key);
    return t.key;
}

void FileTransfers::finish(int key, Status status, const QString &message) {
    auto it = m_list.find(key);
    if (it == m_list.end() || it->second.finished())
        return;
    it->second.status = status;
    it->second.message = message;
    Q_EMIT changed(key);
}

void FileTransfers::prune() {
    int finished = 0;
    for (const auto &[key, t] : m_list)
        finished += t.finished();
    for (auto it = m_list.begin(); it != m_list.end() && finished > keptFinished;) {
        if (it->second.finished()) {
            it = m_list.erase(it);
            --finished;
        } else {
            ++it;
        }
    }
}

void FileTransfers::forget(int key) {
    auto it = m_list.find(key);
    if (it != m_list.end() && it->second.finished())
        m_list.erase(it);
}

QList<FileTransfers::Transfer> FileTransfers::transfers() const {
    QList<Transfer> out;
    for (const auto &[key, t] : m_list)
        out.append(t);
    return out;
}

std::optional<FileTransfers::Transfer> FileTransfers::transfer(int key) const {
    auto it = m_list.find(key);
    if (it == m_list.end())
        return std::nullopt;
    return it->second;
}

void FileTransfers::sendJson(const QJsonObject &message) {
    if (m_link.sendText)
        m_link.sendText(Json::compact(message));
}

void FileTransfers::setAllowed(bool allowed) {
    if (m_allowed == allowed)
        return;
    m_allowed = allowed;
    if (allowed)
        return;
    while (!m_out.empty())
        failOut(m_out.begin()->first, notAllowedText(), true);
    while (!m_in.empty())
        failIn(m_in.begin()->first, notAllowedText(), true);
    while (!m_fetches.empty())
        endFetch(m_fetches.begin()->first, {}, notAllowedText());
}

// ---- sending ---------------------------------------------------------------------------------------------------

int FileTransfers::send(const QString &path, const QString &name) {
    return sendFile(path, name, 0);
}

int FileTransfers::sendFile(const QString &path, const QString &name, quint32 req) {
    const QFileInfo info(path);
    Transfer t;
    t.direction = Direction::Outgoing;
    t.name = name.isEmpty() ? info.fileName() : name;
    t.path = info.absoluteFilePath();
    t.size = info.size();
    const int key = addTransfer(t);
    auto refuse = [&](const QString &text) {
        finish(key, Status::Failed, text);
        return key;
    };
    if (!m_allowed)
        return refuse(notAllowedText());
    if (m_out.size() >= std::size_t(maxOutgoing))
        return refuse(QStringLiteral("同時に送れるファイルが多すぎます"));
    // What is read is what was checked: the descriptor SendableFile opened.
    QString why;
    const int fd = SendableFile::open(t.path, &why);
    if (fd < 0)
        return refuse(why);
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(QStringLiteral("ファイルを読み込めません"));
    }
    t.size = file->size();
    m_list[key].size = t.size;
    const quint32 id = ++m_nextId;
    Out out;
    out.key = key;
    out.file = std::move(file);
    out.size = t.size;
    out.since.start();
    QJsonObject start{{"t", "file_start"}, {"id", qint64(id)}, {"name", t.name}, {"size", t.size}};
    if (req)
        start.insert(QLatin1String("req"), qint64(req));
    if (!m_link.sendText || !m_link.sendText(Json::compact(start)))
        return refuse(QStringLiteral("送れませんでした(接続がありません)"));
    m_out.emplace(id, std::move(out));
    m_watch.start();
    qCDebug(lcTransfer) << "offering" << t.name << t.size << "bytes as" << id;
    return key;
}

void FileTransfers::failOut(quint32 id, const QString &message, bool tellPeer) {
    auto it = m_out.find(id);
    if (it == m_out.end())
        return;
    const int key = it->second.key;
    m_out.erase(it);
    if (tellPeer)
        sendJson({{"t", "file_cancel"}, {"id", qint64(id)}});
    finish(key, Status::Failed, message);
}

void FileTransfers::schedulePump(int delayMs) {
    if (!m_pumpTimer.isActive() || m_pumpTimer.remainingTime() > delayMs)
        m_pumpTimer.start(delayMs);
}

void FileTransfers::pump() {
    bool channelFull = false;
    bool progress = true;
    // One chunk per transfer and round, so that files sent together share the channel.
    while (progress && !channelFull) {
        progress = false;
        for (auto it = m_out.begin(); it != m_out.end();) {
            Out &o = it->second;
            const quint32 id = it->first;
            ++it; // failOut below erases the current entry
            if (!o.accepted || o.endSent)
                continue;
            if (m_link.buffered && m_link.buffered() >= channelHigh) {
                channelFull = true;
                break;
            }
            if (o.sent < o.size) {
                if (o.sent - o.acked >= window)
                    continue; // waits for the receiver's acknowledgement
                const qint64 n = std::min<qint64>(chunkBytes, o.size - o.sent);
                const QByteArray data = o.file->read(n);
                if (data.size() != n) {
                    failOut(id, QStringLiteral("ファイルを読み込めませんでした"), true);
                    continue;
                }
                if (!m_link.sendBinary(FileChunkHeader{id, quint32(quint64(o.sent))}.encode(data))) {
                    failOut(id, QStringLiteral("送れませんでした(接続が切れました)"), false);
                    continue;
                }
                o.sent += n;
                progress = true;
            }
            if (o.sent == o.size && !o.endSent) {
                o.endSent = true;
                o.file->close();
                sendJson({{"t", "file_end"}, {"id", qint64(id)}});
            }
        }
    }
    // The channel drains on its own; look again shortly. A full window waits for an ack instead.
    if (channelFull)
        schedulePump(5);
}

void FileTransfers::checkTimeouts() {
    QList<quint32> late, stalled, idle;
    for (const auto &[id, o] : m_out) {
        if (!o.accepted && o.since.elapsed() > acceptTimeoutMs)
            late.append(id);
        else if (o.accepted && o.since.elapsed() > m_stallMs) // no acknowledgement, or no "file_done"
            stalled.append(id);
    }
    for (const auto &[id, in] : m_in)
        if (in.since.elapsed() > m_stallMs)
            idle.append(id);
    QList<quint32> unanswered;
    for (const auto &[req, f] : m_fetches)
        if (f.asked && !f.inId && f.since.elapsed() > acceptTimeoutMs)
            unanswered.append(req);
    for (quint32 req : unanswered)
        endFetch(req, {}, QStringLiteral("相手がファイルを送ってきませんでした(応答がありません)"));
    for (quint32 id : late)
        failOut(id, QStringLiteral("相手がファイルを受け取りませんでした(応答がありません)"), true);
    for (quint32 id : stalled)
        failOut(id, QStringLiteral("相手からの応答が途絶えました"), true);
    for (quint32 id : idle)
        failIn(id, QStringLiteral("相手からのデータが途絶えました"), true);
    if (m_out.empty() && m_in.empty() && m_fetches.empty())
        m_watch.stop();
}

// ---- receiving and the other end's answers ---------------------------------------------------------------------

void FileTransfers::failIn(quint32 id, const QString &message, bool tellPeer) {
    auto it = m_in.find(id);
    if (it == m_in.end())
        return;
    const int key = it->second.key;
    const quint32 req = it->second.req;
    m_in.erase(it); // the partial file goes with it
    if (tellPeer)
        sendJson({{"t", "file_reject"}, {"id", qint64(id)}, {"reason", message}});
    finish(key, Status::Failed, message);
    if (req)
        endFetch(req, {}, message);
}

void FileTransfers::handleText(const QJsonObject &message) {
    const QString t = message.value(QLatin1String("t")).toString();
    if (!t.startsWith(QLatin1String("file_")))
        return;
    if (t == QLatin1String("file_get"))
        return handleGet(message);
    if (t == QLatin1String("file_unavailable")) {
        const std::optional<quint32> req = wireId(message.value(QLatin1String("req")));
        auto f = req ? m_fetches.find(*req) : m_fetches.end();
        if (f == m_fetches.end() || !f->second.asked || f->second.inId)
            return;
        const QJsonValue reason = message.value(QLatin1String("reason"));
        const QString why = reason.isString() ? reason.toString().left(200) : QString();
        endFetch(*req, {},
                 QStringLiteral("相手側: ") + (why.isEmpty() ? QStringLiteral("ファイルを送れませんでした") : why));
        return;
    }
    const std::optional<quint32> id = wireId(message.value(QLatin1String("id")));
    if (!id)
        return;

    if (t == QLatin1String("file_start")) {
        if (m_in.count(*id))
            return; // a repeated announcement: the first one stands
        auto reject = [&](const QString &reason) {
            sendJson({{"t", "file_reject"}, {"id", qint64(*id)}, {"reason", reason}});
        };
        const QJsonValue name = message.value(QLatin1String("name"));
        const QJsonValue size = message.value(QLatin1String("size"));
        const double s = size.toDouble(-1);
        // A file sent for a fetch names it: it goes where that fetch wants it, or nowhere.
        quint32 req = 0;
        QString folder = m_folder;
        if (message.contains(QLatin1String("req"))) {
            const std::optional<quint32> r = wireId(message.value(QLatin1String("req")));
            auto f = r ? m_fetches.find(*r) : m_fetches.end();
            if (f == m_fetches.end() || !f->second.asked || f->second.inId)
                return reject(QStringLiteral("求めていないファイルです"));
            req = *r;
            folder = f->second.folder;
            auto refuse = [&](const QString &reason) {
                reject(reason);
                endFetch(req, {}, reason);
            };
            if (!name.isString() || !size.isDouble() || !std::isfinite(s) || s < 0 || s != std::floor(s))
                return refuse(QStringLiteral("不正なファイル情報です"));
            if (s > double(f->second.maxSize))
                return refuse(QStringLiteral("ファイルの大きさが知らされたものと違います"));
            if (!m_allowed)
                return refuse(notAllowedText());
            if (m_in.size() >= std::size_t(maxIncoming))
                return refuse(QStringLiteral("同時に受け取れるファイルが多すぎます"));
            f->second.inId = *id;
        }
        if (!name.isString() || !size.isDouble() || !std::isfinite(s) || s < 0 || s != std::floor(s) || s > 9e15)
            return reject(QStringLiteral("不正なファイル情報です"));
        if (!m_allowed)
            return reject(notAllowedText());
        if (m_in.size() >= std::size_t(maxIncoming))
            return reject(QStringLiteral("同時に受け取れるファイルが多すぎます"));
        QString error;
        std::unique_ptr<IncomingFile> file =
            IncomingFile::create(folder, name.toString().left(4096), qint64(s), &error);
        Transfer tr;
        tr.direction = Direction::Incoming;
        tr.name = file ? file->name() : name.toString().left(256);
        tr.size = qint64(s);
        tr.status = Status::Running;
        const int key = addTransfer(tr);
        if (!file) {
            reject(error);
            finish(key, Status::Failed, error);
            if (req)
                endFetch(req, {}, error);
            return;
        }
        In in;
        in.key = key;
        in.req = req;
        in.file = std::move(file);
        in.since.start();
        m_in.emplace(*id, std::move(in));
        m_watch.start();
        sendJson({{"t", "file_accept"}, {"id", qint64(*id)}});
        qCDebug(lcTransfer) << "receiving" << tr.name << tr.size << "bytes as" << *id;
    } else if (t == QLatin1String("file_end")) {
        auto it = m_in.find(*id);
        if (it == m_in.end())
            return;
        In &in = it->second;
        if (in.file->written() != in.file->size())
            return failIn(*id, QStringLiteral("ファイルの一部が届きませんでした"), true);
        QString error;
        if (!in.file->commit(&error))
            return failIn(*id, error, true);
        const int key = in.key;
        const quint32 req = in.req;
        const QString path = in.file->finalPath();
        m_in.erase(it);
        sendJson({{"t", "file_done"}, {"id", qint64(*id)}, {"name", QFileInfo(path).fileName()}});
        auto tr = m_list.find(key);
        if (tr != m_list.end()) {
            tr->second.done = tr->second.size;
            tr->second.path = path;
            tr->second.name = QFileInfo(path).fileName();
        }
        finish(key, Status::Done);
        if (req)
            endFetch(req, path, {});
    } else if (t == QLatin1String("file_cancel")) {
        auto it = m_in.find(*id);
        if (it == m_in.end())
            return;
        const int key = it->second.key;
        const quint32 req = it->second.req;
        m_in.erase(it);
        finish(key, Status::Cancelled, QStringLiteral("相手が取り消しました"));
        if (req)
            endFetch(req, {}, QStringLiteral("相手が取り消しました"));
    } else if (t == QLatin1String("file_accept")) {
        auto it = m_out.find(*id);
        if (it == m_out.end() || it->second.accepted)
            return;
        it->second.accepted = true;
        it->second.since.restart();
        if (auto tr = m_list.find(it->second.key); tr != m_list.end())
            tr->second.status = Status::Running;
        Q_EMIT changed(it->second.key);
        schedulePump();
    } else if (t == QLatin1String("file_ack")) {
        auto it = m_out.find(*id);
        const double bytes = message.value(QLatin1String("bytes")).toDouble(-1);
        if (it == m_out.end() || !std::isfinite(bytes))
            return;
        Out &o = it->second;
        o.acked = std::clamp<qint64>(qint64(std::min(bytes, 9e15)), o.acked, o.sent);
        o.since.restart();
        if (auto tr = m_list.find(o.key); tr != m_list.end())
            tr->second.done = o.acked;
        Q_EMIT changed(o.key);
        schedulePump();
    } else if (t == QLatin1String("file_done")) {
        auto it = m_out.find(*id);
        if (it == m_out.end() || !it->second.endSent)
            return;
        const int key = it->second.key;
        m_out.erase(it);
        if (auto tr = m_list.find(key); tr != m_list.end())
            tr->second.done = tr->second.size;
        finish(key, Status::Done);
    } else if (t == QLatin1String("file_reject")) {
        const QJsonValue reason = message.value(QLatin1String("reason"));
        const QString why = reason.isString() ? reason.toString().left(200) : QString();
        failOut(*id, QStringLiteral("相手側: ") + (why.isEmpty() ? QStringLiteral("受け取りを断られました") : why),
                false);
    }
}

bool FileTransfers::handleBinary(QByteArrayView message) {
    const std::optional<FileChunkHeader> header = FileChunkHeader::decode(message);
    if (!header)
        return false;
    auto it = m_in.find(header->id);
    if (it == m_in.end())
        return false;
    In &in = it->second;
    in.since.restart();
    const QByteArrayView data = message.sliced(FileChunkHeader::size);
    if (header->extra != quint32(quint64(in.file->written())))
        failIn(header->id, QStringLiteral("ファイルの一部が届きませんでした"), true);
    else if (in.file->written() + data.size() > in.file->size())
        failIn(header->id, QStringLiteral("ファイルの大きさが知らされたものと違います"), true);
    else if (!in.file->write(data))
        failIn(header->id, QStringLiteral("保存先に書き込めません(空き容量が足りない可能性があります)"), true);
    else if (in.file->written() - in.acked >= ackEvery || in.file->written() == in.file->size()) {
        in.acked = in.file->written();
        sendJson({{"t", "file_ack"}, {"id", qint64(header->id)}, {"bytes", in.acked}});
        if (auto tr = m_list.find(in.key); tr != m_list.end())
            tr->second.done = in.acked;
        Q_EMIT changed(in.key);
    }
    return true;
}

// ---- user and connection ---------------------------------------------------------------------------------------

void FileTransfers::cancel(int key) {
    for (const auto &[id, o] : m_out) {
        if (o.key == key) {
            const quint32 wire = id;
            m_out.erase(wire);
            sendJson({{"t", "file_cancel"}, {"id", qint64(wire)}});
            finish(key, Status::Cancelled, QStringLiteral("取り消しました"));
            return;
        }
    }
    for (const auto &[id, in] : m_in) {
        if (in.key == key) {
            const quint32 wire = id;
            const quint32 req = in.req;
            m_in.erase(wire);
            sendJson(
                {{"t", "file_reject"}, {"id", qint64(wire)}, {"reason", QStringLiteral("受け取りが取り消されました")}});
            finish(key, Status::Cancelled, QStringLiteral("取り消しました"));
            if (req)
                endFetch(req, {}, QStringLiteral("取り消しました"));
            return;
        }
    }
}

void FileTransfers::abortAll(const QString &why) {
    while (!m_out.empty())
        failOut(m_out.begin()->first, why, false);
    while (!m_in.empty())
        failIn(m_in.begin()->first, why, false);
    while (!m_fetches.empty())
        endFetch(m_fetches.begin()->first, {}, why);
    m_pumpTimer.stop();
    m_watch.stop();
}

// ---- copied files, fetched when pasted -------------------------------------------------------------------------

void FileTransfers::share(quint32 clip, const QStringList &paths) {
    m_sharedClip = paths.isEmpty() ? 0 : clip;
    m_shared = paths;
}

void FileTransfers::handleGet(const QJsonObject &message) {
    const std::optional<quint32> req = wireId(message.value(QLatin1String("req")));
    if (!req)
        return;
    auto refuse = [&](const QString &reason) {
        sendJson({{"t", "file_unavailable"}, {"req", qint64(*req)}, {"reason", reason}});
    };
    if (!m_allowed)
        return refuse(notAllowedText());
    const std::optional<quint32> clip = wireId(message.value(QLatin1String("clip")));
    const double index = message.value(QLatin1String("index")).toDouble(-1);
    if (!clip || *clip != m_sharedClip || !std::isfinite(index) || index != std::floor(index) || index < 0 ||
        index >= double(m_shared.size()))
        return refuse(QStringLiteral("そのファイルはもうクリップボードにありません"));
    // Sent like any file: the same limits, checks and window.
    const int key = sendFile(m_shared.at(qsizetype(index)), {}, *req);
    const std::optional<Transfer> t = transfer(key);
    if (t && t->status == Status::Failed)
        refuse(t->message);
}

quint32 FileTransfers::fetch(quint32 clip, int index, const QString &folder, qint64 maxSize) {
    if (!m_allowed || !m_link.sendText || m_fetches.size() >= std::size_t(maxQueuedFetches))
        return 0;
    if (++m_nextReq == 0)
        ++m_nextReq;
    Fetch f;
    f.clip = clip;
    f.index = index;
    f.folder = folder;
    f.maxSize = maxSize;
    const quint32 req = m_nextReq;
    m_fetches.emplace(req, std::move(f));
    askFetches();
    return req;
}

void FileTransfers::askFetches() {
    int running = 0;
    for (const auto &[req, f] : m_fetches)
        running += f.asked ? 1 : 0;
    for (auto &[req, f] : m_fetches) {
        if (running >= maxFetching)
            break;
        if (f.asked)
            continue;
        f.asked = true;
        f.since.start();
        ++running;
        sendJson({{"t", "file_get"}, {"req", qint64(req)}, {"clip", qint64(f.clip)}, {"index", f.index}});
    }
    if (running > 0)
        m_watch.start();
}

void FileTransfers::endFetch(quint32 req, const QString &path, const QString &why) {
    auto it = m_fetches.find(req);
    if (it == m_fetches.end())
        return;
    m_fetches.erase(it);
    if (why.isEmpty())
        Q_EMIT fetched(req, path);
    else
        Q_EMIT fetchFailed(req, why);
    // Queued (not at once): endFetch runs inside loops over the transfers.
    QMetaObject::invokeMethod(this, &FileTransfers::askFetches, Qt::QueuedConnection);
}

void FileTransfers::cancelFetch(quint32 req) {
    auto it = m_fetches.find(req);
    if (it == m_fetches.end())
        return;
    const quint32 inId = it->second.inId;
    m_fetches.erase(it);
    if (inId) {
        auto in = m_in.find(inId);
        if (in != m_in.end()) {
            in->second.req = 0;
            cancel(in->second.key);
        }
    }
    QMetaObject::invokeMethod(this, &FileTransfers::askFetches, Qt::QueuedConnection);
}

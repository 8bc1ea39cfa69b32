#include "transfer/ClipFilesOffer.h"

#include "transfer/FileTransfers.h"

#include <QDateTime>
#include <QDir>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

ClipFilesOffer::ClipFilesOffer(FileTransfers *files, ClipFiles announced, const QString &baseFolder, QObject *parent)
    : ClipFilesOffer(files, std::move(announced), baseFolder, Placement::OwnFolder, parent) {}

ClipFilesOffer::ClipFilesOffer(FileTransfers *files, ClipFiles announced, const QString &baseFolder,
                               Placement placement, QObject *parent)
    : QObject(parent), m_files(files), m_announced(std::move(announced)), m_base(baseFolder), m_placement(placement) {
    if (m_files) {
        connect(m_files, &FileTransfers::fetched, this, &ClipFilesOffer::onFetched);
        connect(m_files, &FileTransfers::fetchFailed, this, &ClipFilesOffer::onFailed);
    }
}

ClipFilesOffer::~ClipFilesOffer() {
    if (m_files)
        for (const auto &[req, index] : m_requests)
            m_files->cancelFetch(req);
}

QString ClipFilesOffer::folder() const {
    if (m_placement == Placement::Into)
        return m_state == State::Idle ? QString() : m_base;
    return m_dir ? m_dir->path() : QString();
}

void ClipFilesOffer::fetch() {
    if (m_state == State::Fetching || m_state == State::Ready)
        return;
    m_state = State::Fetching;
    m_error.clear();
    if (!m_files)
        return fail(QStringLiteral("接続が切れました"));
    if (m_placement == Placement::Into) {
        // A folder of the user's: made when missing, never emptied.
        if (!QDir().mkpath(m_base))
            return fail(QStringLiteral("保存先のフォルダを作れません"));
        return request(m_base);
    }
    if (!m_dir) {
        static bool swept = false;
        if (!std::exchange(swept, true))
            removeStale(m_base);
        QDir().mkpath(m_base);
        m_dir = std::make_unique<QTemporaryDir>(m_base + QStringLiteral("/clip-XXXXXX"));
        if (!m_dir->isValid()) {
            m_dir.reset();
            return fail(QStringLiteral("受け取り用のフォルダを作れません"));
        }
    }
    // A new try starts from an empty folder: what a failed try left is not mixed in.
    const QDir dir(m_dir->path());
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
    request(m_dir->path());
}

void ClipFilesOffer::request(const QString &folder) {
    // Into a user's folder, a new try asks only for what did not arrive: a file received
    // before stays where it is and is not received again under another name.
    if (m_placement == Placement::OwnFolder || m_paths.size() != m_announced.files.size())
        m_paths = QStringList(m_announced.files.size(), QString());
    for (int i = 0; i < m_announced.files.size(); ++i) {
        if (!m_paths.at(i).isEmpty())
            continue;
        const quint32 req = m_files->fetch(m_announced.id, i, folder, m_announced.files.at(i).size);
        if (!req)
            return fail(m_files->allowed() ? QStringLiteral("ファイルを受け取れません")
                                           : QStringLiteral("ファイル転送が許可されていません"));
        m_requests.emplace(req, i);
    }
}

void ClipFilesOffer::removeStale(const QString &baseFolder) {
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-qint64(staleHours) * 3600);
    const QDir base(baseFolder);
    for (const QFileInfo &info : base.entryInfoList({QStringLiteral("clip-*")}, QDir::Dirs | QDir::NoSymLinks)) {
        if (info.lastModified().toUTC() < before) {
            QDir stale(info.absoluteFilePath());
            stale.removeRecursively();
        }
    }
}

void ClipFilesOffer::onFetched(quint32 req, const QString &path) {
    auto it = m_requests.find(req);
    if (it == m_requests.end())
        return;
    m_paths[it->second] = path;
    m_requests.erase(it);
    if (m_requests.empty() && m_state == State::Fetching) {
        m_state = State::Ready;
        qCInfo(lcTransfer) << "clipboard files fetched:" << m_paths.size();
        Q_EMIT finished();
    }
}

void ClipFilesOffer::onFailed(quint32 req, const QString &why) {
    if (m_requests.count(req))
        fail(why);
}

void ClipFilesOffer::fail(const QString &why) {
    const auto pending = std::exchange(m_requests, {});
    if (m_files)
        for (const auto &[req, index] : pending)
            m_files->cancelFetch(req);
    if (m_placement == Placement::OwnFolder)
        m_paths.clear();
    m_error = why;
    m_state = State::Failed;
    qCInfo(lcTransfer) << "clipboard files not fetched:" << why;
    Q_EMIT finished();
}
